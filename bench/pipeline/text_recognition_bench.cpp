// Text recognition of recorded desktops: 1920x1080 Xvfb screens (xterm windows, openbox)
// grabbed with the recorder's X11 grabber, or pictures drawn by ffmpeg, encoded with the
// recorder's HEVC encoder (default quality 0.7) and fragmented MP4 muxer, decoded in memory
// and read by ChunkTextRecognition with Tesseract.
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
//   BM_Recall: seven screens of a fixed list of words (>= 4 letters), each a one-picture chunk:
//     the share of the words found as words of recognized lines. Three are xterms in the font
//     terminals draw (DejaVu Sans Mono 9 and 11, light-on-dark Mono 11); four are drawn as
//     applications draw proportional text (FreeType through ffmpeg's drawtext: kerned,
//     anti-aliased): DejaVu Sans at 13 px (10 pt at 96 dpi) and 16 px, DejaVu Serif at 16 px,
//     and a desktop of two windows with dark title bars (white DejaVu Sans Bold, 11 and 12 px),
//     menu bars of short words and a panel, whose words are also reported apart ("chrome").
//     xterm sets a proportional font in fixed cells, letters far apart, as no application
//     shows text: proportional fonts are therefore not drawn by xterm.

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
#include "support/child_process.h"
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

// A chunk of `frames` 1920x1080 pictures stamped 1 s apart, as the recorder encodes and muxes
// them; `picture(i)` gives picture i.
Bytes encodeChunk(int frames, const std::function<PixelBuffer(int)>& picture) {
  auto sink = std::make_shared<Sink>();
  VideoEncoder video("hevc");
  video.setDelegate(sink);
  video.setupSession(kWidth, kHeight, 1, 0.7);
  Bytes mp4;
  sink->muxer.startNewSegment(kWidth, kHeight, 1, false, [&](ByteView b) { mp4.insert(mp4.end(), b.begin(), b.end()); });
  const MediaTime start = MediaClock::now();
  for (int i = 0; i < frames; ++i) video.encode(picture(i), start + i * 1s);
  video.flush();
  (void)sink->muxer.finalize();
  return mp4;
}

// A private 1920x1080 desktop and a grabber of it.
class Desktop {
 public:
  Desktop() : x_(makeRoot(), XServer::Options{XServer::Kind::xvfb, kWidth, kHeight, true}) {
    server_ = makeX11DisplayServer(x_.display());
    grabber_ = server_->openGrabber(server_->monitors().at(0).id);
    if (!grabber_) throw std::runtime_error("no grabber");
  }
  XServer& x() { return x_; }

  // Waits until the screen has been quiet for `quiet` (at most `first` for a first change).
  void settle(Clock::duration first = 400ms, Clock::duration quiet = 400ms) {
    for (auto wait = first; grabber_->waitForChange(Clock::now() + wait) == FrameGrabber::Wait::changed; wait = quiet)
      (void)grabber_->grab();
  }

  // Waits until each file of `printed` exists (terminals have printed their text; at most
  // 60 s), then until the screen has been quiet for 1 s: on a loaded machine an xterm can
  // take longer than a short pause to start or to draw.
  void settleAfter(const std::vector<std::filesystem::path>& printed) {
    const auto deadline = Clock::now() + 60s;
    for (const auto& file : printed)
      while (!std::filesystem::exists(file)) {
        if (Clock::now() > deadline) throw std::runtime_error("a terminal did not print its text");
        std::this_thread::sleep_for(50ms);
      }
    settle(2s, 1s);
  }

  // A chunk of `frames` pictures stamped 1 s apart; `before(i)` runs before picture i.
  Bytes record(int frames, const std::function<void(int)>& before) {
    return encodeChunk(frames, [&](int i) {
      before(i);
      const std::optional<GrabbedImage> image = grabber_->grab();
      if (!image) throw std::runtime_error("grab failed");
      return PixelBuffer{image->width, image->height, image->stride,
                         Bytes(image->bgra, image->bgra + std::size_t{image->stride} * image->height)};
    });
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

// Starts an xterm on `desktop` that runs `print`, then `then`; returns a file that appears once
// `print` has ended.
std::filesystem::path terminal(Desktop& desktop, const std::string& geometry, const std::string& font, int size,
                               const std::string& print, const std::string& then = "sleep 1000", bool dark = false) {
  static int count = 0;
  auto printed = bench::scratch().path() / ("printed" + std::to_string(++count));
  desktop.x().launch(xterm(geometry, font, size, print + "; touch " + printed.string() + "; " + then, dark));
  return printed;
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
  // The windows overlap by a few columns; the listing, started last, is on top (the layout of
  // the screen, and so the lines found and their cost, depend on which one is).
  desktop.settleAfter(
      {terminal(desktop, "110x62+0+0", "DejaVu Sans Mono", 11, "cat /usr/share/common-licenses/GPL-3")});
  desktop.settleAfter(
      {terminal(desktop, "110x62+960+0", "DejaVu Sans Mono", 11, "ls -l /usr/lib/x86_64-linux-gnu | tail -n 62")});
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
    desktop.settleAfter({terminal(desktop, "120x50+200+80", "Monospace", 11, "ls -l /usr/bin | head -n 45",
                                  "i=0; while :; do while [ ! -e " + trigger.string() +
                                      "$i ]; do sleep 0.05; done; date '+%T  one more line'; i=$((i+1)); done")});
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

// The lines of `text` in reverse order (what `tac` prints).
std::string reversedLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::string out;
  for (auto line = lines.rbegin(); line != lines.rend(); ++line) out += *line + "\n";
  return out;
}

// A 1920x1080 picture drawn by ffmpeg: filled boxes and text set with FreeType (drawtext:
// kerned, anti-aliased in grey, hinted), as toolkits draw proportional fonts.
class Canvas {
 public:
  explicit Canvas(std::string background) : background_(std::move(background)) {}

  void box(int x, int y, int width, int height, const std::string& color) {
    add("drawbox=x=" + std::to_string(x) + ":y=" + std::to_string(y) + ":w=" + std::to_string(width) +
        ":h=" + std::to_string(height) + ":color=" + color + ":t=fill");
  }

  // `font` is a file of /usr/share/fonts/truetype/dejavu; `px` the size in pixels; lines are
  // `px` plus `lineGap` pixels apart.
  void text(int x, int y, const std::string& text, const std::string& font, int px, const std::string& color,
            int lineGap = 0) {
    static int count = 0;
    const auto file = bench::scratch().path() / ("text" + std::to_string(++count));
    std::ofstream(file) << text;
    add("drawtext=textfile=" + file.string() + ":fontfile=/usr/share/fonts/truetype/dejavu/" + font +
        ":fontsize=" + std::to_string(px) + ":fontcolor=" + color + ":line_spacing=" + std::to_string(lineGap) +
        ":x=" + std::to_string(x) + ":y=" + std::to_string(y));
  }

  [[nodiscard]] PixelBuffer render() const {
    const test::ChildResult drawn = test::runChild(
        {"ffmpeg", "-v", "error", "-f", "lavfi", "-i",
         "color=c=" + background_ + ":s=" + std::to_string(kWidth) + "x" + std::to_string(kHeight), "-vf",
         filters_, "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "bgra", "-"});
    const std::size_t size = std::size_t{kWidth} * kHeight * 4;
    if (drawn.exitStatus != 0 || drawn.out.size() != size) throw std::runtime_error("ffmpeg: " + drawn.err);
    return PixelBuffer{kWidth, kHeight, kWidth * 4, Bytes(drawn.out.begin(), drawn.out.end())};
  }

 private:
  void add(const std::string& filter) { filters_ += (filters_.empty() ? "" : ",") + filter; }

  std::string background_;
  std::string filters_;
};

// A window with a 1-px frame: a dark title bar (white bold title, `titlePx`) and a menu bar
// when `title` is given, then `body` in `bodyFont` at `bodyPx` on white.
void window(Canvas& canvas, int x, int y, int width, int height, const std::string& title, int titlePx,
            const std::string& menu, const std::string& body, const std::string& bodyFont, int bodyPx) {
  canvas.box(x - 1, y - 1, width + 2, height + 2, "0x8a8a8a");
  canvas.box(x, y, width, height, "white");
  int top = y;
  if (!title.empty()) {
    canvas.box(x, y, width, 28, "0x2e3436");
    canvas.text(x + 14, y + (28 - titlePx) / 2, title, "DejaVuSans-Bold.ttf", titlePx, "white");
    canvas.box(x, y + 28, width, 26, "0xefefef");
    canvas.text(x + 12, y + 34, menu, "DejaVuSans.ttf", 13, "0x202020");
    top += 54;
  }
  canvas.text(x + 14, top + 12, body, bodyFont, bodyPx, "0x202020", bodyPx / 3);
}

// Letters only, lower case: how recognized and expected words are compared.
std::string letters(std::string word) {
  std::erase_if(word, [](char c) { return std::isalpha(static_cast<unsigned char>(c)) == 0; });
  std::transform(word.begin(), word.end(), word.begin(), [](char c) { return char(std::tolower(c)); });
  return word;
}

void BM_Recall(benchmark::State& state) {
  struct Screen {
    std::string name;
    std::function<Bytes(const std::string& words)> record;
    std::string chrome;  // words of title bars, menus and panel, reported apart
  };
  const auto terminals = [](const std::string& font, int size, bool dark) {
    return [=](const std::string& words) {
      Desktop desktop;
      static int count = 0;
      const auto file = bench::scratch().path() / ("words" + std::to_string(++count));
      std::ofstream(file) << words;
      desktop.settleAfter(
          {terminal(desktop, "90x24+100+100", font, size, "cat " + file.string(), "sleep 1000", dark),
           terminal(desktop, "70x20+1000+500", font, size, "tac " + file.string(), "sleep 1000", dark)});
      return desktop.record(1, [](int) {});
    };
  };
  const auto pages = [](const std::string& font, int px) {
    return [=](const std::string& words) {
      Canvas canvas("0x5b6b7b");
      window(canvas, 100, 100, 40 * px, 30 * px, {}, 0, {}, words, font, px);
      window(canvas, 1000, 460, 40 * px, 30 * px, {}, 0, {}, reversedLines(words), font, px);
      return encodeChunk(1, [&](int) { return canvas.render(); });
    };
  };
  const std::string titles[] = {"Project Notes - Text Editor", "Downloads - Files"};
  const std::string menus[] = {"File    Edit    View    Search    Tools    Documents    Help",
                               "File    Edit    View    Bookmarks    Help"};
  const std::string panel[] = {"Activities", "Thursday 14:05"};
  const auto desktop = [&](const std::string& words) {
    Canvas canvas("0x3b4f63");
    canvas.box(0, 0, kWidth, 26, "0x1c1c1c");
    canvas.text(14, 7, panel[0], "DejaVuSans-Bold.ttf", 12, "white");
    canvas.text(900, 7, panel[1], "DejaVuSans-Bold.ttf", 12, "white");
    window(canvas, 80, 70, 880, 560, titles[0], 12, menus[0], words, "DejaVuSans.ttf", 13);
    window(canvas, 1040, 400, 760, 560, titles[1], 11, menus[1], reversedLines(words), "DejaVuSans.ttf", 13);
    return encodeChunk(1, [&](int) { return canvas.render(); });
  };
  const std::vector<Screen> screens{
      {"mono9", terminals("DejaVu Sans Mono", 9, false), {}},
      {"mono11", terminals("DejaVu Sans Mono", 11, false), {}},
      {"mono11_dark", terminals("DejaVu Sans Mono", 11, true), {}},
      {"sans13px", pages("DejaVuSans.ttf", 13), {}},
      {"sans16px", pages("DejaVuSans.ttf", 16), {}},
      {"serif16px", pages("DejaVuSerif.ttf", 16), {}},
      {"desktop13px", desktop, titles[0] + " " + titles[1] + " " + menus[0] + " " + menus[1] + " " + panel[0] +
                                   " " + panel[1]}};
  int total = 0, found = 0;
  double cpu = 0;
  std::string missed;
  for (auto _ : state) {
    for (std::size_t s = 0; s < screens.size(); ++s) {
      const Bytes mp4 = screens[s].record(wordLines(static_cast<int>(s)) + wordLines(static_cast<int>(s) + 3));
      const double cpu0 = processCpuSeconds();
      const ChunkText text = *ChunkTextRecognition(*recognizer()).recognize(mp4, 0);
      const double screenCpu = processCpuSeconds() - cpu0;
      cpu += screenCpu;
      std::set<std::string> read;
      for (const ScreenTextLine& line : text.lines) {
        std::istringstream words(line.text);
        for (std::string word; words >> word;) read.insert(letters(word));
      }
      std::set<std::string> expected(std::begin(kWords), std::end(kWords));
      std::set<std::string> chrome;
      std::istringstream chromeWords(screens[s].chrome);
      for (std::string word; chromeWords >> word;)
        if (word = letters(word); word.size() >= 4) chrome.insert(word);
      int screenFound = 0, chromeFound = 0;
      for (const std::string& word : expected) screenFound += read.contains(word);
      for (const std::string& word : chrome) chromeFound += read.contains(word);
      for (const auto* words : {&expected, &chrome})
        for (const std::string& word : *words)
          if (!read.contains(word)) missed += " " + screens[s].name + ":" + word;
      const std::string& name = screens[s].name;
      state.counters["recall_" + name] = double(screenFound + chromeFound) / double(expected.size() + chrome.size());
      if (!chrome.empty()) state.counters["recall_" + name + "_chrome"] = double(chromeFound) / double(chrome.size());
      state.counters["cpu_s_" + name] = screenCpu;
      total += static_cast<int>(expected.size() + chrome.size());
      found += screenFound + chromeFound;
    }
  }
  state.SetLabel("missed:" + (missed.empty() ? std::string(" none") : missed));
  state.counters["recall"] = double(found) / total;
  state.counters["cpu_s_per_screen"] = cpu / double(screens.size());
}
BENCHMARK(BM_Recall)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
