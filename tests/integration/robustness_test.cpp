// Hostile traffic against the real tolvo-recorder-service binary: random bytes, truncated and
// ill-typed requests of real operations, deep nesting, large strings, bad Base64, missing ids,
// batches, and clients that vanish mid-request. Every complete line gets exactly one answer on
// a connection that stays open; afterwards the same process serves a new client correctly.
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
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

// What the answer to one line must look like.
struct Probe {
  enum class Id {
    exact,    // carries the probe's own (string) id
    null,     // carries a null id
    either,   // carries the probe's id or null
    unknown,  // anything well-formed (mutated lines: the id may be mangled too)
  };
  std::string line;
  Id idMode = Id::unknown;
  std::string id;            // for exact and either
  std::set<int> codes;       // accepted error codes; empty: a result is expected
  std::optional<Json> result;  // when set, the exact result
  std::function<bool(const Json&)> resultCheck;  // when set, a check of the result
};

constexpr int kParseError = -32700;
constexpr int kInvalidRequest = -32600;
constexpr int kMethodNotFound = -32601;
constexpr int kInvalidParams = -32602;

const char* const kBogusToken = "e30=";  // Base64 of "{}": decodes, but is no token

// Requests of real operations that would change the vault if they ran. They appear only
// truncated or with a fault that keeps them from running.
const std::vector<std::string> kGuardedRequests{
    R"({"jsonrpc":"2.0","id":1,"method":"createVault","params":{"password":"other","enableTouchID":false}})",
    R"({"jsonrpc":"2.0","id":2,"method":"unlockVaultWithPassword","params":{"password":"wrong"}})",
    R"({"jsonrpc":"2.0","id":3,"method":"syncUnlockedVault","params":{"masterKeyData":"AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8="}})",
    R"({"jsonrpc":"2.0","id":4,"method":"lockVault"})",
    R"({"jsonrpc":"2.0","id":5,"method":"deleteVault","params":{}})",
    R"({"jsonrpc":"2.0","id":6,"method":"terminateService"})",
    R"({"jsonrpc":"2.0","id":7,"method":"deleteSessions","params":{"tokenData":"e30=","sessionIDsData":"WyJhIl0="}})",
    R"({"jsonrpc":"2.0","id":8,"method":"listSessions","params":{"tokenData":"e30=","limit":10,"offset":0}})",
    R"({"jsonrpc":"2.0","id":9,"method":"completeUIUnlockWithSignature","params":{"challenge":"AAAA","signature":"MAA=","validitySeconds":60}})",
};

// Parameter sets, each with exactly one fault, for operations whose parameters are checked
// before they run. Every one is answered -32602.
const std::vector<std::pair<std::string, std::string>> kFaultyParams{
    {"createVault", R"({"password":1,"enableTouchID":false})"},
    {"createVault", R"({"password":"pw","enableTouchID":"no"})"},
    {"createVault", R"({"password":null,"enableTouchID":false})"},
    {"createVault", R"({"enableTouchID":false})"},
    {"unlockVaultWithPassword", R"({"password":["pw"]})"},
    {"unlockVaultWithPassword", R"({"password":{}})"},
    {"syncUnlockedVault", R"({"masterKeyData":"!!!!"})"},
    {"syncUnlockedVault", R"({"masterKeyData":32})"},
    {"syncUnlockedVault", R"({"masterKeyData":"AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8"})"},
    {"listSessions", R"({"tokenData":"e30=","limit":"10","offset":0})"},
    {"listSessions", R"({"tokenData":"e30=","limit":10.0,"offset":0})"},
    {"listSessions", R"({"tokenData":"e30=","limit":10,"offset":9223372036854775808})"},
    {"listSessions", R"({"tokenData":"e30=","limit":10})"},
    {"listSessions", R"({"tokenData":"e30","limit":10,"offset":0})"},
    {"listSessions", R"({"tokenData":"e3 0=","limit":10,"offset":0})"},
    {"listSessions", R"({"tokenData":"e30=\n","limit":10,"offset":0})"},
    {"listSessions", R"({"tokenData":5,"limit":10,"offset":0})"},
    {"mintUISession", R"({"validitySeconds":"60"})"},
    {"mintUISession", R"({"validitySeconds":true})"},
    {"deleteSessions", R"({"tokenData":"e30=","sessionIDsData":"***"})"},
    {"completeUIUnlockWithSignature", R"({"challenge":"AAAA","signature":"MA=","validitySeconds":60})"},
    {"listEvents", R"({"tokenData":"e30=","sessionId":"s","startMs":0,"endMs":1e3})"},
    {"getChunkKey", R"({"tokenData":"e30=","chunkId":7})"},
    {"lockUI", R"({"token":"%%%%"})"},
    {"validateUIToken", R"({})"},
};

// Operations of every kind, given `params` that are not an object: always -32602.
const std::vector<std::string> kAnyMethod{"lockVault",   "deleteVault",     "terminateService", "isVaultUnlocked",
                                          "vaultExists", "createVault",     "listSessions",     "mintUISession",
                                          "lockUI",      "getSessionDetail"};
const std::vector<std::string> kNonObjectParams{"[1]", "\"x\"", "3", "true", "[]"};

std::string request(const std::string& id, const std::string& method, const std::string& params = "") {
  std::string line = R"({"jsonrpc":"2.0","id":)" + Json(id).dump() + R"(,"method":")" + method + "\"";
  if (!params.empty()) line += R"(,"params":)" + params;
  return line + "}";
}

// A request that must be answered with its own id and, when given, exactly `result`.
Probe exact(std::string line, const std::string& id, std::optional<Json> result) {
  Probe p;
  p.line = std::move(line);
  p.idMode = Probe::Id::exact;
  p.id = id;
  p.result = std::move(result);
  return p;
}

// Builds the lines of one connection; ids are unique strings "<connection>-<n>".
class ProbeMaker {
 public:
  ProbeMaker(std::uint32_t seed, int connection) : rng_(seed), prefix_("c" + std::to_string(connection) + "-") {}

  Probe next() {
    const std::string id = prefix_ + std::to_string(serial_++);
    const std::size_t kind = pick(0, 99);
    if (kind < 18) return served(id);
    if (kind < 30) return truncated();
    if (kind < 40) return randomBytes();
    if (kind < 58) return faultyParams(id);
    if (kind < 70) return badEnvelope(id);
    if (kind < 78) return nested(id);
    if (kind < 84) return mutated();
    if (kind < 91) return badText(id);
    if (kind < 92) return huge(id);
    return batch();
  }

 private:
  std::size_t pick(std::size_t low, std::size_t high) {
    return std::uniform_int_distribution<std::size_t>(low, high)(rng_);
  }
  template <typename T>
  const T& any(const std::vector<T>& from) {
    return from[pick(0, from.size() - 1)];
  }

  static Probe exactError(std::string line, const std::string& id, int code) {
    Probe p = exact(std::move(line), id, std::nullopt);
    p.codes = {code};
    return p;
  }
  static Probe nullError(std::string line, std::set<int> codes) {
    Probe p;
    p.line = std::move(line);
    p.idMode = Probe::Id::null;
    p.codes = std::move(codes);
    return p;
  }

  // Requests the service runs; none of them changes the vault.
  Probe served(const std::string& id) {
    switch (pick(0, 10)) {
      case 0: return exact(request(id, "isVaultUnlocked"), id, Json{{"unlocked", true}});
      case 1: return exact(request(id, "isVaultUnlocked", "null"), id, Json{{"unlocked", true}});
      case 2: return exact(request(id, "vaultExists", "{}") + "\r", id, Json{{"exists", true}});
      case 3:
        return exact(request(id, "listSessions", R"({"tokenData":"e30=","limit":10,"offset":0})"), id,
                     Json{{"sessions", nullptr}, {"error", "Invalid or expired token"}});
      case 4:
        return exact(request(id, "getSessionDetail", R"({"tokenData":"e30=","sessionId":"s","extra":[1,{"a":2}]})"),
                     id, Json{{"session", nullptr}, {"error", "Invalid or expired token"}});
      case 5:
        return exact(request(id, "validateUIToken", R"({"token":"bm9wZQ=="})"), id, Json{{"valid", false}});
      case 6: return exact(request(id, "lockUI", R"({"token":"e30="})"), id, Json{{"ok", true}});
      case 7: {
        Probe p = exact(request(id, "requestUIUnlockChallenge"), id, std::nullopt);
        p.resultCheck = [](const Json& r) {
          return r.size() == 2 && r["error"].is_null() && r["challenge"].is_string() &&
                 base64Decode(r["challenge"].get<std::string>()).value_or(Bytes{}).size() == 32;
        };
        return p;
      }
      case 8: {
        Probe p = exact(request(id, "mintUISession", R"({"validitySeconds":30})"), id, std::nullopt);
        p.resultCheck = [](const Json& r) { return r.size() == 2 && r["error"].is_null() && r["token"].is_string(); };
        return p;
      }
      case 9: return exactError(request(id, "IsVaultUnlocked"), id, kMethodNotFound);
      default: return exactError(request(id, "noSuchOperation", "{}"), id, kMethodNotFound);
    }
  }

  // A proper prefix of an object is never valid JSON.
  Probe truncated() {
    const std::string& base = any(kGuardedRequests);
    return nullError(base.substr(0, pick(1, base.size() - 1)), {kParseError});
  }

  // '#' keeps the line from being blank and from being JSON.
  Probe randomBytes() {
    std::string line = "#";
    const std::size_t size = pick(0, 400);
    for (std::size_t i = 0; i < size; ++i) {
      const char c = static_cast<char>(pick(0, 255));
      line.push_back(c == '\n' ? ' ' : c);
    }
    // A run of 65 brackets in the noise is answered as too deeply nested.
    return nullError(std::move(line), {kParseError, kInvalidRequest});
  }

  Probe faultyParams(const std::string& id) {
    if (pick(0, 3) == 0) return exactError(request(id, any(kAnyMethod), any(kNonObjectParams)), id, kInvalidParams);
    const auto& [method, params] = any(kFaultyParams);
    return exactError(request(id, method, params), id, kInvalidParams);
  }

  Probe badEnvelope(const std::string& id) {
    const std::string quoted = Json(id).dump();
    switch (pick(0, 13)) {
      case 0: return exactError(R"({"jsonrpc":"1.0","id":)" + quoted + R"(,"method":"lockVault"})", id, kInvalidRequest);
      case 1: return exactError(R"({"id":)" + quoted + R"(,"method":"terminateService"})", id, kInvalidRequest);
      case 2: return exactError(R"({"jsonrpc":2.0,"id":)" + quoted + R"(,"method":"deleteVault"})", id, kInvalidRequest);
      case 3: return exactError(R"({"jsonrpc":"2.0","id":)" + quoted + R"(,"method":6})", id, kInvalidRequest);
      case 4: return exactError(R"({"jsonrpc":"2.0","id":)" + quoted + R"(,"params":{}})", id, kInvalidRequest);
      case 5: return nullError(R"({"jsonrpc":"2.0","method":"lockVault"})", {kInvalidRequest});
      case 6: return nullError(R"({"jsonrpc":"2.0","id":null,"method":"deleteVault"})", {kInvalidRequest});
      case 7: return nullError(R"({"jsonrpc":"2.0","id":true,"method":"lockVault"})", {kInvalidRequest});
      case 8: return nullError(R"({"jsonrpc":"2.0","id":{"a":1},"method":"isVaultUnlocked"})", {kInvalidRequest});
      case 9: return nullError(R"({"jsonrpc":"2.0","id":[1],"method":"isVaultUnlocked"})", {kInvalidRequest});
      case 10: return nullError(any(std::vector<std::string>{"5", "\"text\"", "true", "null", "-0.5e9"}), {kInvalidRequest});
      case 11: return nullError("{}", {kInvalidRequest});
      case 12: return nullError(R"({"jsonrpc":"2.0","id":1,"method":"lockVault"} {"x":1})", {kParseError});
      default: return nullError(R"({"jsonrpc":"2.0","id":1,"method":"lockVault")", {kParseError});
    }
  }

  // Arrays nested 1 to 200 deep in the parameters of isVaultUnlocked (two levels above them).
  Probe nested(const std::string& id) {
    const std::size_t depth = pick(1, 200);
    const std::string inner = std::string(depth, '[') + std::string(depth, ']');
    const std::string line = request(id, "isVaultUnlocked", R"({"deep":)" + inner + "}");
    if (depth + 2 <= 64) return exact(line, id, Json{{"unlocked", true}});
    // Too deep: rejected before the line is parsed, so the id may not be known.
    Probe p;
    p.line = line;
    p.idMode = Probe::Id::either;
    p.id = id;
    p.codes = {kInvalidRequest};
    return p;
  }

  // One byte of a served request replaced; the numeric id keeps its answer apart from the
  // string ids above.
  Probe mutated() {
    static const std::vector<std::string> bases{
        R"({"jsonrpc":"2.0","id":0,"method":"isVaultUnlocked"})",
        R"({"jsonrpc":"2.0","id":0,"method":"listSessions","params":{"tokenData":"e30=","limit":10,"offset":0}})",
        R"({"jsonrpc":"2.0","id":0,"method":"validateUIToken","params":{"token":"bm9wZQ=="}})",
    };
    std::string line = any(bases);
    line[pick(0, line.size() - 1)] = static_cast<char>(pick(32, 126));
    Probe p;
    p.line = std::move(line);
    return p;
  }

  // Text that is not valid UTF-8 or holds a lone surrogate, inside an otherwise served request.
  Probe badText(const std::string& id) {
    static const std::vector<std::string> texts{"\"\xff\xfe\"", "\"\xc3\"", "\"\\ud800\"", "\"a\\x\"",
                                                std::string("\"nul\0here\"", 10)};
    return nullError(request(id, "isVaultUnlocked", R"({"x":)" + any(texts) + "}"), {kParseError});
  }

  // Strings of 16 KiB to 768 KiB (a line of exactly the limit is sent on its own connection).
  Probe huge(const std::string& id) {
    const std::size_t size = pick(16 * 1024, 768 * 1024);
    switch (pick(0, 3)) {
      case 0: {  // an unknown parameter is ignored
        return exact(request(id, "isVaultUnlocked", R"({"pad":")" + std::string(size, 'p') + "\"}"), id,
                     Json{{"unlocked", true}});
      }
      case 1: {  // valid Base64 of something that is no token
        const std::string token = base64Encode(Bytes(size, 0x7b));
        return exact(request(id, "listChunks", R"({"tokenData":")" + token + R"(","sessionId":"s"})"), id,
                     Json{{"chunks", nullptr}, {"error", "Invalid or expired token"}});
      }
      case 2: {  // Base64 broken at its end
        const std::string token = base64Encode(Bytes(size, 0x41)) + "=";
        return exactError(request(id, "getChunkKey", R"({"tokenData":")" + token + R"(","chunkId":"c"})"), id,
                          kInvalidParams);
      }
      default: {  // a long id is echoed whole
        const std::string longId = id + "-" + std::string(size, 'i');
        return exact(request(longId, "vaultExists"), longId, Json{{"exists", true}});
      }
    }
  }

  Probe batch() {
    static const std::vector<std::string> batches{
        "[]",
        R"([{"jsonrpc":"2.0","id":1,"method":"lockVault"}])",
        R"([{"jsonrpc":"2.0","id":1,"method":"isVaultUnlocked"},{"jsonrpc":"2.0","id":2,"method":"deleteVault"}])",
        "[1,2,3]",
        R"(  [ {"jsonrpc":"2.0","id":"b","method":"terminateService"} ] )",
    };
    return nullError(any(batches), {kInvalidRequest});
  }

  std::mt19937 rng_;
  std::string prefix_;
  int serial_ = 0;
};

// Checks one answer against the probes of its connection; returns a problem, or "".
class AnswerLedger {
 public:
  void expect(const Probe& p) {
    if (p.idMode == Probe::Id::exact || p.idMode == Probe::Id::either) byId_.emplace(p.id, &p);
    if (p.idMode == Probe::Id::null) ++expectedNull_;
    ++expected_;
  }

  std::string record(const std::string& line) {
    ++answers_;
    const Json answer = Json::parse(line, nullptr, false);
    if (answer.is_discarded() || !answer.is_object()) return "not JSON: " + line.substr(0, 200);
    if (answer.value("jsonrpc", "") != "2.0" || !answer.contains("id")) return "not JSON-RPC 2.0: " + line.substr(0, 200);
    const bool isResult = answer.contains("result");
    const bool isError = answer.contains("error");
    if (isResult == isError || answer.size() != 3) return "neither result nor error: " + line.substr(0, 200);
    std::optional<int> code;
    if (isError) {
      const Json& error = answer["error"];
      if (!error.is_object() || !error.contains("code") || !error["code"].is_number_integer() ||
          !error.contains("message") || !error["message"].is_string()) {
        return "malformed error: " + line.substr(0, 200);
      }
      code = error["code"].get<int>();
      if (*code == -32603) return "internal error: " + line.substr(0, 300);
    }
    const Json& id = answer["id"];
    if (id.is_null()) {
      ++nullAnswers_;
      if (!code || (*code != kParseError && *code != kInvalidRequest)) return "null id without -32700/-32600: " + line.substr(0, 200);
      return "";
    }
    if (id.is_number()) return "";  // a mutated line
    if (!id.is_string()) return "id of a strange type: " + line.substr(0, 200);
    const auto it = byId_.find(id.get<std::string>());
    if (it == byId_.end()) return "answer to nothing that was sent: " + line.substr(0, 200);
    const Probe& probe = *it->second;
    if (!seen_.insert(probe.id).second) return "second answer for " + probe.id.substr(0, 40);
    if (probe.codes.empty()) {
      if (!isResult) return "error for a served request " + probe.line.substr(0, 150) + ": " + line.substr(0, 200);
      if (probe.result && answer["result"] != *probe.result) return "wrong result for " + probe.line.substr(0, 150) + ": " + line.substr(0, 300);
      if (probe.resultCheck && !probe.resultCheck(answer["result"])) return "wrong result for " + probe.line.substr(0, 150) + ": " + line.substr(0, 300);
      return "";
    }
    if (!code || !probe.codes.contains(*code)) return "wrong answer for " + probe.line.substr(0, 150) + ": " + line.substr(0, 300);
    return "";
  }

  // Problems that only show once every answer is in.
  std::vector<std::string> finish(const std::vector<Probe>& probes) const {
    std::vector<std::string> problems;
    if (answers_ != expected_) {
      problems.push_back(std::to_string(answers_) + " answers to " + std::to_string(expected_) + " lines");
    }
    for (const auto& p : probes) {
      if (p.idMode == Probe::Id::exact && !seen_.contains(p.id)) problems.push_back("no answer for " + p.line.substr(0, 150));
    }
    if (nullAnswers_ < expectedNull_) {
      problems.push_back(std::to_string(nullAnswers_) + " answers with a null id, expected at least " +
                         std::to_string(expectedNull_));
    }
    return problems;
  }

 private:
  std::map<std::string, const Probe*> byId_;
  std::set<std::string> seen_;
  std::size_t expected_ = 0;
  std::size_t expectedNull_ = 0;
  std::size_t answers_ = 0;
  std::size_t nullAnswers_ = 0;
};

std::uint32_t chooseSeed() {
  if (const char* fixed = std::getenv("TOLVO_ROBUSTNESS_SEED"); fixed != nullptr && *fixed != '\0') {
    return static_cast<std::uint32_t>(std::strtoul(fixed, nullptr, 10));
  }
  return std::random_device{}();
}

// Entries in /proc/<pid>/<what> (open descriptors, threads).
std::size_t procEntries(pid_t pid, const char* what) {
  std::size_t count = 0;
  std::error_code ec;
  for (stdfs::directory_iterator it("/proc/" + std::to_string(pid) + "/" + what, ec), end; !ec && it != end;
       it.increment(ec)) {
    ++count;
  }
  return count;
}

class ServiceRobustnessTest : public test::SandboxedTest {
 protected:
  void SetUp() override {
    service_ = std::make_unique<test::ServiceProcess>(TOLVO_SERVICE_BINARY, tmp() / "svc" / "recorder.sock",
                                                      std::vector<std::string>{"--uitest-mode"});
  }
  [[nodiscard]] const stdfs::path& socket() const { return service_->socketPath(); }

  // Waits until the service holds at most `descriptors` descriptors and `threads` threads.
  bool settlesTo(std::size_t descriptors, std::size_t threads) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      if (procEntries(service_->pid(), "fd") <= descriptors && procEntries(service_->pid(), "task") <= threads) {
        return true;
      }
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }

  std::unique_ptr<test::ServiceProcess> service_;
};

TEST_F(ServiceRobustnessTest, HostileAndAbandonedTrafficLeavesTheServiceServing) {
  const std::uint32_t seed = chooseSeed();
  std::cout << "robustness seed: " << seed << " (repeat with TOLVO_ROBUSTNESS_SEED=" << seed << ")\n";
  SCOPED_TRACE("TOLVO_ROBUSTNESS_SEED=" + std::to_string(seed));

  const pid_t pid = service_->pid();
  TolvoClient owner(socket());
  ASSERT_TRUE(owner.createVault("correct horse", false).ok);
  ASSERT_TRUE(owner.lockVault());
  const auto unlocked = owner.unlockVaultWithPassword("correct horse");
  ASSERT_TRUE(unlocked.ok) << unlocked.error.value_or("");
  const auto ownerToken = owner.mintUISession(600).value;
  ASSERT_TRUE(ownerToken);

  // Warm up every lazily made part once, then note what a settled service holds.
  const std::size_t beforeWarmDescriptors = procEntries(pid, "fd");
  const std::size_t beforeWarmThreads = procEntries(pid, "task");
  {
    test::RawClient warm(socket());
    for (const char* line : {R"({"jsonrpc":"2.0","id":1,"method":"requestUIUnlockChallenge"})",
                             R"({"jsonrpc":"2.0","id":2,"method":"mintUISession","params":{"validitySeconds":5}})",
                             R"({"jsonrpc":"2.0","id":3,"method":"nope"})", "[1]", "{"}) {
      ASSERT_TRUE(warm.sendLine(line));
      ASSERT_NO_THROW((void)warm.readJson());
    }
  }
  (void)settlesTo(beforeWarmDescriptors, beforeWarmThreads);
  const std::size_t baseDescriptors = procEntries(pid, "fd");
  const std::size_t baseThreads = procEntries(pid, "task");

  constexpr int kConnections = 6;
  constexpr int kLinesPerConnection = 500;
  std::mutex problemsMutex;
  std::vector<std::string> problems;
  auto report = [&](int connection, const std::string& problem) {
    std::lock_guard lock(problemsMutex);
    if (problems.size() < 20) problems.push_back("connection " + std::to_string(connection) + ": " + problem);
  };

  std::vector<std::thread> threads;
  for (int c = 0; c < kConnections; ++c) {
    threads.emplace_back([&, c] {
      ProbeMaker maker(seed + static_cast<std::uint32_t>(c), c);
      std::vector<Probe> probes;
      probes.reserve(kLinesPerConnection + 1);
      std::string burst;
      for (int i = 0; i < kLinesPerConnection; ++i) {
        probes.push_back(maker.next());
        burst += probes.back().line + "\n";
        if (i % 50 == 0) burst += i % 100 == 0 ? "\n" : " \t \n";  // blank lines get no answer
      }
      // Last, a plain request: its answer shows the connection is still open and served.
      const std::string lastId = "last-" + std::to_string(c);
      probes.push_back(exact(request(lastId, "isVaultUnlocked"), lastId, Json{{"unlocked", true}}));
      burst += probes.back().line + "\n";

      AnswerLedger ledger;
      for (const auto& p : probes) ledger.expect(p);
      test::RawClient client(socket());
      std::thread writer([&] {
        if (!client.send(burst)) report(c, "the service closed the connection while it was written");
      });
      std::size_t answers = 0;
      while (answers < probes.size()) {
        auto line = client.readLine(30s);
        if (!line) break;
        ++answers;
        if (auto problem = ledger.record(*line); !problem.empty()) report(c, problem);
      }
      writer.join();
      for (const auto& problem : ledger.finish(probes)) report(c, problem);
      // Nothing more comes; after the client half-closes, the service ends the connection.
      client.shutdownWrite();
      if (!client.closedByPeer(10s)) report(c, "the service did not close after end of input");
      if (auto extra = client.readLine(0ms)) report(c, "an extra answer: " + extra->substr(0, 200));
    });
  }

  // Clients that vanish: nothing sent, half a line, whole requests left unread, a slow
  // request whose answer nobody waits for.
  for (int v = 0; v < 2; ++v) {
    threads.emplace_back([&, v] {
      std::mt19937 rng(seed ^ (0x9e3779b9u + static_cast<std::uint32_t>(v)));
      ProbeMaker maker(seed + 1000u + static_cast<std::uint32_t>(v), 100 + v);
      for (int round = 0; round < 120; ++round) {
        try {
          test::RawClient client(socket());
          const std::string line = maker.next().line;
          switch (std::uniform_int_distribution<int>(0, 5)(rng)) {
            case 0: break;
            case 1: (void)client.send(line.substr(0, line.size() / 2)); break;
            case 2: (void)client.send(line + "\n" + line.substr(0, line.size() / 3)); break;
            case 3: {
              std::string many;
              for (int i = 0; i < 200; ++i) many += request("v", "vaultExists") + "\n";
              (void)client.send(many);
              break;
            }
            case 4: (void)client.send(request("v", "isVaultUnlocked")); break;  // no '\n'
            default:
              (void)client.send(request("v", "listSessions", R"({"tokenData":"e30=","limit":5,"offset":0})") + "\n");
              ::shutdown(client.fd(), SHUT_RDWR);
              break;
          }
          if (round % 40 == 0) {
            (void)client.send(request("p", "completeUIUnlockWithPassword", R"({"password":"wrong"})") + "\n");
          }
        } catch (const std::exception& e) {
          report(100 + v, std::string("could not connect: ") + e.what());
        }
      }
    });
  }

  // A line of exactly 16 MiB is served; one byte more is answered with a null id, and then
  // the service closes the connection without reading on.
  threads.emplace_back([&] {
    constexpr std::size_t kLimit = 16 * 1024 * 1024;
    std::string longest = request("longest", "vaultExists", R"({"pad":""})");
    longest.insert(longest.size() - 3, kLimit - longest.size(), 'p');  // inside the "pad" string
    if (longest.size() != kLimit) report(200, "the longest line is " + std::to_string(longest.size()) + " bytes");
    test::RawClient client(socket());
    std::thread writer([&] {
      (void)client.send(longest + "\n" + std::string(kLimit + 1, 'a') + "\n" + request("after", "vaultExists") + "\n");
    });
    const auto first = client.readLine(60s);
    const auto second = client.readLine(60s);
    if (!first || Json::parse(*first, nullptr, false) !=
                      Json::parse(R"({"jsonrpc":"2.0","id":"longest","result":{"exists":true}})")) {
      report(200, "long line: wrong first answer " + first.value_or("(none)").substr(0, 200));
    }
    const Json tooLong = Json::parse(second.value_or(""), nullptr, false);
    if (tooLong.is_discarded() || !tooLong["id"].is_null() || tooLong["error"]["code"] != kInvalidRequest) {
      report(200, "long line: wrong answer " + second.value_or("(none)").substr(0, 200));
    }
    if (!client.closedByPeer(60s)) report(200, "long line: connection not closed");
    if (client.readLine(0ms)) report(200, "long line: a request after it was answered");
    writer.join();
  });

  for (auto& t : threads) t.join();
  for (const auto& problem : problems) ADD_FAILURE() << problem;

  // The same process is still serving, with no connection left behind.
  ASSERT_TRUE(service_->isRunning());
  EXPECT_EQ(service_->pid(), pid);
  EXPECT_TRUE(settlesTo(baseDescriptors, baseThreads))
      << "descriptors " << procEntries(pid, "fd") << " (before " << baseDescriptors << "), threads "
      << procEntries(pid, "task") << " (before " << baseThreads << ")";

  // The first client's connection and token survived the storm.
  EXPECT_TRUE(owner.validateUIToken(*ownerToken));

  TolvoClient fresh(socket());
  EXPECT_TRUE(fresh.isVaultUnlocked());
  EXPECT_TRUE(fresh.vaultExists());
  const auto token = fresh.mintUISession(300);
  ASSERT_TRUE(token.value) << token.error.value_or("");
  const auto sessions = fresh.listSessions(*token.value, 100, 0);
  ASSERT_TRUE(sessions.value) << sessions.error.value_or("");
  EXPECT_FALSE(sessions.error);
  EXPECT_TRUE(sessions.value->empty());
  EXPECT_EQ(fresh.listSessions(*ownerToken, 100, 0).error, "Invalid or expired token");
  const auto missing = fresh.getSessionDetail(*token.value, "no-such-session");
  EXPECT_FALSE(missing.value);
  EXPECT_FALSE(missing.error);

  // No handler failed internally, and the wrong passwords never got through.
  const std::string log = test::readText(tmp() / "TolvoDeskUITest" / "xpc-debug.log");
  EXPECT_EQ(log.find(" raised: "), std::string::npos);
  EXPECT_EQ(log.find("unlockVaultWithPassword failed"), std::string::npos);
  EXPECT_TRUE(fresh.lockVault());
  EXPECT_FALSE(fresh.unlockVaultWithPassword("other").ok);
  EXPECT_TRUE(fresh.unlockVaultWithPassword("correct horse").ok) << "the vault's password is unchanged";
}

}  // namespace
}  // namespace tolvo
