// CPU cost of capturing one picture of a desktop showing text, at 1920x1080 and 3840x2160 on
// a private Xvfb with an xterm full of source code: the X11 grabber (MIT-SHM image, cursor
// composited), the FrameScaler (a copy at the native size, a libswscale pass at half size)
// and the conversion to YUV 4:2:0 that the video encoder does next (libswscale).
//
// Baselines in the same run: a plain memcpy of a picture of the same size (the floor of
// touching every pixel once), and `ffmpeg -f x11grab` grabbing the same screen over MIT-SHM
// and converting to yuv420p (its start-up cost removed by subtracting a one-picture run).
// Ours is process CPU time (CLOCK_PROCESS_CPUTIME_ID), ffmpeg's the user + system time of the
// child (wait4). The counter cpu_ms_per_frame is what to quote; each benchmark runs 3
// repetitions, quote the medians.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <benchmark/benchmark.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/display_server.h"
#include "recording/frame_scaler.h"
#include "recording/screen_capture_engine.h"

extern char** environ;

namespace {

using namespace tolvo;

constexpr int kRepetitions = 3;
constexpr int kPicturesPerIteration = 10;
constexpr int kFfmpegPictures = 60;

double processCpuSeconds() {
  timespec now{};
  if (::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now) != 0) throw std::runtime_error("clock_gettime failed");
  return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

std::vector<char*> pointers(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// Starts a program (no shell) with its output to /dev/null; `fd3` (if >= 0) becomes its fd 3.
pid_t spawn(const std::vector<std::string>& args, int fd3 = -1) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  if (fd3 >= 0) posix_spawn_file_actions_adddup2(&actions, fd3, 3);
  auto argv = pointers(args);
  pid_t pid = -1;
  const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw std::runtime_error("cannot start " + args[0]);
  return pid;
}

// Runs a program to its end; its CPU seconds (user + system).
double runChild(const std::vector<std::string>& args) {
  const pid_t pid = spawn(args);
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) throw std::runtime_error("wait4 failed");
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(args[0] + " failed");
  auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void terminate(pid_t pid) {
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
}

// An Xvfb of one size with an xterm showing source text over the whole screen.
class TextScreen {
 public:
  TextScreen(int width, int height) : width_(width), height_(height) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
    server_ = spawn({"Xvfb", "-displayfd", "3", "-screen", "0", std::to_string(width) + "x" + std::to_string(height) + "x24",
                     "-nolisten", "tcp", "+extension", "RANDR"},
                    fds[1]);
    ::close(fds[1]);
    std::string number;
    char c = 0;
    while (::read(fds[0], &c, 1) == 1 && c != '\n') number.push_back(c);
    ::close(fds[0]);
    if (number.empty()) throw std::runtime_error("Xvfb did not start");
    display_ = ":" + number;
    const int columns = width / 8;
    const int rows = height / 17;
    terminal_ = spawn({"xterm", "-display", display_, "-geometry", std::to_string(columns) + "x" + std::to_string(rows) + "+0+0",
                       "-fa", "Monospace", "-fs", "11", "-e", "sh", "-c",
                       "cat " TOLVO_SOURCE_DIR "/src/recording/*.cpp " TOLVO_SOURCE_DIR "/src/platform/linux/*.cpp; sleep 100000"});
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the xterm maps and prints
    server = makeX11DisplayServer(display_);
    const auto monitors = server->monitors();
    if (monitors.empty()) throw std::runtime_error("no monitor");
    grabber = server->openGrabber(monitors[0].id);
    if (!grabber) throw std::runtime_error("no grabber");
  }
  ~TextScreen() {
    grabber.reset();
    server.reset();
    terminate(terminal_);
    terminate(server_);
  }

  const std::string& display() const { return display_; }
  int width() const { return width_; }
  int height() const { return height_; }

  std::shared_ptr<DisplayServer> server;
  std::unique_ptr<FrameGrabber> grabber;

 private:
  int width_;
  int height_;
  pid_t server_ = -1;
  pid_t terminal_ = -1;
  std::string display_;
};

TextScreen& screen(int width, int height) {
  static std::map<int, std::unique_ptr<TextScreen>> screens;
  auto& slot = screens[width];
  if (!slot) slot = std::make_unique<TextScreen>(width, height);
  return *slot;
}

// The conversion the video encoder makes of each picture.
class YuvConverter {
 public:
  ~YuvConverter() { sws_freeContext(context_); }
  void convert(const PixelBuffer& frame) {
    context_ = sws_getCachedContext(context_, int(frame.width), int(frame.height), AV_PIX_FMT_BGRA, int(frame.width),
                                    int(frame.height), AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (context_ == nullptr) throw std::runtime_error("sws_getCachedContext failed");
    const std::size_t luma = std::size_t{frame.width} * frame.height;
    yuv_.resize(luma + 2 * (luma / 4 + frame.width));
    const std::uint8_t* source[4] = {frame.bgra.data(), nullptr, nullptr, nullptr};
    const int sourceStride[4] = {int(frame.stride), 0, 0, 0};
    std::uint8_t* target[4] = {yuv_.data(), yuv_.data() + luma, yuv_.data() + luma + luma / 4 + frame.width / 2, nullptr};
    const int targetStride[4] = {int(frame.width), int(frame.width / 2), int(frame.width / 2), 0};
    sws_scale(context_, source, sourceStride, 0, int(frame.height), target, targetStride);
    benchmark::DoNotOptimize(yuv_.data());
  }

 private:
  SwsContext* context_ = nullptr;
  std::vector<std::uint8_t> yuv_;
};

void report(benchmark::State& state, double cpuSeconds, std::int64_t pictures) {
  state.counters["cpu_ms_per_frame"] = cpuSeconds * 1000.0 / double(pictures);
}

// Floor: one memcpy of a picture of this size.
void BM_Memcpy(benchmark::State& state) {
  const std::size_t bytes = std::size_t(state.range(0)) * std::size_t(state.range(1)) * 4;
  std::vector<std::uint8_t> from(bytes, 0x5a), to(bytes);
  double cpu = 0;
  std::int64_t pictures = 0;
  for (auto _ : state) {
    const double start = processCpuSeconds();
    for (int i = 0; i < kPicturesPerIteration; ++i) {
      std::memcpy(to.data(), from.data(), bytes);
      benchmark::DoNotOptimize(to.data());
    }
    cpu += processCpuSeconds() - start;
    pictures += kPicturesPerIteration;
  }
  report(state, cpu, pictures);
}

// Ours: grab (+ scale by range(2) percent + YUV when range(3) is 1).
void BM_Capture(benchmark::State& state) {
  TextScreen& s = screen(int(state.range(0)), int(state.range(1)));
  const auto percent = std::uint32_t(state.range(2));
  FrameScaler scaler(std::uint32_t(s.width()) * percent / 100, std::uint32_t(s.height()) * percent / 100);
  YuvConverter yuv;
  const bool full = state.range(3) != 0;
  double cpu = 0;
  std::int64_t pictures = 0;
  for (auto _ : state) {
    const double start = processCpuSeconds();
    for (int i = 0; i < kPicturesPerIteration; ++i) {
      const auto image = s.grabber->grab();
      if (!image) throw std::runtime_error("grab failed");
      if (full) {
        const auto frame = scaler.scale(*image);
        if (!frame) throw std::runtime_error("scale failed");
        yuv.convert(*frame);
      }
    }
    cpu += processCpuSeconds() - start;
    pictures += kPicturesPerIteration;
  }
  report(state, cpu, pictures);
}

// Baseline: ffmpeg's x11grab (MIT-SHM, cursor drawn) converting the same screen to yuv420p.
void BM_FfmpegX11grab(benchmark::State& state) {
  TextScreen& s = screen(int(state.range(0)), int(state.range(1)));
  auto run = [&](int pictures) {
    return runChild({"ffmpeg", "-nostdin", "-v", "error", "-f", "x11grab", "-framerate", "30", "-video_size",
                     std::to_string(s.width()) + "x" + std::to_string(s.height()), "-i", s.display(), "-frames:v",
                     std::to_string(pictures), "-pix_fmt", "yuv420p", "-f", "rawvideo", "-y", "/dev/null"});
  };
  double cpu = 0;
  std::int64_t pictures = 0;
  for (auto _ : state) {
    cpu += run(kFfmpegPictures + 1) - run(1);
    pictures += kFfmpegPictures;
  }
  report(state, cpu, pictures);
}

// An idle desktop recorded at 10 frames per second for 3 s at 1920x1080: CPU milliseconds per
// second of recording and pictures delivered. range(0) = 0: the ScreenCaptureEngine, which
// grabs only after the screen changed; 1: the baseline that grabs, copies and converts at
// every frame interval whether or not anything changed.
void BM_IdleRecording(benchmark::State& state) {
  TextScreen& s = screen(1920, 1080);
  constexpr auto kDuration = std::chrono::seconds(3);
  constexpr auto kInterval = std::chrono::milliseconds(100);
  struct Counter : ScreenCaptureEngineDelegate {
    std::atomic<int> frames{0};
    void screenCaptureEngine(ScreenCaptureEngine&, std::shared_ptr<const PixelBuffer>, MediaTime) override { ++frames; }
  };
  double cpu = 0;
  std::int64_t frames = 0;
  for (auto _ : state) {
    const double start = processCpuSeconds();
    if (state.range(0) == 0) {
      auto counter = std::make_shared<Counter>();
      ScreenCaptureEngine engine(s.server);
      engine.setDelegate(counter);
      engine.start(s.server->monitors().at(0).id, 10, std::nullopt);
      std::this_thread::sleep_for(kDuration);
      engine.stop();
      frames += counter->frames;
    } else {
      FrameScaler scaler(1920, 1080);
      YuvConverter yuv;
      for (auto due = std::chrono::steady_clock::now(), end = due + kDuration; due < end; due += kInterval) {
        std::this_thread::sleep_until(due);
        const auto image = s.grabber->grab();
        if (!image) throw std::runtime_error("grab failed");
        yuv.convert(*scaler.scale(*image));
        ++frames;
      }
    }
    cpu += processCpuSeconds() - start;
  }
  state.counters["cpu_ms_per_second"] = cpu * 1000.0 / (double(state.iterations()) * 3.0);
  state.counters["frames"] = double(frames) / double(state.iterations());
}

void sizes(benchmark::internal::Benchmark* b, std::vector<std::int64_t> extra) {
  for (const auto& [w, h] : {std::pair{1920, 1080}, std::pair{3840, 2160}}) {
    std::vector<std::int64_t> args = {w, h};
    args.insert(args.end(), extra.begin(), extra.end());
    b->Args(args);
  }
  b->Repetitions(kRepetitions)->ReportAggregatesOnly(true)->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_Memcpy)->Apply([](auto* b) { sizes(b, {}); })->Iterations(10);
BENCHMARK(BM_Capture)->Name("BM_Grab")->Apply([](auto* b) { sizes(b, {100, 0}); })->Iterations(5);
BENCHMARK(BM_Capture)->Name("BM_GrabScaleYuv/native")->Apply([](auto* b) { sizes(b, {100, 1}); })->Iterations(5);
BENCHMARK(BM_Capture)->Name("BM_GrabScaleYuv/half")->Apply([](auto* b) { sizes(b, {50, 1}); })->Iterations(5);
BENCHMARK(BM_FfmpegX11grab)->Apply([](auto* b) { sizes(b, {}); })->Iterations(1);
BENCHMARK(BM_IdleRecording)->Arg(0)->Arg(1)->Iterations(1)->Repetitions(kRepetitions)->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
