// Joining a summary window's video: ten one-minute chunks recorded at 1 fps (1920x1080
// pictures of desktop text where one line is retyped every second and the whole page changes
// every 20 s, HEVC from VideoEncoder, FragmentedMP4Muxer, encrypted as QXV files), joined by
// SummaryVideoExport::exportSummaryWindowChunks (decryption, demuxing, the join and the
// faststart pass, all in memory), against `ffmpeg -f concat -safe 0 -i list -c copy out.mp4`
// on the same chunks already decrypted into plain files of the bench's scratch folder. Once
// without and once with an AAC track (a tone, as from a microphone).
//
// The chunks are recorded once per variant, before anything is measured. Each side runs
// kRounds times; wall time (steady clock) and CPU time (process CPU time for ours, the
// children's user + system time from getrusage(RUSAGE_CHILDREN) for ffmpeg) are reported as
// medians in the counters, with the ratios ours / ffmpeg (target <= 1.0) on ours.

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

#include <benchmark/benchmark.h>

#include "scratch_dir.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/records.h"
#include "crypto/key_manager.h"
#include "crypto/qxv_writer.h"
#include "pipeline/summary_video_export.h"
#include "recording/audio_encoder.h"
#include "recording/fragmented_mp4_muxer.h"
#include "recording/video_encoder.h"

extern char** environ;

namespace {

using namespace tolvo;
using namespace std::chrono_literals;
using bench::scratch;

constexpr std::uint32_t kWidth = 1920;
constexpr std::uint32_t kHeight = 1080;
constexpr int kChunks = 10;
constexpr int kSeconds = 60;
constexpr int kRounds = 5;

double processCpuSeconds() {
  timespec now{};
  if (::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now) != 0) throw std::runtime_error("clock_gettime failed");
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double childrenCpuSeconds() {
  rusage usage{};
  if (::getrusage(RUSAGE_CHILDREN, &usage) != 0) throw std::runtime_error("getrusage failed");
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double wallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Runs a program (no shell) to its end.
void runChild(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
    throw std::runtime_error("cannot start " + args[0]);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("waitpid failed");
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(args[0] + " failed");
}

// A page of 60 text lines (blocks of glyph-like dots) on a light background: line
// `second % 60` is retyped every second, the whole page changes every 20 seconds.
void drawDesktop(PixelBuffer& picture, int second) {
  std::fill(picture.bgra.begin(), picture.bgra.end(), std::uint8_t{244});
  for (std::uint32_t y = 0; y < kHeight; ++y) {
    const std::uint32_t line = y / 18, inLine = y % 18;
    if (inLine < 3 || inLine > 14) continue;
    const std::uint32_t seed = line * 40503u + std::uint32_t(second / 20) * 7919u +
                               (line == std::uint32_t(second % 60) ? std::uint32_t(second) * 104729u : 0);
    const std::uint32_t length = 80 + (seed * 2654435761u >> 24) % 1600;
    for (std::uint32_t x = 8; x < length; ++x) {
      const std::uint32_t glyph = ((x / 9) * 2654435761u) ^ seed;
      if ((glyph >> 5) % 7 != 0 && ((glyph >> (x % 9 + inLine % 5)) & 1) != 0)
        std::memset(&picture.bgra[(std::size_t{y} * kWidth + x) * 4], 32, 3);
    }
  }
}

struct Collector : VideoEncoderDelegate, AudioEncoderDelegate {
  void videoEncoder(VideoEncoder&, const EncodedSample& sample, bool) override { video.push_back(sample); }
  void audioEncoder(AudioEncoder&, const EncodedSample& sample) override { muxer->addAudioSample(sample); }
  std::vector<EncodedSample> video;
  FragmentedMP4Muxer* muxer = nullptr;
};

// The recorded window of one variant: its chunks, the key manager that opens them and the
// concat list of their decrypted copies.
struct Window {
  KeyManager keys;
  std::filesystem::path chunksDirectory;
  std::vector<Chunk> chunks;
  std::filesystem::path list;
};

// The pictures of every chunk, encoded once for both variants.
const std::vector<std::vector<EncodedSample>>& encodedChunks() {
  static const auto chunks = [] {
    std::vector<std::vector<EncodedSample>> out;
    auto collector = std::make_shared<Collector>();
    VideoEncoder encoder("hevc");
    encoder.setDelegate(collector);
    PixelBuffer picture{kWidth, kHeight, kWidth * 4, std::vector<std::uint8_t>(std::size_t{kWidth} * kHeight * 4)};
    const MediaTime start = MediaClock::now();
    for (int c = 0; c < kChunks; ++c) {
      encoder.setupSession(kWidth, kHeight, 1, 0.7);  // the encoder stays open across chunks, as when recording
      for (int s = 0; s < kSeconds; ++s) {
        drawDesktop(picture, c * kSeconds + s);
        encoder.encode(picture, start + (c * kSeconds + s) * 1s);
      }
      encoder.flush();
      out.push_back(std::move(collector->video));
      collector->video.clear();
    }
    return out;
  }();
  return chunks;
}

const Window& window(bool audio) {
  static std::map<bool, std::unique_ptr<Window>> windows;
  auto& slot = windows[audio];
  if (slot) return *slot;
  slot = std::make_unique<Window>();
  Window& w = *slot;
  const SymmetricKey master = SymmetricKey::random();
  w.keys.setMasterKey(master);
  const auto folder = scratch().path() / (audio ? "with-audio" : "video-only");
  w.chunksDirectory = folder / "chunks";
  std::filesystem::create_directories(w.chunksDirectory);
  w.list = folder / "list.txt";
  std::ofstream list(w.list);
  const auto& encoded = encodedChunks();
  for (int c = 0; c < kChunks; ++c) {
    Chunk chunk;
    chunk.id = "chunk-" + std::to_string(c);
    chunk.fileRelpath = chunk.id + ".qxv";
    QXVWriter writer(w.chunksDirectory / chunk.fileRelpath, chunk.id, w.keys.deriveChunkKey(master, chunk.id));
    const auto plainPath = folder / (chunk.id + ".mp4");
    std::ofstream plain(plainPath, std::ios::binary);
    auto collector = std::make_shared<Collector>();
    FragmentedMP4Muxer muxer;
    collector->muxer = &muxer;
    AudioEncoder sound;
    sound.setDelegate(collector);
    muxer.startNewSegment(int(kWidth), int(kHeight), 1, audio, [&](ByteView bytes) {
      writer.write(bytes);
      plain.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    });
    for (const EncodedSample& sample : encoded[std::size_t(c)]) {
      muxer.addVideoSample(sample);
      for (int k = 0; audio && k < 10; ++k) {
        std::vector<float> tone(4410 * 2);
        for (std::size_t i = 0; i < tone.size(); ++i) tone[i] = 0.2f * float((i / 2 / 50) % 2) - 0.1f;
        sound.encode(PcmBuffer{44100, 2, std::move(tone), sample.captureTime + k * 100ms});
      }
    }
    sound.flush();
    if (!muxer.finalize()) throw std::runtime_error("muxing failed");
    chunk.mp4PlainLen = writer.finalize();
    w.chunks.push_back(chunk);
    list << "file '" << plainPath.string() << "'\n";
  }
  return w;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

std::map<bool, std::pair<double, double>>& ffmpegMedians() {  // audio → (wall, CPU)
  static std::map<bool, std::pair<double, double>> medians;
  return medians;
}
std::map<bool, std::pair<double, double>>& ourMedians() {
  static std::map<bool, std::pair<double, double>> medians;
  return medians;
}

void BM_FFmpegConcat(benchmark::State& state, bool audio) {
  const Window& w = window(audio);
  const auto out = w.list.parent_path() / "ffmpeg-joined.mp4";
  const std::vector<std::string> args = {"ffmpeg", "-nostdin", "-v",   "error", "-f",   "concat", "-safe",
                                         "0",      "-i",       w.list, "-c",    "copy", "-y",     out};
  std::vector<double> wall, cpu;
  for (auto _ : state) {
    const double cpuBefore = childrenCpuSeconds(), wallBefore = wallSeconds();
    runChild(args);
    wall.push_back(wallSeconds() - wallBefore);
    cpu.push_back(childrenCpuSeconds() - cpuBefore);
    state.SetIterationTime(wall.back());
  }
  ffmpegMedians()[audio] = {median(wall), median(cpu)};
  state.counters["wall_ms"] = median(wall) * 1e3;
  state.counters["cpu_ms"] = median(cpu) * 1e3;
  state.counters["out_MB"] = double(std::filesystem::file_size(out)) / 1e6;
}

void BM_Ours(benchmark::State& state, bool audio) {
  const Window& w = window(audio);
  const SummaryVideoExport exporter(w.keys, w.chunksDirectory);
  std::vector<double> wall, cpu;
  std::size_t bytes = 0;
  for (auto _ : state) {
    const double cpuBefore = processCpuSeconds(), wallBefore = wallSeconds();
    bytes = exporter.exportSummaryWindowChunks(w.chunks).size();
    wall.push_back(wallSeconds() - wallBefore);
    cpu.push_back(processCpuSeconds() - cpuBefore);
    state.SetIterationTime(wall.back());
  }
  ourMedians()[audio] = {median(wall), median(cpu)};
  state.counters["wall_ms"] = median(wall) * 1e3;
  state.counters["cpu_ms"] = median(cpu) * 1e3;
  state.counters["out_MB"] = double(bytes) / 1e6;
  if (const auto tool = ffmpegMedians().find(audio); tool != ffmpegMedians().end()) {
    state.counters["wall_ratio"] = median(wall) / tool->second.first;
    state.counters["cpu_ratio"] = median(cpu) / tool->second.second;
  }
}

void registerAll() {
  for (bool audio : {false, true}) {
    const std::string suffix = audio ? "/video+audio" : "/video";
    // The tool first: ours reports its ratios against the tool's medians.
    benchmark::RegisterBenchmark(("ffmpeg_concat" + suffix).c_str(), BM_FFmpegConcat, audio)
        ->UseManualTime()
        ->Iterations(kRounds)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("ours" + suffix).c_str(), BM_Ours, audio)
        ->UseManualTime()
        ->Iterations(kRounds)
        ->Unit(benchmark::kMillisecond);
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  registerAll();
  benchmark::RunSpecifiedBenchmarks();
  std::printf("\nJoin of %d one-minute chunks, medians of %d, ours / ffmpeg concat:\n", kChunks, kRounds);
  for (bool audio : {false, true}) {
    const auto ours = ourMedians().find(audio);
    const auto tool = ffmpegMedians().find(audio);
    if (ours == ourMedians().end() || tool == ffmpegMedians().end()) continue;
    std::printf("  %-12s wall %6.1f / %6.1f ms (ratio %.2f)  CPU %6.1f / %6.1f ms (ratio %.2f)\n",
                audio ? "video+audio" : "video", ours->second.first * 1e3, tool->second.first * 1e3,
                ours->second.first / tool->second.first, ours->second.second * 1e3, tool->second.second * 1e3,
                ours->second.second / tool->second.second);
  }
  benchmark::Shutdown();
  return 0;
}
