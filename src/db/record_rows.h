#pragma once

#include "core/records.h"
#include "db/sql_row.h"

// Row-to-record mapping of the metadata database (internal to the db layer). Each function
// reads the columns of its table by name. A column the schema declares NOT NULL that has no
// value raises DatabaseError::queryFailed naming it; an absent optional column leaves the
// field absent; an enumeration text that is no raw string of its enumeration takes the
// column's fallback (recording_intervals.state: recording, .reason: absent, events.type:
// error, pipeline_jobs.status: queued, .job_type: summary, artifacts.kind: summary).
namespace tolvo::rows {

[[nodiscard]] Session toSession(const SQLRow& row);
[[nodiscard]] Chunk toChunk(const SQLRow& row);
[[nodiscard]] RecordingInterval toRecordingInterval(const SQLRow& row);
[[nodiscard]] ContextInterval toContextInterval(const SQLRow& row);
[[nodiscard]] Event toEvent(const SQLRow& row);
[[nodiscard]] PipelineJob toPipelineJob(const SQLRow& row);
[[nodiscard]] Artifact toArtifact(const SQLRow& row);
[[nodiscard]] Summary toSummary(const SQLRow& row);

}  // namespace tolvo::rows
