// libtolvo_client's own behaviour: the kind and code of its errors, timeouts and lost
// connections (the real service stopped or killed), concurrent calls on one connection, and
// answers of the wrong form.
#include "client/tolvo_client.h"

#include <signal.h>

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include <nlohmann/json.hpp>

#include "core/base64.h"
#include "real_service.h"
#include "service/scripted_handler.h"
#include "service/service_listener.h"

namespace tolvo::test {
namespace {

using Json = nlohmann::json;
using Kind = ClientError::Kind;
using namespace std::chrono_literals;

// The kind and JSON-RPC code of the ClientError that `f` raises; nothing when it raises none.
template <typename F>
std::optional<std::pair<Kind, int>> failure(F&& f) {
  try {
    f();
  } catch (const ClientError& e) {
    return std::pair{e.kind(), e.code()};
  }
  return std::nullopt;
}

class TolvoClientTest : public RealServiceTest {
 protected:
  // Sends `number` to the service; for SIGSTOP returns once the service has stopped.
  void sendSignal(int number) {
    int status = 0;
    ASSERT_EQ(::kill(service_->pid(), number), 0);
    EXPECT_TRUE(number != SIGSTOP || ::waitpid(service_->pid(), &status, WUNTRACED) == service_->pid());
  }
};

TEST_F(TolvoClientTest, ATimedOutCallsLateAnswerIsDroppedAndALostConnectionIsTold) {
  start();
  TolvoClient::Options quick;
  quick.replyTimeout = 200ms;
  TolvoClient c(socketPath(), quick);
  ASSERT_FALSE(c.vaultExists());
  sendSignal(SIGSTOP);
  EXPECT_EQ(failure([&] { (void)c.call("noSuchOperation"); }), std::pair(Kind::timeout, 0));
  sendSignal(SIGCONT);
  EXPECT_FALSE(c.vaultExists()) << "the late -32601 answer belongs to the abandoned call";

  TolvoClient patient(socketPath());
  sendSignal(SIGSTOP);
  auto waiting = std::async(std::launch::async, [&] { return failure([&] { (void)patient.isVaultUnlocked(); }); });
  std::this_thread::sleep_for(100ms);
  sendSignal(SIGKILL);
  ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(waiting.get(), std::pair(Kind::connectionLost, 0));
  EXPECT_EQ(failure([&] { (void)c.vaultExists(); }), std::pair(Kind::connectionLost, 0));
}

TEST_F(TolvoClientTest, CallsFromSeveralThreadsEachGetTheirOwnAnswer) {
  start();
  TolvoClient c(socketPath());
  ASSERT_TRUE(c.createVault("pw", false).ok);
  const auto token = c.mintUISession(600).value.value();
  sendSignal(SIGSTOP);  // every request waits; then the answers arrive together
  std::vector<std::future<bool>> calls;
  for (int i = 0; i < 24; ++i) {
    calls.push_back(std::async(std::launch::async, [&, i] {
      if (i % 3 == 0) return c.vaultExists();
      if (i % 3 == 1) return failure([&] { (void)c.call("noSuchOperation"); }) == std::pair(Kind::rpc, -32601);
      return c.listSessions(token, 10, 0).value == std::vector<Session>{};
    }));
  }
  std::this_thread::sleep_for(100ms);
  sendSignal(SIGCONT);
  for (auto& call : calls) EXPECT_TRUE(call.get());
}

// The checks of the answers' form, with a peer that is not the service: it answers whatever
// the test scripts.
TEST_F(TolvoClientTest, AnswersOfTheWrongFormAreProtocolErrors) {
  auto script = std::make_shared<Script>();
  script->methods["isVaultUnlocked"] = [](const RpcParams&, RpcReply reply) { reply.send({{"unlocked", "yes"}}); };
  script->methods["vaultExists"] = [](const RpcParams&, RpcReply reply) { reply.send({}); };  // exists: null
  script->methods["listChunks"] = [](const RpcParams&, RpcReply reply) {
    reply.send({{"chunks", base64Encode(toBytes(R"([{"id":"c"}])"))}, {"error", nullptr}});
  };
  ServiceListener peer(factoryFor(script));
  peer.bindSocket(socketPath());
  peer.start();
  TolvoClient c(socketPath());
  EXPECT_EQ(failure([&] { (void)c.isVaultUnlocked(); }), std::pair(Kind::protocol, 0));
  EXPECT_EQ(failure([&] { (void)c.vaultExists(); }), std::pair(Kind::protocol, 0));
  EXPECT_EQ(failure([&] { (void)c.listChunks(UISessionToken{"T", {}, {}}, "s"); }), std::pair(Kind::protocol, 0));
  EXPECT_EQ(c.call("vaultExists"), Json::parse(R"({"exists":null})")) << "raw calls return the result as it came";
}

}  // namespace
}  // namespace tolvo::test
