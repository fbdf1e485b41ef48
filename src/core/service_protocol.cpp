#include "core/service_protocol.h"

#include <unistd.h>

#include <array>
#include <cstdlib>
#include <string>

namespace tolvo::ServiceProtocol {
namespace {

using P = ParamSpec;
using T = ParamType;

// Parameter lists.
constexpr std::array<P, 0> kNone{};
constexpr std::array kCreateVault{P{"password", T::text}, P{"enableTouchID", T::boolean}};
constexpr std::array kPassword{P{"password", T::text}};
constexpr std::array kMasterKey{P{"masterKeyData", T::bytes}};
constexpr std::array kSignature{P{"challenge", T::bytes}, P{"signature", T::bytes},
                                P{"validitySeconds", T::real}};
constexpr std::array kValidity{P{"validitySeconds", T::real}};
constexpr std::array kToken{P{"token", T::bytes}};
constexpr std::array kConfig{P{"configData", T::bytes}};
constexpr std::array kReason{P{"reason", T::text}};
constexpr std::array kListSessions{P{"tokenData", T::bytes}, P{"limit", T::integer}, P{"offset", T::integer}};
constexpr std::array kDeleteSessions{P{"tokenData", T::bytes}, P{"sessionIDsData", T::bytes}};
constexpr std::array kSession{P{"tokenData", T::bytes}, P{"sessionId", T::text}};
constexpr std::array kChunk{P{"tokenData", T::bytes}, P{"chunkId", T::text}};
constexpr std::array kSessionRange{P{"tokenData", T::bytes}, P{"sessionId", T::text}, P{"startMs", T::integer},
                                   P{"endMs", T::integer}};
constexpr std::array kStartSummaryJob{
    P{"tokenData", T::bytes},   P{"sessionId", T::text},     P{"startMs", T::integer},
    P{"endMs", T::integer},     P{"preset", T::text},        P{"chunkInterval", T::text},
    P{"question", T::text},     P{"remoteAPIBaseURL", T::text, true}};
constexpr std::array kJob{P{"tokenData", T::bytes}, P{"jobId", T::text}};
constexpr std::array kSearchText{P{"tokenData", T::bytes}, P{"query", T::text},        P{"startMs", T::integer, true},
                                 P{"endMs", T::integer, true}, P{"limit", T::integer}, P{"offset", T::integer}};

// Result key lists.
using K = std::string_view;
constexpr std::array<K, 0> kEmpty{};
constexpr std::array<K, 1> kExists{"exists"};
constexpr std::array<K, 2> kOkError{"ok", "error"};
constexpr std::array<K, 1> kOk{"ok"};
constexpr std::array<K, 1> kUnlocked{"unlocked"};
constexpr std::array<K, 1> kValid{"valid"};
constexpr std::array<K, 2> kChallenge{"challenge", "error"};
constexpr std::array<K, 2> kTokenReply{"token", "error"};
constexpr std::array<K, 2> kStatus{"status", "error"};
constexpr std::array<K, 2> kRepaired{"repaired", "error"};
constexpr std::array<K, 2> kSessions{"sessions", "error"};
constexpr std::array<K, 2> kDeleted{"deleted", "error"};
constexpr std::array<K, 2> kSessionReply{"session", "error"};
constexpr std::array<K, 2> kChunks{"chunks", "error"};
constexpr std::array<K, 2> kKey{"key", "error"};
constexpr std::array<K, 2> kIntervals{"intervals", "error"};
constexpr std::array<K, 2> kEvents{"events", "error"};
constexpr std::array<K, 2> kJobId{"jobId", "error"};
constexpr std::array<K, 2> kJobReply{"job", "error"};
constexpr std::array<K, 2> kSummaries{"summaries", "error"};
constexpr std::array<K, 2> kHits{"hits", "error"};
constexpr std::array<K, 1> kGranted{"granted"};
constexpr std::array<K, 1> kTrusted{"trusted"};

constexpr std::array<OperationSpec, 37> kOperations{{
    {"vaultExists", kNone, kExists},
    {"createVault", kCreateVault, kOkError},
    {"unlockVaultWithPassword", kPassword, kOkError},
    {"syncUnlockedVault", kMasterKey, kOkError},
    {"lockVault", kNone, kOk},
    {"isVaultUnlocked", kNone, kUnlocked},
    {"deleteVault", kNone, kOkError},
    {"requestUIUnlockChallenge", kNone, kChallenge},
    {"completeUIUnlockWithSignature", kSignature, kTokenReply},
    {"completeUIUnlockWithPassword", kPassword, kTokenReply},
    {"mintUISession", kValidity, kTokenReply},
    {"lockUI", kToken, kOk},
    {"validateUIToken", kToken, kValid},
    {"startRecording", kConfig, kOkError},
    {"pauseRecording", kReason, kOkError},
    {"resumeRecording", kNone, kOkError},
    {"stopRecording", kNone, kOkError},
    {"updateConfig", kConfig, kOkError},
    {"getRecordingStatus", kNone, kStatus},
    {"repairInterruptedSessions", kNone, kRepaired},
    {"listSessions", kListSessions, kSessions},
    {"deleteSessions", kDeleteSessions, kDeleted},
    {"getSessionDetail", kSession, kSessionReply},
    {"listChunks", kSession, kChunks},
    {"getChunkKey", kChunk, kKey},
    {"listRecordingIntervals", kSession, kIntervals},
    {"listContextIntervals", kSession, kIntervals},
    {"listEvents", kSessionRange, kEvents},
    {"startSummaryJob", kStartSummaryJob, kJobId},
    {"summaryJobStatus", kJob, kJobReply},
    {"getSummaries", kSessionRange, kSummaries},
    {"checkScreenRecordingPermission", kNone, kGranted},
    {"requestScreenRecordingPermission", kNone, kGranted},
    {"checkAccessibilityPermission", kNone, kTrusted},
    {"requestAccessibilityPermission", kNone, kTrusted},
    {"terminateService", kNone, kEmpty},
    // Extensions beyond the original operations.
    {"searchText", kSearchText, kHits},
}};

std::string envValue(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

std::string_view paramTypeName(ParamType type) noexcept {
  switch (type) {
    case ParamType::text: return "a string";
    case ParamType::bytes: return "a Base64 string";
    case ParamType::boolean: return "a boolean";
    case ParamType::integer: return "an integer";
    case ParamType::real: return "a number";
  }
  return "a value";
}

std::span<const OperationSpec> operations() noexcept { return kOperations; }

const OperationSpec* findOperation(std::string_view method) noexcept {
  for (const auto& op : kOperations) {
    if (op.method == method) return &op;
  }
  return nullptr;
}

const ParamSpec* findParam(const OperationSpec& operation, std::string_view name) noexcept {
  for (const auto& param : operation.params) {
    if (param.name == name) return &param;
  }
  return nullptr;
}

std::filesystem::path socketPath(const std::optional<std::filesystem::path>& explicitPath) {
  if (explicitPath && !explicitPath->empty()) return *explicitPath;
  if (auto env = envValue("TOLVO_SOCKET"); !env.empty()) return env;
  if (auto runtime = envValue("XDG_RUNTIME_DIR"); !runtime.empty()) {
    return std::filesystem::path(runtime) / "tolvodesk" / "recorder.sock";
  }
  return std::filesystem::path("/tmp/tolvodesk-" + std::to_string(::getuid())) / "recorder.sock";
}

}  // namespace tolvo::ServiceProtocol
