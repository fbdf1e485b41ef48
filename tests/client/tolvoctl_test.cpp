// tolvoctl as a person or a script runs it, against an in-process service.
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "core/base64.h"
#include "service/raw_client.h"
#include "service/scripted_handler.h"
#include "service/service_listener.h"
#include "support/sandbox.h"

namespace tolvo::test {
namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;

struct CtlResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

class TolvoctlTest : public SandboxedTest {
 protected:
  TolvoctlTest() : script_(std::make_shared<Script>()) {
    script_->methods["isVaultUnlocked"] = [](const RpcParams&, RpcReply reply) { reply.send({{"unlocked", false}}); };
    script_->methods["vaultExists"] = [](const RpcParams&, RpcReply reply) { reply.send({{"exists", true}}); };
    script_->methods["completeUIUnlockWithPassword"] = [](const RpcParams& p, RpcReply reply) {
      if (p.text("password") != "s3cret pw") return reply.send({{"token", nullptr}, {"error", "Invalid password"}});
      reply.send({{"token", base64Encode(asBytes(R"({"token":"TKN","expiresAt":900,"createdAt":0})"))}, {"error", nullptr}});
    };
    script_->methods["listSessions"] = [](const RpcParams& p, RpcReply reply) {
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

  std::shared_ptr<Script> script_;
  std::unique_ptr<ServiceListener> listener_;
};

TEST_F(TolvoctlTest, ListsSessionsAsATableAfterAPasswordUnlock) {
  auto run = tolvoctl("--socket " + socketPath().string() + " --password-stdin sessions list", "s3cret pw\n");
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out,
            "SESSION  STARTED              ENDED                DURATION\n"
            "s-1      1970-01-01 00:00:01  1970-01-01 01:02:03  1h 02m 02s\n"
            "s-2      1970-01-01 00:00:05  (open)               -\n");
}

TEST_F(TolvoctlTest, PrintsJsonForScriptsAndDeletes) {
  auto list = tolvoctl("--socket " + socketPath().string() + " --password-stdin --json sessions list", "s3cret pw\n");
  ASSERT_EQ(list.exitCode, 0) << list.err;
  EXPECT_EQ(Json::parse(list.out), Json::parse(R"([{"id":"s-1","startedAtMs":1000,"endedAtMs":3723000,"createdAtMs":1000},
                                                  {"id":"s-2","startedAtMs":5000,"createdAtMs":5000}])"));
  auto del = tolvoctl("--socket " + socketPath().string() + " --password-stdin sessions delete s-1 s-2", "s3cret pw\n");
  EXPECT_EQ(del.exitCode, 0) << del.err;
  EXPECT_EQ(del.out, "Deleted 2 sessions.\n");
}

TEST_F(TolvoctlTest, FailuresAreToldPlainlyWithANonZeroExit) {
  auto wrong = tolvoctl("--socket " + socketPath().string() + " --password-stdin sessions list", "guess\n");
  EXPECT_EQ(wrong.exitCode, 1);
  EXPECT_EQ(wrong.err, "tolvoctl: Invalid password\n");
  EXPECT_EQ(wrong.out, "");

  auto unserved = tolvoctl("--socket " + socketPath().string() + " service stop");
  EXPECT_EQ(unserved.exitCode, 2);
  EXPECT_EQ(unserved.err, "tolvoctl: method not found: terminateService\n"
                          "  (the service refused the request, JSON-RPC error -32601)\n");

  const auto nowhere = tmp() / "none" / "recorder.sock";
  auto absent = tolvoctl("--no-spawn --socket " + nowhere.string() + " vault status");
  EXPECT_EQ(absent.exitCode, 3);
  EXPECT_EQ(absent.err, "tolvoctl: no tolvo-recorder-service is listening on " + nowhere.string() + "\n");

  auto usage = tolvoctl("--socket " + socketPath().string() + " sessions frobnicate");
  EXPECT_NE(usage.exitCode, 0);
}

TEST_F(TolvoctlTest, StartsTheServiceWhenNoneAnswers) {
  const auto spawned = tmp() / "spawned" / "recorder.sock";
  // The service found beside tolvoctl starts and answers.
  auto run = tolvoctl("--socket " + spawned.string() + " vault status");
  EXPECT_EQ(run.exitCode, 0) << run.err;
  ASSERT_TRUE(std::filesystem::exists(spawned));
  // It is a live, separate process: end it through its peer credentials.
  RawClient client(spawned);
  ucred peer{};
  socklen_t length = sizeof peer;
  ASSERT_EQ(::getsockopt(client.fd(), SOL_SOCKET, SO_PEERCRED, &peer, &length), 0);
  EXPECT_NE(peer.pid, ::getpid());
  ASSERT_EQ(::kill(peer.pid, SIGTERM), 0);
  EXPECT_TRUE(client.closedByPeer());
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::filesystem::exists(spawned) && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
  EXPECT_FALSE(std::filesystem::exists(spawned));
}

}  // namespace
}  // namespace tolvo::test
