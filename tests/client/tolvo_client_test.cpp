#include "support/gate.h"
#include "client/tolvo_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "core/base64.h"
#include "core/json_codec.h"
#include "service/scripted_handler.h"
#include "service/service_listener.h"
#include "support/sandbox.h"

namespace tolvo::test {
namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;

std::string b64(std::string_view text) { return base64Encode(asBytes(text)); }

class TolvoClientTest : public SandboxedTest {
 protected:
  TolvoClientTest() : script_(std::make_shared<Script>()) {}

  void start() {
    listener_ = std::make_unique<ServiceListener>(factoryFor(script_));
    listener_->bindSocket(socketPath());
    listener_->start();
  }
  std::filesystem::path socketPath() const { return tmp() / "tolvodesk" / "recorder.sock"; }

  std::shared_ptr<Script> script_;
  std::unique_ptr<ServiceListener> listener_;
};

TEST_F(TolvoClientTest, TypedCallsSendTheWireParametersAndDecodeTheRecords) {
  const std::string tokenJson = R"({"token":"8F0C3E52-5D0B-4C61-9C9B-6B1B8E7E2A10","expiresAt":60.5,"createdAt":0.5})";
  script_->methods["createVault"] = [](const RpcParams& p, RpcReply reply) {
    EXPECT_EQ(p.text("password"), "correct horse");
    EXPECT_TRUE(p.boolean("enableTouchID"));
    reply.send({{"ok", false}, {"error", "Vault already exists"}});
  };
  script_->methods["mintUISession"] = [&](const RpcParams& p, RpcReply reply) {
    EXPECT_EQ(p.real("validitySeconds"), 120.0);
    reply.send({{"token", b64(tokenJson)}, {"error", nullptr}});
  };
  script_->methods["listSessions"] = [&](const RpcParams& p, RpcReply reply) {
    EXPECT_EQ(Json::parse(toString(p.bytes("tokenData"))).at("token"), "8F0C3E52-5D0B-4C61-9C9B-6B1B8E7E2A10");
    EXPECT_EQ(p.integer("limit"), 25);
    EXPECT_EQ(p.integer("offset"), 5);
    reply.send({{"sessions", b64(R"([{"id":"a1","startedAtMs":1000,"createdAtMs":1000},)"
                                 R"({"id":"b2","startedAtMs":2000,"endedAtMs":9000,"createdAtMs":2001}])")},
                {"error", nullptr}});
  };
  script_->methods["deleteSessions"] = [](const RpcParams& p, RpcReply reply) {
    EXPECT_EQ(Json::parse(toString(p.bytes("sessionIDsData"))), Json::parse(R"(["a","a","b"])"));
    reply.send({{"deleted", 2}, {"error", nullptr}});
  };
  script_->methods["getChunkKey"] = [](const RpcParams& p, RpcReply reply) {
    EXPECT_EQ(p.text("chunkId"), "c-1");
    reply.send({{"key", base64Encode(Bytes(32, 0xAB))}, {"error", nullptr}});
  };
  script_->methods["getSessionDetail"] = [](const RpcParams&, RpcReply reply) { reply.send({}); };
  script_->methods["startSummaryJob"] = [](const RpcParams& p, RpcReply reply) {
    EXPECT_FALSE(p.has("remoteAPIBaseURL"));
    EXPECT_EQ(p.text("chunkInterval"), "1h");
    EXPECT_EQ(p.integer("startMs"), -5);
    reply.send({{"jobId", "JOB-1"}, {"error", nullptr}});
  };
  script_->methods["repairInterruptedSessions"] = [](const RpcParams&, RpcReply reply) {
    reply.send({{"repaired", 0}, {"error", "Vault is locked"}});
  };
  start();

  TolvoClient client(socketPath());
  EXPECT_EQ(client.createVault("correct horse", true), (OkResult{false, "Vault already exists"}));

  auto token = client.mintUISession(120);
  ASSERT_TRUE(token.value);
  EXPECT_FALSE(token.error);
  EXPECT_EQ(token.value->token, "8F0C3E52-5D0B-4C61-9C9B-6B1B8E7E2A10");
  EXPECT_DOUBLE_EQ(toReferenceSeconds(token.value->expiresAt), 60.5);

  auto sessions = client.listSessions(*token.value, 25, 5);
  ASSERT_TRUE(sessions.value);
  ASSERT_EQ(sessions.value->size(), 2u);
  EXPECT_EQ((*sessions.value)[0], (Session{"a1", 1000, std::nullopt, 1000}));
  EXPECT_EQ((*sessions.value)[1], (Session{"b2", 2000, 9000, 2001}));

  EXPECT_EQ(client.deleteSessions(*token.value, {"a", "a", "b"}), (CountResult{2, std::nullopt}));
  auto key = client.getChunkKey(*token.value, "c-1");
  ASSERT_TRUE(key.value);
  EXPECT_EQ(key.value->bytes(), Bytes(32, 0xAB));

  auto missing = client.getSessionDetail(*token.value, "nope");
  EXPECT_FALSE(missing.value);
  EXPECT_FALSE(missing.error);

  SummaryJobRequest job;
  job.sessionId = "a1";
  job.startMs = -5;
  job.chunkInterval = "1h";
  EXPECT_EQ(client.startSummaryJob(*token.value, job), (JobIdResult{"JOB-1", std::nullopt}));
  EXPECT_EQ(client.repairInterruptedSessions(), (CountResult{0, "Vault is locked"}));
}

TEST_F(TolvoClientTest, TransportErrorsRaiseClientErrorWithTheirCodes) {
  script_->methods["isVaultUnlocked"] = [](const RpcParams&, RpcReply reply) { reply.send({{"unlocked", "yes"}}); };
  script_->methods["vaultExists"] = [](const RpcParams&, RpcReply reply) { reply.send({}); };
  script_->methods["listChunks"] = [](const RpcParams&, RpcReply reply) {
    reply.send({{"chunks", b64(R"([{"id":"c"}])")}, {"error", nullptr}});
  };
  start();
  TolvoClient client(socketPath());

  auto expectRpc = [&](auto&& f, int code) {
    try {
      f();
      ADD_FAILURE() << "no ClientError";
    } catch (const ClientError& e) {
      EXPECT_EQ(e.kind(), ClientError::Kind::rpc);
      EXPECT_EQ(e.code(), code) << e.what();
    }
  };
  expectRpc([&] { (void)client.call("noSuchOperation"); }, -32601);
  expectRpc([&] { (void)client.lockVault(); }, -32601);  // not served by this handler
  expectRpc([&] { (void)client.call("listChunks", {{"tokenData", "e30="}}); }, -32602);
  expectRpc([&] { (void)client.call("listChunks", {{"tokenData", "e30"}, {"sessionId", "s"}}); }, -32602);

  auto expectProtocol = [&](auto&& f) {
    try {
      f();
      ADD_FAILURE() << "no ClientError";
    } catch (const ClientError& e) {
      EXPECT_EQ(e.kind(), ClientError::Kind::protocol) << e.what();
    }
  };
  expectProtocol([&] { (void)client.isVaultUnlocked(); });  // "yes" is not a boolean
  expectProtocol([&] { (void)client.vaultExists(); });      // exists: null
  UISessionToken token{"T", {}, {}};
  expectProtocol([&] { (void)client.listChunks(token, "s"); });  // a chunk without its fields

  // Raw calls return the result as it came, and the connection is still fine after errors.
  EXPECT_EQ(client.call("vaultExists"), Json::parse(R"({"exists":null})"));
}

TEST_F(TolvoClientTest, CallsFromSeveralThreadsAreMatchedById) {
  Gate gate;
  std::vector<std::thread> late;
  std::mutex lateMutex;
  script_->methods["stopRecording"] = [&](const RpcParams&, RpcReply reply) {
    std::lock_guard lock(lateMutex);
    late.emplace_back([&gate, reply] {
      gate.wait();
      reply.send({{"ok", true}, {"error", nullptr}});
    });
  };
  script_->methods["isVaultUnlocked"] = [](const RpcParams&, RpcReply reply) { reply.send({{"unlocked", true}}); };
  script_->methods["requestAccessibilityPermission"] = [&](const RpcParams&, RpcReply reply) {
    std::lock_guard lock(lateMutex);
    late.emplace_back([&gate, reply] {
      gate.wait();
      reply.send({{"trusted", false}});
    });
  };
  start();
  TolvoClient client(socketPath());
  auto stop = std::async(std::launch::async, [&] { return client.stopRecording(); });
  auto permission = std::async(std::launch::async, [&] { return client.requestAccessibilityPermission(); });
  // While both wait for their late answers, other calls are answered.
  for (int i = 0; i < 20; ++i) EXPECT_TRUE(client.isVaultUnlocked());
  EXPECT_EQ(stop.wait_for(20ms), std::future_status::timeout);
  gate.open();
  EXPECT_EQ(stop.get(), (OkResult{true, std::nullopt}));
  EXPECT_FALSE(permission.get());
  std::lock_guard lock(lateMutex);
  for (auto& t : late) t.join();
}

TEST_F(TolvoClientTest, NoServiceLostConnectionsAndTimeoutsAreTold) {
  try {
    TolvoClient client(socketPath());
    FAIL() << "connected to nothing";
  } catch (const ClientError& e) {
    EXPECT_EQ(e.kind(), ClientError::Kind::noService);
    EXPECT_EQ(std::string(e.what()), "no tolvo-recorder-service is listening on " + socketPath().string());
  }

  Gate gate;
  script_->methods["unlockVaultWithPassword"] = [&](const RpcParams&, RpcReply reply) {
    gate.wait();
    reply.send({{"ok", true}});
  };
  script_->methods["isVaultUnlocked"] = [](const RpcParams&, RpcReply reply) { reply.send({{"unlocked", false}}); };
  start();

  TolvoClient::Options quick;
  quick.replyTimeout = 100ms;
  TolvoClient impatient(socketPath(), quick);
  try {
    (void)impatient.unlockVaultWithPassword("pw");
    FAIL() << "no timeout";
  } catch (const ClientError& e) {
    EXPECT_EQ(e.kind(), ClientError::Kind::timeout);
  }
  gate.open();
  // The late answer to the abandoned call is dropped; the next call gets its own.
  EXPECT_FALSE(impatient.isVaultUnlocked());

  TolvoClient client(socketPath());
  EXPECT_FALSE(client.isVaultUnlocked());
  listener_->stop();
  try {
    (void)client.isVaultUnlocked();
    FAIL() << "call on a closed connection";
  } catch (const ClientError& e) {
    EXPECT_EQ(e.kind(), ClientError::Kind::connectionLost);
  }
}

}  // namespace
}  // namespace tolvo::test
