// tolvoctl as a person or a script runs it, against an in-process service.
#include <sys/socket.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "core/base64.h"
#include "service/scripted_handler.h"
#include "service/service_listener.h"
#include "support/raw_client.h"
#include "support/sandbox.h"

namespace tolvo::test {
namespace {

using Json = nlohmann::json;

struct CtlResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

class TolvoctlTest : public SandboxedTest {
 protected:
  // A service with an unlocked vault whose password is "s3cret pw".
  TolvoctlTest() : script_(std::make_shared<Script>()) {
    script_->methods["isVaultUnlocked"] = [this](const RpcParams&, RpcReply reply) { reply.send({{"unlocked", unlocked_.load()}}); };
    script_->methods["vaultExists"] = [this](const RpcParams&, RpcReply reply) { reply.send({{"exists", exists_.load()}}); };
    script_->methods["mintUISession"] = [this](const RpcParams&, RpcReply reply) {
      if (!unlocked_) return reply.send({{"token", nullptr}, {"error", "Vault is locked"}});
      reply.send({{"token", base64Encode(asBytes(R"({"token":"TKN","expiresAt":900,"createdAt":0})"))}, {"error", nullptr}});
    };
    script_->methods["unlockVaultWithPassword"] = [this](const RpcParams& p, RpcReply reply) {
      if (p.text("password") != "s3cret pw") {
        return reply.send({{"ok", false}, {"error", "Authentication failed: wrong key or altered data"}});
      }
      unlocked_ = true;
      reply.send({{"ok", true}, {"error", nullptr}});
    };
    script_->methods["createVault"] = [this](const RpcParams& p, RpcReply reply) {
      createdWith(std::string(p.text("password")));
      exists_ = true;
      reply.send({{"ok", true}, {"error", nullptr}});
    };
    script_->methods["listSessions"] = [this](const RpcParams& p, RpcReply reply) {
      ++listed_;
      EXPECT_EQ(Json::parse(toString(p.bytes("tokenData"))).at("token"), "TKN");
      EXPECT_EQ(p.integer("limit"), 50);
      reply.send({{"sessions", base64Encode(asBytes(R"([{"id":"s-1","startedAtMs":1000,"endedAtMs":3723000,"createdAtMs":1000},)"
                                                    R"({"id":"s-2","startedAtMs":5000,"createdAtMs":5000}])"))}});
    };
    script_->methods["deleteSessions"] = [](const RpcParams& p, RpcReply reply) {
      EXPECT_EQ(Json::parse(toString(p.bytes("sessionIDsData"))), Json::parse(R"(["s-1","s-2"])"));
      reply.send({{"deleted", 2}});
    };
    listener_ = std::make_unique<ServiceListener>(factoryFor(script_));
    listener_->bindSocket(socketPath());
    listener_->start();
  }

  std::filesystem::path socketPath() const { return tmp() / "tolvodesk" / "recorder.sock"; }

  // Runs tolvoctl with `arguments` (a shell fragment) and `input` on standard input.
  CtlResult tolvoctl(const std::string& arguments, const std::string& input = "") {
    const auto outFile = root() / "out.txt";
    const auto errFile = root() / "err.txt";
    const auto inFile = root() / "in.txt";
    writeText(inFile, input);
    const std::string command = "TZ=UTC " + std::string(TOLVOCTL_BINARY) + " " + arguments + " <" + inFile.string() +
                                " >" + outFile.string() + " 2>" + errFile.string();
    CtlResult run;
    const int status = std::system(command.c_str());
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = readText(outFile);
    run.err = readText(errFile);
    return run;
  }

  std::atomic<bool> exists_{true};
  std::atomic<bool> unlocked_{true};
  std::atomic<int> listed_{0};
  // The password of the last createVault, written on the service's thread.
  std::string createdWith(std::optional<std::string> set = std::nullopt) {
    std::lock_guard lock(mutex_);
    if (set) createdWith_ = *set;
    return createdWith_;
  }
  std::mutex mutex_;
  std::string createdWith_;
  std::shared_ptr<Script> script_;
  std::unique_ptr<ServiceListener> listener_;
};

TEST_F(TolvoctlTest, ListsSessionsAsATableWithATokenMintedOnItsConnection) {
  auto run = tolvoctl("--socket " + socketPath().string() + " sessions list");
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out,
            "SESSION  STARTED              ENDED                DURATION\n"
            "s-1      1970-01-01 00:00:01  1970-01-01 01:02:03  1h 02m 02s\n"
            "s-2      1970-01-01 00:00:05  (open)               -\n");
}

TEST_F(TolvoctlTest, PrintsJsonForScriptsAndDeletes) {
  auto list = tolvoctl("--socket " + socketPath().string() + " --json sessions list");
  ASSERT_EQ(list.exitCode, 0) << list.err;
  EXPECT_EQ(Json::parse(list.out), Json::parse(R"([{"id":"s-1","startedAtMs":1000,"endedAtMs":3723000,"createdAtMs":1000},
                                                  {"id":"s-2","startedAtMs":5000,"createdAtMs":5000}])"));
  auto del = tolvoctl("--socket " + socketPath().string() + " sessions delete s-1 s-2");
  EXPECT_EQ(del.exitCode, 0) << del.err;
  EXPECT_EQ(del.out, "Deleted 2 sessions.\n");
}

TEST_F(TolvoctlTest, ALockedVaultIsUnlockedWithItsPasswordBeforeDataIsRead) {
  unlocked_ = false;
  auto locked = tolvoctl("--socket " + socketPath().string() + " sessions list");
  EXPECT_EQ(locked.exitCode, 1);
  EXPECT_EQ(locked.err, "tolvoctl: the vault is locked; unlock it with `tolvoctl vault unlock`\n");
  EXPECT_EQ(locked.out, "");
  EXPECT_EQ(listed_, 0);

  auto wrong = tolvoctl("--socket " + socketPath().string() + " --password-stdin vault unlock", "guess\n");
  EXPECT_EQ(wrong.exitCode, 1);
  EXPECT_EQ(wrong.err, "tolvoctl: wrong password (Authentication failed: wrong key or altered data)\n");

  auto right = tolvoctl("--socket " + socketPath().string() + " vault unlock --password-stdin", "s3cret pw\n");
  EXPECT_EQ(right.exitCode, 0) << right.err;
  EXPECT_EQ(right.out, "Vault unlocked.\n");
  auto again = tolvoctl("--socket " + socketPath().string() + " vault unlock --password-stdin", "not read\n");
  EXPECT_EQ(again.exitCode, 0) << again.err;
  EXPECT_EQ(again.out, "The vault is already unlocked.\n");

  auto list = tolvoctl("--socket " + socketPath().string() + " sessions list");
  EXPECT_EQ(list.exitCode, 0) << list.err;
  EXPECT_EQ(listed_, 1);
}

TEST_F(TolvoctlTest, NeverCreatesAVaultOverAnExistingOne) {
  auto refused = tolvoctl("--socket " + socketPath().string() + " --password-stdin vault create", "new pw\n");
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(refused.err,
            "tolvoctl: a vault already exists; unlock it with `tolvoctl vault unlock`, or to start over (its recordings "
            "become unreadable) delete it first with `tolvoctl vault delete`\n");
  EXPECT_EQ(createdWith(), "");

  exists_ = false;
  unlocked_ = false;
  auto before = tolvoctl("--socket " + socketPath().string() + " sessions list");
  EXPECT_EQ(before.exitCode, 1);
  EXPECT_EQ(before.err, "tolvoctl: there is no vault yet; create one with `tolvoctl vault create`\n");
  auto empty = tolvoctl("--socket " + socketPath().string() + " --password-stdin vault create", "\n");
  EXPECT_EQ(empty.exitCode, 1);
  EXPECT_EQ(empty.err, "tolvoctl: the password must not be empty\n");
  auto created = tolvoctl("--socket " + socketPath().string() + " --password-stdin vault create", "new pw\n");
  EXPECT_EQ(created.exitCode, 0) << created.err;
  EXPECT_EQ(created.out, "Vault created.\n");
  EXPECT_EQ(createdWith(), "new pw");
}

TEST_F(TolvoctlTest, FailuresAreToldPlainlyWithANonZeroExit) {
  // This scripted service, like the current service build, offers no recording operations.
  auto unserved = tolvoctl("--socket " + socketPath().string() + " recording status");
  EXPECT_EQ(unserved.exitCode, 2);
  EXPECT_EQ(unserved.err,
            "tolvoctl: `recording status` is not available: this build of tolvo-recorder-service does not offer it "
            "yet\n");
  auto raw = tolvoctl("--socket " + socketPath().string() + " call getRecordingStatus");
  EXPECT_EQ(raw.exitCode, 2);
  EXPECT_EQ(raw.err, "tolvoctl: method not found: getRecordingStatus\n"
                     "  (the service refused the request, JSON-RPC error -32601)\n");

  const auto nowhere = tmp() / "none" / "recorder.sock";
  auto absent = tolvoctl("--no-spawn --socket " + nowhere.string() + " vault status");
  EXPECT_EQ(absent.exitCode, 3);
  EXPECT_EQ(absent.err, "tolvoctl: no tolvo-recorder-service is listening on " + nowhere.string() + "\n");

  auto usage = tolvoctl("--socket " + socketPath().string() + " sessions frobnicate");
  EXPECT_GE(usage.exitCode, 100);
  EXPECT_EQ(usage.err, "Unknown command or argument: frobnicate\nRun with --help for more information.\n");
}

TEST_F(TolvoctlTest, StoppingWhenNoServiceRunsStartsNone) {
  const auto nowhere = tmp() / "idle" / "recorder.sock";
  auto run = tolvoctl("--socket " + nowhere.string() + " service stop");
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "No service is running.\n");
  EXPECT_EQ(run.err, "");
  EXPECT_FALSE(std::filesystem::exists(nowhere));
}

TEST_F(TolvoctlTest, StartsTheServiceWhenNoneAnswers) {
  const auto spawned = tmp() / "spawned" / "recorder.sock";
  // The service found beside tolvoctl starts and answers.
  auto run = tolvoctl("--socket " + spawned.string() + " vault status");
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "No vault. Create one with `tolvoctl vault create`.\n");
  EXPECT_NE(run.err.find("tolvoctl: started "), std::string::npos) << run.err;
  ASSERT_TRUE(std::filesystem::exists(spawned));
  // It is a live, separate process.
  RawClient client(spawned);
  ucred peer{};
  socklen_t length = sizeof peer;
  ASSERT_EQ(::getsockopt(client.fd(), SOL_SOCKET, SO_PEERCRED, &peer, &length), 0);
  EXPECT_NE(peer.pid, ::getpid());
  client.close();

  // `service stop` returns once nothing answers any more (the process ends without removing
  // its socket file; the next service replaces it).
  auto stop = tolvoctl("--socket " + spawned.string() + " service stop");
  EXPECT_EQ(stop.exitCode, 0) << stop.err;
  EXPECT_EQ(stop.out, "Service stopped.\n");
  EXPECT_THROW(RawClient{spawned}, std::runtime_error);
  auto after = tolvoctl("--socket " + spawned.string() + " service stop");
  EXPECT_EQ(after.out, "No service is running.\n");
}

}  // namespace
}  // namespace tolvo::test
