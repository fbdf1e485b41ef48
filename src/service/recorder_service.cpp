#include "service/recorder_service.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <charconv>
#include <filesystem>
#include <thread>

#include <nlohmann/json.hpp>

#include "core/base64.h"
#include "core/diagnostic_log.h"
#include "core/json_codec.h"
#include "core/tolvo_constants.h"
#include "core/ui_test_mode.h"
#include "crypto/key_manager.h"
#include "crypto/symmetric_key.h"
#include "db/database_manager.h"
#include "pipeline/consumption_pipeline.h"
#include "recording/app_context_tracker.h"
#include "recording/recording_coordinator.h"
#include "recording/screen_capture_engine.h"
#include "service/main_queue.h"
#include "service/session_deletion.h"
#include "service/session_repair.h"
#include "service/ui_unlock_challenges.h"
#include "vault/biometric_key_manager.h"
#include "vault/keychain_manager.h"
#include "vault/vault_manager.h"

namespace tolvo {
namespace {

using Json = nlohmann::json;
namespace Paths = TolvoConstants::Paths;

constexpr const char* kInvalidToken = "Invalid or expired token";
constexpr const char* kVaultLocked = "Vault is locked";
constexpr const char* kInvalidConfig = "Invalid config";
// About 27000 session identifiers in one deleteSessions request.
constexpr std::size_t kMaxSessionIDsDataBytes = 1024 * 1024;
// The most search hits one answer holds; further pages come with the offset.
constexpr std::int64_t kMaxSearchHits = 1000;
constexpr auto kTerminateDelay = std::chrono::milliseconds(200);
constexpr auto kAccessibilityRecheckDelay = std::chrono::milliseconds(500);

const char* boolText(bool b) { return b ? "true" : "false"; }

// The shortest text that reads back as `value`, with ".0" on whole numbers: 1.0, 2.5, 0.05.
std::string decimalText(double value) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  std::string out(text, result.ptr);
  if (std::isfinite(value) && out.find_first_of(".e") == std::string::npos) out += ".0";
  return out;
}

// Base64 of `bytes`, with the intermediate copy wiped.
std::string secretBase64(const SecureBytes& bytes) { return base64Encode(bytes.view()); }

Json okReply() { return Json{{"ok", true}, {"error", nullptr}}; }
Json failReply(std::string_view error) { return Json{{"ok", false}, {"error", error}}; }

// The names in the UI test keychain folder, as ["a", "b"].
std::string keychainDirectoryListing() {
  std::vector<std::string> names;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(Paths::uiTestDirectory(false) / "keychain", ec), end; !ec && it != end;
       it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  std::string out = "[";
  for (std::size_t i = 0; i < names.size(); ++i) out += (i ? ", \"" : "\"") + names[i] + "\"";
  return out + "]";
}

bool uiTestTokensFromProcess() {
  const auto s = uiTestModeSwitches();
  return s.argument || s.environment;
}

}  // namespace

std::unique_ptr<RecorderService> RecorderService::makeShared() {
  return std::make_unique<RecorderService>(Dependencies{
      VaultManager::shared(), KeychainManager::shared(), KeyManager::shared(), BiometricKeyManager::shared(),
      DatabaseManager::shared(), RecordingCoordinator::shared(), ConsumptionPipeline::shared(),
      UIUnlockChallenges::shared(), SystemClock::instance(),
      uiTestTokensFromProcess()});
}

RecorderService::RecorderService(Dependencies dependencies)
    : deps_(dependencies), tokens_(deps_.clock, deps_.uiTestTokens) {}

const std::map<std::string_view, RecorderService::Handler>& RecorderService::handlers() {
  static const std::map<std::string_view, Handler> table{
      {"vaultExists", &RecorderService::vaultExists},
      {"createVault", &RecorderService::createVault},
      {"unlockVaultWithPassword", &RecorderService::unlockVaultWithPassword},
      {"syncUnlockedVault", &RecorderService::syncUnlockedVault},
      {"lockVault", &RecorderService::lockVault},
      {"isVaultUnlocked", &RecorderService::isVaultUnlocked},
      {"deleteVault", &RecorderService::deleteVault},
      {"requestUIUnlockChallenge", &RecorderService::requestUIUnlockChallenge},
      {"completeUIUnlockWithSignature", &RecorderService::completeUIUnlockWithSignature},
      {"completeUIUnlockWithPassword", &RecorderService::completeUIUnlockWithPassword},
      {"mintUISession", &RecorderService::mintUISession},
      {"lockUI", &RecorderService::lockUI},
      {"validateUIToken", &RecorderService::validateUIToken},
      {"startRecording", &RecorderService::startRecording},
      {"pauseRecording", &RecorderService::pauseRecording},
      {"resumeRecording", &RecorderService::resumeRecording},
      {"stopRecording", &RecorderService::stopRecording},
      {"updateConfig", &RecorderService::updateConfig},
      {"getRecordingStatus", &RecorderService::getRecordingStatus},
      {"repairInterruptedSessions", &RecorderService::repairInterruptedSessions},
      {"listSessions", &RecorderService::listSessions},
      {"deleteSessions", &RecorderService::deleteSessions},
      {"getSessionDetail", &RecorderService::getSessionDetail},
      {"listChunks", &RecorderService::listChunks},
      {"getChunkKey", &RecorderService::getChunkKey},
      {"listRecordingIntervals", &RecorderService::listRecordingIntervals},
      {"listContextIntervals", &RecorderService::listContextIntervals},
      {"listEvents", &RecorderService::listEvents},
      {"startSummaryJob", &RecorderService::startSummaryJob},
      {"summaryJobStatus", &RecorderService::summaryJobStatus},
      {"getSummaries", &RecorderService::getSummaries},
      {"searchText", &RecorderService::searchText},
      {"checkScreenRecordingPermission", &RecorderService::checkScreenRecordingPermission},
      {"requestScreenRecordingPermission", &RecorderService::requestScreenRecordingPermission},
      {"checkAccessibilityPermission", &RecorderService::checkAccessibilityPermission},
      {"requestAccessibilityPermission", &RecorderService::requestAccessibilityPermission},
      {"terminateService", &RecorderService::terminateService},
  };
  return table;
}

bool RecorderService::handles(std::string_view method) const { return handlers().contains(method); }

void RecorderService::handle(std::string_view method, const RpcParams& params, RpcReply reply) {
  const auto it = handlers().find(method);
  if (it == handlers().end()) return;  // never reached: the dispatcher asks handles() first
  (this->*(it->second))(params, reply);
}

void RecorderService::replyToken(const RpcReply& reply, const UISessionToken& token, std::string_view key) {
  reply.send(Json{{key, base64Encode(json::encode(token))}, {"error", nullptr}});
}

bool RecorderService::checkToken(const RpcParams& params, const RpcReply& reply, const char* dataKey,
                                 const Json& failedValue) {
  if (tokens_.validate(params.bytes("tokenData"))) return true;
  reply.send(Json{{dataKey, failedValue}, {"error", kInvalidToken}});
  return false;
}

template <typename T>
struct IsOptional : std::false_type {};
template <typename T>
struct IsOptional<std::optional<T>> : std::true_type {};

template <typename Read>
void RecorderService::replyData(const RpcReply& reply, const char* dataKey, Read&& read) {
  try {
    auto value = read();
    if constexpr (IsOptional<decltype(value)>::value) {
      // Nothing to return (say an unknown session): neither data nor error.
      if (!value) {
        reply.send(Json{{dataKey, nullptr}, {"error", nullptr}});
        return;
      }
      reply.send(Json{{dataKey, base64Encode(json::encode(*value))}, {"error", nullptr}});
    } else {
      reply.send(Json{{dataKey, base64Encode(json::encode(value))}, {"error", nullptr}});
    }
  } catch (const std::exception& e) {
    reply.send(Json{{dataKey, nullptr}, {"error", e.what()}});
  }
}

// ---- Vault ----

void RecorderService::vaultExists(const RpcParams&, const RpcReply& reply) {
  reply.send(Json{{"exists", deps_.keychain.vaultExists()}});
}

void RecorderService::createVault(const RpcParams& params, const RpcReply& reply) {
  const char* env = std::getenv("TOLVO_UITEST_MODE");
  DiagnosticLog::system(std::string("RecorderService: createVault called, TOLVO_UITEST_MODE=") + (env ? env : "nil"));
  try {
    deps_.vault.createVault(params.text("password"), params.boolean("enableTouchID"));
    DiagnosticLog::system("RecorderService: createVault succeeded");
    reply.send(okReply());
  } catch (const std::exception& e) {
    DiagnosticLog::system(std::string("RecorderService: createVault failed: ") + e.what());
    reply.send(failReply(e.what()));
  }
}

void RecorderService::unlockVaultWithPassword(const RpcParams& params, const RpcReply& reply) {
  // Nothing derived from the password (not even its length) is written to the log.
  xpcLog("unlockVaultWithPassword called");
  const auto tmp = Paths::temporaryDirectory();
  xpcLog("FileManager.default.temporaryDirectory = " + tmp.string());
  const auto marker = uiTestMarkerPath();
  xpcLog("Checking marker file at: " + marker.string());
  xpcLog(std::string("UI test marker exists: ") + boolText(std::filesystem::exists(marker)));
  xpcLog("Keychain directory contents: " + keychainDirectoryListing());
  xpcLog("About to call vaultManager.unlockVault...");
  try {
    deps_.vault.unlockVault(params.text("password"));
    xpcLog(std::string("unlockVaultWithPassword succeeded, isUnlocked=") + boolText(deps_.vault.isUnlocked()));
    reply.send(okReply());
  } catch (const std::exception& e) {
    xpcLog(std::string("unlockVaultWithPassword failed - ") + e.what());
    reply.send(failReply(e.what()));
  }
  xpcLog("unlockVaultWithPassword completed");
}

void RecorderService::syncUnlockedVault(const RpcParams& params, const RpcReply& reply) {
  try {
    const SymmetricKey masterKey(params.bytes("masterKeyData"));
    deps_.vault.activateVault(masterKey);
  } catch (const std::exception& e) {
    reply.send(failReply(e.what()));
    return;
  }
  tokens_.clear();
  reply.send(okReply());
}

void RecorderService::lockVault(const RpcParams&, const RpcReply& reply) {
  deps_.vault.lockVault();
  tokens_.clear();
  reply.send(Json{{"ok", true}});
}

void RecorderService::isVaultUnlocked(const RpcParams&, const RpcReply& reply) {
  reply.send(Json{{"unlocked", deps_.vault.isUnlocked()}});
}

void RecorderService::deleteVault(const RpcParams&, const RpcReply& reply) {
  try {
    deps_.vault.deleteVault();
    reply.send(okReply());
  } catch (const std::exception& e) {
    reply.send(failReply(e.what()));
  }
}

// ---- UI sessions ----

void RecorderService::requestUIUnlockChallenge(const RpcParams&, const RpcReply& reply) {
  reply.send(Json{{"challenge", secretBase64(deps_.challenges.issue())}, {"error", nullptr}});
}

void RecorderService::completeUIUnlockWithSignature(const RpcParams& params, const RpcReply& reply) {
  // A signature counts only over a challenge this service issued, and only once: a signature
  // seen once cannot unlock the interface again.
  if (!deps_.challenges.consume(params.bytes("challenge"))) {
    reply.send(Json{{"token", nullptr}, {"error", "Signature verification failed"}});
    return;
  }
  bool verified = false;
  try {
    verified = deps_.biometrics.verify(params.bytes("signature"), params.bytes("challenge"));
  } catch (const std::exception& e) {
    reply.send(Json{{"token", nullptr}, {"error", e.what()}});
    return;
  }
  if (!verified) {
    reply.send(Json{{"token", nullptr}, {"error", "Signature verification failed"}});
    return;
  }
  replyToken(reply, tokens_.create(params.real("validitySeconds")));
}

void RecorderService::completeUIUnlockWithPassword(const RpcParams& params, const RpcReply& reply) {
  // Checks the password against the stored wrapped key without activating the vault; every
  // failure, storage errors included, is the same "Invalid password".
  bool valid = false;
  try {
    const auto kdf = deps_.keychain.loadKDFParams();
    const auto wrapped = kdf ? deps_.keychain.loadEncryptedMasterKey() : std::nullopt;
    if (kdf && wrapped) {
      if (const auto kek = deps_.keys.deriveKEK(params.text("password"), kdf->salt, kdf->iterations)) {
        (void)deps_.keys.decryptMasterKey(*wrapped, *kek);  // discarded (and wiped) at once
        valid = true;
      }
    }
  } catch (const std::exception&) {
    valid = false;
  }
  if (!valid) {
    reply.send(Json{{"token", nullptr}, {"error", "Invalid password"}});
    return;
  }
  replyToken(reply, tokens_.create(UISessionTokens::kPasswordTokenValiditySeconds));
}

void RecorderService::mintUISession(const RpcParams& params, const RpcReply& reply) {
  if (!deps_.vault.isUnlocked()) {
    reply.send(Json{{"token", nullptr}, {"error", kVaultLocked}});
    return;
  }
  replyToken(reply, tokens_.create(params.real("validitySeconds")));
}

void RecorderService::lockUI(const RpcParams& params, const RpcReply& reply) {
  tokens_.remove(params.bytes("token"));
  reply.send(Json{{"ok", true}});
}

void RecorderService::validateUIToken(const RpcParams& params, const RpcReply& reply) {
  reply.send(Json{{"valid", tokens_.validateAndForget(params.bytes("token"))}});
}

// ---- Repair and data access ----

void RecorderService::repairInterruptedSessions(const RpcParams&, const RpcReply& reply) {
  if (!deps_.vault.isUnlocked()) {
    reply.send(Json{{"repaired", 0}, {"error", kVaultLocked}});
    return;
  }
  // An open session may be the live one while the recorder is anything but idle.
  if (deps_.recorder.status().state != RecordingStatus::State::idle) {
    reply.send(Json{{"repaired", 0}, {"error", nullptr}});
    return;
  }
  try {
    const auto chunkKey = [this](const std::string& chunkId) -> std::optional<SymmetricKey> {
      const auto master = deps_.keys.getMasterKey();
      return master ? std::optional(deps_.keys.deriveChunkKey(*master, chunkId)) : std::nullopt;
    };
    const auto count =
        repairInterruptedSessionsInDatabase(deps_.database, Paths::chunksDirectory(), nowUnixMs(), chunkKey);
    reply.send(Json{{"repaired", count}, {"error", nullptr}});
  } catch (const std::exception& e) {
    reply.send(Json{{"repaired", 0}, {"error", e.what()}});
  }
}

void RecorderService::listSessions(const RpcParams& params, const RpcReply& reply) {
  if (!checkToken(params, reply, "sessions")) return;
  replyData(reply, "sessions",
            [&] { return deps_.database.listSessions(params.integer("limit"), params.integer("offset")); });
}

void RecorderService::getSessionDetail(const RpcParams& params, const RpcReply& reply) {
  if (!checkToken(params, reply, "session")) return;
  replyData(reply, "session", [&] { return deps_.database.getSession(params.text("sessionId")); });
}

void RecorderService::listChunks(const RpcParams& params, const RpcReply& reply) {
  if (!checkToken(params, reply, "chunks")) return;
  replyData(reply, "chunks", [&] { return deps_.database.listChunks(params.text("sessionId")); });
}

void RecorderService::listRecordingIntervals(const RpcParams& params, const RpcReply& reply) {
  if (!checkToken(params, reply, "intervals")) return;
  replyData(reply, "intervals", [&] { return deps_.database.listRecordingIntervals(params.text("sessionId")); });
}

void RecorderService::listContextIntervals(const RpcParams& params, const RpcReply& reply) {
  if (!checkToken(params, reply, "intervals")) return;
  replyData(reply, "intervals", [&] { return deps_.database.listContextIntervals(params.text("sessionId")); });
}

void RecorderService::listEvents(const RpcParams& params, const RpcReply& reply) {
  if (!checkToken(params, reply, "events")) return;
  replyData(reply, "events", [&] {
    return deps_.database.listEvents(params.text("sessionId"), params.integer("startMs"), params.integer("endMs"));
  });
}

// ---- Summaries ----

void RecorderService::startSummaryJob(const RpcParams& params, const RpcReply& reply) {
  if (!checkToken(params, reply, "jobId")) return;
  if (!deps_.vault.isUnlocked()) {
    reply.send(Json{{"jobId", nullptr}, {"error", kVaultLocked}});
    return;
  }
  // Unknown texts take the defaults; letter case counts.
  const auto preset = fromRawValue<SummaryPreset>(params.text("preset")).value_or(SummaryPreset::brief);
  const auto interval =
      fromRawValue<SummaryChunkInterval>(params.text("chunkInterval")).value_or(SummaryChunkInterval::fiveMinutes);
  const std::string jobId =
      deps_.pipeline.startSummaryJob(params.text("sessionId"), params.integer("startMs"), params.integer("endMs"),
                                     preset, interval, params.text("question"), params.optionalText("remoteAPIBaseURL"));
  reply.send(Json{{"jobId", jobId}, {"error", nullptr}});
}

void RecorderService::summaryJobStatus(const RpcParams& params, const RpcReply& reply) {
  if (!checkToken(params, reply, "job")) return;
  replyData(reply, "job", [&] {
    const std::string jobId = params.text("jobId");
    if (auto job = deps_.pipeline.getJobStatus(jobId)) return job;
    return deps_.database.getPipelineJob(jobId);
  });
}

void RecorderService::getSummaries(const RpcParams& params, const RpcReply& reply) {
  if (!checkToken(params, reply, "summaries")) return;
  replyData(reply, "summaries", [&] {
    return deps_.database.listSummaries(params.text("sessionId"), params.integer("startMs"), params.integer("endMs"));
  });
}

// ---- Text seen on screen ----

void RecorderService::searchText(const RpcParams& params, const RpcReply& reply) {
  if (!checkToken(params, reply, "hits")) return;
  if (!deps_.vault.isUnlocked()) {
    reply.send(Json{{"hits", nullptr}, {"error", kVaultLocked}});
    return;
  }
  const std::int64_t limit = params.integer("limit");
  const std::int64_t offset = params.integer("offset");
  if (limit < 1 || limit > kMaxSearchHits || offset < 0) {
    reply.send(Json{{"hits", nullptr},
                    {"error", "The limit must be between 1 and " + std::to_string(kMaxSearchHits) +
                                  " and the offset must not be negative"}});
    return;
  }
  replyData(reply, "hits", [&] {
    return deps_.database.searchText(params.text("query"), params.optionalInteger("startMs"),
                                     params.optionalInteger("endMs"), limit, offset);
  });
}

void RecorderService::getChunkKey(const RpcParams& params, const RpcReply& reply) {
  if (!checkToken(params, reply, "key")) return;
  const auto masterKey = deps_.keys.getMasterKey();
  if (!masterKey) {
    reply.send(Json{{"key", nullptr}, {"error", kVaultLocked}});
    return;
  }
  const SymmetricKey chunkKey = deps_.keys.deriveChunkKey(*masterKey, params.text("chunkId"));
  const SecureBytes raw(Bytes(chunkKey.toData().begin(), chunkKey.toData().end()));
  reply.send(Json{{"key", secretBase64(raw)}, {"error", nullptr}});
}

void RecorderService::deleteSessions(const RpcParams& params, const RpcReply& reply) {
  if (!checkToken(params, reply, "deleted", 0)) return;
  const auto ids =
      json::tryDecode<std::vector<std::string>>(params.bytes("sessionIDsData"), {.maxBytes = kMaxSessionIDsDataBytes});
  if (!ids) {
    reply.send(Json{{"deleted", 0}, {"error", "Failed to decode session IDs"}});
    return;
  }
  try {
    const auto count = deleteFinishedSessions(deps_.database, deps_.recorder.status(),
                                              VaultFolders{Paths::chunksDirectory(), Paths::artifactsDirectory()}, *ids);
    reply.send(Json{{"deleted", count}, {"error", nullptr}});
  } catch (const std::exception& e) {
    reply.send(Json{{"deleted", 0}, {"error", e.what()}});
  }
}

void RecorderService::startRecording(const RpcParams& params, const RpcReply& reply) {
  const bool keysLoaded = deps_.keys.isUnlocked();
  xpcLog(std::string("startRecording called, vaultManager.isUnlocked=") + boolText(deps_.vault.isUnlocked()) +
         ", KeyManager.isUnlocked=" + boolText(keysLoaded));
  xpcLog("startRecording - temp dir: " + Paths::temporaryDirectory().string());
  std::error_code ec;
  xpcLog("startRecording - UI test marker exists at " + uiTestMarkerPath().string() + ": " +
         boolText(std::filesystem::exists(uiTestMarkerPath(), ec)));
  if (!deps_.vault.isUnlocked()) {
    xpcLog("startRecording failed - vault is locked");
    reply.send(failReply(kVaultLocked));
    return;
  }
  xpcLog("startRecording - decoding config...");
  RecordingConfig config;
  try {
    config = json::decode<RecordingConfig>(params.bytes("configData"));
  } catch (const std::exception&) {
    xpcLog("startRecording failed - invalid config");
    reply.send(failReply(kInvalidConfig));
    return;
  }
  xpcLog("startRecording - config decoded: fps=" + decimalText(config.fps) + ", codec=" + config.codec);
  xpcLog(std::string("startRecording - Screen capture permission: ") +
         boolText(ScreenCaptureEngine::hasPermission(deps_.recorder.displayServer())));
  xpcLog("startRecording - calling recordingCoordinator.startRecording...");
  try {
    deps_.recorder.startRecording(config);
  } catch (const std::exception& e) {
    xpcLog(std::string("startRecording failed - ") + e.what());
    reply.send(failReply(e.what()));
    return;
  }
  xpcLog("startRecording - recording started successfully!");
  reply.send(okReply());
}

void RecorderService::pauseRecording(const RpcParams& params, const RpcReply& reply) {
  deps_.recorder.pauseRecording(fromRawValue<PauseReason>(params.text("reason")).value_or(PauseReason::user));
  reply.send(okReply());
}

void RecorderService::resumeRecording(const RpcParams&, const RpcReply& reply) {
  deps_.recorder.resumeRecording();
  reply.send(okReply());
}

void RecorderService::stopRecording(const RpcParams&, const RpcReply& reply) {
  deps_.recorder.stopRecording([reply] { reply.send(okReply()); });
}

void RecorderService::updateConfig(const RpcParams& params, const RpcReply& reply) {
  RecordingConfig config;
  try {
    config = json::decode<RecordingConfig>(params.bytes("configData"));
  } catch (const std::exception&) {
    reply.send(failReply(kInvalidConfig));
    return;
  }
  deps_.recorder.updateConfig(config);
  reply.send(okReply());
}

void RecorderService::getRecordingStatus(const RpcParams&, const RpcReply& reply) {
  try {
    reply.send(Json{{"status", base64Encode(json::encode(deps_.recorder.status()))}, {"error", nullptr}});
  } catch (const std::exception&) {
    reply.send(Json{{"status", nullptr}, {"error", nullptr}});
  }
}

void RecorderService::checkScreenRecordingPermission(const RpcParams&, const RpcReply& reply) {
  reply.send(Json{{"granted", ScreenCaptureEngine::hasPermission(deps_.recorder.displayServer())}});
}

void RecorderService::requestScreenRecordingPermission(const RpcParams&, const RpcReply& reply) {
  MainQueue::shared().async([display = deps_.recorder.displayServer(), reply] {
    ScreenCaptureEngine::requestPermission(display, [reply](bool granted) { reply.send(Json{{"granted", granted}}); });
  });
}

void RecorderService::checkAccessibilityPermission(const RpcParams&, const RpcReply& reply) {
  reply.send(Json{{"trusted", AppContextTracker::hasAccessibilityPermissionWithin2s(deps_.recorder.windowContext())}});
}

void RecorderService::requestAccessibilityPermission(const RpcParams&, const RpcReply& reply) {
  // Asking cannot prompt anyone on X11; the first check stands for the request and the answer
  // is the check made half a second later, once a prompt would have been seen.
  MainQueue::shared().async([windows = deps_.recorder.windowContext(), reply] {
    (void)AppContextTracker::hasAccessibilityPermissionWithin2s(windows);
    MainQueue::shared().asyncAfter(kAccessibilityRecheckDelay, [windows, reply] {
      reply.send(Json{{"trusted", AppContextTracker::hasAccessibilityPermissionWithin2s(windows)}});
    });
  });
}

void RecorderService::terminateService(const RpcParams&, const RpcReply& reply) {
  reply.send(Json::object());
  // The process ends shortly after the reply, as it is: recording is not stopped and the
  // database is not closed first (every committed row is already durable).
  std::thread([] {
    std::this_thread::sleep_for(kTerminateDelay);
    ::_exit(0);
  }).detach();
}

}  // namespace tolvo
