#include "service/rpc_dispatcher.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include <nlohmann/json.hpp>

#include "scripted_handler.h"

namespace tolvo::test {
namespace {

using nlohmann::json;

class RpcDispatcherTest : public ::testing::Test {
 protected:
  RpcDispatcherTest() : script_(std::make_shared<Script>()), handler_(script_), sink_(std::make_shared<CollectingSink>()) {}

  // Dispatches one line and returns the single answer it produced.
  json answer(std::string line) {
    const auto before = sink_->lines().size();
    RpcDispatcher::dispatch(line, handler_, sink_);
    auto lines = sink_->lines();
    EXPECT_EQ(lines.size(), before + 1) << "exactly one answer per request";
    return lines.empty() ? json() : json::parse(lines.back());
  }

  static void expectError(const json& reply, const json& id, int code) {
    EXPECT_EQ(reply.at("jsonrpc"), "2.0");
    EXPECT_EQ(reply.at("id"), id);
    EXPECT_EQ(reply.at("error").at("code"), code) << reply.dump();
    EXPECT_TRUE(reply.at("error").at("message").is_string());
    EXPECT_FALSE(reply.contains("result"));
  }

  std::shared_ptr<Script> script_;
  ScriptedHandler handler_;
  std::shared_ptr<CollectingSink> sink_;
};

TEST_F(RpcDispatcherTest, MalformedLinesGetParseAndRequestErrors) {
  int calls = 0;
  script_->methods["vaultExists"] = [&](const RpcParams&, RpcReply reply) {
    ++calls;
    reply.send({{"exists", true}});
  };
  expectError(answer("{\"jsonrpc\":\"2.0\",\"id\":1,"), nullptr, -32700);
  expectError(answer("not json at all"), nullptr, -32700);
  expectError(answer("{} {}"), nullptr, -32700);
  expectError(answer("[{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"vaultExists\"}]"), nullptr, -32600);
  expectError(answer("42"), nullptr, -32600);
  expectError(answer("\"vaultExists\""), nullptr, -32600);
  expectError(answer(R"({"jsonrpc":"2.0","method":"vaultExists"})"), nullptr, -32600);
  expectError(answer(R"({"jsonrpc":"2.0","id":null,"method":"vaultExists"})"), nullptr, -32600);
  expectError(answer(R"({"jsonrpc":"2.0","id":[1],"method":"vaultExists"})"), nullptr, -32600);
  expectError(answer(R"({"jsonrpc":"2.0","id":{"a":1},"method":"vaultExists"})"), nullptr, -32600);
  expectError(answer(R"({"jsonrpc":"2.0","id":true,"method":"vaultExists"})"), nullptr, -32600);
  expectError(answer(R"({"id":7,"method":"vaultExists"})"), 7, -32600);
  expectError(answer(R"({"jsonrpc":"1.0","id":7,"method":"vaultExists"})"), 7, -32600);
  expectError(answer(R"({"jsonrpc":"2.0","id":"x","method":5})"), "x", -32600);
  expectError(answer(R"({"jsonrpc":"2.0","id":"x"})"), "x", -32600);
  expectError(answer(std::string(65, '[') + std::string(65, ']')), nullptr, -32600);
  // Too deep to parse, yet its id is found, so a client waiting for it is answered.
  const std::string deep = std::string(70, '[') + std::string(70, ']');
  expectError(answer(R"({"jsonrpc":"2.0","params":{"x":)" + deep + R"(},"id":"deep-1","method":"vaultExists"})"),
              "deep-1", -32600);
  expectError(answer(R"({"jsonrpc":"2.0","method":"vaultExists","params":{"id":5,"x":)" + deep + "}}"), nullptr,
              -32600);
  EXPECT_EQ(calls, 0);
}

TEST_F(RpcDispatcherTest, UnknownOrUnservedMethodsAreNotFound) {
  script_->methods["vaultExists"] = [](const RpcParams&, RpcReply reply) { reply.send({{"exists", true}}); };
  expectError(answer(R"({"jsonrpc":"2.0","id":1,"method":"formatDisk"})"), 1, -32601);
  // Case matters.
  expectError(answer(R"({"jsonrpc":"2.0","id":2,"method":"VaultExists"})"), 2, -32601);
  // In the protocol table but not served by this handler.
  expectError(answer(R"({"jsonrpc":"2.0","id":3,"method":"lockVault"})"), 3, -32601);
  auto ok = answer(R"({"jsonrpc":"2.0","id":4,"method":"vaultExists"})");
  EXPECT_EQ(ok, json::parse(R"({"jsonrpc":"2.0","id":4,"result":{"exists":true}})"));
}

TEST_F(RpcDispatcherTest, ParametersAreCheckedBeforeTheHandlerRuns) {
  int calls = 0;
  script_->methods["listSessions"] = [&](const RpcParams& p, RpcReply reply) {
    ++calls;
    EXPECT_EQ(toString(p.bytes("tokenData")), "tok");
    EXPECT_EQ(p.integer("limit"), 20);
    EXPECT_EQ(p.integer("offset"), -3);
    reply.send({{"sessions", nullptr}, {"error", "Invalid or expired token"}});
  };
  // "dG9r" is Base64 of "tok".
  expectError(answer(R"({"jsonrpc":"2.0","id":1,"method":"listSessions","params":{"limit":20,"offset":0}})"), 1, -32602);
  expectError(answer(R"({"jsonrpc":"2.0","id":2,"method":"listSessions","params":{"tokenData":"dG9r","limit":null,"offset":0}})"), 2, -32602);
  expectError(answer(R"({"jsonrpc":"2.0","id":3,"method":"listSessions","params":{"tokenData":"dG9r","limit":"20","offset":0}})"), 3, -32602);
  expectError(answer(R"({"jsonrpc":"2.0","id":4,"method":"listSessions","params":{"tokenData":"dG9r","limit":20.5,"offset":0}})"), 4, -32602);
  expectError(answer(R"({"jsonrpc":"2.0","id":5,"method":"listSessions","params":{"tokenData":"dG9r","limit":true,"offset":0}})"), 5, -32602);
  expectError(answer(R"({"jsonrpc":"2.0","id":6,"method":"listSessions","params":{"tokenData":"dG9r","limit":9223372036854775808,"offset":0}})"), 6, -32602);
  expectError(answer(R"({"jsonrpc":"2.0","id":7,"method":"listSessions","params":{"tokenData":"dG9","limit":20,"offset":0}})"), 7, -32602);
  expectError(answer(R"({"jsonrpc":"2.0","id":8,"method":"listSessions","params":{"tokenData":"dG9r\n","limit":20,"offset":0}})"), 8, -32602);
  expectError(answer(R"({"jsonrpc":"2.0","id":9,"method":"listSessions","params":{"tokenData":42,"limit":20,"offset":0}})"), 9, -32602);
  expectError(answer(R"({"jsonrpc":"2.0","id":10,"method":"listSessions","params":["dG9r",20,0]})"), 10, -32602);
  EXPECT_EQ(calls, 0);

  // Unknown extra keys are ignored.
  auto ok = answer(R"({"jsonrpc":"2.0","id":11,"method":"listSessions","params":{"tokenData":"dG9r","limit":20,"offset":-3,"extra":[1]}})");
  EXPECT_EQ(ok.at("result"), json::parse(R"({"sessions":null,"error":"Invalid or expired token"})"));
  EXPECT_EQ(calls, 1);
}

TEST_F(RpcDispatcherTest, TypesOfEveryKind) {
  script_->methods["createVault"] = [](const RpcParams& p, RpcReply reply) {
    reply.send({{"ok", p.boolean("enableTouchID")}, {"error", p.text("password")}});
  };
  script_->methods["mintUISession"] = [](const RpcParams& p, RpcReply reply) {
    reply.send({{"token", nullptr}, {"error", std::to_string(p.real("validitySeconds"))}});
  };
  auto created = answer(R"({"jsonrpc":"2.0","id":1,"method":"createVault","params":{"password":"pw","enableTouchID":true}})");
  EXPECT_EQ(created.at("result"), json::parse(R"({"ok":true,"error":"pw"})"));
  expectError(answer(R"({"jsonrpc":"2.0","id":2,"method":"createVault","params":{"password":"pw","enableTouchID":1}})"), 2, -32602);
  expectError(answer(R"({"jsonrpc":"2.0","id":3,"method":"createVault","params":{"password":7,"enableTouchID":false}})"), 3, -32602);
  // A real accepts integers and fractions alike.
  EXPECT_EQ(answer(R"({"jsonrpc":"2.0","id":4,"method":"mintUISession","params":{"validitySeconds":60}})").at("result").at("error"),
            "60.000000");
  EXPECT_EQ(answer(R"({"jsonrpc":"2.0","id":5,"method":"mintUISession","params":{"validitySeconds":0.5}})").at("result").at("error"),
            "0.500000");
  expectError(answer(R"({"jsonrpc":"2.0","id":6,"method":"mintUISession","params":{"validitySeconds":"60"}})"), 6, -32602);
  expectError(answer(R"({"jsonrpc":"2.0","id":7,"method":"mintUISession"})"), 7, -32602);
}

TEST_F(RpcDispatcherTest, RemoteAPIBaseURLMayBeNullOrAbsentButNotAnotherType) {
  std::vector<std::optional<std::string>> seen;
  script_->methods["startSummaryJob"] = [&](const RpcParams& p, RpcReply reply) {
    seen.push_back(p.optionalText("remoteAPIBaseURL"));
    EXPECT_EQ(p.text("preset"), "brief");
    EXPECT_EQ(p.integer("endMs"), 2000);
    reply.send({{"jobId", "JOB"}, {"error", nullptr}});
  };
  const std::string base =
      R"("tokenData":"dG9r","sessionId":"s","startMs":1000,"endMs":2000,"preset":"brief","chunkInterval":"5m","question":"")";
  auto absent = answer(R"({"jsonrpc":"2.0","id":1,"method":"startSummaryJob","params":{)" + base + "}}");
  EXPECT_EQ(absent.at("result"), json::parse(R"({"jobId":"JOB","error":null})"));
  answer(R"({"jsonrpc":"2.0","id":2,"method":"startSummaryJob","params":{)" + base + R"(,"remoteAPIBaseURL":null}})");
  answer(R"({"jsonrpc":"2.0","id":3,"method":"startSummaryJob","params":{)" + base +
         R"(,"remoteAPIBaseURL":"https://example.test"}})");
  expectError(answer(R"({"jsonrpc":"2.0","id":4,"method":"startSummaryJob","params":{)" + base + R"(,"remoteAPIBaseURL":5}})"),
              4, -32602);
  // Any other parameter of the same call is required.
  expectError(answer(R"({"jsonrpc":"2.0","id":5,"method":"startSummaryJob","params":{"tokenData":"dG9r","sessionId":"s","startMs":1,"endMs":2,"preset":"brief","chunkInterval":"5m"}})"),
              5, -32602);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0], std::nullopt);
  EXPECT_EQ(seen[1], std::nullopt);
  EXPECT_EQ(seen[2], "https://example.test");
}

TEST_F(RpcDispatcherTest, ResultsCarryEveryKeyOfTheOperation) {
  script_->methods["getChunkKey"] = [](const RpcParams&, RpcReply reply) { reply.send({{"error", "Vault is locked"}}); };
  script_->methods["terminateService"] = [](const RpcParams&, RpcReply reply) { reply.send(nullptr); };
  auto key = answer(R"({"jsonrpc":"2.0","id":"k","method":"getChunkKey","params":{"tokenData":"","chunkId":"c"}})");
  EXPECT_EQ(key, json::parse(R"({"jsonrpc":"2.0","id":"k","result":{"key":null,"error":"Vault is locked"}})"));
  auto bye = answer(R"({"jsonrpc":"2.0","id":-1.5,"method":"terminateService","params":{}})");
  EXPECT_EQ(bye, json::parse(R"({"jsonrpc":"2.0","id":-1.5,"result":{}})"));
}

TEST_F(RpcDispatcherTest, OnlyTheFirstAnswerCountsAndAMissingAnswerBecomesAnError) {
  script_->methods["isVaultUnlocked"] = [](const RpcParams&, RpcReply reply) {
    RpcReply copy = reply;
    copy.send({{"unlocked", true}});
    reply.send({{"unlocked", false}});
    reply.sendError(-32603, "late");
    EXPECT_TRUE(reply.sent());
  };
  script_->methods["vaultExists"] = [](const RpcParams&, RpcReply) {};  // drops its reply
  script_->methods["lockVault"] = [](const RpcParams&, RpcReply) { throw std::runtime_error("boom"); };
  EXPECT_EQ(answer(R"({"jsonrpc":"2.0","id":1,"method":"isVaultUnlocked"})").at("result"), json::parse(R"({"unlocked":true})"));
  expectError(answer(R"({"jsonrpc":"2.0","id":2,"method":"vaultExists"})"), 2, -32603);
  auto failed = answer(R"({"jsonrpc":"2.0","id":3,"method":"lockVault"})");
  expectError(failed, 3, -32603);
  EXPECT_NE(failed.at("error").at("message").get<std::string>().find("boom"), std::string::npos);
}

TEST_F(RpcDispatcherTest, AnswersFromAnotherThreadAndAfterTheConnectionIsGone) {
  std::optional<RpcReply> kept;
  script_->methods["stopRecording"] = [&](const RpcParams&, RpcReply reply) { kept = reply; };
  std::string line = R"({"jsonrpc":"2.0","id":9,"method":"stopRecording"})";
  RpcDispatcher::dispatch(line, handler_, sink_);
  EXPECT_TRUE(sink_->lines().empty());
  std::thread([&] { kept->send({{"ok", true}}); }).join();
  ASSERT_EQ(sink_->lines().size(), 1u);
  EXPECT_EQ(json::parse(sink_->lines()[0]), json::parse(R"({"jsonrpc":"2.0","id":9,"result":{"ok":true,"error":null}})"));

  // The connection (sink) is gone: answering is a harmless no-op.
  std::string again = R"({"jsonrpc":"2.0","id":10,"method":"stopRecording"})";
  RpcDispatcher::dispatch(again, handler_, sink_);
  sink_.reset();
  kept->send({{"ok", true}});
  kept.reset();
}

TEST_F(RpcDispatcherTest, TheRequestLineIsWipedAfterDispatch) {
  script_->methods["unlockVaultWithPassword"] = [](const RpcParams&, RpcReply reply) { reply.send({{"ok", true}}); };
  std::string line = R"({"jsonrpc":"2.0","id":1,"method":"unlockVaultWithPassword","params":{"password":"hunter2"}})";
  const auto size = line.size();
  RpcDispatcher::dispatch(line, handler_, sink_);
  EXPECT_EQ(line, std::string(size, '\0'));
}

}  // namespace
}  // namespace tolvo::test
