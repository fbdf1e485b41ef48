// CPU cost of recording desktop pictures: VideoEncoder + FragmentedMP4Muxer on 1920x1080
// BGRA pictures of text (a scrolling terminal pane beside a still editor pane, rendered once
// by ffmpeg's drawtext from this repository's sources), against the ffmpeg command-line
// tool encoding the same raw pictures with the same settings (preset, crf, tune, key-frame
// interval, no B-frames, fragment per picture) at 1 fps.
//
// Both sides read the pictures from the same raw file in the bench's temporary folder and
// convert BGRA to YUV 4:2:0 themselves. Ours is measured as process CPU time
// (CLOCK_PROCESS_CPUTIME_ID: every encoder thread included), ffmpeg's as the user + system
// time of the child (wait4). Each benchmark runs 3 repetitions; quote the medians. At the
// end the ratios ours / ffmpeg are printed (target <= 1.0).

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

#include <benchmark/benchmark.h>

#include "scratch_dir.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "recording/fragmented_mp4_muxer.h"
#include "recording/video_encoder.h"

extern char** environ;

namespace {

using namespace tolvo;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kFrames = 20;  // two key-frame intervals at 1 fps
constexpr double kFps = 1.0;
constexpr double kQuality = 0.7;
constexpr int kRepetitions = 3;
constexpr std::size_t kFrameBytes = std::size_t{kWidth} * kHeight * 4;

using bench::scratch;

double processCpuSeconds() {
  timespec now{};
  if (::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now) != 0) throw std::runtime_error("clock_gettime failed");
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Runs a program (no shell) and returns its CPU seconds (user + system).
double runChild(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (int error = posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ); error != 0) {
    throw std::runtime_error("cannot start " + args[0]);
  }
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) throw std::runtime_error("wait4 failed");
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(args[0] + " failed");
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Renders the pictures once: source text in a monospace font, the left pane scrolling by
// three lines per picture, the right pane still.
const std::filesystem::path& framesFile() {
  static const std::filesystem::path path = [] {
    const auto text = scratch().path() / "text.txt";
    {
      std::ofstream out(text);
      for (const char* file : {"src/recording/video_encoder.cpp", "src/recording/fragmented_mp4_muxer.cpp",
                               "src/crypto/qxv_writer.cpp", "src/crypto/qxv_reader.cpp"}) {
        std::ifstream in(std::filesystem::path(TOLVO_SOURCE_DIR) / file);
        out << in.rdbuf();
      }
    }
    const std::string font = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";
    const std::string pane =
        "drawtext=fontfile=" + font + ":expansion=none:textfile=" + text.string() + ":fontsize=15:fontcolor=0x202020";
    const std::string filter =
        pane + ":x=8:y=8-n*54," + pane + ":x=968:y=-400,drawbox=x=960:y=0:w=2:h=1080:color=0x808080:t=fill";
    const auto frames = scratch().path() / "frames.bgra";
    runChild({"ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i", "color=c=0xf4f4f4:s=1920x1080:r=1", "-vf",
              filter, "-frames:v", std::to_string(kFrames), "-pix_fmt", "bgra", "-f", "rawvideo", "-y",
              frames.string()});
    if (std::filesystem::file_size(frames) != kFrameBytes * kFrames) throw std::runtime_error("frames not rendered");
    return frames;
  }();
  return path;
}

std::map<std::string, double>& medians() {
  static std::map<std::string, double> values;
  return values;
}

class Counter : public VideoEncoderDelegate {
 public:
  void videoEncoder(VideoEncoder&, const EncodedSample& sample, bool) override { muxer.addVideoSample(sample); }
  FragmentedMP4Muxer muxer;
};

void BM_Ours(benchmark::State& state, const std::string& codec) {
  const auto& path = framesFile();
  std::int64_t bytes = 0;
  for (auto _ : state) {
    const double start = processCpuSeconds();
    auto counter = std::make_shared<Counter>();
    VideoEncoder encoder(codec);
    encoder.setDelegate(counter);
    encoder.setupSession(kWidth, kHeight, kFps, kQuality);
    counter->muxer.startNewSegment(kWidth, kHeight, kFps, false, [](ByteView) {});
    std::ifstream in(path, std::ios::binary);
    PixelBuffer frame{kWidth, kHeight, kWidth * 4, std::vector<std::uint8_t>(kFrameBytes)};
    const MediaTime t0 = MediaClock::now();
    for (int i = 0; i < kFrames; ++i) {
      in.read(reinterpret_cast<char*>(frame.bgra.data()), static_cast<std::streamsize>(kFrameBytes));
      encoder.encode(frame, t0 + std::chrono::seconds(i));
    }
    encoder.flush();
    bytes = counter->muxer.finalize().value_or(-1);
    state.SetIterationTime(processCpuSeconds() - start);
  }
  state.counters["bytes_per_frame"] = static_cast<double>(bytes) / kFrames;
}

void BM_FFmpegTool(benchmark::State& state, const std::string& codec) {
  const auto& path = framesFile();
  const auto out = scratch().path() / ("ffmpeg-" + codec + ".mp4");
  const bool hevc = codec == "hevc";
  const std::string crf = hevc ? "28" : "23";  // VideoEncoder::constantQuality at 0.7
  std::vector<std::string> args = {"ffmpeg",      "-nostdin",
                                   "-v",          "error",
                                   "-f",          "rawvideo",
                                   "-pix_fmt",    "bgra",
                                   "-s",          "1920x1080",
                                   "-r",          "1",
                                   "-i",          path.string(),
                                   "-pix_fmt",    "yuv420p",
                                   "-c:v",        hevc ? "libx265" : "libx264",
                                   "-preset",     hevc ? "superfast" : "veryfast",
                                   "-tune",       "zerolatency",
                                   "-crf",        crf,
                                   "-g",          "10",
                                   "-bf",         "0",
                                   "-forced-idr", "1"};
  if (hevc) {
    for (const char* a :
         {"-tag:v", "hvc1", "-x265-params", "bframes=0:open-gop=0:rc-lookahead=0:frame-threads=1:log-level=error"})
      args.emplace_back(a);
  } else {
    for (const char* a : {"-profile:v", "high"}) args.emplace_back(a);
  }
  for (const char* a : {"-video_track_timescale", "600", "-movflags", "empty_moov+default_base_moof+frag_every_frame",
                        "-f", "mp4", "-y"})
    args.emplace_back(a);
  args.push_back(out.string());
  for (auto _ : state) state.SetIterationTime(runChild(args));
  state.counters["bytes_per_frame"] = static_cast<double>(std::filesystem::file_size(out)) / kFrames;
}

void recordMedian(const std::string& name, double seconds) { medians()[name] = seconds; }

void registerAll() {
  for (const std::string codec : {"hevc", "h264"}) {
    for (bool ours : {true, false}) {
      const std::string name = std::string(ours ? "ours/" : "ffmpeg_tool/") + codec;
      benchmark::RegisterBenchmark(name.c_str(), ours ? BM_Ours : BM_FFmpegTool, codec)
          ->UseManualTime()
          ->Iterations(1)
          ->Repetitions(kRepetitions)
          ->ReportAggregatesOnly(false)
          ->Unit(benchmark::kMillisecond);
    }
  }
}

// Collects the median CPU seconds of each benchmark for the ratio printed at the end.
class MedianReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        recordMedian(run.run_name.function_name, run.GetAdjustedRealTime() / 1e3);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  registerAll();
  MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nCPU ms per frame (median), ours / ffmpeg tool:\n");
  for (const char* codec : {"hevc", "h264"}) {
    const auto ours = medians().find(std::string("ours/") + codec);
    const auto tool = medians().find(std::string("ffmpeg_tool/") + codec);
    if (ours == medians().end() || tool == medians().end()) continue;
    std::printf("  %-5s %7.1f ms  %7.1f ms  ratio %.2f\n", codec, ours->second * 1e3 / kFrames,
                tool->second * 1e3 / kFrames, ours->second / tool->second);
  }
  benchmark::Shutdown();
  return 0;
}
