#include "service/rpc_dispatcher.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <tuple>

#include <nlohmann/json.hpp>

#include "core/bytes.h"
#include "scripted_handler.h"
#include "service/reply_sink.h"

namespace tolvo::test {
namespace {

using nlohmann::json;

// Keeps the answers.
struct Sink final : ReplySink {
  void sendReply(std::string line) override { lines.push_back(std::move(line)); }
  void sendFinalLine(std::string line) override { lines.push_back(std::move(line)); }
  std::vector<std::string> lines;
};

// A handler serving a few operations; each answers {"error": what its parameters held}.
class RpcDispatcherTest : public ::testing::Test {
 protected:
  RpcDispatcherTest() {
    serve("vaultExists", [](const RpcParams&) { return std::string(); });
    serve("listSessions", [](const RpcParams& p) {
      return toString(p.bytes("tokenData")) + " " + std::to_string(p.integer("limit")) + " " + std::to_string(p.integer("offset"));
    });
    serve("createVault", [](const RpcParams& p) { return p.text("password") + (p.boolean("enableTouchID") ? " touch" : ""); });
    serve("mintUISession", [](const RpcParams& p) { return std::to_string(p.real("validitySeconds")); });
    serve("startSummaryJob", [](const RpcParams& p) { return p.optionalText("remoteAPIBaseURL").value_or("(none)"); });
  }
  void serve(const char* method, std::function<std::string(const RpcParams&)> describe) {
    script_->methods[method] = [this, describe](const RpcParams& p, RpcReply r) {
      ++calls_;
      r.send({{"error", describe(p)}});
    };
  }

  // Dispatches one line and returns the single answer it produced.
  json answer(std::string line) {
    const auto before = sink_->lines.size();
    RpcDispatcher::dispatch(line, handler_, sink_);
    EXPECT_EQ(sink_->lines.size(), before + 1) << "exactly one answer per request";
    return sink_->lines.size() == before + 1 ? json::parse(sink_->lines.back()) : json();
  }
  std::string seen(std::string line) { return answer(std::move(line)).at("result").at("error"); }

  std::shared_ptr<Script> script_ = std::make_shared<Script>();
  ScriptedHandler handler_{script_};
  std::shared_ptr<Sink> sink_ = std::make_shared<Sink>();
  int calls_ = 0;
};

TEST_F(RpcDispatcherTest, InvalidRequestsGetTheirErrorAndNeverReachTheOperation) {
  // With the request object and its params, 63 arrays inside make 65 levels.
  const std::string deep = std::string(63, '[') + std::string(63, ']');
  const std::string list = R"({"jsonrpc":"2.0","id":1,"method":"listSessions","params":)";
  const std::string job = R"({"jsonrpc":"2.0","id":2,"method":"startSummaryJob","params":{"tokenData":"dG9r","sessionId":"s",)"
                          R"("startMs":1,"endMs":2,"preset":"brief","chunkInterval":"5m")";
  const std::tuple<std::string, json, int> rows[] = {
      {R"({"jsonrpc":"2.0","id":1,)", nullptr, -32700},
      {"{} {}", nullptr, -32700},
      {"{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"\xff\"}", nullptr, -32700},  // not UTF-8
      {R"([{"jsonrpc":"2.0","id":1,"method":"vaultExists"}])", nullptr, -32600},  // a batch
      {"42", nullptr, -32600},
      {R"({"jsonrpc":"2.0","method":"vaultExists"})", nullptr, -32600},
      {R"({"jsonrpc":"2.0","id":null,"method":"vaultExists"})", nullptr, -32600},
      {R"({"jsonrpc":"2.0","id":true,"method":"vaultExists"})", nullptr, -32600},
      {R"({"jsonrpc":"1.0","id":7,"method":"vaultExists"})", 7, -32600},
      {R"({"jsonrpc":"2.0","id":"x","method":5})", "x", -32600},
      // Too deep to parse, yet its top-level id is found, so a client waiting for it is answered.
      {R"({"jsonrpc":"2.0","params":{"x":)" + deep + R"(},"id":"deep","method":"vaultExists"})", "deep", -32600},
      {R"({"jsonrpc":"2.0","method":"vaultExists","params":{"id":5,"x":)" + deep + "}}", nullptr, -32600},
      {R"({"jsonrpc":"2.0","id":2,"method":"VaultExists"})", 2, -32601},
      {R"({"jsonrpc":"2.0","id":3,"method":"lockVault"})", 3, -32601},  // in the table, not served here
      {list + R"({"limit":20,"offset":0}})", 1, -32602},
      {list + R"({"tokenData":"dG9r","limit":null,"offset":0}})", 1, -32602},
      {list + R"({"tokenData":"dG9r","limit":"20","offset":0}})", 1, -32602},
      {list + R"({"tokenData":"dG9r","limit":20.5,"offset":0}})", 1, -32602},
      {list + R"({"tokenData":"dG9r","limit":9223372036854775808,"offset":0}})", 1, -32602},
      {list + R"({"tokenData":"dG9","limit":20,"offset":0}})", 1, -32602},
      {list + R"({"tokenData":"dG9r\n","limit":20,"offset":0}})", 1, -32602},
      {list + R"(["dG9r",20,0]})", 1, -32602},
      {R"({"jsonrpc":"2.0","id":4,"method":"createVault","params":{"password":"pw","enableTouchID":1}})", 4, -32602},
      {R"({"jsonrpc":"2.0","id":6,"method":"mintUISession"})", 6, -32602},
      {job + R"(,"question":"","remoteAPIBaseURL":5}})", 2, -32602},
      {job + "}}", 2, -32602},  // question missing
      // Strings and numbers over 4 MiB are cut out before parsing; the id is still found.
      {R"({"jsonrpc":"2.0","id":8,"method":"vaultExists","params":{"x":")" + std::string(4 * 1024 * 1024 + 1, 'x') + "\"}}", 8, -32600},
      {R"({"jsonrpc":"2.0","id":9,"method":"vaultExists","params":{"x":)" + std::string(4 * 1024 * 1024 + 1, '7') + "}}", 9, -32600},
  };
  for (const auto& [line, id, code] : rows) {
    json reply = answer(line);
    EXPECT_EQ(reply["error"].erase("message"), 1u) << line;
    EXPECT_EQ(reply, json({{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}}}})) << line;
  }
  EXPECT_EQ(calls_, 0);
}

TEST_F(RpcDispatcherTest, ValidRequestsReachTheOperationAndResultsCarryEveryKey) {
  // Unknown keys are ignored; "dG9r" is Base64 of "tok".
  EXPECT_EQ(answer(R"({"jsonrpc":"2.0","id":"k","method":"listSessions","params":{"tokenData":"dG9r","limit":20,"offset":-3,"extra":[1]}})"),
            json::parse(R"({"jsonrpc":"2.0","id":"k","result":{"sessions":null,"error":"tok 20 -3"}})"));
  std::string line = R"({"jsonrpc":"2.0","id":-1.5,"method":"createVault","params":{"password":"pw","enableTouchID":true}})";
  const auto size = line.size();
  RpcDispatcher::dispatch(line, handler_, sink_);
  EXPECT_EQ(line, std::string(size, '\0')) << "the request line is wiped";
  EXPECT_EQ(json::parse(sink_->lines.back()), json::parse(R"({"jsonrpc":"2.0","id":-1.5,"result":{"ok":null,"error":"pw touch"}})"));
  EXPECT_EQ(seen(R"({"jsonrpc":"2.0","id":3,"method":"mintUISession","params":{"validitySeconds":60}})"), "60.000000");
  const std::string job = R"({"jsonrpc":"2.0","id":5,"method":"startSummaryJob","params":{"tokenData":"dG9r","sessionId":"s",)"
                          R"("startMs":1,"endMs":2,"preset":"brief","chunkInterval":"5m","question":"")";
  EXPECT_EQ(seen(job + "}}"), "(none)");
  EXPECT_EQ(seen(job + R"(,"remoteAPIBaseURL":null}})"), "(none)");
  EXPECT_EQ(seen(job + R"(,"remoteAPIBaseURL":"https://example.test"}})"), "https://example.test");
  const std::string levels64 = std::string(62, '[') + std::string(62, ']');
  EXPECT_EQ(answer(R"({"jsonrpc":"2.0","id":6,"method":"vaultExists","params":{"x":)" + levels64 + "}}").at("id"), 6);
  // A string of exactly 4 MiB is read whole; runs of blanks are no string at all.
  EXPECT_EQ(seen(R"({"jsonrpc":"2.0","id":7,"method":"createVault","params":{"password":")" + std::string(4 * 1024 * 1024, 'p') +
                 R"(","enableTouchID":false)" + std::string(8 * 1024 * 1024, ' ') + "}}"),
            std::string(4 * 1024 * 1024, 'p'));
  EXPECT_EQ(calls_, 8);
}

TEST_F(RpcDispatcherTest, OnlyTheFirstAnswerCountsAndAMissingAnswerBecomesAnInternalError) {
  script_->methods["isVaultUnlocked"] = [](const RpcParams&, RpcReply reply) {
    RpcReply copy = reply;
    copy.send({{"unlocked", true}});
    reply.send({{"unlocked", false}});
    reply.sendError(-32603, "late");
  };
  script_->methods["vaultExists"] = [](const RpcParams&, RpcReply) {};  // drops its reply
  script_->methods["lockVault"] = [](const RpcParams&, RpcReply) { throw std::runtime_error("boom"); };
  EXPECT_EQ(answer(R"({"jsonrpc":"2.0","id":1,"method":"isVaultUnlocked"})"),
            json::parse(R"({"jsonrpc":"2.0","id":1,"result":{"unlocked":true}})"));
  EXPECT_EQ(answer(R"({"jsonrpc":"2.0","id":2,"method":"vaultExists"})").at("error").at("code"), -32603);
  const json failed = answer(R"({"jsonrpc":"2.0","id":3,"method":"lockVault"})");
  EXPECT_EQ(failed.at("error").at("code"), -32603);
  EXPECT_NE(failed.at("error").at("message").get<std::string>().find("boom"), std::string::npos) << failed;
}

}  // namespace
}  // namespace tolvo::test
