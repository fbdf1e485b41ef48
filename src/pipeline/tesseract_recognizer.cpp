#include <dlfcn.h>

#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>
#include <leptonica/allheaders.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "pipeline/pipeline_error.h"
#include "pipeline/summary_text.h"
#include "pipeline/text_recognizer.h"

namespace tolvo {
namespace {

// A line whose confidence is below this is dropped. Measured on a 1080p screen of two
// terminals (DejaVu Sans Mono 11): prose and listings read right come out at 0.85 … 0.93,
// lines holding URLs at 0.29 … 0.46, what Tesseract makes of a scroll bar at 0.14 and of
// columns of permissions ("Twxrwx", "reer") at 0.27 … 0.43. 0.25 keeps the URLs (words a
// user may search for) and drops the worst noise; the rest costs index space, not recall.
constexpr float kMinimumConfidence = 0.25F;
// A line must hold this many letters or digits (a lone "|" or "—" from a border is not text).
constexpr int kMinimumAlphanumerics = 2;
// Below this mean luma a region is taken for light text on a dark background and inverted:
// Tesseract's page layout expects dark text on a light page.
constexpr int kDarkBackgroundLuma = 110;
// Screens are around 96 dpi; telling Tesseract spares it an estimate from the text height.
constexpr int kScreenDpi = 96;

// libtesseract built with OpenMP runs parts of every page in parallel regions with explicit
// thread counts (`num_threads` clauses), which omp_set_num_threads() does not override: a
// page that costs ~1.2 s of one core then burns ~10 s of CPU on spinning worker threads.
// A maximum of 0 active levels makes every parallel region run on the thread that enters it
// (measured on a 1080p screen of text: 2.7 s of CPU in 2.7 s, against 14.8 s of CPU in
// 13 s without it, omp_set_num_threads(1) changing nothing). The setting is the OpenMP runtime's, for the whole process;
// it is looked up at run time so that a build of Tesseract without OpenMP needs nothing.
void keepOpenMPOnCallingThread() {
  static std::once_flag once;
  std::call_once(once, [] {
    using SetMaxActiveLevels = void (*)(int);
    if (void* symbol = ::dlsym(RTLD_DEFAULT, "omp_set_max_active_levels"))
      reinterpret_cast<SetMaxActiveLevels>(symbol)(0);
    // Leptonica reports refused images on stderr; failures reach us as return values.
    setMsgSeverity(L_SEVERITY_NONE);
  });
}

std::string joinedLanguages(const std::vector<std::string>& languages) {
  std::string joined;
  for (const std::string& language : languages) {
    if (language.empty()) continue;
    if (!joined.empty()) joined += '+';
    joined += language;
  }
  return joined.empty() ? "eng" : joined;
}

bool looksLikeText(std::string_view text) {
  const auto alphanumerics = std::count_if(text.begin(), text.end(), [](char c) {
    // Bytes of multi-byte UTF-8 sequences count as letters.
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || static_cast<unsigned char>(c) >= 0x80;
  });
  return alphanumerics >= kMinimumAlphanumerics;
}

class TesseractRecognizer final : public TextRecognizer {
 public:
  explicit TesseractRecognizer(const std::vector<std::string>& languages) {
    keepOpenMPOnCallingThread();
    // Set before the models load, so that loading says nothing either.
    std::vector<std::string> names{"debug_file"};
    std::vector<std::string> values{"/dev/null"};
    if (api_.Init(nullptr, joinedLanguages(languages).c_str(), tesseract::OEM_LSTM_ONLY, nullptr, 0, &names, &values,
                  false) != 0)
      throw PipelineError(PipelineError::Kind::ocrFailed);
    // PSM_AUTO finds the columns and blocks of a desktop (windows side by side, panes of a
    // terminal) as separate lines. Measured on the same 1080p screen: PSM_SPARSE_TEXT costs
    // ~18 % more CPU and breaks lines into more pieces (429 against 357); PSM_SINGLE_BLOCK
    // joins the lines of the two windows side by side into one (50 lines).
    api_.SetPageSegMode(tesseract::PSM_AUTO);
  }

  std::vector<RecognizedLine> recognize(const GrayImageView& image, const TextBox& region) override {
    const int left = std::clamp(region.x, 0, image.width);
    const int top = std::clamp(region.y, 0, image.height);
    const int right = std::clamp(region.x + std::max(0, region.width), left, image.width);
    const int bottom = std::clamp(region.y + std::max(0, region.height), top, image.height);
    const int width = right - left;
    const int height = bottom - top;
    // Tesseract refuses pictures of fewer than 3 pixels a side; no line fits in them anyway.
    if (image.data == nullptr || width < 3 || height < 3) return {};

    copyRegion(image, left, top, width, height);
    api_.SetImage(pixels_.data(), width, height, 1, width);
    api_.SetSourceResolution(kScreenDpi);
    struct Cleared {
      tesseract::TessBaseAPI& api;
      ~Cleared() { api.Clear(); }  // the picture's copy and the results are not kept
    } cleared{api_};
    if (api_.Recognize(nullptr) != 0) throw PipelineError(PipelineError::Kind::ocrFailed);

    std::vector<RecognizedLine> lines;
    const std::unique_ptr<tesseract::ResultIterator> it(api_.GetIterator());
    if (!it) return lines;
    constexpr auto kLine = tesseract::RIL_TEXTLINE;
    do {
      if (it->Empty(kLine)) continue;
      const std::unique_ptr<char[]> text(it->GetUTF8Text(kLine));
      if (!text) continue;
      const std::string line = trimWhitespace(text.get());
      const float confidence = std::clamp(it->Confidence(kLine) / 100.0F, 0.0F, 1.0F);
      if (line.empty() || confidence < kMinimumConfidence || !looksLikeText(line)) continue;
      int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
      if (!it->BoundingBox(kLine, &x0, &y0, &x1, &y1)) continue;
      lines.push_back(RecognizedLine{line, confidence, TextBox{left + x0, top + y0, x1 - x0, y1 - y0}});
    } while (it->Next(kLine));
    return lines;
  }

 private:
  // The region's rows, contiguous, inverted when the region is mostly dark.
  void copyRegion(const GrayImageView& image, int left, int top, int width, int height) {
    pixels_.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    std::uint64_t sum = 0;
    for (int y = 0; y < height; ++y) {
      const std::uint8_t* from = image.data + static_cast<std::ptrdiff_t>(top + y) * image.stride + left;
      std::uint8_t* to = pixels_.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
      std::memcpy(to, from, static_cast<std::size_t>(width));
      for (int x = 0; x < width; ++x) sum += to[x];
    }
    if (sum < static_cast<std::uint64_t>(kDarkBackgroundLuma) * pixels_.size())
      for (std::uint8_t& p : pixels_) p = static_cast<std::uint8_t>(255 - p);
  }

  tesseract::TessBaseAPI api_;
  std::vector<std::uint8_t> pixels_;
};

}  // namespace

std::unique_ptr<TextRecognizer> makeTesseractRecognizer(const std::vector<std::string>& languages) {
  return std::make_unique<TesseractRecognizer>(languages);
}

}  // namespace tolvo
