// Text recognition of recorded desktops: 1920x1080 Xvfb screens (xterm windows, openbox)
// grabbed with the recorder's X11 grabber, encoded with its HEVC encoder (default quality 0.7)
// and fragmented MP4 muxer, decoded in memory and read by ChunkTextRecognition with Tesseract.
//
//   BM_DenseScreen: one full 1080p screen of terminal text (two xterms, DejaVu Sans Mono 11,
//     a licence text and a directory listing) through the recognizer, process CPU per screen
//     (user + system of all threads: shows that OpenMP stays on the calling thread) and wall.
//   BM_Desktop/busy: the recording benchmark's busy desktop (two terminals printing random
//     text 10 and 5 times a second), 60 s at 1 fps in real time, as one chunk. Extrapolated
//     per hour (x60, so with one chunk start per minute instead of per 3 minutes: an upper
//     bound). Baseline in the same run: every picture recognized in full (CPU of 3 pictures).
//   BM_Desktop/reading: the reading desktop (a listing of 45 lines, one new line a minute)
//     as one 3-minute chunk of 180 pictures with a new line at 30, 90 and 150 s (a quiet
//     screen's pictures are identical, so they are grabbed without waiting), x20 per hour.
//   BM_Recall: five screens of a fixed list of words (>= 4 letters) in xterms with DejaVu Sans
//     Mono 9 and 11, DejaVu Sans 10, DejaVu Serif 12 and light-on-dark Mono 11, each a
//     one-picture chunk: the share of the words found as words of recognized lines.

#include <time.h>

#include <benchmark/benchmark.h>

#include "scratch_dir.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "media/chunk_frame_decoder.h"
#include "pipeline/chunk_text_recognition.h"
#include "platform/display_server.h"
#include "recording/fragmented_mp4_muxer.h"
#include "recording/video_encoder.h"
#include "support/x_server.h"

namespace {

using namespace tolvo;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::XServer;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

double processCpuSeconds() {
  timespec now{};
  if (::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now) != 0) throw std::runtime_error("clock_gettime failed");
  return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

struct Sink : VideoEncoderDelegate {
  void videoEncoder(VideoEncoder&, const EncodedSample& sample, bool) override { muxer.addVideoSample(sample); }
  FragmentedMP4Muxer muxer;
};

// A private 1920x1080 desktop and a grabber of it.
class Desktop {
 public:
  Desktop() : x_(makeRoot(), XServer::Options{XServer::Kind::xvfb, kWidth, kHeight, true}) {
    server_ = makeX11DisplayServer(x_.display());
    grabber_ = server_->openGrabber(server_->monitors().at(0).id);
    if (!grabber_) throw std::runtime_error("no grabber");
  }
  XServer& x() { return x_; }

  // Waits until the screen has been quiet for 400 ms (at most `first` for a first change).
  void settle(Clock::duration first = 400ms) {
    for (auto wait = first; grabber_->waitForChange(Clock::now() + wait) == FrameGrabber::Wait::changed; wait = 400ms)
      (void)grabber_->grab();
  }

  // A chunk of `frames` pictures stamped 1 s apart; `before(i)` runs before picture i.
  Bytes record(int frames, const std::function<void(int)>& before) {
    auto sink = std::make_shared<Sink>();
    VideoEncoder video("hevc");
    video.setDelegate(sink);
    video.setupSession(kWidth, kHeight, 1, 0.7);
    Bytes mp4;
    sink->muxer.startNewSegment(kWidth, kHeight, 1, false, [&](ByteView b) { mp4.insert(mp4.end(), b.begin(), b.end()); });
    const MediaTime start = MediaClock::now();
    for (int i = 0; i < frames; ++i) {
      before(i);
      const std::optional<GrabbedImage> image = grabber_->grab();
      if (!image) throw std::runtime_error("grab failed");
      video.encode(PixelBuffer{image->width, image->height, image->stride,
                               Bytes(image->bgra, image->bgra + std::size_t{image->stride} * image->height)},
                   start + i * 1s);
    }
    video.flush();
    (void)sink->muxer.finalize();
    return mp4;
  }

 private:
  static std::filesystem::path makeRoot() {
    static int count = 0;
    auto root = bench::scratch().path() / ("desktop" + std::to_string(++count));
    std::filesystem::create_directories(root);
    return root;
  }

  XServer x_;
  std::shared_ptr<DisplayServer> server_;
  std::unique_ptr<FrameGrabber> grabber_;
};

std::unique_ptr<TextRecognizer>& recognizer() {
  static std::unique_ptr<TextRecognizer> engine = makeTesseractRecognizer({"eng"});
  return engine;
}

std::vector<std::string> xterm(const std::string& geometry, const std::string& font, int size, const std::string& command,
                               bool dark = false) {
  std::vector<std::string> argv{"xterm", "-geometry", geometry, "-fa", font, "-fs", std::to_string(size)};
  if (dark) argv.insert(argv.end(), {"-bg", "black", "-fg", "white"});
  argv.insert(argv.end(), {"-e", "sh", "-c", command});
  return argv;
}

// Full recognitions of the first `count` pictures of `mp4`: median CPU seconds per picture.
double fullPictureCpu(const Bytes& mp4, int count) {
  ChunkFrameDecoder decoder(mp4, FramePixels::gray);
  std::vector<double> costs;
  while (static_cast<int>(costs.size()) < count) {
    const std::optional<VideoFrame> frame = decoder.next();
    if (!frame) break;
    const double cpu = processCpuSeconds();
    (void)recognizer()->recognize(GrayImageView{frame->data.data(), frame->width, frame->height, frame->stride},
                                  TextBox{0, 0, frame->width, frame->height});
    costs.push_back(processCpuSeconds() - cpu);
  }
  std::sort(costs.begin(), costs.end());
  return costs.empty() ? 0 : costs[costs.size() / 2];
}

void BM_DenseScreen(benchmark::State& state) {
  Desktop desktop;
  desktop.x().launch(xterm("110x62+0+0", "DejaVu Sans Mono", 11, "cat /usr/share/common-licenses/GPL-3; sleep 1000"));
  desktop.x().launch(xterm("110x62+960+0", "DejaVu Sans Mono", 11, "ls -l /usr/lib/x86_64-linux-gnu | tail -n 62; sleep 1000"));
  desktop.settle(10s);
  const Bytes mp4 = desktop.record(1, [](int) {});
  const std::optional<VideoFrame> frame = frameAt(mp4, 0, FramePixels::gray);
  const GrayImageView view{frame->data.data(), frame->width, frame->height, frame->stride};
  std::vector<double> cpu, wall;
  std::size_t lines = 0;
  for (auto _ : state) {
    const double cpu0 = processCpuSeconds();
    const auto wall0 = Clock::now();
    lines = recognizer()->recognize(view, TextBox{0, 0, kWidth, kHeight}).size();
    cpu.push_back(processCpuSeconds() - cpu0);
    wall.push_back(seconds(wall0));
  }
  std::sort(cpu.begin(), cpu.end());
  std::sort(wall.begin(), wall.end());
  state.counters["cpu_ms_median"] = cpu[cpu.size() / 2] * 1000;
  state.counters["wall_ms_median"] = wall[wall.size() / 2] * 1000;
  state.counters["cpu_per_wall"] = cpu[cpu.size() / 2] / wall[wall.size() / 2];
  state.counters["lines"] = double(lines);
}
BENCHMARK(BM_DenseScreen)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Desktop(benchmark::State& state) {
  const bool busy = state.range(0) == 1;
  state.SetLabel(busy ? "busy" : "reading");
  Desktop desktop;
  const auto trigger = bench::scratch().path() / "line";
  if (busy) {
    desktop.x().launch(xterm("100x45+20+20", "Monospace", 11,
                             "while :; do head -c 90 /dev/urandom | base64 -w 0; echo; sleep 0.1; done"));
    desktop.x().launch(xterm("100x45+960+300", "Monospace", 11,
                             "while :; do head -c 60 /dev/urandom | od -An -tx1 | head -n 2; sleep 0.2; done"));
    std::this_thread::sleep_for(2s);
  } else {
    desktop.x().launch(xterm("120x50+200+80", "Monospace", 11,
                             "ls -l /usr/bin | head -n 45; i=0; while :; do while [ ! -e " + trigger.string() +
                                 "$i ]; do sleep 0.05; done; date '+%T  one more line'; i=$((i+1)); done"));
    desktop.settle(10s);
  }
  const int frames = busy ? 60 : 180;
  const auto start = Clock::now();
  int lineCount = 0;
  const Bytes mp4 = desktop.record(frames, [&](int i) {
    if (busy) {
      std::this_thread::sleep_until(start + i * 1s);
    } else if (i % 60 == 30) {
      std::ofstream{trigger.string() + std::to_string(lineCount++)};
      desktop.settle(5s);
    }
  });
  const double perHour = 3600.0 / frames;
  double cpu = 0;
  ChunkText text;
  for (auto _ : state) {
    const double cpu0 = processCpuSeconds();
    text = *ChunkTextRecognition(*recognizer()).recognize(mp4, 0);
    cpu = processCpuSeconds() - cpu0;
  }
  const double baseline = fullPictureCpu(mp4, 3) * 3600;
  state.counters["frames_recognized_per_hour"] = text.framesRecognized * perHour;
  state.counters["area_per_hour_frames"] = text.pixelsRecognized * perHour;
  state.counters["cpu_s_per_hour"] = cpu * perHour;
  state.counters["cpu_percent_of_core"] = cpu * perHour / 36;
  state.counters["baseline_cpu_s_per_hour"] = baseline;
  state.counters["baseline_over_ours"] = baseline / (cpu * perHour);
  state.counters["lines"] = double(text.lines.size());
}
BENCHMARK(BM_Desktop)->Arg(1)->Arg(0)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

const char* const kWords[] = {
    "window",  "garden",   "silver",   "planet",  "river",    "market",  "letter",  "mountain", "pencil",  "orange",
    "summer",  "bridge",   "forest",   "candle",  "winter",   "rocket",  "doctor",  "island",   "basket",  "engine",
    "thunder", "journal",  "kitchen",  "monkey",  "number",   "office",  "pocket",  "quarter",  "random",  "signal",
    "ticket",  "uniform",  "valley",   "wonder",  "yellow",   "zipper",  "anchor",  "butter",   "circle",  "desert",
    "finger",  "glacier",  "harvest",  "insect",  "jacket",   "lemon",   "marble",  "needle",   "oyster",  "parrot",
    "quiet",   "saddle",   "tunnel",   "velvet",  "walnut",   "archive", "balance", "compile",  "default", "example",
    "feature", "gradient", "history",  "install", "keyboard", "library", "message", "network",  "package", "request",
    "session", "terminal", "update",   "version", "warning",  "account", "browser", "calendar", "download", "folder"};

std::string wordLines(int offset) {
  std::ostringstream out;
  constexpr int n = sizeof kWords / sizeof *kWords;
  for (int i = 0; i < n; ++i) out << kWords[(i * 7 + offset) % n] << ((i + 1) % 8 == 0 ? "\n" : " ");
  return out.str();
}

void BM_Recall(benchmark::State& state) {
  struct Screen {
    std::string font;
    int size;
    bool dark;
  };
  const std::vector<Screen> screens{{"DejaVu Sans Mono", 9, false},
                                    {"DejaVu Sans Mono", 11, false},
                                    {"DejaVu Sans", 10, false},
                                    {"DejaVu Serif", 12, false},
                                    {"DejaVu Sans Mono", 11, true}};
  int total = 0, found = 0;
  double cpu = 0;
  for (auto _ : state) {
    for (std::size_t s = 0; s < screens.size(); ++s) {
      Desktop desktop;
      const auto file = bench::scratch().path() / ("words" + std::to_string(s));
      std::ofstream(file) << wordLines(static_cast<int>(s)) << wordLines(static_cast<int>(s) + 3);
      desktop.x().launch(xterm("90x24+100+100", screens[s].font, screens[s].size,
                               "cat " + file.string() + "; sleep 1000", screens[s].dark));
      desktop.x().launch(xterm("70x20+1000+500", screens[s].font, screens[s].size,
                               "tac " + file.string() + "; sleep 1000", screens[s].dark));
      desktop.settle(10s);
      const Bytes mp4 = desktop.record(1, [](int) {});
      const double cpu0 = processCpuSeconds();
      const ChunkText text = *ChunkTextRecognition(*recognizer()).recognize(mp4, 0);
      cpu += processCpuSeconds() - cpu0;
      std::set<std::string> read;
      for (const ScreenTextLine& line : text.lines) {
        std::istringstream words(line.text);
        for (std::string word; words >> word;) {
          std::erase_if(word, [](char c) { return std::isalpha(static_cast<unsigned char>(c)) == 0; });
          std::transform(word.begin(), word.end(), word.begin(), [](char c) { return char(std::tolower(c)); });
          read.insert(word);
        }
      }
      int screenFound = 0;
      for (const char* word : kWords) screenFound += read.contains(word);
      state.counters["recall_" + std::to_string(s)] = double(screenFound) / std::size(kWords);
      total += static_cast<int>(std::size(kWords));
      found += screenFound;
    }
  }
  state.counters["recall"] = double(found) / total;
  state.counters["cpu_s_per_screen"] = cpu / double(screens.size());
}
BENCHMARK(BM_Recall)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
