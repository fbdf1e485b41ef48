#include "core/records.h"

#include <functional>

#include "core/json_codec.h"

namespace tolvo {

using json::optional;
using json::put;
using json::required;

std::int64_t durationMs(SummaryChunkInterval interval) noexcept {
  switch (interval) {
    case SummaryChunkInterval::twoMinutes: return 120000;
    case SummaryChunkInterval::fiveMinutes: return 300000;
    case SummaryChunkInterval::hourly: return 3600000;
  }
  return 0;
}

std::string_view displayName(SummaryChunkInterval interval) noexcept {
  switch (interval) {
    case SummaryChunkInterval::twoMinutes: return "Every 2 Minutes";
    case SummaryChunkInterval::fiveMinutes: return "Every 5 Minutes";
    case SummaryChunkInterval::hourly: return "Hourly";
  }
  return {};
}

void to_json(nlohmann::json& j, const Session& v) {
  j = nlohmann::json::object();
  put(j, "id", v.id);
  put(j, "startedAtMs", v.startedAtMs);
  put(j, "endedAtMs", v.endedAtMs);
  put(j, "createdAtMs", v.createdAtMs);
}
void from_json(const nlohmann::json& j, Session& v) {
  json::requireObject(j, "Session");
  v.id = required<std::string>(j, "id");
  v.startedAtMs = required<std::int64_t>(j, "startedAtMs");
  v.endedAtMs = optional<std::int64_t>(j, "endedAtMs");
  v.createdAtMs = required<std::int64_t>(j, "createdAtMs");
}

void to_json(nlohmann::json& j, const Chunk& v) {
  j = nlohmann::json::object();
  put(j, "id", v.id);
  put(j, "sessionId", v.sessionId);
  put(j, "startAtMs", v.startAtMs);
  put(j, "endAtMs", v.endAtMs);
  put(j, "fileRelpath", v.fileRelpath);
  put(j, "mp4PlainLen", v.mp4PlainLen);
  put(j, "pageSize", v.pageSize);
  put(j, "codec", v.codec);
  put(j, "width", v.width);
  put(j, "height", v.height);
  put(j, "fps", v.fps);
  put(j, "hasAudio", v.hasAudio);
  put(j, "audioCodec", v.audioCodec);
  put(j, "audioSampleRate", v.audioSampleRate);
  put(j, "audioChannels", v.audioChannels);
  put(j, "createdAtMs", v.createdAtMs);
}
void from_json(const nlohmann::json& j, Chunk& v) {
  json::requireObject(j, "Chunk");
  v.id = required<std::string>(j, "id");
  v.sessionId = required<std::string>(j, "sessionId");
  v.startAtMs = required<std::int64_t>(j, "startAtMs");
  v.endAtMs = optional<std::int64_t>(j, "endAtMs");
  v.fileRelpath = required<std::string>(j, "fileRelpath");
  v.mp4PlainLen = optional<std::int64_t>(j, "mp4PlainLen");
  v.pageSize = required<std::int64_t>(j, "pageSize");
  v.codec = required<std::string>(j, "codec");
  v.width = required<std::int64_t>(j, "width");
  v.height = required<std::int64_t>(j, "height");
  v.fps = required<double>(j, "fps");
  v.hasAudio = required<bool>(j, "hasAudio");
  v.audioCodec = optional<std::string>(j, "audioCodec");
  v.audioSampleRate = optional<std::int64_t>(j, "audioSampleRate");
  v.audioChannels = optional<std::int64_t>(j, "audioChannels");
  v.createdAtMs = required<std::int64_t>(j, "createdAtMs");
}

void to_json(nlohmann::json& j, const RecordingInterval& v) {
  j = nlohmann::json::object();
  put(j, "id", v.id);
  put(j, "sessionId", v.sessionId);
  put(j, "startAtMs", v.startAtMs);
  put(j, "endAtMs", v.endAtMs);
  put(j, "state", v.state);
  put(j, "reason", v.reason);
}
void from_json(const nlohmann::json& j, RecordingInterval& v) {
  json::requireObject(j, "RecordingInterval");
  v.id = required<std::int64_t>(j, "id");
  v.sessionId = required<std::string>(j, "sessionId");
  v.startAtMs = required<std::int64_t>(j, "startAtMs");
  v.endAtMs = required<std::int64_t>(j, "endAtMs");
  v.state = required<RecordingState>(j, "state");
  v.reason = optional<PauseReason>(j, "reason");
}

void to_json(nlohmann::json& j, const ContextInterval& v) {
  j = nlohmann::json::object();
  put(j, "id", v.id);
  put(j, "sessionId", v.sessionId);
  put(j, "startAtMs", v.startAtMs);
  put(j, "endAtMs", v.endAtMs);
  put(j, "bundleId", v.bundleId);
  put(j, "appName", v.appName);
  put(j, "windowTitle", v.windowTitle);
  put(j, "displayHint", v.displayHint);
}
void from_json(const nlohmann::json& j, ContextInterval& v) {
  json::requireObject(j, "ContextInterval");
  v.id = required<std::int64_t>(j, "id");
  v.sessionId = required<std::string>(j, "sessionId");
  v.startAtMs = required<std::int64_t>(j, "startAtMs");
  v.endAtMs = required<std::int64_t>(j, "endAtMs");
  v.bundleId = required<std::string>(j, "bundleId");
  v.appName = required<std::string>(j, "appName");
  v.windowTitle = optional<std::string>(j, "windowTitle");
  v.displayHint = optional<std::string>(j, "displayHint");
}

void to_json(nlohmann::json& j, const Event& v) {
  j = nlohmann::json::object();
  put(j, "id", v.id);
  put(j, "sessionId", v.sessionId);
  put(j, "tsMs", v.tsMs);
  put(j, "type", v.type);
  put(j, "payload", v.payload);
}
void from_json(const nlohmann::json& j, Event& v) {
  json::requireObject(j, "Event");
  v.id = required<std::int64_t>(j, "id");
  v.sessionId = required<std::string>(j, "sessionId");
  v.tsMs = required<std::int64_t>(j, "tsMs");
  v.type = required<EventType>(j, "type");
  v.payload = optional<Bytes>(j, "payload");
}

void to_json(nlohmann::json& j, const Artifact& v) {
  j = nlohmann::json::object();
  put(j, "id", v.id);
  put(j, "sessionId", v.sessionId);
  put(j, "kind", v.kind);
  put(j, "rangeStartMs", v.rangeStartMs);
  put(j, "rangeEndMs", v.rangeEndMs);
  put(j, "fileRelpath", v.fileRelpath);
  put(j, "createdAtMs", v.createdAtMs);
}
void from_json(const nlohmann::json& j, Artifact& v) {
  json::requireObject(j, "Artifact");
  v.id = required<std::string>(j, "id");
  v.sessionId = required<std::string>(j, "sessionId");
  v.kind = required<ArtifactKind>(j, "kind");
  v.rangeStartMs = optional<std::int64_t>(j, "rangeStartMs");
  v.rangeEndMs = optional<std::int64_t>(j, "rangeEndMs");
  v.fileRelpath = optional<std::string>(j, "fileRelpath");
  v.createdAtMs = required<std::int64_t>(j, "createdAtMs");
}

void to_json(nlohmann::json& j, const Summary& v) {
  j = nlohmann::json::object();
  put(j, "id", v.id);
  put(j, "sessionId", v.sessionId);
  put(j, "rangeStartMs", v.rangeStartMs);
  put(j, "rangeEndMs", v.rangeEndMs);
  put(j, "modelId", v.modelId);
  put(j, "summaryText", v.summaryText);
  put(j, "createdAtMs", v.createdAtMs);
}
void from_json(const nlohmann::json& j, Summary& v) {
  json::requireObject(j, "Summary");
  v.id = required<std::string>(j, "id");
  v.sessionId = required<std::string>(j, "sessionId");
  v.rangeStartMs = required<std::int64_t>(j, "rangeStartMs");
  v.rangeEndMs = required<std::int64_t>(j, "rangeEndMs");
  v.modelId = required<std::string>(j, "modelId");
  v.summaryText = required<std::string>(j, "summaryText");
  v.createdAtMs = required<std::int64_t>(j, "createdAtMs");
}

void to_json(nlohmann::json& j, const TextSearchHit& v) {
  j = nlohmann::json::object();
  put(j, "sessionId", v.sessionId);
  put(j, "chunkId", v.chunkId);
  put(j, "timestampMs", v.timestampMs);
  put(j, "lastSeenMs", v.lastSeenMs);
  put(j, "text", v.text);
  put(j, "snippet", v.snippet);
}
void from_json(const nlohmann::json& j, TextSearchHit& v) {
  json::requireObject(j, "TextSearchHit");
  v.sessionId = required<std::string>(j, "sessionId");
  v.chunkId = required<std::string>(j, "chunkId");
  v.timestampMs = required<std::int64_t>(j, "timestampMs");
  v.lastSeenMs = required<std::int64_t>(j, "lastSeenMs");
  v.text = required<std::string>(j, "text");
  v.snippet = required<std::string>(j, "snippet");
}

void to_json(nlohmann::json& j, const PipelineJob& v) {
  j = nlohmann::json::object();
  put(j, "id", v.id);
  put(j, "sessionId", v.sessionId);
  put(j, "requestedAtMs", v.requestedAtMs);
  put(j, "startedAtMs", v.startedAtMs);
  put(j, "finishedAtMs", v.finishedAtMs);
  put(j, "status", v.status);
  put(j, "jobType", v.jobType);
  put(j, "params", v.params);
  put(j, "error", v.error);
}
void from_json(const nlohmann::json& j, PipelineJob& v) {
  json::requireObject(j, "PipelineJob");
  v.id = required<std::string>(j, "id");
  v.sessionId = required<std::string>(j, "sessionId");
  v.requestedAtMs = required<std::int64_t>(j, "requestedAtMs");
  v.startedAtMs = optional<std::int64_t>(j, "startedAtMs");
  v.finishedAtMs = optional<std::int64_t>(j, "finishedAtMs");
  v.status = required<JobStatus>(j, "status");
  v.jobType = required<JobType>(j, "jobType");
  v.params = optional<Bytes>(j, "params");
  v.error = optional<std::string>(j, "error");
}

void to_json(nlohmann::json& j, const UISessionToken& v) {
  j = nlohmann::json::object();
  put(j, "token", v.token);
  put(j, "expiresAt", v.expiresAt);
  put(j, "createdAt", v.createdAt);
}
void from_json(const nlohmann::json& j, UISessionToken& v) {
  json::requireObject(j, "UISessionToken");
  v.token = required<std::string>(j, "token");
  v.expiresAt = required<Timestamp>(j, "expiresAt");
  v.createdAt = required<Timestamp>(j, "createdAt");
}

void to_json(nlohmann::json& j, const RecordingStatus& v) {
  j = nlohmann::json::object();
  put(j, "state", v.state);
  put(j, "currentSessionId", v.currentSessionId);
  put(j, "currentChunkId", v.currentChunkId);
  put(j, "startedAt", v.startedAt);
  put(j, "pausedAt", v.pausedAt);
  put(j, "pauseReason", v.pauseReason);
  put(j, "errorMessage", v.errorMessage);
  j["config"] = v.config;
  put(j, "framesCaptured", v.framesCaptured);
  put(j, "bytesWritten", v.bytesWritten);
}
void from_json(const nlohmann::json& j, RecordingStatus& v) {
  json::requireObject(j, "RecordingStatus");
  v.state = required<RecordingStatus::State>(j, "state");
  v.currentSessionId = optional<std::string>(j, "currentSessionId");
  v.currentChunkId = optional<std::string>(j, "currentChunkId");
  v.startedAt = optional<Timestamp>(j, "startedAt");
  v.pausedAt = optional<Timestamp>(j, "pausedAt");
  v.pauseReason = optional<PauseReason>(j, "pauseReason");
  v.errorMessage = optional<std::string>(j, "errorMessage");
  auto config = j.find("config");
  if (config == j.end() || config->is_null()) json::throwMissingKey("config");
  v.config = config->get<RecordingConfig>();
  v.framesCaptured = required<std::int64_t>(j, "framesCaptured");
  v.bytesWritten = required<std::int64_t>(j, "bytesWritten");
}

}  // namespace tolvo

namespace {
inline void hashCombine(std::size_t& seed, std::size_t h) noexcept {
  seed ^= h + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}
}  // namespace

std::size_t std::hash<tolvo::Session>::operator()(const tolvo::Session& s) const noexcept {
  std::size_t seed = std::hash<std::string>{}(s.id);
  hashCombine(seed, std::hash<std::int64_t>{}(s.startedAtMs));
  hashCombine(seed, std::hash<std::int64_t>{}(s.endedAtMs.value_or(-1)) ^ (s.endedAtMs ? 1u : 0u));
  hashCombine(seed, std::hash<std::int64_t>{}(s.createdAtMs));
  return seed;
}

std::size_t std::hash<tolvo::Summary>::operator()(const tolvo::Summary& s) const noexcept {
  std::size_t seed = std::hash<std::string>{}(s.id);
  hashCombine(seed, std::hash<std::string>{}(s.sessionId));
  hashCombine(seed, std::hash<std::int64_t>{}(s.rangeStartMs));
  hashCombine(seed, std::hash<std::int64_t>{}(s.rangeEndMs));
  hashCombine(seed, std::hash<std::string>{}(s.modelId));
  hashCombine(seed, std::hash<std::string>{}(s.summaryText));
  hashCombine(seed, std::hash<std::int64_t>{}(s.createdAtMs));
  return seed;
}
