// The real tolvo-recorder-service binary, started in a private sandbox in UI test mode (all
// data under a temporary folder, secrets in files), each figure beside a baseline measured in
// the same run:
//   - isVaultUnlocked round trips over one connection, against a bare Unix-socket echo of the
//     same line in a thread of this process, and in a child process (alternating blocks);
//   - listSessions (limit 100 of 150 stored) from 16 connections at once, each with its own token;
//   - unlockVaultWithPassword end to end, against PBKDF2-HMAC-SHA256 at 100,000 iterations
//     alone (KeyManager::deriveKEK) and against opening the keyed database alone.
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/tolvo_client.h"
#include "core/base64.h"
#include "core/bytes.h"
#include "crypto/encryption_utilities.h"
#include "crypto/key_manager.h"
#include "crypto/symmetric_key.h"
#include "db/database_manager.h"
#include "support/service_process.h"

namespace {

using namespace tolvo;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;
namespace stdfs = std::filesystem;

constexpr int kStoredSessions = 150;
constexpr std::int64_t kKdfIterations = 100'000;
const std::string kPassword = "bench password";

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// Sorted latencies (µs) and what they say.
class Latencies {
 public:
  void add(double us) { values_.push_back(us); }
  void append(const Latencies& other) { values_.insert(values_.end(), other.values_.begin(), other.values_.end()); }
  [[nodiscard]] std::size_t count() const { return values_.size(); }
  [[nodiscard]] double total() const {
    double sum = 0;
    for (double v : values_) sum += v;
    return sum;
  }
  // Operations per second one after another: count over the summed latencies.
  [[nodiscard]] double serialRate() const { return values_.empty() ? 0 : 1e6 * static_cast<double>(count()) / total(); }
  [[nodiscard]] double percentile(double p) {
    if (values_.empty()) return 0;
    std::sort(values_.begin(), values_.end());
    const auto at = static_cast<std::size_t>(p / 100.0 * static_cast<double>(values_.size() - 1) + 0.5);
    return values_[std::min(at, values_.size() - 1)];
  }

 private:
  std::vector<double> values_;
};

sockaddr_un addressOf(const stdfs::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.native().size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long: " + path.string());
  std::memcpy(address.sun_path, path.c_str(), path.native().size());
  return address;
}

// One blocking connection speaking lines: send a line, read the next line back.
class LineConnection {
 public:
  explicit LineConnection(const stdfs::path& path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = addressOf(path);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      const int err = errno;
      if (fd_ >= 0) ::close(fd_);
      throw std::runtime_error("connect " + path.string() + ": " + std::strerror(err));
    }
  }
  LineConnection(const LineConnection&) = delete;
  LineConnection& operator=(const LineConnection&) = delete;
  ~LineConnection() { ::close(fd_); }

  // `line` ends with '\n'; the answer is valid until the next call.
  std::string_view roundTrip(std::string_view line) {
    buffer_.erase(0, consumed_);
    consumed_ = 0;
    while (!line.empty()) {
      const ssize_t n = ::send(fd_, line.data(), line.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw std::runtime_error("send failed");
      line.remove_prefix(static_cast<std::size_t>(n));
    }
    std::size_t scanned = 0;
    for (;;) {
      if (const auto nl = buffer_.find('\n', scanned); nl != std::string::npos) {
        consumed_ = nl + 1;
        return std::string_view(buffer_).substr(0, nl);
      }
      scanned = buffer_.size();
      char chunk[64 * 1024];
      const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw std::runtime_error("connection closed");
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

 private:
  int fd_ = -1;
  std::string buffer_;
  std::size_t consumed_ = 0;
};

// The baseline: writes back every byte it reads (a line comes back whole), on a real
// listening socket. In a thread of this process, or in a child process, which adds the
// switch between address spaces that every round trip to the service pays too.
class EchoServer {
 public:
  enum class Where { thread, childProcess };

  EchoServer(const stdfs::path& path, Where where) : path_(path) {
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = addressOf(path);
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 4) != 0) {
      throw std::runtime_error("echo server: cannot listen on " + path.string());
    }
    if (where == Where::thread) {
      thread_ = std::thread([fd = listenFd_] { serve(fd); });
      return;
    }
    child_ = ::fork();
    if (child_ < 0) throw std::runtime_error("echo server: fork failed");
    if (child_ == 0) {
      serve(listenFd_);  // only system calls on a stack buffer after fork()
      ::_exit(0);
    }
  }
  EchoServer(const EchoServer&) = delete;
  EchoServer& operator=(const EchoServer&) = delete;
  // Call once the client has closed its connection.
  ~EchoServer() {
    ::shutdown(listenFd_, SHUT_RDWR);  // ends an accept still pending
    if (thread_.joinable()) thread_.join();
    if (child_ > 0) {
      ::kill(child_, SIGKILL);
      ::waitpid(child_, nullptr, 0);
    }
    ::close(listenFd_);
    ::unlink(path_.c_str());
  }
  [[nodiscard]] const stdfs::path& path() const { return path_; }

 private:
  static void serve(int listenFd) {
    const int fd = ::accept(listenFd, nullptr, nullptr);
    if (fd < 0) return;
    char chunk[64 * 1024];
    for (;;) {
      const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0 || ::send(fd, chunk, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) break;
    }
    ::close(fd);
  }

  stdfs::path path_;
  int listenFd_ = -1;
  std::thread thread_;
  pid_t child_ = -1;
};

// A private folder for one service: its temporary directory (where UI test mode keeps the
// vault, the secrets and the log), runtime, data, config and home. The environment points
// there while the object lives, so the service started inside inherits it.
class Sandbox {
 public:
  Sandbox() {
    std::string pattern = (baseTemp() / "tolvo-svcbench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    const std::map<std::string, stdfs::path> folders{{"TMPDIR", tmp()},
                                                     {"XDG_RUNTIME_DIR", root_ / "run"},
                                                     {"XDG_DATA_HOME", root_ / "data"},
                                                     {"XDG_CONFIG_HOME", root_ / "config"},
                                                     {"HOME", root_ / "home"}};
    for (const auto& [name, folder] : folders) {
      stdfs::create_directories(folder);
      stdfs::permissions(folder, stdfs::perms::owner_all);
      set(name, folder.string());
    }
    for (const char* name : {"TOLVO_UITEST_MODE", "TOLVO_SOCKET", "DBUS_SESSION_BUS_ADDRESS", "LISTEN_FDS", "LISTEN_PID"}) {
      set(name, std::nullopt);
    }
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;
  ~Sandbox() {
    for (const auto& [name, value] : saved_) {
      if (value) ::setenv(name.c_str(), value->c_str(), 1);
      else ::unsetenv(name.c_str());
    }
    std::error_code ec;
    stdfs::remove_all(root_, ec);
  }

  [[nodiscard]] stdfs::path tmp() const { return root_ / "tmp"; }
  [[nodiscard]] stdfs::path socket() const { return root_ / "run" / "tolvodesk" / "recorder.sock"; }
  [[nodiscard]] stdfs::path vaultDirectory() const { return tmp() / "TolvoDeskUITest" / "AppData" / "Vault"; }

 private:
  static const stdfs::path& baseTemp() {
    static const stdfs::path base = stdfs::temp_directory_path();  // before any sandbox changes TMPDIR
    return base;
  }
  void set(const std::string& name, const std::optional<std::string>& value) {
    if (!saved_.contains(name)) {
      const char* old = std::getenv(name.c_str());
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    if (value) ::setenv(name.c_str(), value->c_str(), 1);
    else ::unsetenv(name.c_str());
  }

  stdfs::path root_;
  std::map<std::string, std::optional<std::string>> saved_;
};

// A service process in its own sandbox; killed and removed with the object.
struct BenchService {
  Sandbox sandbox;
  std::unique_ptr<test::ServiceProcess> process;

  void start() {
    process = std::make_unique<test::ServiceProcess>(TOLVO_SERVICE_BINARY, sandbox.socket(),
                                                     std::vector<std::string>{"--uitest-mode"});
  }
  [[nodiscard]] const stdfs::path& socket() const { return process->socketPath(); }
};

// A vault of kStoredSessions finished sessions, written under a known master key before the
// service starts and handed to it with syncUnlockedVault.
std::unique_ptr<BenchService> seededService;
// A vault made by the service itself with createVault(kPassword).
std::unique_ptr<BenchService> passwordService;

BenchService& seeded() {
  if (seededService) return *seededService;
  auto service = std::make_unique<BenchService>();
  const SymmetricKey master = SymmetricKey::random();
  {
    KeyManager keys;
    keys.setMasterKey(master);
    DatabaseManager db;
    stdfs::create_directories(service->sandbox.vaultDirectory() / "Chunks");
    db.open(service->sandbox.vaultDirectory() / "vault.db", *keys.getDBKeyHex());
    const std::int64_t day = 1'760'000'000'000;
    for (int i = 0; i < kStoredSessions; ++i) {
      char id[40];
      std::snprintf(id, sizeof id, "5e55a0de-0000-4000-8000-%012d", i);
      const std::int64_t start = day + std::int64_t{i} * 3'600'000;
      db.createSession({id, start, start + 1'800'000, start});
    }
    db.close();
  }
  service->start();
  TolvoClient client(service->socket());
  const auto synced = client.syncUnlockedVault(master.toData());
  if (!synced.ok) throw std::runtime_error("syncUnlockedVault failed: " + synced.error.value_or(""));
  seededService = std::move(service);
  return *seededService;
}

BenchService& withPassword() {
  if (passwordService) return *passwordService;
  auto service = std::make_unique<BenchService>();
  service->start();
  TolvoClient client(service->socket());
  const auto created = client.createVault(kPassword, false);
  if (!created.ok) throw std::runtime_error("createVault failed: " + created.error.value_or(""));
  passwordService = std::move(service);
  return *passwordService;
}

void BM_IsVaultUnlockedVsEcho(benchmark::State& state) {
  LineConnection rpc(seeded().socket());
  const stdfs::path tmp = seeded().sandbox.tmp();
  EchoServer threadEchoServer(tmp / "echo.sock", EchoServer::Where::thread);
  EchoServer processEchoServer(tmp / "echo-child.sock", EchoServer::Where::childProcess);
  Latencies service;
  Latencies threadEchoTimes;
  Latencies processEchoTimes;
  std::int64_t wrongAnswers = 0;
  {
    LineConnection threadEcho(threadEchoServer.path());
    LineConnection processEcho(processEchoServer.path());

    const std::string request = R"({"jsonrpc":"2.0","id":1,"method":"isVaultUnlocked"})"
                                "\n";
    const std::string answer(rpc.roundTrip(request));
    if (Json::parse(answer, nullptr, false) != Json::parse(R"({"jsonrpc":"2.0","id":1,"result":{"unlocked":true}})")) {
      state.SkipWithError(("unexpected answer: " + answer).c_str());
      return;
    }
    // The echoes carry the same JSON line both ways.
    constexpr int kBlock = 64;  // short blocks, so all three see the same moments of a busy machine
    auto echoBlock = [&](LineConnection& connection, Latencies& into) {
      for (int i = 0; i < kBlock; ++i) {
        const auto t0 = Clock::now();
        benchmark::DoNotOptimize(connection.roundTrip(request));
        into.add(micros(Clock::now() - t0));
      }
    };
    for (auto _ : state) {
      const auto blockStart = Clock::now();
      for (int i = 0; i < kBlock; ++i) {
        const auto t0 = Clock::now();
        const std::string_view got = rpc.roundTrip(request);
        service.add(micros(Clock::now() - t0));
        if (got != answer) ++wrongAnswers;
      }
      state.SetIterationTime(std::chrono::duration<double>(Clock::now() - blockStart).count());
      echoBlock(threadEcho, threadEchoTimes);
      echoBlock(processEcho, processEchoTimes);
    }
    state.SetItemsProcessed(state.iterations() * kBlock);
  }
  state.counters["ops_per_s"] = service.serialRate();
  state.counters["p50_us"] = service.percentile(50);
  state.counters["p99_us"] = service.percentile(99);
  state.counters["echo_ops_per_s"] = threadEchoTimes.serialRate();
  state.counters["echo_p50_us"] = threadEchoTimes.percentile(50);
  state.counters["echo_p99_us"] = threadEchoTimes.percentile(99);
  state.counters["vs_echo"] = service.serialRate() / threadEchoTimes.serialRate();
  state.counters["proc_echo_p50_us"] = processEchoTimes.percentile(50);
  state.counters["vs_proc_echo"] = service.serialRate() / processEchoTimes.serialRate();
  state.counters["errors"] = static_cast<double>(wrongAnswers);
}
BENCHMARK(BM_IsVaultUnlockedVsEcho)->UseManualTime()->MinTime(2.0)->Unit(benchmark::kMicrosecond);

// One connection with its own token, asking for the first 100 sessions again and again.
struct SessionReader {
  LineConnection connection;
  std::string request;
  Latencies latencies;
  std::int64_t errors = 0;

  explicit SessionReader(const stdfs::path& socket) : connection(socket) {
    const Json minted = Json::parse(connection.roundTrip(
        R"({"jsonrpc":"2.0","id":1,"method":"mintUISession","params":{"validitySeconds":3600}})"
        "\n"));
    const Json& token = minted["result"]["token"];
    if (!token.is_string()) throw std::runtime_error("mintUISession failed: " + minted.dump());
    request = Json{{"jsonrpc", "2.0"},
                   {"id", 2},
                   {"method", "listSessions"},
                   {"params", {{"tokenData", token}, {"limit", 100}, {"offset", 0}}}}
                  .dump() +
              "\n";
    // The first answer is decoded in full: 100 sessions, no error.
    const Json first = Json::parse(connection.roundTrip(request));
    const Json& result = first["result"];
    const auto decoded = result["sessions"].is_string() ? base64Decode(result["sessions"].get<std::string>()) : std::nullopt;
    const Json sessions = decoded ? Json::parse(decoded->begin(), decoded->end(), nullptr, false) : Json();
    if (!result["error"].is_null() || !sessions.is_array() || sessions.size() != 100) {
      throw std::runtime_error("listSessions answered " + first.dump().substr(0, 300));
    }
  }

  void runUntil(Clock::time_point deadline) {
    while (Clock::now() < deadline) {
      const auto t0 = Clock::now();
      const std::string_view answer = connection.roundTrip(request);
      latencies.add(micros(Clock::now() - t0));
      if (answer.find(R"("error":null)") == std::string_view::npos ||
          answer.find(R"("sessions":")") == std::string_view::npos) {
        ++errors;
      }
    }
  }
};

void BM_ListSessions16Connections(benchmark::State& state) {
  constexpr int kConnections = 16;
  constexpr auto kRunTime = 3s;
  std::vector<std::unique_ptr<SessionReader>> readers;
  try {
    for (int i = 0; i < kConnections; ++i) readers.push_back(std::make_unique<SessionReader>(seeded().socket()));
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  double elapsed = 0;
  for (auto _ : state) {
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    const auto deadline = Clock::now() + 50ms + kRunTime;
    for (auto& reader : readers) {
      threads.emplace_back([&go, &reader, deadline] {
        while (!go.load()) std::this_thread::yield();
        reader->runUntil(deadline);
      });
    }
    std::this_thread::sleep_until(deadline - kRunTime);
    const auto start = Clock::now();
    go.store(true);
    for (auto& t : threads) t.join();
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(elapsed);
  }
  Latencies all;
  std::int64_t errors = 0;
  for (const auto& reader : readers) {
    all.append(reader->latencies);
    errors += reader->errors;
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(all.count()));
  state.counters["ops_per_s"] = static_cast<double>(all.count()) / elapsed;
  state.counters["p50_us"] = all.percentile(50);
  state.counters["p99_us"] = all.percentile(99);
  state.counters["errors"] = static_cast<double>(errors);
}
BENCHMARK(BM_ListSessions16Connections)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_UnlockVaultWithPasswordVsKdf(benchmark::State& state) {
  TolvoClient client(withPassword().socket());
  KeyManager keys;
  const Bytes salt = EncryptionUtilities::randomBytes(32);
  // Opening a keyed database of the same schema, the step of an unlock after the key is known.
  const stdfs::path dbPath = withPassword().sandbox.tmp() / "open-baseline" / "vault.db";
  stdfs::remove_all(dbPath.parent_path());  // made under another key by an earlier repetition
  const SymmetricKey dbKey = SymmetricKey::random();
  const std::string dbKeyHex = toHex(dbKey.toData());
  DatabaseManager db;
  db.open(dbPath, dbKeyHex);
  db.close();

  Latencies unlock;
  Latencies kdf;
  Latencies open;
  for (auto _ : state) {
    if (!client.lockVault()) {
      state.SkipWithError("lockVault failed");
      return;
    }
    const auto t0 = Clock::now();
    const auto result = client.unlockVaultWithPassword(kPassword);
    const auto t1 = Clock::now();
    if (!result.ok) {
      state.SkipWithError(("unlock failed: " + result.error.value_or("")).c_str());
      return;
    }
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    unlock.add(micros(t1 - t0));

    const auto k0 = Clock::now();
    const auto kek = keys.deriveKEK(kPassword, salt, kKdfIterations);
    kdf.add(micros(Clock::now() - k0));
    benchmark::DoNotOptimize(kek);

    const auto o0 = Clock::now();
    db.open(dbPath, dbKeyHex);
    db.close();
    open.add(micros(Clock::now() - o0));
  }
  const double unlockMs = unlock.percentile(50) / 1000;
  const double kdfMs = kdf.percentile(50) / 1000;
  state.counters["unlock_p50_ms"] = unlockMs;
  state.counters["kdf100k_p50_ms"] = kdfMs;
  state.counters["db_open_p50_ms"] = open.percentile(50) / 1000;
  state.counters["unlock_vs_kdf"] = unlockMs / kdfMs;
}
BENCHMARK(BM_UnlockVaultWithPasswordVsKdf)->UseManualTime()->Iterations(12)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  int status = 0;
  try {
    benchmark::RunSpecifiedBenchmarks();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_service: %s\n", e.what());
    status = 1;
  }
  seededService.reset();
  passwordService.reset();
  benchmark::Shutdown();
  return status;
}
