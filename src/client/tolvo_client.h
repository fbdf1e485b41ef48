#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/client_error.h"
#include "client/client_results.h"
#include "core/bytes.h"
#include "core/records.h"
#include "core/recording_config.h"

namespace tolvo {

// One connection to tolvo-recorder-service and a typed call for each of its 36 operations
// and its extensions (docs/protocol.md). Operation failures come back as values (OkResult::ok == false, an
// error text); failures of the conversation itself raise ClientError.
//
// Thread-safe: calls may be made from several threads at once; each waits for the answer
// with its own id, so an operation that answers late (stopRecording, the permission
// requests) does not hold up the others. UI session tokens are valid only on the connection
// that minted them, so keep one client for a token's lifetime.
class TolvoClient {
 public:
  struct Options {
    // How long connecting may take (a service with a full backlog accepts late).
    std::chrono::milliseconds connectTimeout{2000};
    // How long a call waits for its answer; nothing means no limit.
    std::optional<std::chrono::milliseconds> replyTimeout;
  };

  // Connects to `socketPath`. Raises ClientError(noService) when nothing answers there.
  explicit TolvoClient(const std::filesystem::path& socketPath);
  TolvoClient(const std::filesystem::path& socketPath, Options options);
  TolvoClient(const TolvoClient&) = delete;
  TolvoClient& operator=(const TolvoClient&) = delete;
  ~TolvoClient();

  [[nodiscard]] const std::filesystem::path& socketPath() const noexcept;

  // Sends one request and returns its "result" member as it came. Raises ClientError(rpc)
  // with the service's code and message for a JSON-RPC error, and the other kinds for
  // transport failures. For tests and scripts; the typed calls below check the answer's form.
  nlohmann::json call(std::string_view method, nlohmann::json params = nlohmann::json::object());

  // Vault and UI sessions.
  [[nodiscard]] bool vaultExists();
  [[nodiscard]] OkResult createVault(std::string_view password, bool enableTouchID);
  [[nodiscard]] OkResult unlockVaultWithPassword(std::string_view password);
  [[nodiscard]] OkResult syncUnlockedVault(ByteView masterKeyData);
  [[nodiscard]] bool lockVault();
  [[nodiscard]] bool isVaultUnlocked();
  [[nodiscard]] OkResult deleteVault();
  [[nodiscard]] DataResult<SecureBytes> requestUIUnlockChallenge();
  [[nodiscard]] DataResult<UISessionToken> completeUIUnlockWithSignature(ByteView challenge, ByteView signature,
                                                                         double validitySeconds);
  [[nodiscard]] DataResult<UISessionToken> completeUIUnlockWithPassword(std::string_view password);
  [[nodiscard]] DataResult<UISessionToken> mintUISession(double validitySeconds);
  [[nodiscard]] bool lockUI(const UISessionToken& token);
  [[nodiscard]] bool validateUIToken(const UISessionToken& token);

  // Recording.
  [[nodiscard]] OkResult startRecording(const RecordingConfig& config);
  [[nodiscard]] OkResult pauseRecording(std::string_view reason);
  [[nodiscard]] OkResult resumeRecording();
  [[nodiscard]] OkResult stopRecording();
  [[nodiscard]] OkResult updateConfig(const RecordingConfig& config);
  [[nodiscard]] DataResult<RecordingStatus> getRecordingStatus();
  [[nodiscard]] CountResult repairInterruptedSessions();

  // Data access (token-checked).
  [[nodiscard]] DataResult<std::vector<Session>> listSessions(const UISessionToken& token, std::int64_t limit,
                                                              std::int64_t offset);
  [[nodiscard]] CountResult deleteSessions(const UISessionToken& token, const std::vector<std::string>& sessionIds);
  [[nodiscard]] DataResult<Session> getSessionDetail(const UISessionToken& token, std::string_view sessionId);
  [[nodiscard]] DataResult<std::vector<Chunk>> listChunks(const UISessionToken& token, std::string_view sessionId);
  [[nodiscard]] DataResult<SecureBytes> getChunkKey(const UISessionToken& token, std::string_view chunkId);
  [[nodiscard]] DataResult<std::vector<RecordingInterval>> listRecordingIntervals(const UISessionToken& token,
                                                                                  std::string_view sessionId);
  [[nodiscard]] DataResult<std::vector<ContextInterval>> listContextIntervals(const UISessionToken& token,
                                                                              std::string_view sessionId);
  [[nodiscard]] DataResult<std::vector<Event>> listEvents(const UISessionToken& token, std::string_view sessionId,
                                                          std::int64_t startMs, std::int64_t endMs);
  [[nodiscard]] JobIdResult startSummaryJob(const UISessionToken& token, const SummaryJobRequest& request);
  [[nodiscard]] DataResult<PipelineJob> summaryJobStatus(const UISessionToken& token, std::string_view jobId);
  [[nodiscard]] DataResult<std::vector<Summary>> getSummaries(const UISessionToken& token, std::string_view sessionId,
                                                              std::int64_t startMs, std::int64_t endMs);

  // Extensions beyond the 36 operations (token-checked).
  // Recognized screen text lines matching `query`, seen within [startMs, endMs] (nothing for
  // an open bound), newest first.
  [[nodiscard]] DataResult<std::vector<TextSearchHit>> searchText(const UISessionToken& token, std::string_view query,
                                                                  std::optional<std::int64_t> startMs,
                                                                  std::optional<std::int64_t> endMs, std::int64_t limit,
                                                                  std::int64_t offset);

  // Permissions and the process.
  [[nodiscard]] bool checkScreenRecordingPermission();
  [[nodiscard]] bool requestScreenRecordingPermission();
  [[nodiscard]] bool checkAccessibilityPermission();
  [[nodiscard]] bool requestAccessibilityPermission();
  void terminateService();

 private:
  struct Impl;
  // Calls a protocol operation and checks that every result key of its table entry is there.
  nlohmann::json invoke(std::string_view method, nlohmann::json params);

  std::unique_ptr<Impl> impl_;
};

}  // namespace tolvo
