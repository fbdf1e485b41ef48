#include "core/service_protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/sandbox.h"

namespace tolvo::test {
namespace {

namespace SP = ServiceProtocol;

std::string typeName(SP::ParamType t) {
  using T = SP::ParamType;
  return t == T::text ? "text" : t == T::bytes ? "bytes" : t == T::boolean ? "boolean" : t == T::integer ? "integer" : "real";
}

// "method(name type, name type?) -> key key": one operation of the table, "?" marking an
// optional parameter.
std::string signature(const SP::OperationSpec& op) {
  std::string s = std::string(op.method) + "(";
  for (const auto& p : op.params) {
    s += std::string(&p == op.params.data() ? "" : ", ") + std::string(p.name) + " " +
         typeName(p.type) + (p.optional ? "?" : "");
  }
  s += ") ->";
  for (const auto& key : op.resultKeys) s += " " + std::string(key);
  return s;
}

TEST(ServiceProtocolTable, HoldsTheOperationsWithTheirWireNamesAndTypes) {
  const std::vector<std::string> expected{
      "vaultExists() -> exists", "createVault(password text, enableTouchID boolean) -> ok error",
      "unlockVaultWithPassword(password text) -> ok error", "syncUnlockedVault(masterKeyData bytes) -> ok error",
      "lockVault() -> ok", "isVaultUnlocked() -> unlocked", "deleteVault() -> ok error",
      "requestUIUnlockChallenge() -> challenge error",
      "completeUIUnlockWithSignature(challenge bytes, signature bytes, validitySeconds real) -> token error",
      "completeUIUnlockWithPassword(password text) -> token error", "mintUISession(validitySeconds real) -> token error",
      "lockUI(token bytes) -> ok", "validateUIToken(token bytes) -> valid", "startRecording(configData bytes) -> ok error",
      "pauseRecording(reason text) -> ok error", "resumeRecording() -> ok error", "stopRecording() -> ok error",
      "updateConfig(configData bytes) -> ok error", "getRecordingStatus() -> status error",
      "repairInterruptedSessions() -> repaired error",
      "listSessions(tokenData bytes, limit integer, offset integer) -> sessions error",
      "deleteSessions(tokenData bytes, sessionIDsData bytes) -> deleted error",
      "getSessionDetail(tokenData bytes, sessionId text) -> session error",
      "listChunks(tokenData bytes, sessionId text) -> chunks error", "getChunkKey(tokenData bytes, chunkId text) -> key error",
      "listRecordingIntervals(tokenData bytes, sessionId text) -> intervals error",
      "listContextIntervals(tokenData bytes, sessionId text) -> intervals error",
      "listEvents(tokenData bytes, sessionId text, startMs integer, endMs integer) -> events error",
      "startSummaryJob(tokenData bytes, sessionId text, startMs integer, endMs integer, preset text, "
      "chunkInterval text, question text, remoteAPIBaseURL text?) -> jobId error",
      "summaryJobStatus(tokenData bytes, jobId text) -> job error",
      "getSummaries(tokenData bytes, sessionId text, startMs integer, endMs integer) -> summaries error",
      "checkScreenRecordingPermission() -> granted", "requestScreenRecordingPermission() -> granted",
      "checkAccessibilityPermission() -> trusted", "requestAccessibilityPermission() -> trusted", "terminateService() ->",
      "searchText(tokenData bytes, query text, startMs integer?, endMs integer?, limit integer, offset integer) -> "
      "hits error"};
  std::vector<std::string> actual;
  for (const auto& op : SP::operations()) actual.push_back(signature(op));
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(SP::findOperation("getSummaries"), &SP::operations()[30]);
}

class SocketPathTest : public SandboxedTest {};

TEST_F(SocketPathTest, ExplicitThenEnvironmentThenRuntimeDirThenTmp) {
  setEnv("TOLVO_SOCKET", "/run/custom/tolvo.sock");
  setEnv("XDG_RUNTIME_DIR", "/run/user/4242");
  EXPECT_EQ(SP::socketPath(std::filesystem::path("/x/y.sock")), "/x/y.sock");
  EXPECT_EQ(SP::socketPath(), "/run/custom/tolvo.sock");
  setEnv("TOLVO_SOCKET", "");
  EXPECT_EQ(SP::socketPath(), "/run/user/4242/tolvodesk/recorder.sock");
  setEnv("TOLVO_SOCKET", std::nullopt);
  EXPECT_EQ(SP::socketPath(std::filesystem::path()), "/run/user/4242/tolvodesk/recorder.sock");
  setEnv("XDG_RUNTIME_DIR", std::nullopt);
  EXPECT_EQ(SP::socketPath(), "/tmp/tolvodesk-" + std::to_string(::getuid()) + "/recorder.sock");
}

}  // namespace
}  // namespace tolvo::test
