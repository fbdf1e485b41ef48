// tolvoctl as a person or a script runs it, against the real service: what it says and its
// exit status (0 done, 1 failed, 2 refused, 3 no service), --json, --password-stdin, and the
// on-demand start of the service.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "real_service.h"
#include "support/raw_client.h"

namespace tolvo::test {
namespace {

using Json = nlohmann::json;

using TolvoctlTest = RealServiceTest;

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

  EXPECT_EQ(ctl("recording status"),
            (CtlResult{2, "", "tolvoctl: `recording status` is not available: this build of tolvo-recorder-service "
                              "does not offer it yet\n"}));
  EXPECT_EQ(ctl("call getRecordingStatus"), (CtlResult{2, "", "tolvoctl: method not found: getRecordingStatus\n"
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

}  // namespace
}  // namespace tolvo::test
