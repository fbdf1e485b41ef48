#include "pipeline/remote_summary.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <set>

#include <nlohmann/json.hpp>

#include "core/base64.h"
#include "core/handle.h"
#include "core/raw_enum.h"
#include "pipeline/date_formats.h"
#include "pipeline/pipeline_error.h"
#include "pipeline/summary_text.h"
#include "pipeline/summary_video_export.h"

namespace tolvo {

namespace {

using CurlEasy = Handle<CURL, curl_easy_cleanup>;
using CurlList = Handle<curl_slist, curl_slist_free_all>;
using CurlURL = Handle<CURLU, curl_url_cleanup>;
using SteadyClock = std::chrono::steady_clock;

constexpr std::string_view kEndpointPath = "/v1/responses";
constexpr std::size_t kTitleCount = 5;
constexpr std::size_t kTitleCharacters = 80;
// The most of an answer kept in memory; a longer one fails the request.
constexpr std::size_t kMaxResponseBytes = std::size_t{16} << 20;
constexpr std::size_t kQuotedCharacters = 16 * 1024;

// ---- Endpoint

std::optional<std::string> urlPart(CURLU* url, CURLUPart part) {
  char* text = nullptr;
  if (curl_url_get(url, part, &text, 0) != CURLUE_OK || text == nullptr) return std::nullopt;
  std::string result(text);
  curl_free(text);
  return result;
}

// ---- Prompt

std::string_view presetSentence(SummaryPreset preset) {
  switch (preset) {
    case SummaryPreset::brief: return "Return a concise activity summary.";
    case SummaryPreset::detailed: return "Return a detailed activity summary with visible work context.";
    case SummaryPreset::activities: return "Focus on concrete user activities and app transitions.";
  }
  return {};
}

std::vector<std::string> distinctAppNames(const std::vector<ContextInterval>& contexts) {
  std::set<std::string> names;
  for (const auto& context : contexts) names.insert(context.appName);
  return {names.begin(), names.end()};
}

// ---- Request body

// The JSON string literal of `text`; invalid UTF-8 becomes U+FFFD.
std::string jsonString(const std::string& text) {
  return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// ---- Response


// Reads the top-level "output_text" and "model" of an answer without building the rest of
// the document, so that a large or deeply nested answer costs no memory beyond its text.
// A member whose value is not a string reads as absent; of repeated members the last counts.
class AnswerFields final : public nlohmann::json_sax<nlohmann::json> {
 public:
  bool isObject = false;
  std::optional<std::string> outputText;
  std::optional<std::string> model;

  bool null() override { return scalar(nullptr); }
  bool boolean(bool) override { return scalar(nullptr); }
  bool number_integer(number_integer_t) override { return scalar(nullptr); }
  bool number_unsigned(number_unsigned_t) override { return scalar(nullptr); }
  bool number_float(number_float_t, const string_t&) override { return scalar(nullptr); }
  bool string(string_t& value) override { return scalar(&value); }
  bool binary(binary_t&) override { return scalar(nullptr); }
  bool start_object(std::size_t) override {
    if (depth_ == 0) isObject = true;
    return open();
  }
  bool key(string_t& name) override {
    if (depth_ == 1) member_ = name == "output_text" ? &outputText : name == "model" ? &model : nullptr;
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

 private:
  bool scalar(string_t* value) {
    if (member_ != nullptr) *member_ = value != nullptr ? std::optional<std::string>(std::move(*value)) : std::nullopt;
    member_ = nullptr;
    return true;
  }
  bool open() {
    scalar(nullptr);
    ++depth_;
    return true;
  }
  bool close() {
    --depth_;
    return true;
  }

  int depth_ = 0;
  std::optional<std::string>* member_ = nullptr;
};

SummaryResult decodeAnswer(const std::string& body) {
  AnswerFields fields;
  if (!nlohmann::json::sax_parse(body, &fields)) throw DecodingError("The summary API response is not valid JSON");
  if (!fields.isObject) throw DecodingError("The summary API response is not a JSON object");
  if (!fields.outputText) throw DecodingError("The summary API response has no \"output_text\" text");
  std::string text = trimWhitespace(*fields.outputText);
  if (text.empty()) throw PipelineError::remoteRequestFailed("Remote summary response did not include output_text");
  std::string model = fields.model ? trimWhitespace(*fields.model) : std::string();
  if (model.empty()) model = "remote-summary";
  return {std::move(model), std::move(text)};
}

// ---- Transfer

struct Transfer {
  SteadyClock::time_point deadline;
  bool pastDeadline = false;
  bool tooLarge = false;
  std::string body;
};

std::size_t receive(char* data, std::size_t size, std::size_t count, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  const std::size_t n = size * count;
  if (n > kMaxResponseBytes - transfer.body.size()) {
    transfer.tooLarge = true;
    return 0;  // anything but n ends the transfer with CURLE_WRITE_ERROR
  }
  transfer.body.append(data, n);
  return n;
}

int checkDeadline(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto& transfer = *static_cast<Transfer*>(user);
  if (SteadyClock::now() < transfer.deadline) return 0;
  transfer.pastDeadline = true;
  return 1;  // aborts with CURLE_ABORTED_BY_CALLBACK
}

template <typename T>
void setOption(CURL* curl, CURLoption option, T value) {
  if (const CURLcode code = curl_easy_setopt(curl, option, value); code != CURLE_OK) {
    throw PipelineError::remoteRequestFailed(curl_easy_strerror(code));
  }
}

void initializeCurlOnce() {
  static std::once_flag once;
  static CURLcode result = CURLE_OK;
  std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (result != CURLE_OK) throw PipelineError::remoteRequestFailed(curl_easy_strerror(result));
}

}  // namespace

std::optional<std::string> summaryEndpointURL(std::string_view base) {
  if (base.find('\0') != std::string_view::npos) return std::nullopt;
  CurlURL url(curl_url());
  if (!url) throw std::bad_alloc();
  // No default scheme: a text without one is not an address.
  if (curl_url_set(url.get(), CURLUPART_URL, std::string(base).c_str(), 0) != CURLUE_OK) return std::nullopt;
  // Only HTTP(S): libcurl would also read file:// or ftp:// addresses, and what it read would
  // then reach the job's error text.
  auto scheme = urlPart(url.get(), CURLUPART_SCHEME);
  if (!scheme) return std::nullopt;
  std::ranges::transform(*scheme, scheme->begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (*scheme != "http" && *scheme != "https") return std::nullopt;

  const std::string path = urlPart(url.get(), CURLUPART_PATH).value_or("/");
  if (!path.ends_with(kEndpointPath)) {
    const auto first = path.find_first_not_of('/');
    const std::string trimmedPath =
        first == std::string::npos ? std::string() : path.substr(first, path.find_last_not_of('/') - first + 1);
    const std::string rebuilt = (trimmedPath.empty() ? "" : "/" + trimmedPath) + std::string(kEndpointPath);
    if (curl_url_set(url.get(), CURLUPART_PATH, rebuilt.c_str(), 0) != CURLUE_OK) return std::nullopt;
  }
  return urlPart(url.get(), CURLUPART_URL);
}

std::string buildRemotePrompt(SummaryPreset preset, SummaryChunkInterval interval, std::string_view question,
                              const std::vector<ContextInterval>& contexts, SummaryWindowRange window,
                              const DateFormats& dates) {
  std::string prompt = "Summarize this screen-recording window.\n";
  prompt += presetSentence(preset);
  prompt += "\nQuestion: ";
  prompt += question;
  prompt += "\nWindow: " + dates.clockTime(window.startMs) + " to " + dates.clockTime(window.endMs);
  prompt += ".\nChunk size setting: ";
  prompt += displayName(interval);
  prompt += ".";
  if (!contexts.empty()) prompt += "\nApps seen: " + joinStrings(distinctAppNames(contexts), ", ") + ".";

  std::vector<std::string> titles;
  for (const auto& context : contexts) {
    if (context.windowTitle) titles.push_back(*context.windowTitle);
    if (titles.size() == kTitleCount) break;
  }
  if (!titles.empty()) {
    for (auto& title : titles) title = firstCharacters(title, kTitleCharacters);
    prompt += "\nNotable window titles: " + joinStrings(titles, " | ") + ".";
  }
  prompt += "\nKeep the answer in plain text.";
  return prompt;
}

std::string encodeRemoteRequest(SummaryRemoteRequest request) {
  // The body is the text pieces with a file's Base64 between each two: pieces[i] comes before
  // files[i], and the last piece closes the document.
  std::vector<std::string> pieces;
  std::vector<SummaryRemoteFile*> files;
  std::string text = "{\"model\":" + jsonString(request.model) + ",\"input\":[";
  for (std::size_t i = 0; i < request.input.size(); ++i) {
    auto& input = request.input[i];
    text += (i > 0 ? ",{\"role\":" : "{\"role\":") + jsonString(input.role) + ",\"content\":[";
    for (std::size_t j = 0; j < input.content.size(); ++j) {
      if (j > 0) text += ',';
      if (auto* item = std::get_if<SummaryRemoteText>(&input.content[j])) {
        text += R"({"type":"input_text","text":)" + jsonString(item->text) + "}";
      } else {
        auto& file = std::get<SummaryRemoteFile>(input.content[j]);
        text += R"({"type":"input_file","filename":)" + jsonString(file.filename) + R"(,"mime_type":)" +
                jsonString(file.mimeType) + R"(,"data":")";
        pieces.push_back(std::move(text));
        files.push_back(&file);
        text = "\"}";
      }
    }
    text += "]}";
  }
  const auto& m = request.metadata;
  const nlohmann::ordered_json metadata{{"session_id", m.sessionId},    {"range_start_ms", m.rangeStartMs},
                                        {"range_end_ms", m.rangeEndMs}, {"chunk_interval", m.chunkInterval},
                                        {"preset", m.preset},           {"question", m.question},
                                        {"app_names", m.appNames}};
  text += "],\"metadata\":" + metadata.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "}";
  pieces.push_back(std::move(text));

  std::size_t size = 0;
  for (const auto& piece : pieces) size += piece.size();
  for (const auto* file : files) size += base64EncodedLength(file->data.size());
  std::string body;
  body.reserve(size);
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    body += pieces[i];
    if (i == files.size()) break;
    base64Append(body, files[i]->data);
    Bytes().swap(files[i]->data);
  }
  return body;
}

RemoteSummaryClient::RemoteSummaryClient(RemoteSummaryTimeouts timeouts) : timeouts_(timeouts) {}

SummaryResult RemoteSummaryClient::performRemoteSummaryRequest(SummaryRemoteRequest request,
                                                               const std::string& endpointURL) const {
  Transfer transfer;
  transfer.deadline = SteadyClock::now() + timeouts_.overall;
  initializeCurlOnce();
  const std::string body = encodeRemoteRequest(std::move(request));

  char errors[CURL_ERROR_SIZE] = {};
  CurlList headers;
  for (const char* header : {"Content-Type: application/json", "Expect:", "Accept:"}) {
    curl_slist* extended = curl_slist_append(headers.get(), header);
    if (extended == nullptr) throw std::bad_alloc();
    (void)headers.release();
    headers.reset(extended);
  }
  CurlEasy curl(curl_easy_init());
  if (!curl) throw PipelineError::remoteRequestFailed("Cannot start a transfer");
  CURL* c = curl.get();
  setOption(c, CURLOPT_ERRORBUFFER, errors);
  setOption(c, CURLOPT_URL, endpointURL.c_str());
  setOption(c, CURLOPT_PROTOCOLS_STR, "http,https");
  setOption(c, CURLOPT_FOLLOWLOCATION, 0L);
  setOption(c, CURLOPT_NETRC, static_cast<long>(CURL_NETRC_IGNORED));
  setOption(c, CURLOPT_NOSIGNAL, 1L);
  setOption(c, CURLOPT_POST, 1L);
  setOption(c, CURLOPT_POSTFIELDS, body.data());
  setOption(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  setOption(c, CURLOPT_HTTPHEADER, headers.get());
  setOption(c, CURLOPT_SSL_VERIFYPEER, 1L);
  setOption(c, CURLOPT_SSL_VERIFYHOST, 2L);
  if (const char* file = std::getenv("SSL_CERT_FILE"); file != nullptr && *file != '\0')
    setOption(c, CURLOPT_CAINFO, file);
  if (const char* dir = std::getenv("SSL_CERT_DIR"); dir != nullptr && *dir != '\0') setOption(c, CURLOPT_CAPATH, dir);
  setOption(c, CURLOPT_TIMEOUT_MS, static_cast<long>(timeouts_.request.count()));
  setOption(c, CURLOPT_NOPROGRESS, 0L);
  setOption(c, CURLOPT_XFERINFOFUNCTION, &checkDeadline);
  setOption(c, CURLOPT_XFERINFODATA, &transfer);
  setOption(c, CURLOPT_WRITEFUNCTION, &receive);
  setOption(c, CURLOPT_WRITEDATA, &transfer);

  const CURLcode code = curl_easy_perform(c);
  if (transfer.pastDeadline) throw PipelineError(PipelineError::Kind::remoteTimedOut);
  if (transfer.tooLarge) {
    throw PipelineError::remoteRequestFailed("The response is longer than " + std::to_string(kMaxResponseBytes >> 20) +
                                             " MiB");
  }
  if (code != CURLE_OK) throw PipelineError::remoteRequestFailed(*errors != '\0' ? errors : curl_easy_strerror(code));

  long status = 0;
  (void)curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  if (status >= 200 && status <= 299 && !transfer.body.empty()) return decodeAnswer(transfer.body);
  const bool readable = !transfer.body.empty() && isValidUTF8(transfer.body);
  // The answer becomes the job's stored error: a long page is cut.
  std::string detail = readable ? firstCharacters(transfer.body, kQuotedCharacters) : std::string("Empty response");
  if (readable && detail.size() < transfer.body.size()) detail += "…";
  throw PipelineError::remoteRequestFailed("HTTP " + std::to_string(status) + ": " + detail);
}

SummaryResult RemoteSummaryClient::summarizeWindowRemotely(
    std::string_view sessionId, SummaryWindowRange window, SummaryPreset preset, SummaryChunkInterval interval,
    std::string_view question, const std::vector<Chunk>& chunks, const std::vector<ContextInterval>& contexts,
    std::string_view remoteAPIBaseURL, const SummaryVideoExport& exporter, const DateFormats& dates) const {
  auto endpoint = summaryEndpointURL(remoteAPIBaseURL);
  if (!endpoint) throw PipelineError(PipelineError::Kind::invalidRemoteEndpoint);

  std::vector<Chunk> ordered = chunks;
  std::ranges::stable_sort(ordered, {}, &Chunk::startAtMs);
  Bytes video = exporter.exportSummaryWindowChunks(ordered);

  const std::string session(sessionId);
  SummaryRemoteRequest request;
  SummaryRemoteInput input;
  input.content.emplace_back(SummaryRemoteText{buildRemotePrompt(preset, interval, question, contexts, window, dates)});
  input.content.emplace_back(SummaryRemoteFile{
      "recording-" + session + "-" + std::to_string(window.startMs) + "-" + std::to_string(window.endMs) + ".mp4",
      "video/mp4", std::move(video)});
  request.input.push_back(std::move(input));
  request.metadata = {session,
                      window.startMs,
                      window.endMs,
                      std::string(rawValue(interval)),
                      std::string(rawValue(preset)),
                      std::string(question),
                      distinctAppNames(contexts)};
  return performRemoteSummaryRequest(std::move(request), *endpoint);
}

}  // namespace tolvo
