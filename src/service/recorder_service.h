#pragma once

#include <map>
#include <memory>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/time_util.h"
#include "service/connection_handler.h"
#include "service/ui_session_tokens.h"

namespace tolvo {

class BiometricKeyManager;
class ConsumptionPipeline;
class DatabaseManager;
class KeyManager;
class KeychainManager;
class RecordingCoordinator;
class UIUnlockChallenges;
class VaultManager;

// The object serving one connection: the vault and UI-session operations, token-checked data
// access, crash repair, the permission checks and termination. Its only own state is the
// connection's table of UI session tokens; everything else is the process-wide instances
// handed in.
//
// Threading: called only on its connection's serial queue (see ConnectionHandler).
class RecorderService final : public ConnectionHandler {
 public:
  struct Dependencies {
    VaultManager& vault;
    KeychainManager& keychain;
    KeyManager& keys;
    BiometricKeyManager& biometrics;
    DatabaseManager& database;
    RecordingCoordinator& recorder;
    ConsumptionPipeline& pipeline;
    // Service-wide: a challenge issued on one connection may be signed and used on another.
    UIUnlockChallenges& challenges;
    const Clock& clock;
    // Tokens may live as briefly as one second (the UI test switch on the command line or in
    // the environment; the marker file plays no part here).
    bool uiTestTokens = false;
  };

  // A service over the process-wide instances and the system clock.
  [[nodiscard]] static std::unique_ptr<RecorderService> makeShared();

  explicit RecorderService(Dependencies dependencies);

  [[nodiscard]] bool handles(std::string_view method) const override;
  void handle(std::string_view method, const RpcParams& params, RpcReply reply) override;

 private:
  using Handler = void (RecorderService::*)(const RpcParams&, const RpcReply&);
  static const std::map<std::string_view, Handler>& handlers();

  void vaultExists(const RpcParams&, const RpcReply&);
  void createVault(const RpcParams&, const RpcReply&);
  void unlockVaultWithPassword(const RpcParams&, const RpcReply&);
  void syncUnlockedVault(const RpcParams&, const RpcReply&);
  void lockVault(const RpcParams&, const RpcReply&);
  void isVaultUnlocked(const RpcParams&, const RpcReply&);
  void deleteVault(const RpcParams&, const RpcReply&);
  void requestUIUnlockChallenge(const RpcParams&, const RpcReply&);
  void completeUIUnlockWithSignature(const RpcParams&, const RpcReply&);
  void completeUIUnlockWithPassword(const RpcParams&, const RpcReply&);
  void mintUISession(const RpcParams&, const RpcReply&);
  void lockUI(const RpcParams&, const RpcReply&);
  void validateUIToken(const RpcParams&, const RpcReply&);
  void startRecording(const RpcParams&, const RpcReply&);
  void pauseRecording(const RpcParams&, const RpcReply&);
  void resumeRecording(const RpcParams&, const RpcReply&);
  void stopRecording(const RpcParams&, const RpcReply&);
  void updateConfig(const RpcParams&, const RpcReply&);
  void getRecordingStatus(const RpcParams&, const RpcReply&);
  void repairInterruptedSessions(const RpcParams&, const RpcReply&);
  void listSessions(const RpcParams&, const RpcReply&);
  void deleteSessions(const RpcParams&, const RpcReply&);
  void getSessionDetail(const RpcParams&, const RpcReply&);
  void listChunks(const RpcParams&, const RpcReply&);
  void getChunkKey(const RpcParams&, const RpcReply&);
  void listRecordingIntervals(const RpcParams&, const RpcReply&);
  void listContextIntervals(const RpcParams&, const RpcReply&);
  void listEvents(const RpcParams&, const RpcReply&);
  void startSummaryJob(const RpcParams&, const RpcReply&);
  void summaryJobStatus(const RpcParams&, const RpcReply&);
  void getSummaries(const RpcParams&, const RpcReply&);
  void searchText(const RpcParams&, const RpcReply&);
  void checkScreenRecordingPermission(const RpcParams&, const RpcReply&);
  void requestScreenRecordingPermission(const RpcParams&, const RpcReply&);
  void checkAccessibilityPermission(const RpcParams&, const RpcReply&);
  void requestAccessibilityPermission(const RpcParams&, const RpcReply&);
  void terminateService(const RpcParams&, const RpcReply&);

  // Replies (key: token JSON in Base64, "error": null).
  void replyToken(const RpcReply& reply, const UISessionToken& token, std::string_view key = "token");
  // The token check of the data operations: false after replying `failedValue` under
  // `dataKey` with "Invalid or expired token".
  [[nodiscard]] bool checkToken(const RpcParams& params, const RpcReply& reply, const char* dataKey,
                                const nlohmann::json& failedValue = nullptr);
  // Runs a database read for a data operation and replies with its JSON (an empty optional:
  // neither data nor error) or the error.
  template <typename Read>
  void replyData(const RpcReply& reply, const char* dataKey, Read&& read);

  Dependencies deps_;
  UISessionTokens tokens_;
};

}  // namespace tolvo
