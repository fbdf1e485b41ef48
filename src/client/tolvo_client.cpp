#include "client/tolvo_client.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "core/base64.h"
#include "core/handle.h"
#include "core/json_codec.h"
#include "core/service_protocol.h"

namespace tolvo {

using Json = nlohmann::json;
using Kind = ClientError::Kind;

namespace {

// Answers may be larger than requests (a long page of sessions); this only stops a runaway.
constexpr std::size_t kMaxAnswerBytes = std::size_t{512} * 1024 * 1024;

FileDescriptor connectTo(const std::filesystem::path& path, std::chrono::milliseconds timeout) {
  const std::string noService = "no tolvo-recorder-service is listening on " + path.string();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.native().empty() || path.native().size() >= sizeof(address.sun_path)) {
    throw ClientError(Kind::noService, "socket path is empty or too long: " + path.string());
  }
  std::memcpy(address.sun_path, path.c_str(), path.native().size());
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) throw ClientError(Kind::noService, std::string("socket: ") + std::strerror(errno));
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      // Blocking from here on: the reader thread waits in recv, writers in send.
      if (::fcntl(fd.get(), F_SETFL, 0) != 0) throw ClientError(Kind::noService, std::strerror(errno));
      return fd;
    }
    const int err = errno;
    if (err == ENOENT || err == ECONNREFUSED || err == ENOTSOCK) throw ClientError(Kind::noService, noService);
    if (err == EACCES || err == EPERM) {
      throw ClientError(Kind::noService, "not allowed to connect to " + path.string() + ": " + std::strerror(err));
    }
    if (err != EAGAIN && err != EINPROGRESS && err != EINTR) {
      throw ClientError(Kind::noService, "connect " + path.string() + ": " + std::strerror(err));
    }
    // The service's backlog is full: it is alive but busy. Try again until the deadline.
    if (std::chrono::steady_clock::now() >= deadline) {
      throw ClientError(Kind::noService, "tolvo-recorder-service on " + path.string() + " did not accept the connection in time");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string describe(std::string_view method, std::string_view what) {
  return "unexpected answer to " + std::string(method) + ": " + std::string(what);
}

bool boolean(const Json& result, std::string_view method, const char* key) {
  const auto& value = result.at(key);
  if (!value.is_boolean()) throw ClientError(Kind::protocol, describe(method, std::string(key) + " is not a boolean"));
  return value.get<bool>();
}

std::optional<std::string> optionalText(const Json& result, std::string_view method, const char* key) {
  const auto& value = result.at(key);
  if (value.is_null()) return std::nullopt;
  if (!value.is_string()) throw ClientError(Kind::protocol, describe(method, std::string(key) + " is not a string"));
  return value.get<std::string>();
}

std::optional<Bytes> optionalBytes(const Json& result, std::string_view method, const char* key) {
  auto text = optionalText(result, method, key);
  if (!text) return std::nullopt;
  auto decoded = base64Decode(*text);
  secureWipe(text->data(), text->size());
  if (!decoded) throw ClientError(Kind::protocol, describe(method, std::string(key) + " is not Base64"));
  return decoded;
}

OkResult okResult(const Json& result, std::string_view method) {
  return OkResult{boolean(result, method, "ok"), optionalText(result, method, "error")};
}

template <typename T>
DataResult<T> recordResult(const Json& result, std::string_view method, const char* key) {
  DataResult<T> out;
  out.error = optionalText(result, method, "error");
  if (auto bytes = optionalBytes(result, method, key)) {
    try {
      out.value = json::decode<T>(*bytes);
    } catch (const DecodingError& e) {
      secureWipe(bytes->data(), bytes->size());
      throw ClientError(Kind::protocol, describe(method, std::string(key) + " does not decode: " + e.what()));
    }
    secureWipe(bytes->data(), bytes->size());
  }
  return out;
}

DataResult<SecureBytes> secretResult(const Json& result, std::string_view method, const char* key) {
  DataResult<SecureBytes> out;
  out.error = optionalText(result, method, "error");
  if (auto bytes = optionalBytes(result, method, key)) out.value = SecureBytes(std::move(*bytes));
  return out;
}

CountResult countResult(const Json& result, std::string_view method, const char* key) {
  const auto& value = result.at(key);
  if (!value.is_number_integer()) throw ClientError(Kind::protocol, describe(method, std::string(key) + " is not an integer"));
  return CountResult{value.get<std::int64_t>(), optionalText(result, method, "error")};
}

std::string tokenBase64(const UISessionToken& token) {
  Bytes data = json::encode(token);
  std::string text = base64Encode(data);
  secureWipe(data.data(), data.size());
  return text;
}

}  // namespace

struct TolvoClient::Impl {
  struct Pending {
    bool done = false;
    Json answer;
    std::optional<ClientError> failure;
  };

  std::filesystem::path socketPath;
  Options options;
  FileDescriptor fd;
  std::mutex writeMutex;
  std::mutex mutex;  // guards pending, nextId, closed
  std::condition_variable answered;
  std::map<std::int64_t, std::shared_ptr<Pending>> pending;
  std::int64_t nextId = 1;
  std::optional<ClientError> closed;  // set once the connection is unusable
  std::thread reader;

  ~Impl() {
    if (fd) ::shutdown(fd.get(), SHUT_RDWR);
    if (reader.joinable()) reader.join();
  }

  void fail(const ClientError& error) {
    std::lock_guard lock(mutex);
    if (!closed) closed = error;
    for (auto& [id, call] : pending) {
      if (!call->done) {
        call->done = true;
        call->failure = error;
      }
    }
    pending.clear();
    answered.notify_all();
  }

  void deliver(Json answer) {
    const auto idIt = answer.find("id");
    std::lock_guard lock(mutex);
    if (idIt == answer.end() || idIt->is_null()) {
      // An error the service could not tie to a request (it closes the connection after
      // some of them): every waiting call learns of it.
      ClientError error(Kind::connectionLost, "the service answered without an id");
      if (auto e = answer.find("error"); e != answer.end() && e->is_object()) {
        error = ClientError(Kind::rpc, e->value("message", std::string("error")), e->value("code", 0));
      }
      for (auto& [id, call] : pending) {
        call->done = true;
        call->failure = error;
      }
      pending.clear();
      answered.notify_all();
      return;
    }
    if (!idIt->is_number_integer()) return;  // not one of ours
    auto it = pending.find(idIt->get<std::int64_t>());
    if (it == pending.end()) return;  // an answer nobody waits for any more (timed out)
    it->second->done = true;
    it->second->answer = std::move(answer);
    pending.erase(it);
    answered.notify_all();
  }

  void readLoop() {
    std::string buffer;
    std::size_t scanned = 0;
    char chunk[64 * 1024];
    for (;;) {
      ssize_t n = ::recv(fd.get(), chunk, sizeof chunk, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        secureWipe(buffer.data(), buffer.size());
        fail(ClientError(Kind::connectionLost, "the connection to tolvo-recorder-service was closed"));
        return;
      }
      buffer.append(chunk, static_cast<std::size_t>(n));
      secureWipe(chunk, static_cast<std::size_t>(n));
      std::size_t start = 0;
      for (;;) {
        const std::size_t newline = buffer.find('\n', start + scanned);
        if (newline == std::string::npos) {
          scanned = buffer.size() - start;
          break;
        }
        Json answer = Json::parse(buffer.begin() + static_cast<std::ptrdiff_t>(start),
                                  buffer.begin() + static_cast<std::ptrdiff_t>(newline), nullptr, false);
        start = newline + 1;
        scanned = 0;
        if (answer.is_discarded() || !answer.is_object()) {
          fail(ClientError(Kind::protocol, "tolvo-recorder-service sent a line that is not a JSON object"));
          secureWipe(buffer.data(), buffer.size());
          return;
        }
        deliver(std::move(answer));
      }
      secureWipe(buffer.data(), start);
      buffer.erase(0, start);
      if (buffer.size() > kMaxAnswerBytes) {
        secureWipe(buffer.data(), buffer.size());
        fail(ClientError(Kind::protocol, "tolvo-recorder-service sent an answer longer than 512 MiB"));
        ::shutdown(fd.get(), SHUT_RDWR);
        return;
      }
    }
  }

  Json roundTrip(std::string_view method, Json params) {
    auto call = std::make_shared<Pending>();
    std::int64_t id = 0;
    {
      std::lock_guard lock(mutex);
      if (closed) throw *closed;
      id = nextId++;
      pending.emplace(id, call);
    }
    Json request = Json::object();
    request["jsonrpc"] = ServiceProtocol::kJsonRpcVersion;
    request["id"] = id;
    request["method"] = method;
    request["params"] = std::move(params);
    std::string line;
    try {
      line = request.dump(-1, ' ', false, Json::error_handler_t::strict);
    } catch (const Json::type_error&) {
      json::wipeStrings(request);
      std::lock_guard lock(mutex);
      pending.erase(id);
      throw ClientError(Kind::rpc, "request text that is not UTF-8", ServiceProtocol::ErrorCode::invalidRequest);
    }
    json::wipeStrings(request);
    if (line.size() > ServiceProtocol::kMaxLineBytes) {
      secureWipe(line.data(), line.size());
      std::lock_guard lock(mutex);
      pending.erase(id);
      throw ClientError(Kind::rpc, "request longer than 16 MiB", ServiceProtocol::ErrorCode::invalidRequest);
    }
    line.push_back('\n');
    {
      std::lock_guard lock(writeMutex);
      std::size_t done = 0;
      while (done < line.size()) {
        ssize_t n = ::send(fd.get(), line.data() + done, line.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          secureWipe(line.data(), line.size());
          ClientError error(Kind::connectionLost, "the connection to tolvo-recorder-service was closed");
          std::lock_guard lock2(mutex);
          pending.erase(id);
          throw error;
        }
        done += static_cast<std::size_t>(n);
      }
    }
    secureWipe(line.data(), line.size());

    std::unique_lock lock(mutex);
    auto ready = [&] { return call->done; };
    if (options.replyTimeout) {
      if (!answered.wait_for(lock, *options.replyTimeout, ready)) {
        pending.erase(id);
        throw ClientError(Kind::timeout, "tolvo-recorder-service did not answer " + std::string(method) + " in time");
      }
    } else {
      answered.wait(lock, ready);
    }
    if (call->failure) throw *call->failure;
    Json answer = std::move(call->answer);
    lock.unlock();

    if (auto error = answer.find("error"); error != answer.end()) {
      if (!error->is_object()) throw ClientError(Kind::protocol, describe(method, "malformed error"));
      const auto codeIt = error->find("code");
      const auto messageIt = error->find("message");
      const int code = codeIt != error->end() && codeIt->is_number_integer() ? codeIt->get<int>() : 0;
      std::string message = messageIt != error->end() && messageIt->is_string() ? messageIt->get<std::string>() : "error";
      throw ClientError(Kind::rpc, message, code);
    }
    auto result = answer.find("result");
    if (result == answer.end()) throw ClientError(Kind::protocol, describe(method, "neither result nor error"));
    Json out = std::move(*result);
    return out;
  }
};

TolvoClient::TolvoClient(const std::filesystem::path& socketPath) : TolvoClient(socketPath, Options{}) {}

TolvoClient::TolvoClient(const std::filesystem::path& socketPath, Options options) : impl_(std::make_unique<Impl>()) {
  impl_->socketPath = socketPath;
  impl_->options = options;
  impl_->fd = connectTo(socketPath, options.connectTimeout);
  impl_->reader = std::thread([impl = impl_.get()] { impl->readLoop(); });
}

TolvoClient::~TolvoClient() = default;

const std::filesystem::path& TolvoClient::socketPath() const noexcept { return impl_->socketPath; }

Json TolvoClient::call(std::string_view method, Json params) { return impl_->roundTrip(method, std::move(params)); }

Json TolvoClient::invoke(std::string_view method, Json params) {
  Json result = impl_->roundTrip(method, std::move(params));
  if (!result.is_object()) throw ClientError(Kind::protocol, describe(method, "the result is not an object"));
  if (const auto* operation = ServiceProtocol::findOperation(method)) {
    for (auto key : operation->resultKeys) {
      if (!result.contains(key)) throw ClientError(Kind::protocol, describe(method, "no \"" + std::string(key) + "\""));
    }
  }
  return result;
}

// --- vault and UI sessions ---------------------------------------------------------------

bool TolvoClient::vaultExists() { return boolean(invoke("vaultExists", Json::object()), "vaultExists", "exists"); }

OkResult TolvoClient::createVault(std::string_view password, bool enableTouchID) {
  Json params{{"password", password}, {"enableTouchID", enableTouchID}};
  return okResult(invoke("createVault", std::move(params)), "createVault");
}

OkResult TolvoClient::unlockVaultWithPassword(std::string_view password) {
  return okResult(invoke("unlockVaultWithPassword", Json{{"password", password}}), "unlockVaultWithPassword");
}

OkResult TolvoClient::syncUnlockedVault(ByteView masterKeyData) {
  return okResult(invoke("syncUnlockedVault", Json{{"masterKeyData", base64Encode(masterKeyData)}}), "syncUnlockedVault");
}

bool TolvoClient::lockVault() { return boolean(invoke("lockVault", Json::object()), "lockVault", "ok"); }

bool TolvoClient::isVaultUnlocked() {
  return boolean(invoke("isVaultUnlocked", Json::object()), "isVaultUnlocked", "unlocked");
}

OkResult TolvoClient::deleteVault() { return okResult(invoke("deleteVault", Json::object()), "deleteVault"); }

DataResult<SecureBytes> TolvoClient::requestUIUnlockChallenge() {
  return secretResult(invoke("requestUIUnlockChallenge", Json::object()), "requestUIUnlockChallenge", "challenge");
}

DataResult<UISessionToken> TolvoClient::completeUIUnlockWithSignature(ByteView challenge, ByteView signature,
                                                                      double validitySeconds) {
  Json params{{"challenge", base64Encode(challenge)},
              {"signature", base64Encode(signature)},
              {"validitySeconds", validitySeconds}};
  return recordResult<UISessionToken>(invoke("completeUIUnlockWithSignature", std::move(params)),
                                      "completeUIUnlockWithSignature", "token");
}

DataResult<UISessionToken> TolvoClient::completeUIUnlockWithPassword(std::string_view password) {
  return recordResult<UISessionToken>(invoke("completeUIUnlockWithPassword", Json{{"password", password}}),
                                      "completeUIUnlockWithPassword", "token");
}

DataResult<UISessionToken> TolvoClient::mintUISession(double validitySeconds) {
  return recordResult<UISessionToken>(invoke("mintUISession", Json{{"validitySeconds", validitySeconds}}),
                                      "mintUISession", "token");
}

bool TolvoClient::lockUI(const UISessionToken& token) {
  return boolean(invoke("lockUI", Json{{"token", tokenBase64(token)}}), "lockUI", "ok");
}

bool TolvoClient::validateUIToken(const UISessionToken& token) {
  return boolean(invoke("validateUIToken", Json{{"token", tokenBase64(token)}}), "validateUIToken", "valid");
}

// --- recording ---------------------------------------------------------------------------

OkResult TolvoClient::startRecording(const RecordingConfig& config) {
  return okResult(invoke("startRecording", Json{{"configData", base64Encode(json::encode(config))}}), "startRecording");
}

OkResult TolvoClient::pauseRecording(std::string_view reason) {
  return okResult(invoke("pauseRecording", Json{{"reason", reason}}), "pauseRecording");
}

OkResult TolvoClient::resumeRecording() { return okResult(invoke("resumeRecording", Json::object()), "resumeRecording"); }

OkResult TolvoClient::stopRecording() { return okResult(invoke("stopRecording", Json::object()), "stopRecording"); }

OkResult TolvoClient::updateConfig(const RecordingConfig& config) {
  return okResult(invoke("updateConfig", Json{{"configData", base64Encode(json::encode(config))}}), "updateConfig");
}

DataResult<RecordingStatus> TolvoClient::getRecordingStatus() {
  return recordResult<RecordingStatus>(invoke("getRecordingStatus", Json::object()), "getRecordingStatus", "status");
}

CountResult TolvoClient::repairInterruptedSessions() {
  return countResult(invoke("repairInterruptedSessions", Json::object()), "repairInterruptedSessions", "repaired");
}

// --- data access -------------------------------------------------------------------------

DataResult<std::vector<Session>> TolvoClient::listSessions(const UISessionToken& token, std::int64_t limit,
                                                           std::int64_t offset) {
  Json params{{"tokenData", tokenBase64(token)}, {"limit", limit}, {"offset", offset}};
  return recordResult<std::vector<Session>>(invoke("listSessions", std::move(params)), "listSessions", "sessions");
}

CountResult TolvoClient::deleteSessions(const UISessionToken& token, const std::vector<std::string>& sessionIds) {
  Json params{{"tokenData", tokenBase64(token)}, {"sessionIDsData", base64Encode(toBytes(Json(sessionIds).dump()))}};
  return countResult(invoke("deleteSessions", std::move(params)), "deleteSessions", "deleted");
}

DataResult<Session> TolvoClient::getSessionDetail(const UISessionToken& token, std::string_view sessionId) {
  Json params{{"tokenData", tokenBase64(token)}, {"sessionId", sessionId}};
  return recordResult<Session>(invoke("getSessionDetail", std::move(params)), "getSessionDetail", "session");
}

DataResult<std::vector<Chunk>> TolvoClient::listChunks(const UISessionToken& token, std::string_view sessionId) {
  Json params{{"tokenData", tokenBase64(token)}, {"sessionId", sessionId}};
  return recordResult<std::vector<Chunk>>(invoke("listChunks", std::move(params)), "listChunks", "chunks");
}

DataResult<SecureBytes> TolvoClient::getChunkKey(const UISessionToken& token, std::string_view chunkId) {
  Json params{{"tokenData", tokenBase64(token)}, {"chunkId", chunkId}};
  return secretResult(invoke("getChunkKey", std::move(params)), "getChunkKey", "key");
}

DataResult<std::vector<RecordingInterval>> TolvoClient::listRecordingIntervals(const UISessionToken& token,
                                                                               std::string_view sessionId) {
  Json params{{"tokenData", tokenBase64(token)}, {"sessionId", sessionId}};
  return recordResult<std::vector<RecordingInterval>>(invoke("listRecordingIntervals", std::move(params)),
                                                      "listRecordingIntervals", "intervals");
}

DataResult<std::vector<ContextInterval>> TolvoClient::listContextIntervals(const UISessionToken& token,
                                                                           std::string_view sessionId) {
  Json params{{"tokenData", tokenBase64(token)}, {"sessionId", sessionId}};
  return recordResult<std::vector<ContextInterval>>(invoke("listContextIntervals", std::move(params)),
                                                    "listContextIntervals", "intervals");
}

DataResult<std::vector<Event>> TolvoClient::listEvents(const UISessionToken& token, std::string_view sessionId,
                                                       std::int64_t startMs, std::int64_t endMs) {
  Json params{{"tokenData", tokenBase64(token)}, {"sessionId", sessionId}, {"startMs", startMs}, {"endMs", endMs}};
  return recordResult<std::vector<Event>>(invoke("listEvents", std::move(params)), "listEvents", "events");
}

JobIdResult TolvoClient::startSummaryJob(const UISessionToken& token, const SummaryJobRequest& request) {
  Json params{{"tokenData", tokenBase64(token)}, {"sessionId", request.sessionId},
              {"startMs", request.startMs},      {"endMs", request.endMs},
              {"preset", request.preset},        {"chunkInterval", request.chunkInterval},
              {"question", request.question}};
  params["remoteAPIBaseURL"] = request.remoteAPIBaseURL ? Json(*request.remoteAPIBaseURL) : Json(nullptr);
  Json result = invoke("startSummaryJob", std::move(params));
  return JobIdResult{optionalText(result, "startSummaryJob", "jobId"), optionalText(result, "startSummaryJob", "error")};
}

DataResult<PipelineJob> TolvoClient::summaryJobStatus(const UISessionToken& token, std::string_view jobId) {
  Json params{{"tokenData", tokenBase64(token)}, {"jobId", jobId}};
  return recordResult<PipelineJob>(invoke("summaryJobStatus", std::move(params)), "summaryJobStatus", "job");
}

DataResult<std::vector<Summary>> TolvoClient::getSummaries(const UISessionToken& token, std::string_view sessionId,
                                                           std::int64_t startMs, std::int64_t endMs) {
  Json params{{"tokenData", tokenBase64(token)}, {"sessionId", sessionId}, {"startMs", startMs}, {"endMs", endMs}};
  return recordResult<std::vector<Summary>>(invoke("getSummaries", std::move(params)), "getSummaries", "summaries");
}

// --- extensions --------------------------------------------------------------------------

DataResult<std::vector<TextSearchHit>> TolvoClient::searchText(const UISessionToken& token, std::string_view query,
                                                               std::optional<std::int64_t> startMs,
                                                               std::optional<std::int64_t> endMs, std::int64_t limit,
                                                               std::int64_t offset) {
  Json params{{"tokenData", tokenBase64(token)}, {"query", query}, {"limit", limit}, {"offset", offset}};
  params["startMs"] = startMs ? Json(*startMs) : Json(nullptr);
  params["endMs"] = endMs ? Json(*endMs) : Json(nullptr);
  return recordResult<std::vector<TextSearchHit>>(invoke("searchText", std::move(params)), "searchText", "hits");
}

// --- permissions and the process ---------------------------------------------------------

bool TolvoClient::checkScreenRecordingPermission() {
  return boolean(invoke("checkScreenRecordingPermission", Json::object()), "checkScreenRecordingPermission", "granted");
}

bool TolvoClient::requestScreenRecordingPermission() {
  return boolean(invoke("requestScreenRecordingPermission", Json::object()), "requestScreenRecordingPermission",
                 "granted");
}

bool TolvoClient::checkAccessibilityPermission() {
  return boolean(invoke("checkAccessibilityPermission", Json::object()), "checkAccessibilityPermission", "trusted");
}

bool TolvoClient::requestAccessibilityPermission() {
  return boolean(invoke("requestAccessibilityPermission", Json::object()), "requestAccessibilityPermission", "trusted");
}

void TolvoClient::terminateService() { (void)invoke("terminateService", Json::object()); }

}  // namespace tolvo
