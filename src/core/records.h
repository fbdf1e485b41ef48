#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json_fwd.hpp>

#include "core/bytes.h"
#include "core/raw_enum.h"
#include "core/recording_config.h"
#include "core/time_util.h"

// The value records stored in the metadata database and sent to the application as JSON.
// JSON keys are the field names; absent optionals are left out; bytes are Base64 with padding;
// timestamps are seconds since 2001-01-01 00:00:00 UTC; enumerations are their raw strings.
namespace tolvo {

enum class PauseReason { lidClosed, screensaver, user, lockScreen, sleep };
enum class RecordingState { recording, paused };
enum class ArtifactKind { transcript, ocr, keyframes, proxy, summary };
enum class JobStatus { queued, running, done, failed, cancelled };
enum class JobType { summary, transcript, ocr, proxy };
enum class SummaryPreset { brief, detailed, activities };
enum class SummaryChunkInterval { twoMinutes, fiveMinutes, hourly };
enum class EventType {
  sessionStarted, sessionEnded, chunkStarted, chunkEnded, recordingPaused, recordingResumed,
  configChanged, screensaverStarted, screensaverEnded, lidClosed, lidOpened, displayChanged,
  appChanged, windowTitleChanged, error,
};

template <> struct RawEnum<PauseReason> {
  static constexpr std::array<std::pair<PauseReason, std::string_view>, 5> table{{
      {PauseReason::lidClosed, "lid_closed"}, {PauseReason::screensaver, "screensaver"},
      {PauseReason::user, "user"}, {PauseReason::lockScreen, "lock_screen"}, {PauseReason::sleep, "sleep"}}};
};
template <> struct RawEnum<RecordingState> {
  static constexpr std::array<std::pair<RecordingState, std::string_view>, 2> table{{
      {RecordingState::recording, "recording"}, {RecordingState::paused, "paused"}}};
};
template <> struct RawEnum<ArtifactKind> {
  static constexpr std::array<std::pair<ArtifactKind, std::string_view>, 5> table{{
      {ArtifactKind::transcript, "transcript"}, {ArtifactKind::ocr, "ocr"}, {ArtifactKind::keyframes, "keyframes"},
      {ArtifactKind::proxy, "proxy"}, {ArtifactKind::summary, "summary"}}};
};
template <> struct RawEnum<JobStatus> {
  static constexpr std::array<std::pair<JobStatus, std::string_view>, 5> table{{
      {JobStatus::queued, "queued"}, {JobStatus::running, "running"}, {JobStatus::done, "done"},
      {JobStatus::failed, "failed"}, {JobStatus::cancelled, "cancelled"}}};
};
template <> struct RawEnum<JobType> {
  static constexpr std::array<std::pair<JobType, std::string_view>, 4> table{{
      {JobType::summary, "summary"}, {JobType::transcript, "transcript"}, {JobType::ocr, "ocr"},
      {JobType::proxy, "proxy"}}};
};
template <> struct RawEnum<SummaryPreset> {
  static constexpr std::array<std::pair<SummaryPreset, std::string_view>, 3> table{{
      {SummaryPreset::brief, "brief"}, {SummaryPreset::detailed, "detailed"}, {SummaryPreset::activities, "activities"}}};
};
template <> struct RawEnum<SummaryChunkInterval> {
  static constexpr std::array<std::pair<SummaryChunkInterval, std::string_view>, 3> table{{
      {SummaryChunkInterval::twoMinutes, "2m"}, {SummaryChunkInterval::fiveMinutes, "5m"},
      {SummaryChunkInterval::hourly, "1h"}}};
};
template <> struct RawEnum<EventType> {
  static constexpr std::array<std::pair<EventType, std::string_view>, 15> table{{
      {EventType::sessionStarted, "session_started"}, {EventType::sessionEnded, "session_ended"},
      {EventType::chunkStarted, "chunk_started"}, {EventType::chunkEnded, "chunk_ended"},
      {EventType::recordingPaused, "recording_paused"}, {EventType::recordingResumed, "recording_resumed"},
      {EventType::configChanged, "config_changed"}, {EventType::screensaverStarted, "screensaver_started"},
      {EventType::screensaverEnded, "screensaver_ended"}, {EventType::lidClosed, "lid_closed"},
      {EventType::lidOpened, "lid_opened"}, {EventType::displayChanged, "display_changed"},
      {EventType::appChanged, "app_changed"}, {EventType::windowTitleChanged, "window_title_changed"},
      {EventType::error, "error"}}};
};

// Window length of a summary interval in milliseconds, and its display name.
[[nodiscard]] std::int64_t durationMs(SummaryChunkInterval interval) noexcept;
[[nodiscard]] std::string_view displayName(SummaryChunkInterval interval) noexcept;
inline constexpr std::array<SummaryChunkInterval, 3> kAllSummaryChunkIntervals{
    SummaryChunkInterval::twoMinutes, SummaryChunkInterval::fiveMinutes, SummaryChunkInterval::hourly};

struct Session {
  std::string id;
  std::int64_t startedAtMs = 0;
  std::optional<std::int64_t> endedAtMs;
  std::int64_t createdAtMs = 0;
  bool operator==(const Session&) const = default;
};

struct Chunk {
  std::string id;
  std::string sessionId;
  std::int64_t startAtMs = 0;
  std::optional<std::int64_t> endAtMs;
  std::string fileRelpath;
  std::optional<std::int64_t> mp4PlainLen;
  std::int64_t pageSize = 0;
  std::string codec;
  std::int64_t width = 0;
  std::int64_t height = 0;
  double fps = 0;
  bool hasAudio = false;
  std::optional<std::string> audioCodec;
  std::optional<std::int64_t> audioSampleRate;
  std::optional<std::int64_t> audioChannels;
  std::int64_t createdAtMs = 0;
  bool operator==(const Chunk&) const = default;
};

struct RecordingInterval {
  std::int64_t id = 0;
  std::string sessionId;
  std::int64_t startAtMs = 0;
  std::int64_t endAtMs = 0;
  RecordingState state = RecordingState::recording;
  std::optional<PauseReason> reason;
  bool operator==(const RecordingInterval&) const = default;
};

struct ContextInterval {
  std::int64_t id = 0;
  std::string sessionId;
  std::int64_t startAtMs = 0;
  std::int64_t endAtMs = 0;
  std::string bundleId;
  std::string appName;
  std::optional<std::string> windowTitle;
  std::optional<std::string> displayHint;
  bool operator==(const ContextInterval&) const = default;
};

struct Event {
  std::int64_t id = 0;
  std::string sessionId;
  std::int64_t tsMs = 0;
  EventType type = EventType::error;
  std::optional<Bytes> payload;
  bool operator==(const Event&) const = default;
};

struct Artifact {
  std::string id;
  std::string sessionId;
  ArtifactKind kind = ArtifactKind::summary;
  std::optional<std::int64_t> rangeStartMs;
  std::optional<std::int64_t> rangeEndMs;
  std::optional<std::string> fileRelpath;
  std::int64_t createdAtMs = 0;
  bool operator==(const Artifact&) const = default;
};

struct Summary {
  std::string id;
  std::string sessionId;
  std::int64_t rangeStartMs = 0;
  std::int64_t rangeEndMs = 0;
  std::string modelId;
  std::string summaryText;
  std::int64_t createdAtMs = 0;
  bool operator==(const Summary&) const = default;
};

struct PipelineJob {
  std::string id;
  std::string sessionId;
  std::int64_t requestedAtMs = 0;
  std::optional<std::int64_t> startedAtMs;
  std::optional<std::int64_t> finishedAtMs;
  JobStatus status = JobStatus::queued;
  JobType jobType = JobType::summary;
  std::optional<Bytes> params;
  std::optional<std::string> error;
  bool operator==(const PipelineJob&) const = default;
};

// One line of recognized screen text matching a search: where and when it was on screen
// (first and last seen, epoch milliseconds), the whole line and an excerpt around the match
// with the matched words in [brackets].
struct TextSearchHit {
  std::string sessionId;
  std::string chunkId;
  std::int64_t timestampMs = 0;
  std::int64_t lastSeenMs = 0;
  std::string text;
  std::string snippet;
  bool operator==(const TextSearchHit&) const = default;
};

struct UISessionToken {
  std::string token;
  Timestamp expiresAt;
  Timestamp createdAt;
  bool operator==(const UISessionToken&) const = default;
};

struct RecordingStatus {
  enum class State { idle, recording, paused, stopping, error };
  State state = State::idle;
  std::optional<std::string> currentSessionId;
  std::optional<std::string> currentChunkId;
  std::optional<Timestamp> startedAt;
  std::optional<Timestamp> pausedAt;
  std::optional<PauseReason> pauseReason;
  std::optional<std::string> errorMessage;
  RecordingConfig config;
  std::int64_t framesCaptured = 0;
  std::int64_t bytesWritten = 0;
  bool operator==(const RecordingStatus&) const = default;
};

template <> struct RawEnum<RecordingStatus::State> {
  static constexpr std::array<std::pair<RecordingStatus::State, std::string_view>, 5> table{{
      {RecordingStatus::State::idle, "idle"}, {RecordingStatus::State::recording, "recording"},
      {RecordingStatus::State::paused, "paused"}, {RecordingStatus::State::stopping, "stopping"},
      {RecordingStatus::State::error, "error"}}};
};

// JSON forms (nlohmann's to_json / from_json protocol). Decoding raises DecodingError.
#define TOLVO_DECLARE_JSON(Type)                 \
  void to_json(nlohmann::json& j, const Type& v); \
  void from_json(const nlohmann::json& j, Type& v);
TOLVO_DECLARE_JSON(Session)
TOLVO_DECLARE_JSON(Chunk)
TOLVO_DECLARE_JSON(RecordingInterval)
TOLVO_DECLARE_JSON(ContextInterval)
TOLVO_DECLARE_JSON(Event)
TOLVO_DECLARE_JSON(Artifact)
TOLVO_DECLARE_JSON(Summary)
TOLVO_DECLARE_JSON(PipelineJob)
TOLVO_DECLARE_JSON(UISessionToken)
TOLVO_DECLARE_JSON(RecordingStatus)
TOLVO_DECLARE_JSON(TextSearchHit)
#undef TOLVO_DECLARE_JSON

}  // namespace tolvo

// Hashing of the hashable records.
template <> struct std::hash<tolvo::Session> {
  std::size_t operator()(const tolvo::Session& s) const noexcept;
};
template <> struct std::hash<tolvo::Summary> {
  std::size_t operator()(const tolvo::Summary& s) const noexcept;
};
