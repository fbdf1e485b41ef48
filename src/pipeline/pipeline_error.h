#pragma once

#include <string>

#include "core/error.h"

namespace tolvo {

// The summary pipeline's error. Its description is the text stored as a failed job's error.
class PipelineError : public Error {
 public:
  enum class Kind {
    remoteRequestFailed,
    invalidParams,
    vaultLocked,
    chunkNotFound,
    ocrFailed,
    sessionNotFound,
    noRelevantRecording,
    invalidRemoteEndpoint,
    remoteTimedOut,
  };

  // Every kind but remoteRequestFailed; that one carries a message (below).
  explicit PipelineError(Kind kind);
  // "The summary API request failed: " followed by `message`.
  [[nodiscard]] static PipelineError remoteRequestFailed(const std::string& message);

  [[nodiscard]] Kind kind() const noexcept { return kind_; }

 private:
  PipelineError(Kind kind, const std::string& description) : Error(description), kind_(kind) {}

  Kind kind_;
};

}  // namespace tolvo
