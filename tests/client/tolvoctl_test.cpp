// tolvoctl as a person or a script runs it, against the real service: what it says and its
// exit status (0 done, 1 failed, 2 refused, 3 no service), --json, --password-stdin, and the
// on-demand start of the service.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "real_service.h"
#include "support/raw_client.h"
#include "support/x_server.h"

namespace tolvo::test {
namespace {

using Json = nlohmann::json;

using TolvoctlTest = RealServiceTest;

std::string usageError(const std::string& message) { return message + "\nRun with --help for more information.\n"; }

TEST_F(TolvoctlTest, CommandsTellTheNextStepAndExitByOutcome) {
  setEnv("DISPLAY", ":9999");  // a display that does not exist
  start();
  EXPECT_EQ(ctl("sessions list"), (CtlResult{1, "", "tolvoctl: there is no vault yet; create one with `tolvoctl vault create`\n"}));
  EXPECT_EQ(ctl("--password-stdin vault create", "\n"), (CtlResult{1, "", "tolvoctl: the password must not be empty\n"}));
  EXPECT_EQ(ctl("--password-stdin vault create", "s3cret pw\n"), (CtlResult{0, "Vault created.\n", ""}));
  EXPECT_EQ(ctl("vault create --password-stdin", "other\n"),
            (CtlResult{1, "", "tolvoctl: a vault already exists; unlock it with `tolvoctl vault unlock`, or to start over "
                              "(its recordings become unreadable) delete it first with `tolvoctl vault delete`\n"}));
  {
    TolvoClient direct(socketPath());
    ASSERT_TRUE(direct.lockVault());
    EXPECT_TRUE(direct.unlockVaultWithPassword("s3cret pw").ok) << "the whole line without its newline is the password";
  }

  EXPECT_EQ(ctl("vault lock").out, "Vault locked.\n");
  EXPECT_EQ(ctl("sessions list"), (CtlResult{1, "", "tolvoctl: the vault is locked; unlock it with `tolvoctl vault unlock`\n"}));
  EXPECT_EQ(ctl("--password-stdin vault unlock", "guess\n"),
            (CtlResult{1, "", "tolvoctl: wrong password (Authentication failed: wrong key or altered data)\n"}));
  EXPECT_EQ(ctl("vault unlock --password-stdin", "s3cret pw\n").out, "Vault unlocked.\n");
  EXPECT_EQ(ctl("vault unlock --password-stdin", "not read\n").out, "The vault is already unlocked.\n");

  EXPECT_EQ(Json::parse(ctl("--json vault status").out), Json::parse(R"({"exists":true,"unlocked":true})"));

  EXPECT_EQ(ctl("call noSuchOperation"), (CtlResult{2, "", "tolvoctl: method not found: noSuchOperation\n"
                                                         "  (the service refused the request, JSON-RPC error -32601)\n"}));
  EXPECT_EQ(Json::parse(ctl("call isVaultUnlocked").out), Json::parse(R"({"unlocked":true})"));
  EXPECT_EQ(ctl("permissions --request"), (CtlResult{0, "Screen recording: not granted\nAccessibility:    not trusted\n", ""}));
  const auto usage = ctl("sessions frobnicate");
  EXPECT_GE(usage.exitCode, 100);
  EXPECT_EQ(usage.err, "Unknown command or argument: frobnicate\nRun with --help for more information.\n");
}

TEST_F(TolvoctlTest, StartsTheServiceOnDemandAndStopsIt) {
  const auto path = tmp() / "spawned" / "recorder.sock";
  const std::string socket = "--socket " + path.string() + " ";
  EXPECT_EQ(run(socket + "service stop"), (CtlResult{0, "No service is running.\n", ""}));
  EXPECT_FALSE(std::filesystem::exists(path)) << "stopping starts nothing";
  EXPECT_EQ(run("--no-spawn " + socket + "vault status"),
            (CtlResult{3, "", "tolvoctl: no tolvo-recorder-service is listening on " + path.string() + "\n"}));

  // The service found beside tolvoctl starts and answers.
  const auto spawned = run(socket + "vault status");
  EXPECT_EQ(spawned.exitCode, 0) << spawned.err;
  EXPECT_EQ(spawned.out, "No vault. Create one with `tolvoctl vault create`.\n");
  EXPECT_EQ(spawned.err.rfind("tolvoctl: started ", 0), 0u) << spawned.err;

  // `service stop` returns once nothing answers any more.
  EXPECT_EQ(run(socket + "service stop"), (CtlResult{0, "Service stopped.\n", ""}));
  EXPECT_THROW(RawClient{path}, std::runtime_error);
  EXPECT_EQ(run(socket + "service stop").out, "No service is running.\n");
}

TEST_F(TolvoctlTest, RecordConfigRewritesItsKeysAndReachesOnlyARunningService) {
  const auto file = configHome() / "TolvoDesk" / "defaults.json";
  writeText(file, R"({"theme": "dark", "recordingFPS": 3, "recordingVideoScale": 0.5})");
  EXPECT_EQ(ctl("record config --fps 2 --codec h264 --no-audio --chunk-seconds 30").exitCode, 0);
  EXPECT_FALSE(std::filesystem::exists(socketPath())) << "no service is started for new defaults";
  const auto written = Json::parse(R"({"theme": "dark", "recordingFPS": 2.0, "recordingVideoScale": 0.5,
      "recordingCodec": "h264", "recordingAudio": false, "recordingChunkDurationSeconds": 30})");
  EXPECT_EQ(Json::parse(readText(file)), written);
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  const auto refused = ctl("record config --fps 2 --chunk-seconds 2.5");
  EXPECT_GE(refused.exitCode, 100);
  EXPECT_EQ(refused.err, usageError(R"(--chunk-seconds: a chunk must last a whole number of seconds from 1 to 86400, not "2.5")"));
  EXPECT_EQ(Json::parse(readText(file)), written) << "refused values change nothing";

  start();
  const auto sent = Json::parse(ctl("--json record config --quality 0.5").out);
  EXPECT_EQ(sent["serviceUpdated"], true);
  EXPECT_EQ(sent["defaults"], Json::parse(R"({"recordingFPS": 2.0, "recordingCodec": "h264", "recordingVideoScale": 0.5,
      "recordingVideoQuality": 0.5, "recordingAudio": false, "recordingScreensaver": false,
      "recordingChunkDurationSeconds": 30})"));
  EXPECT_EQ(Json::parse(ctl("--json record config").out), sent["defaults"]);
  EXPECT_EQ(ctl("record pause --reason nap").err,
            usageError("--reason: nap not in {lid_closed,screensaver,user,lock_screen,sleep}"));
}

TEST_F(TolvoctlTest, RecordsADisplayFromStartToStop) {
  if (!XServer::available(XServer::Kind::xvfb)) GTEST_SKIP() << "Xvfb missing";
  XServer x(root(), {XServer::Kind::xvfb, 640, 480, false});
  setEnv("DISPLAY", x.display());
  start();
  EXPECT_EQ(ctl("record start").err, "tolvoctl: there is no vault yet; create one with `tolvoctl vault create`\n");
  ASSERT_EQ(ctl("--password-stdin vault create", "pw\n").exitCode, 0);
  EXPECT_EQ(ctl("record start --fps 5 --scale 0.5 --chunk-seconds 1").out,
            "Recording (5 fps, hevc, scale 0.5, quality 0.7, no audio, screensaver not recorded, chunks of 1 s).\n");
  const std::string session = Json::parse(ctl("--json record status").out).value("currentSessionId", "");
  EXPECT_EQ(ctl("record status").out.rfind("State:    recording\nSession:  " + session + "\n", 0), 0u);
  EXPECT_EQ(ctl("record stop"), (CtlResult{0, "Stopped.\n", ""}));

  const CtlResult summary = ctl("summary start " + session + " --interval 1h --question Q --wait");
  EXPECT_EQ(summary.exitCode, 0) << summary.err;
  EXPECT_NE(summary.out.find(": done  "), std::string::npos) << summary.out;
  EXPECT_NE(summary.out.find("  local-v1\n  Activity Summary\n  Question: Q\n  Time Range: "), std::string::npos);
  EXPECT_EQ(ctl("summary list " + session).out, summary.out.substr(summary.out.find("\n\n") + 2));
  EXPECT_EQ(ctl("summary start nosuch --wait").err,
            "tolvoctl: the summary job failed: Recording session not found\n");
}

}  // namespace
}  // namespace tolvo::test
