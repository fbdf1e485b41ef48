#include "core/service_protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/sandbox.h"

namespace tolvo::test {
namespace {

namespace SP = ServiceProtocol;
using T = SP::ParamType;

std::vector<std::string> paramNames(const SP::OperationSpec& op) {
  std::vector<std::string> names;
  for (const auto& p : op.params) names.emplace_back(p.name);
  return names;
}

std::vector<std::string> resultKeys(const SP::OperationSpec& op) {
  return {op.resultKeys.begin(), op.resultKeys.end()};
}

TEST(ServiceProtocolTable, ListsTheThirtySixOperationsInDeclarationOrder) {
  const std::vector<std::string> expected{
      "vaultExists", "createVault", "unlockVaultWithPassword", "syncUnlockedVault", "lockVault", "isVaultUnlocked",
      "deleteVault", "requestUIUnlockChallenge", "completeUIUnlockWithSignature", "completeUIUnlockWithPassword",
      "mintUISession", "lockUI", "validateUIToken", "startRecording", "pauseRecording", "resumeRecording",
      "stopRecording", "updateConfig", "getRecordingStatus", "repairInterruptedSessions", "listSessions",
      "deleteSessions", "getSessionDetail", "listChunks", "getChunkKey", "listRecordingIntervals",
      "listContextIntervals", "listEvents", "startSummaryJob", "summaryJobStatus", "getSummaries",
      "checkScreenRecordingPermission", "requestScreenRecordingPermission", "checkAccessibilityPermission",
      "requestAccessibilityPermission", "terminateService"};
  std::vector<std::string> actual;
  for (const auto& op : SP::operations()) actual.emplace_back(op.method);
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(SP::findOperation("vaultexists"), nullptr);
  EXPECT_EQ(SP::findOperation(""), nullptr);
  ASSERT_NE(SP::findOperation("getSummaries"), nullptr);
  EXPECT_EQ(SP::findOperation("getSummaries")->method, "getSummaries");
}

TEST(ServiceProtocolTable, ParametersHaveTheirWireNamesAndTypes) {
  const auto* createVault = SP::findOperation("createVault");
  ASSERT_NE(createVault, nullptr);
  EXPECT_EQ(paramNames(*createVault), (std::vector<std::string>{"password", "enableTouchID"}));
  EXPECT_EQ(createVault->params[0].type, T::text);
  EXPECT_EQ(createVault->params[1].type, T::boolean);

  const auto* signature = SP::findOperation("completeUIUnlockWithSignature");
  EXPECT_EQ(paramNames(*signature), (std::vector<std::string>{"challenge", "signature", "validitySeconds"}));
  EXPECT_EQ(signature->params[0].type, T::bytes);
  EXPECT_EQ(signature->params[2].type, T::real);

  EXPECT_EQ(paramNames(*SP::findOperation("lockUI")), std::vector<std::string>{"token"});
  EXPECT_EQ(SP::findOperation("validateUIToken")->params[0].type, T::bytes);
  EXPECT_EQ(paramNames(*SP::findOperation("syncUnlockedVault")), std::vector<std::string>{"masterKeyData"});
  EXPECT_EQ(paramNames(*SP::findOperation("startRecording")), std::vector<std::string>{"configData"});
  EXPECT_EQ(paramNames(*SP::findOperation("pauseRecording")), std::vector<std::string>{"reason"});
  EXPECT_EQ(paramNames(*SP::findOperation("listSessions")), (std::vector<std::string>{"tokenData", "limit", "offset"}));
  EXPECT_EQ(SP::findOperation("listSessions")->params[1].type, T::integer);
  EXPECT_EQ(paramNames(*SP::findOperation("deleteSessions")), (std::vector<std::string>{"tokenData", "sessionIDsData"}));
  EXPECT_EQ(paramNames(*SP::findOperation("getChunkKey")), (std::vector<std::string>{"tokenData", "chunkId"}));
  EXPECT_EQ(paramNames(*SP::findOperation("listEvents")),
            (std::vector<std::string>{"tokenData", "sessionId", "startMs", "endMs"}));
  EXPECT_EQ(paramNames(*SP::findOperation("summaryJobStatus")), (std::vector<std::string>{"tokenData", "jobId"}));

  const auto* job = SP::findOperation("startSummaryJob");
  EXPECT_EQ(paramNames(*job), (std::vector<std::string>{"tokenData", "sessionId", "startMs", "endMs", "preset",
                                                         "chunkInterval", "question", "remoteAPIBaseURL"}));
  // remoteAPIBaseURL is the only optional parameter of the whole protocol.
  int optionals = 0;
  for (const auto& op : SP::operations()) {
    for (const auto& p : op.params) {
      if (p.optional) {
        ++optionals;
        EXPECT_EQ(op.method, "startSummaryJob");
        EXPECT_EQ(p.name, "remoteAPIBaseURL");
        EXPECT_EQ(p.type, T::text);
      }
    }
  }
  EXPECT_EQ(optionals, 1);
  EXPECT_TRUE(SP::findOperation("terminateService")->params.empty());
}

TEST(ServiceProtocolTable, ResultKeysFollowTheReplyShapes) {
  EXPECT_EQ(resultKeys(*SP::findOperation("vaultExists")), std::vector<std::string>{"exists"});
  EXPECT_EQ(resultKeys(*SP::findOperation("createVault")), (std::vector<std::string>{"ok", "error"}));
  EXPECT_EQ(resultKeys(*SP::findOperation("lockVault")), std::vector<std::string>{"ok"});
  EXPECT_EQ(resultKeys(*SP::findOperation("lockUI")), std::vector<std::string>{"ok"});
  EXPECT_EQ(resultKeys(*SP::findOperation("isVaultUnlocked")), std::vector<std::string>{"unlocked"});
  EXPECT_EQ(resultKeys(*SP::findOperation("validateUIToken")), std::vector<std::string>{"valid"});
  EXPECT_EQ(resultKeys(*SP::findOperation("requestUIUnlockChallenge")), (std::vector<std::string>{"challenge", "error"}));
  EXPECT_EQ(resultKeys(*SP::findOperation("mintUISession")), (std::vector<std::string>{"token", "error"}));
  EXPECT_EQ(resultKeys(*SP::findOperation("getRecordingStatus")), (std::vector<std::string>{"status", "error"}));
  EXPECT_EQ(resultKeys(*SP::findOperation("repairInterruptedSessions")), (std::vector<std::string>{"repaired", "error"}));
  EXPECT_EQ(resultKeys(*SP::findOperation("deleteSessions")), (std::vector<std::string>{"deleted", "error"}));
  EXPECT_EQ(resultKeys(*SP::findOperation("getSessionDetail")), (std::vector<std::string>{"session", "error"}));
  EXPECT_EQ(resultKeys(*SP::findOperation("listContextIntervals")), (std::vector<std::string>{"intervals", "error"}));
  EXPECT_EQ(resultKeys(*SP::findOperation("getChunkKey")), (std::vector<std::string>{"key", "error"}));
  EXPECT_EQ(resultKeys(*SP::findOperation("startSummaryJob")), (std::vector<std::string>{"jobId", "error"}));
  EXPECT_EQ(resultKeys(*SP::findOperation("summaryJobStatus")), (std::vector<std::string>{"job", "error"}));
  EXPECT_EQ(resultKeys(*SP::findOperation("getSummaries")), (std::vector<std::string>{"summaries", "error"}));
  EXPECT_EQ(resultKeys(*SP::findOperation("requestScreenRecordingPermission")), std::vector<std::string>{"granted"});
  EXPECT_EQ(resultKeys(*SP::findOperation("checkAccessibilityPermission")), std::vector<std::string>{"trusted"});
  EXPECT_TRUE(SP::findOperation("terminateService")->resultKeys.empty());
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
