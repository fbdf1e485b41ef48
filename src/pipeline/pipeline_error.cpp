#include "pipeline/pipeline_error.h"

namespace tolvo {

namespace {

std::string describe(PipelineError::Kind kind) {
  using Kind = PipelineError::Kind;
  switch (kind) {
    case Kind::remoteRequestFailed: return "The summary API request failed: ";
    case Kind::invalidParams: return "Invalid job parameters";
    case Kind::vaultLocked: return "Vault is locked";
    case Kind::chunkNotFound: return "Chunk not found";
    case Kind::ocrFailed: return "OCR processing failed";
    case Kind::sessionNotFound: return "Recording session not found";
    case Kind::noRelevantRecording: return "No recording data was found for the selected summary range";
    case Kind::invalidRemoteEndpoint: return "The configured summary API endpoint is invalid";
    case Kind::remoteTimedOut: return "The summary API request timed out";
  }
  return "Unknown pipeline error";
}

}  // namespace

PipelineError::PipelineError(Kind kind) : Error(describe(kind)), kind_(kind) {}

PipelineError PipelineError::remoteRequestFailed(const std::string& message) {
  return PipelineError(Kind::remoteRequestFailed, describe(Kind::remoteRequestFailed) + message);
}

}  // namespace tolvo
