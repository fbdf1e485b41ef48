// Hostile traffic against the real tolvo-recorder-service binary: random bytes, truncated and
// ill-typed requests of real operations, deep nesting, large strings, bad Base64, missing ids,
// batches, clients that vanish mid-request, lines and parameters built to blow up a parser,
// more connections than the service serves and peers that never read. Every complete line
// gets exactly one answer on a connection that stays open, the service's peak memory stays
// small, and afterwards the same process serves a new client correctly.
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/tolvo_client.h"
#include "core/base64.h"
#include "support/raw_client.h"
#include "support/sandbox.h"
#include "support/service_process.h"

namespace tolvo {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;
namespace stdfs = std::filesystem;

constexpr std::size_t kMiB = 1024 * 1024;

// What the answer to one line must be: a result (exactly `result` when given), or an error
// with the probe's id, or an error with a null id (the exact codes are the dispatcher tests').
struct Probe {
  enum class Answer { result, errorWithId, errorWithoutId, errorWithEitherId, anything };
  std::string line;
  Answer answer = Answer::anything;
  std::string id;
  Json result;
};

std::string request(const std::string& id, const std::string& method, const std::string& params = "") {
  std::string line = R"({"jsonrpc":"2.0","id":)" + Json(id).dump() + R"(,"method":")" + method + "\"";
  if (!params.empty()) line += R"(,"params":)" + params;
  return line + "}";
}

// Lines with exactly one fault each, "ID" standing for the probe's id: refused with the id.
const std::vector<std::string> kFaulty{
    R"({"jsonrpc":"2.0","id":ID,"method":"createVault","params":{"password":1,"enableTouchID":false}})",
    R"({"jsonrpc":"2.0","id":ID,"method":"unlockVaultWithPassword","params":{"password":["pw"]}})",
    R"({"jsonrpc":"2.0","id":ID,"method":"syncUnlockedVault","params":{"masterKeyData":"AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8"}})",
    R"({"jsonrpc":"2.0","id":ID,"method":"listSessions","params":{"tokenData":"e30=","limit":10,"offset":9223372036854775808}})",
    R"({"jsonrpc":"2.0","id":ID,"method":"deleteSessions","params":{"tokenData":"e30=","sessionIDsData":"***"}})",
    R"({"jsonrpc":"2.0","id":ID,"method":"lockVault","params":[1]})", R"({"jsonrpc":"1.0","id":ID,"method":"lockVault"})",
    R"({"id":ID,"method":"terminateService"})", R"({"jsonrpc":"2.0","id":ID,"method":6})",
    R"({"jsonrpc":"2.0","id":ID,"method":"IsVaultUnlocked"})",
};
// Lines refused without an id: no usable id, a batch, truncated real requests, bad text.
const std::vector<std::string> kWithoutId{
    R"({"jsonrpc":"2.0","method":"lockVault"})", R"({"jsonrpc":"2.0","id":null,"method":"deleteVault"})", "5", "[]",
    R"([{"jsonrpc":"2.0","id":1,"method":"lockVault"}])", R"({"jsonrpc":"2.0","id":1,"method":"deleteVault","para)",
    R"({"jsonrpc":"2.0","id":1,"method":"terminateService")", "{\"x\":\"\xff\xfe\"}", R"({"x":"\ud800"})",
    std::string(R"({"x":"nul)") + '\0' + R"(here"})",
};

// The lines of one connection; ids are unique strings "c<connection>-<n>".
class ProbeMaker {
 public:
  ProbeMaker(std::uint32_t seed, int connection) : rng_(seed), prefix_("c" + std::to_string(connection) + "-") {}

  Probe next() {
    const std::string id = prefix_ + std::to_string(serial_++);
    const std::size_t kind = pick(0, 99);
    if (kind < 25) return served(id);
    if (kind < 40) {
      std::string line = any(kFaulty);
      return {line.replace(line.find("ID"), 2, Json(id).dump()), Probe::Answer::errorWithId, id, {}};
    }
    if (kind < 55) return {any(kWithoutId), Probe::Answer::errorWithoutId, "", {}};
    if (kind < 65) {  // '#' keeps the noise from being blank or JSON
      std::string line = "#";
      for (std::size_t i = pick(0, 400); i > 0; --i) line.push_back(static_cast<char>(pick(0, 255)));
      std::replace(line.begin(), line.end(), '\n', ' ');
      return {std::move(line), Probe::Answer::errorWithoutId, "", {}};
    }
    if (kind < 75) {  // arrays nested 1 to 200 deep, two levels below the top
      const std::size_t depth = pick(1, 200);
      std::string line = request(id, "isVaultUnlocked", R"({"deep":)" + std::string(depth, '[') + std::string(depth, ']') + "}");
      if (depth + 2 <= 64) return {std::move(line), Probe::Answer::result, id, {{"unlocked", true}}};
      return {std::move(line), Probe::Answer::errorWithEitherId, id, {}};
    }
    if (kind < 85) {  // one byte of a served request replaced; its numeric id keeps it apart
      std::string line = R"({"jsonrpc":"2.0","id":0,"method":"listSessions","params":{"tokenData":"e30=","limit":10,"offset":0}})";
      line[pick(0, line.size() - 1)] = static_cast<char>(pick(32, 126));
      return {std::move(line), Probe::Answer::anything, "", {}};
    }
    return huge(id);
  }

 private:
  std::size_t pick(std::size_t low, std::size_t high) { return std::uniform_int_distribution<std::size_t>(low, high)(rng_); }
  const std::string& any(const std::vector<std::string>& from) { return from[pick(0, from.size() - 1)]; }

  Probe served(const std::string& id) {
    const std::pair<std::string, Json> rows[] = {
        {request(id, "isVaultUnlocked", "null"), {{"unlocked", true}}},
        {request(id, "vaultExists", "{}") + "\r", {{"exists", true}}},
        {request(id, "getSessionDetail", R"({"tokenData":"e30=","sessionId":"s","extra":[1,{"a":2}]})"),
         {{"session", nullptr}, {"error", "Invalid or expired token"}}},
        {request(id, "validateUIToken", R"({"token":"bm9wZQ=="})"), {{"valid", false}}},
        {request(id, "lockUI", R"({"token":"e30="})"), {{"ok", true}}},
    };
    const auto& [line, result] = rows[pick(0, std::size(rows) - 1)];
    return {line, Probe::Answer::result, id, result};
  }

  // Strings of 16 KiB to 768 KiB in the places a parser may trip on them.
  Probe huge(const std::string& id) {
    const std::size_t size = pick(16 * 1024, 768 * 1024);
    switch (pick(0, 3)) {
      case 0:  // an undeclared parameter is ignored
        return {request(id, "isVaultUnlocked", R"({"pad":")" + std::string(size, 'p') + "\"}"), Probe::Answer::result, id,
                {{"unlocked", true}}};
      case 1:  // valid Base64 of something that is no token
        return {request(id, "listChunks", R"({"tokenData":")" + base64Encode(Bytes(size, '{')) + R"(","sessionId":"s"})"),
                Probe::Answer::result, id, {{"chunks", nullptr}, {"error", "Invalid or expired token"}}};
      case 2:  // Base64 broken at its end
        return {request(id, "getChunkKey", R"({"tokenData":")" + base64Encode(Bytes(size, 'A')) + R"(=","chunkId":"c"})"),
                Probe::Answer::errorWithId, id, {}};
      default: {  // a long id is echoed whole
        const std::string longId = id + "-" + std::string(size, 'i');
        return {request(longId, "vaultExists"), Probe::Answer::result, longId, {{"exists", true}}};
      }
    }
  }

  std::mt19937 rng_;
  std::string prefix_;
  int serial_ = 0;
};

// Checks the answers of one connection against its probes; each check returns a problem or "".
class AnswerLedger {
 public:
  explicit AnswerLedger(const std::vector<Probe>& probes) : probes_(probes) {
    for (const auto& p : probes) {
      if (!p.id.empty()) byId_.emplace(p.id, &p);
      if (p.answer == Probe::Answer::errorWithoutId) ++expectedNull_;
    }
  }

  std::string record(const std::string& line) {
    ++answers_;
    const Json answer = Json::parse(line, nullptr, false);
    const auto shown = line.substr(0, 200);
    if (answer.is_discarded() || !answer.is_object() || answer.size() != 3 || answer.value("jsonrpc", "") != "2.0" ||
        !answer.contains("id") || answer.contains("result") == answer.contains("error")) {
      return "not a JSON-RPC 2.0 answer: " + shown;
    }
    const bool isError = answer.contains("error");
    if (isError && !answer["error"]["message"].is_string()) return "malformed error: " + shown;
    if (isError && answer["error"]["code"] == -32603) return "internal error: " + shown;
    const Json& id = answer["id"];
    if (id.is_null()) {
      ++nullAnswers_;
      return isError ? "" : "a result without an id: " + shown;
    }
    if (id.is_number()) return "";  // a mutated line
    const auto it = id.is_string() ? byId_.find(id.get<std::string>()) : byId_.end();
    if (it == byId_.end()) return "answer to nothing that was sent: " + shown;
    const Probe& probe = *it->second;
    if (!seen_.insert(probe.id).second) return "second answer for " + probe.id.substr(0, 40);
    const bool expected = probe.answer == Probe::Answer::result ? !isError && answer["result"] == probe.result : isError;
    return expected ? "" : "wrong answer for " + probe.line.substr(0, 150) + ": " + line.substr(0, 300);
  }

  std::vector<std::string> finish() const {
    std::vector<std::string> problems;
    if (answers_ != probes_.size()) problems.push_back(std::to_string(answers_) + " answers to " + std::to_string(probes_.size()) + " lines");
    for (const auto& p : probes_) {
      const bool needsId = p.answer == Probe::Answer::result || p.answer == Probe::Answer::errorWithId;
      if (needsId && !seen_.contains(p.id)) problems.push_back("no answer for " + p.line.substr(0, 150));
    }
    if (nullAnswers_ < expectedNull_) problems.push_back("too few answers with a null id");
    return problems;
  }

 private:
  const std::vector<Probe>& probes_;
  std::map<std::string, const Probe*> byId_;
  std::set<std::string> seen_;
  std::size_t expectedNull_ = 0, answers_ = 0, nullAnswers_ = 0;
};

std::uint32_t chooseSeed() {
  const char* fixed = std::getenv("TOLVO_ROBUSTNESS_SEED");
  return fixed && *fixed ? static_cast<std::uint32_t>(std::strtoul(fixed, nullptr, 10)) : std::random_device{}();
}

std::size_t procEntries(pid_t pid, const char* what) {
  std::size_t count = 0;
  std::error_code ec;
  for (stdfs::directory_iterator it("/proc/" + std::to_string(pid) + "/" + what, ec), end; !ec && it != end; it.increment(ec)) ++count;
  return count;
}

// The peak resident memory of the process so far, in MiB (VmHWM).
std::size_t peakResidentMiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmHWM:")) return std::stoul(line.substr(6)) / 1024;
  }
  return 0;
}

class ServiceRobustnessTest : public test::SandboxedTest {
 protected:
  void SetUp() override {
    service_ = std::make_unique<test::ServiceProcess>(TOLVO_SERVICE_BINARY, tmp() / "svc" / "recorder.sock",
                                                      std::vector<std::string>{"--uitest-mode"});
  }
  const stdfs::path& socket() const { return service_->socketPath(); }
  void report(const std::string& problem) {
    std::lock_guard lock(problemsMutex_);
    if (problems_.size() < 20) problems_.push_back(problem);
  }
  // A thread whose failure (say an answer that never comes) is reported, not fatal.
  std::thread spawn(std::function<void()> body) {
    return std::thread([this, body = std::move(body)] {
      try {
        body();
      } catch (const std::exception& e) {
        report(std::string("raised: ") + e.what());
      }
    });
  }
  // Sends `line` on a new connection from a second thread and returns the answer.
  Json exchange(const std::string& line, std::chrono::seconds timeout = 60s) {
    test::RawClient client(socket());
    std::thread writer([&] { (void)client.send(line + "\n"); });
    const auto answer = client.readLine(timeout);
    writer.join();
    const Json parsed = Json::parse(answer.value_or("{}"), nullptr, false);
    return parsed.is_object() ? parsed : Json::object();
  }

  void storm(std::uint32_t seed);
  void memoryAttacks();
  void crowd();

  std::unique_ptr<test::ServiceProcess> service_;
  std::mutex problemsMutex_;
  std::vector<std::string> problems_;
};

// Connections writing 500 probes each without waiting, while others vanish mid-request.
void ServiceRobustnessTest::storm(std::uint32_t seed) {
  std::vector<std::thread> threads;
  for (int c = 0; c < 6; ++c) {
    threads.emplace_back([&, c] {
      ProbeMaker maker(seed + static_cast<std::uint32_t>(c), c);
      std::vector<Probe> probes;
      std::string burst;
      for (int i = 0; i < 500; ++i) {
        probes.push_back(maker.next());
        burst += probes.back().line + "\n" + (i % 50 == 0 ? " \t \n" : "");  // blank lines get no answer
      }
      const std::string lastId = "last-" + std::to_string(c);  // its answer shows the connection still serves
      probes.push_back({request(lastId, "isVaultUnlocked"), Probe::Answer::result, lastId, {{"unlocked", true}}});
      burst += probes.back().line + "\n";
      AnswerLedger ledger(probes);
      test::RawClient client(socket());
      std::thread writer([&] {
        if (!client.send(burst)) report("the service closed a connection while it was written");
      });
      // Large lines take turns across connections: under a sanitizer an answer may wait long.
      std::size_t answers = 0;
      for (; answers < probes.size(); ++answers) {
        auto line = client.readLine(120s);
        if (!line) break;
        if (auto problem = ledger.record(*line); !problem.empty()) report(problem);
      }
      // A reader that gave up must not leave its writer blocked on a connection nobody reads.
      if (answers < probes.size()) ::shutdown(client.fd(), SHUT_RDWR);
      writer.join();
      for (const auto& problem : ledger.finish()) report(problem);
      client.shutdownWrite();
      if (!client.closedByPeer(10s)) report("the service did not close after end of input");
    });
  }
  for (int v = 0; v < 2; ++v) {
    threads.emplace_back([&, v] {
      std::mt19937 rng(seed ^ (0x9e3779b9u + static_cast<std::uint32_t>(v)));
      ProbeMaker maker(seed + 1000u + static_cast<std::uint32_t>(v), 100 + v);
      for (int round = 0; round < 120; ++round) {
        test::RawClient client(socket());
        const std::string line = maker.next().line;
        switch (std::uniform_int_distribution<int>(0, 3)(rng)) {
          case 0: break;
          case 1: (void)client.send(line.substr(0, line.size() / 2)); break;
          case 2: (void)client.send(line + "\n" + line.substr(0, line.size() / 3)); break;
          default:
            (void)client.send(request("v", "completeUIUnlockWithPassword", R"({"password":"wrong"})") + "\n");
            ::shutdown(client.fd(), SHUT_RDWR);
            break;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
}

// Lines and parameters shaped to make a parser or a queue hold far more than they weigh.
void ServiceRobustnessTest::memoryAttacks() {
  std::vector<std::thread> threads;
  threads.push_back(spawn([&] {
    const auto answerIs = [&](const std::string& line, const Json& expected) {
      if (const Json answer = exchange(line); answer != expected) report("wrong answer " + answer.dump().substr(0, 200));
    };
    // One 16 MiB string: refused with its id. A 16 MiB line of tiny values, or of blanks: served.
    answerIs(request("s", "vaultExists", R"({"pad":")" + std::string(16 * kMiB - 80, 'p') + "\"}"),
             Json::parse(R"({"jsonrpc":"2.0","id":"s","error":{"code":-32600,"message":"request holds a string or number longer than 4194304 bytes"}})"));
    std::string zeros = R"({"pad":[0)";
    for (std::size_t i = 0; i < 8 * kMiB - 60; ++i) zeros += ",0";
    answerIs(request("z", "vaultExists", zeros + "]}"), Json::parse(R"({"jsonrpc":"2.0","id":"z","result":{"exists":true}})"));
    answerIs(std::string(16 * kMiB - 60, ' ') + request("b", "vaultExists"), Json::parse(R"({"jsonrpc":"2.0","id":"b","result":{"exists":true}})"));
    // A line over 16 MiB: refused without an id, then the connection closes.
    test::RawClient client(socket());
    std::thread writer([&] { (void)client.send(std::string(16 * kMiB + 1, 'a') + "\n" + request("after", "vaultExists") + "\n"); });
    const Json tooLong = Json::parse(client.readLine(60s).value_or("null"), nullptr, false);
    if (!tooLong.is_object() || !tooLong["id"].is_null() || tooLong["error"]["code"] != -32600) report("over-long line: " + tooLong.dump());
    if (!client.closedByPeer(60s)) report("over-long line: connection not closed");
    writer.join();
  }));
  threads.push_back(spawn([&] {
    // JSON inside Base64: 3 MiB of '[' as a token, and as a list of session ids.
    const std::string brackets = base64Encode(Bytes(3 * kMiB, '['));
    const Json listed = exchange(request("t", "listSessions", R"({"tokenData":")" + brackets + R"(","limit":1,"offset":0})"));
    if (listed.value("result", Json()) != Json({{"sessions", nullptr}, {"error", "Invalid or expired token"}})) report("token of brackets: " + listed.dump());
    test::RawClient client(socket());
    (void)client.sendLine(request("m", "mintUISession", R"({"validitySeconds":60})"));
    const std::string own = client.readJson()["result"]["token"];
    std::thread writer([&] {
      (void)client.sendLine(request("d", "deleteSessions", R"({"tokenData":")" + own + R"(","sessionIDsData":")" + brackets + "\"}"));
    });
    const Json deleted = client.readJson(60s);  // an object: readJson raises when nothing comes
    writer.join();
    if (deleted.value("result", Json()) != Json({{"deleted", 0}, {"error", "Failed to decode session IDs"}})) report("ids of brackets: " + deleted.dump());
  }));
  threads.push_back(spawn([&] {
    // A peer that asks for 3 MiB answers and reads none until it has sent 20 requests.
    test::RawClient client(socket());
    const std::string id(3 * kMiB, 'i');
    std::thread writer([&] {
      for (int i = 0; i < 20; ++i) (void)client.sendLine(request(id + std::to_string(i % 10), "vaultExists"));
    });
    std::this_thread::sleep_for(1s);
    for (int i = 0; i < 20; ++i) {
      const Json answer = client.readJson(60s);
      if (answer["id"] != id + std::to_string(i % 10)) report("unread answers: answer " + std::to_string(i) + " is wrong");
    }
    writer.join();
  }));
  for (auto& t : threads) t.join();
}

// More connections than the service serves, each holding the first 200 KiB of a 1 MiB line,
// then all of them finishing it at once: the surplus is closed, and every other one gets
// its answer (the service takes the large lines one after another).
void ServiceRobustnessTest::crowd() {
  const std::string line = request("crowd", "vaultExists", R"({"pad":")" + std::string(kMiB, 'p') + "\"}") + "\n";
  constexpr std::size_t kHead = 200 * 1024;
  std::vector<std::unique_ptr<test::RawClient>> clients;
  std::vector<std::thread> halves;
  for (int i = 0; i < 40; ++i) {
    clients.push_back(std::make_unique<test::RawClient>(socket()));
    halves.emplace_back([&line, client = clients.back().get()] { (void)client->send(std::string_view(line).substr(0, kHead)); });
  }
  for (auto& t : halves) t.join();
  std::atomic<std::size_t> closed{0};
  std::vector<std::thread> probes;
  for (auto& client : clients) {
    probes.emplace_back([&closed, client = client.get()] { closed += client->closedByPeer(1s) ? 1 : 0; });
  }
  for (auto& t : probes) t.join();
  if (closed != 40 - 31) report("connections closed over the limit: " + std::to_string(closed.load()));  // 1 more is the owner's
  std::vector<std::thread> finishers;
  for (auto& client : clients) {
    finishers.push_back(spawn([&, client = client.get()] {
      if (!client->send(std::string_view(line).substr(kHead))) return;  // one of the closed ones
      if (client->readJson(60s) != Json::parse(R"({"jsonrpc":"2.0","id":"crowd","result":{"exists":true}})")) report("crowd: wrong answer");
    }));
  }
  for (auto& t : finishers) t.join();
}

TEST_F(ServiceRobustnessTest, HostileAndAbandonedTrafficLeavesTheServiceServingInLittleMemory) {
  const std::uint32_t seed = chooseSeed();
  std::cout << "robustness seed: " << seed << " (repeat with TOLVO_ROBUSTNESS_SEED=" << seed << ")" << std::endl;
  SCOPED_TRACE("TOLVO_ROBUSTNESS_SEED=" + std::to_string(seed));
  const pid_t pid = service_->pid();
  TolvoClient owner(socket());
  ASSERT_TRUE(owner.createVault("correct horse", false).ok);
  const auto ownerToken = owner.mintUISession(600).value;
  ASSERT_TRUE(ownerToken);
  const std::size_t baseDescriptors = procEntries(pid, "fd");
  const std::size_t baseThreads = procEntries(pid, "task");

  storm(seed);
  crowd();
  memoryAttacks();
  for (const auto& problem : problems_) ADD_FAILURE() << problem;

  ASSERT_TRUE(service_->isRunning());
#if !defined(__SANITIZE_ADDRESS__)
  EXPECT_LT(peakResidentMiB(pid), 64u) << "peak resident memory of the service";
#endif
  std::cout << "peak resident memory of the service: " << peakResidentMiB(pid) << " MiB\n";
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while ((procEntries(pid, "fd") > baseDescriptors || procEntries(pid, "task") > baseThreads) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_LE(procEntries(pid, "fd"), baseDescriptors) << "no connection is left behind";
  EXPECT_LE(procEntries(pid, "task"), baseThreads);

  // The owner's connection and token survived; a new client is served; the vault is unharmed.
  EXPECT_TRUE(owner.validateUIToken(*ownerToken));
  TolvoClient fresh(socket());
  EXPECT_TRUE(fresh.isVaultUnlocked());
  const auto token = fresh.mintUISession(300);
  ASSERT_TRUE(token.value) << token.error.value_or("");
  EXPECT_TRUE(fresh.listSessions(*token.value, 100, 0).value->empty());
  const std::string log = test::readText(tmp() / "TolvoDeskUITest" / "xpc-debug.log");
  EXPECT_EQ(log.find(" raised: "), std::string::npos);
  EXPECT_TRUE(fresh.lockVault());
  EXPECT_TRUE(fresh.unlockVaultWithPassword("correct horse").ok) << "the vault's password is unchanged";
}

}  // namespace
}  // namespace tolvo
