// Random, truncated and abandoned traffic against an in-process listener: the service must
// answer every line it can, never crash or wedge, and serve a new client correctly after.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "scripted_handler.h"
#include "service/service_listener.h"
#include "support/raw_client.h"
#include "support/sandbox.h"

namespace tolvo::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

const std::vector<std::string> kRequests{
    R"({"jsonrpc":"2.0","id":1,"method":"isVaultUnlocked"})",
    R"({"jsonrpc":"2.0","id":"two","method":"createVault","params":{"password":"pw","enableTouchID":false}})",
    R"({"jsonrpc":"2.0","id":3,"method":"listSessions","params":{"tokenData":"e30=","limit":10,"offset":0}})",
    R"({"jsonrpc":"2.0","id":4,"method":"startSummaryJob","params":{"tokenData":"e30=","sessionId":"s","startMs":0,"endMs":1,"preset":"brief","chunkInterval":"2m","question":"q","remoteAPIBaseURL":null}})",
    R"({"jsonrpc":"2.0","id":5,"method":"getChunkKey","params":{"tokenData":"e30=","chunkId":"c"}})",
};

// One line (without '\n', never blank) of a random kind.
std::string randomLine(std::mt19937& rng) {
  std::uniform_int_distribution<int> kind(0, 5);
  const std::string& base = kRequests[std::uniform_int_distribution<std::size_t>(0, kRequests.size() - 1)(rng)];
  switch (kind(rng)) {
    case 0:
      return base;
    case 1: {  // truncated
      std::size_t cut = std::uniform_int_distribution<std::size_t>(1, base.size() - 1)(rng);
      return base.substr(0, cut);
    }
    case 2: {  // random bytes, any value but '\n'
      std::string line = "#";
      std::size_t size = std::uniform_int_distribution<std::size_t>(0, 300)(rng);
      for (std::size_t i = 0; i < size; ++i) {
        char c = static_cast<char>(std::uniform_int_distribution<int>(0, 255)(rng));
        line.push_back(c == '\n' ? 'x' : c);
      }
      return line;
    }
    case 3: {  // one byte flipped
      std::string line = base;
      std::size_t at = std::uniform_int_distribution<std::size_t>(0, line.size() - 1)(rng);
      char c = static_cast<char>(std::uniform_int_distribution<int>(32, 126)(rng));
      line[at] = c;
      return line;
    }
    case 4: {  // wrong parameter types
      json j = json::parse(base);
      j["params"] = {{"password", 1}, {"enableTouchID", "no"}, {"limit", "x"}, {"tokenData", "%%%"}};
      return j.dump();
    }
    default: {  // deep or wide structures
      std::size_t depth = std::uniform_int_distribution<std::size_t>(1, 200)(rng);
      return std::string(depth, '[') + std::string(depth, ']');
    }
  }
}

class RobustnessTest : public SandboxedTest {};

TEST_F(RobustnessTest, SurvivesRandomTruncatedAndAbandonedTraffic) {
  auto script = std::make_shared<Script>();
  script->methods["isVaultUnlocked"] = [](const RpcParams&, RpcReply reply) { reply.send({{"unlocked", true}}); };
  script->methods["createVault"] = [](const RpcParams&, RpcReply reply) { reply.send({{"ok", true}}); };
  script->methods["listSessions"] = [](const RpcParams&, RpcReply reply) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    reply.send({{"sessions", "W10="}});
  };
  script->methods["startSummaryJob"] = [](const RpcParams&, RpcReply reply) {
    std::thread([reply] { reply.send({{"jobId", "J"}}); }).detach();  // answers late
  };
  script->methods["getChunkKey"] = [](const RpcParams&, RpcReply) {};  // never answers itself

  const auto path = tmp() / "tolvodesk" / "recorder.sock";
  ServiceListener listener(factoryFor(script));
  listener.bindSocket(path);
  listener.start();

  constexpr int kConnections = 4;
  constexpr int kLinesPerConnection = 800;
  std::atomic<int> failures{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kConnections; ++c) {
    clients.emplace_back([&, c] {
      std::mt19937 rng(1234u + static_cast<unsigned>(c));
      RawClient client(path);
      std::string burst;
      for (int i = 0; i < kLinesPerConnection; ++i) burst += randomLine(rng) + "\n";
      auto writer = std::thread([&] { client.send(burst); client.shutdownWrite(); });
      int answers = 0;
      while (auto line = client.readLine(20s)) {
        json answer = json::parse(*line, nullptr, false);
        if (answer.is_discarded() || answer.value("jsonrpc", "") != "2.0" || !answer.contains("id")) ++failures;
        ++answers;
      }
      writer.join();
      // Every line got exactly one answer, then the service closed the connection.
      if (answers != kLinesPerConnection) {
        ADD_FAILURE() << "connection " << c << " got " << answers << " answers";
        ++failures;
      }
    });
  }
  // Clients that vanish mid-request, some mid-line.
  for (int c = 0; c < 2; ++c) {
    clients.emplace_back([&, c] {
      std::mt19937 rng(99u + static_cast<unsigned>(c));
      for (int round = 0; round < 100; ++round) {
        RawClient client(path);
        std::string line = kRequests[static_cast<std::size_t>(round) % kRequests.size()];
        client.send(line + "\n" + line.substr(0, line.size() / 2));
      }
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(failures.load(), 0);

  // A new client gets correct answers.
  RawClient fresh(path);
  fresh.sendLine(kRequests[0]);
  EXPECT_EQ(fresh.readJson(), json::parse(R"({"jsonrpc":"2.0","id":1,"result":{"unlocked":true}})"));
  fresh.sendLine(kRequests[1]);
  EXPECT_EQ(fresh.readJson(), json::parse(R"({"jsonrpc":"2.0","id":"two","result":{"ok":true,"error":null}})"));
  fresh.close();

  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while ((listener.connectionCount() != 0 || script->alive.load() != 0) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(listener.connectionCount(), 0u);
  EXPECT_EQ(script->alive.load(), 0);
  EXPECT_EQ(script->created.load(), kConnections + 200 + 1);
}

}  // namespace
}  // namespace tolvo::test
