#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tolvo {

// Answers of operations that report success as (bool ok, text? error).
struct OkResult {
  bool ok = false;
  std::optional<std::string> error;
  bool operator==(const OkResult&) const = default;
};

// Answers of the form (data?, text? error): on success value is set and error is not; on
// failure error is set; both absent means "nothing to return" (say an unknown session).
template <typename T>
struct DataResult {
  std::optional<T> value;
  std::optional<std::string> error;
};

// Answers of the form (int count, text? error); count is 0 on failure.
struct CountResult {
  std::int64_t count = 0;
  std::optional<std::string> error;
  bool operator==(const CountResult&) const = default;
};

// The answer of startSummaryJob.
struct JobIdResult {
  std::optional<std::string> jobId;
  std::optional<std::string> error;
  bool operator==(const JobIdResult&) const = default;
};

// The arguments of startSummaryJob after the token. preset and chunkInterval are passed as
// texts: the service maps texts it does not know to its defaults.
struct SummaryJobRequest {
  std::string sessionId;
  std::int64_t startMs = 0;
  std::int64_t endMs = 0;
  std::string preset = "brief";
  std::string chunkInterval = "5m";
  std::string question;
  std::optional<std::string> remoteAPIBaseURL;
};

}  // namespace tolvo
