#include "pipeline/chunk_text_recognition.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "media/chunk_frame_decoder.h"
#include "pipeline/screen_change_detector.h"

namespace tolvo {
namespace {

// Figures measured on 1920x1080 Xvfb desktops recorded at 1 fps with the recorder's HEVC
// encoder (bench/pipeline/text_recognition_bench.cpp, bench/README.md):
//
// - Tiles of 32 px, a tolerance of 24 grey levels and 6 pixels a tile: a still 1080p screen
//   of terminal text encoded by x265 (superfast, crf 28 as the recorder's default quality,
//   a key frame every 10 pictures) never differs by more than 16 levels from its first
//   picture, not even across key frames, where every pixel is quantized again (a tolerance
//   of 8 lets 18 single pixels through); a character of dark text on a light ground changes
//   its pixels by 100 and more.
// - Recognizing a 1080p screen full of terminal text costs ~3.2 s of one core: a screen that
//   changes all over (terminals scrolling) cannot be read every few seconds in the
//   background (every picture in full would take 1.2 cores). `fullPictureIntervalMs` (30 s)
//   spaces recognitions by their area: the busy desktop of the recording benchmark is read
//   in full about twice a minute, ~9 % of a core, 13 times less than every picture.
// - The reading desktop (a listing, a new line a minute) costs one full picture per 3-minute
//   chunk and a few small regions: ~0.9 % of a core, 74 times less than every picture.
constexpr ScreenChangeDetector::Options kDetector{32, 24, 6};
// Regions grow by about a line of a 14 pt font above and below (lines cut by a tile edge are
// read whole) and by a few characters sideways.
constexpr int kPadX = 48;
constexpr int kPadY = 20;
constexpr int kMaximumRegions = 6;
// Above this share of the picture the regions are replaced by the whole picture: the
// recognizer then sees whole windows and columns.
constexpr double kFullPictureShare = 0.5;

struct Sighting {
  ScreenTextLine line;
  TextBox where;  // of its latest sighting
  bool onScreen = false;  // seen at its latest recognition, `where`
};

class ChunkReader {
 public:
  ChunkReader(TextRecognizer& recognizer, const RecognitionPolicy& policy)
      : recognizer_(recognizer), policy_(policy), detector_(kDetector) {}

  void add(const VideoFrame& frame, std::int64_t timeMs) {
    ++text_.framesDecoded;
    const GrayImageView picture{frame.data.data(), frame.width, frame.height, frame.stride};
    const TextBox whole{0, 0, frame.width, frame.height};
    if (!detector_.comparable(picture)) {  // the first picture, or one of a new size
      for (Sighting& sighting : sightings_) sighting.onScreen = false;
      // Read whatever the screen shows; the spacing by area applies to reading changes.
      read(picture, {whole}, timeMs, Spacing::interval);
      detector_.reset(picture);
      return;
    }
    const ScreenChanges changes = detector_.compare(picture);
    // What was read and has not changed since is still on screen.
    for (Sighting& sighting : sightings_)
      if (sighting.onScreen && !changes.touches(sighting.where)) sighting.line.lastSeenMs = timeMs;
    if (changes.changedPixels < policy_.minimumChangedPixels || timeMs < nextReadMs_) return;

    std::vector<TextBox> regions = changes.regions(kPadX, kPadY, kMaximumRegions);
    // A region takes in the whole of each line read before that it cuts: a line is read
    // whole or not at all, not as a new fragment.
    for (TextBox& region : regions)
      for (const Sighting& sighting : sightings_)
        if (sighting.onScreen && overlap(sighting.where, region)) region = bounding(region, sighting.where);
    mergeOverlapping(regions, kMaximumRegions);
    double area = 0;
    for (const TextBox& region : regions) area += double(region.width) * region.height;
    if (area > kFullPictureShare * frame.width * frame.height) regions.assign(1, whole);
    read(picture, regions, timeMs, Spacing::byArea);
    for (const TextBox& region : regions) detector_.update(picture, region);
  }

  [[nodiscard]] ChunkText finish() {
    for (Sighting& sighting : sightings_) text_.lines.push_back(std::move(sighting.line));
    return std::move(text_);
  }

 private:
  enum class Spacing { interval, byArea };

  void read(const GrayImageView& picture, const std::vector<TextBox>& regions, std::int64_t timeMs, Spacing spacing) {
    double area = 0;
    for (const TextBox& region : regions) {
      // Lines in the region are on screen again only if found again.
      for (Sighting& sighting : sightings_) {
        if (overlap(sighting.where, region)) sighting.onScreen = false;
      }
      for (RecognizedLine& found : recognizer_.recognize(picture, region)) note(std::move(found), timeMs);
      area += double(region.width) * region.height;
    }
    const double share = area / (double(picture.width) * picture.height);
    ++text_.framesRecognized;
    text_.pixelsRecognized += share;
    const auto byArea = static_cast<std::int64_t>(share * double(policy_.fullPictureIntervalMs));
    nextReadMs_ = timeMs + std::max(policy_.minimumIntervalMs, spacing == Spacing::byArea ? byArea : 0);
  }

  void note(RecognizedLine found, std::int64_t timeMs) {
    const auto [at, added] = index_.try_emplace(found.text, sightings_.size());
    if (added) {
      Sighting sighting;
      sighting.line = ScreenTextLine{std::move(found.text), found.confidence, found.box, timeMs, timeMs};
      sightings_.push_back(std::move(sighting));
    }
    Sighting& sighting = sightings_[at->second];
    if (found.confidence > sighting.line.confidence) {
      sighting.line.confidence = found.confidence;
      sighting.line.box = found.box;
    }
    sighting.line.lastSeenMs = std::max(sighting.line.lastSeenMs, timeMs);
    sighting.where = found.box;
    sighting.onScreen = true;
  }

  TextRecognizer& recognizer_;
  const RecognitionPolicy& policy_;
  ScreenChangeDetector detector_;
  ChunkText text_;
  std::vector<Sighting> sightings_;  // in order of first sighting
  std::unordered_map<std::string, std::size_t> index_;  // text -> sightings_ position
  std::int64_t nextReadMs_ = 0;
};

}  // namespace

ChunkTextRecognition::ChunkTextRecognition(TextRecognizer& recognizer, RecognitionPolicy policy)
    : recognizer_(recognizer), policy_(policy) {}

std::optional<ChunkText> ChunkTextRecognition::recognize(ByteView mp4, std::int64_t chunkStartMs,
                                                          const std::function<bool()>& shouldContinue) {
  ChunkFrameDecoder decoder(mp4, FramePixels::gray);
  ChunkReader reader(recognizer_, policy_);
  while (true) {
    if (shouldContinue && !shouldContinue()) return std::nullopt;
    const std::optional<VideoFrame> frame = decoder.next();  // one picture held at a time
    if (!frame) break;
    reader.add(*frame, chunkStartMs + frame->timeMs);
  }
  return reader.finish();
}

}  // namespace tolvo
