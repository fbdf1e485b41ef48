#include "db/record_rows.h"

#include <optional>
#include <string>

#include "core/raw_enum.h"

namespace tolvo::rows {
namespace {

// The case named by the column's text; nothing when it has no text or an unknown one.
template <typename E>
std::optional<E> enumeration(const SQLRow& row, std::string_view column) {
  auto text = row.text(column);
  if (!text) return std::nullopt;
  return fromRawValue<E>(*text);
}

// Like enumeration(), for a NOT NULL column: a missing value fails the read; any value that is
// not a raw string of E takes `fallback`.
template <typename E>
E requiredEnumeration(const SQLRow& row, std::string_view column, E fallback) {
  if (!row.contains(column)) (void)row.requiredText(column);  // raises: the column has no value
  return enumeration<E>(row, column).value_or(fallback);
}

}  // namespace

Session toSession(const SQLRow& row) {
  Session s;
  s.id = row.requiredText("session_id");
  s.startedAtMs = row.requiredInteger("started_at_ms");
  s.endedAtMs = row.integer("ended_at_ms");
  s.createdAtMs = row.requiredInteger("created_at_ms");
  return s;
}

Chunk toChunk(const SQLRow& row) {
  Chunk c;
  c.id = row.requiredText("chunk_id");
  c.sessionId = row.requiredText("session_id");
  c.startAtMs = row.requiredInteger("start_at_ms");
  c.endAtMs = row.integer("end_at_ms");
  c.fileRelpath = row.requiredText("file_relpath");
  c.mp4PlainLen = row.integer("mp4_plain_len");
  c.pageSize = row.requiredInteger("page_size");
  c.codec = row.requiredText("codec");
  c.width = row.requiredInteger("width");
  c.height = row.requiredInteger("height");
  c.fps = row.requiredReal("fps");
  c.hasAudio = row.requiredInteger("has_audio") != 0;
  c.audioCodec = row.text("audio_codec");
  c.audioSampleRate = row.integer("audio_sample_rate");
  c.audioChannels = row.integer("audio_channels");
  c.createdAtMs = row.requiredInteger("created_at_ms");
  return c;
}

RecordingInterval toRecordingInterval(const SQLRow& row) {
  RecordingInterval r;
  r.id = row.requiredInteger("interval_id");
  r.sessionId = row.requiredText("session_id");
  r.startAtMs = row.requiredInteger("start_at_ms");
  r.endAtMs = row.requiredInteger("end_at_ms");
  r.state = requiredEnumeration(row, "state", RecordingState::recording);
  r.reason = enumeration<PauseReason>(row, "reason");
  return r;
}

ContextInterval toContextInterval(const SQLRow& row) {
  ContextInterval c;
  c.id = row.requiredInteger("ctx_id");
  c.sessionId = row.requiredText("session_id");
  c.startAtMs = row.requiredInteger("start_at_ms");
  c.endAtMs = row.requiredInteger("end_at_ms");
  c.bundleId = row.requiredText("bundle_id");
  c.appName = row.requiredText("app_name");
  c.windowTitle = row.text("window_title");
  c.displayHint = row.text("display_hint");
  return c;
}

Event toEvent(const SQLRow& row) {
  Event e;
  e.id = row.requiredInteger("event_id");
  e.sessionId = row.requiredText("session_id");
  e.tsMs = row.requiredInteger("ts_ms");
  e.type = requiredEnumeration(row, "type", EventType::error);
  e.payload = row.blob("payload");
  return e;
}

PipelineJob toPipelineJob(const SQLRow& row) {
  PipelineJob j;
  j.id = row.requiredText("job_id");
  j.sessionId = row.requiredText("session_id");
  j.requestedAtMs = row.requiredInteger("requested_at_ms");
  j.startedAtMs = row.integer("started_at_ms");
  j.finishedAtMs = row.integer("finished_at_ms");
  j.status = requiredEnumeration(row, "status", JobStatus::queued);
  j.jobType = requiredEnumeration(row, "job_type", JobType::summary);
  j.params = row.blob("params");
  j.error = row.text("error");
  return j;
}

Artifact toArtifact(const SQLRow& row) {
  Artifact a;
  a.id = row.requiredText("artifact_id");
  a.sessionId = row.requiredText("session_id");
  a.kind = requiredEnumeration(row, "kind", ArtifactKind::summary);
  a.rangeStartMs = row.integer("range_start_ms");
  a.rangeEndMs = row.integer("range_end_ms");
  a.fileRelpath = row.text("file_relpath");
  a.createdAtMs = row.requiredInteger("created_at_ms");
  return a;
}

Summary toSummary(const SQLRow& row) {
  Summary s;
  s.id = row.requiredText("summary_id");
  s.sessionId = row.requiredText("session_id");
  s.rangeStartMs = row.requiredInteger("range_start_ms");
  s.rangeEndMs = row.requiredInteger("range_end_ms");
  s.modelId = row.requiredText("model_id");
  s.summaryText = row.requiredText("summary_text");
  s.createdAtMs = row.requiredInteger("created_at_ms");
  return s;
}

}  // namespace tolvo::rows
