#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/bytes.h"
#include "core/records.h"
#include "pipeline/pipeline_records.h"

namespace tolvo {

class DateFormats;
class SummaryVideoExport;

// One content item of a request message: text, or a file sent inline as Base64.
struct SummaryRemoteText {
  std::string text;
};
struct SummaryRemoteFile {
  std::string filename;
  std::string mimeType;
  Bytes data;  // raw bytes; Base64-encoded when the request is serialized
};
using SummaryRemoteContent = std::variant<SummaryRemoteText, SummaryRemoteFile>;

struct SummaryRemoteInput {
  std::string role = "user";
  std::vector<SummaryRemoteContent> content;
};

struct SummaryRemoteMetadata {
  std::string sessionId;
  std::int64_t rangeStartMs = 0;
  std::int64_t rangeEndMs = 0;
  std::string chunkInterval;  // "2m", "5m", "1h"
  std::string preset;         // "brief", "detailed", "activities", "daily_aggregate"
  std::string question;
  std::vector<std::string> appNames;
};

// The request body: {"model", "input", "metadata"}.
struct SummaryRemoteRequest {
  std::string model = "gpt-4.1-mini";
  std::vector<SummaryRemoteInput> input;
  SummaryRemoteMetadata metadata;
};

// How long the exchange may take: the HTTP request's own timeout (a transport error when it
// expires) and the bound on the whole wait (remoteTimedOut). Tests shorten them.
struct RemoteSummaryTimeouts {
  std::chrono::milliseconds request{120'000};
  std::chrono::milliseconds overall{130'000};
};

// The endpoint address for a base address: nothing when the base is not an absolute http or
// https address (libcurl would read local files for file: addresses);
// a path already ending in "/v1/responses" is kept; otherwise "/v1/responses" is appended to
// the path with its slashes trimmed. Scheme, host, port, query and fragment are kept.
[[nodiscard]] std::optional<std::string> summaryEndpointURL(std::string_view base);

// The prompt of one window (time-of-day texts from `dates`).
[[nodiscard]] std::string buildRemotePrompt(SummaryPreset preset, SummaryChunkInterval interval,
                                            std::string_view question, const std::vector<ContextInterval>& contexts,
                                            SummaryWindowRange window, const DateFormats& dates);

// The JSON body of `request`, its files in Base64. Consumes the request so that each file's
// raw bytes are released once encoded (a large window is then held about 1.3 times, not 3).
[[nodiscard]] std::string encodeRemoteRequest(SummaryRemoteRequest request);

// The HTTP exchange with the summary endpoint (libcurl): POST, only the header
// "Content-Type: application/json", no cookies, cache or stored credentials, TLS verified
// against the system's certificates (SSL_CERT_FILE / SSL_CERT_DIR when set).
//
// Errors: PipelineError(invalidRemoteEndpoint), (remoteTimedOut),
// PipelineError::remoteRequestFailed(detail), DecodingError for a body that is not the
// expected JSON, and the export's errors. Answers are read up to 16 MiB; an error answer is
// quoted in the error up to 16384 characters.
//
// Thread-safe: each call uses its own transfer.
class RemoteSummaryClient {
 public:
  explicit RemoteSummaryClient(RemoteSummaryTimeouts timeouts = {});

  // Sends the request and reads the answer: the trimmed "output_text" and the trimmed "model"
  // (or "remote-summary").
  [[nodiscard]] SummaryResult performRemoteSummaryRequest(SummaryRemoteRequest request,
                                                          const std::string& endpointURL) const;

  // Resolves the endpoint (before any other work), exports the window's chunks (sorted by
  // start), builds the prompt and the request with the video attached as
  // "recording-<session>-<start>-<end>.mp4" and sends it.
  [[nodiscard]] SummaryResult summarizeWindowRemotely(std::string_view sessionId, SummaryWindowRange window,
                                                      SummaryPreset preset, SummaryChunkInterval interval,
                                                      std::string_view question, const std::vector<Chunk>& chunks,
                                                      const std::vector<ContextInterval>& contexts,
                                                      std::string_view remoteAPIBaseURL,
                                                      const SummaryVideoExport& exporter,
                                                      const DateFormats& dates) const;

 private:
  RemoteSummaryTimeouts timeouts_;
};

}  // namespace tolvo
