// Round trips of one small request over one connection: through the service's listener,
// dispatcher and a trivial handler, against a bare Unix-socket line echo (the floor any
// line protocol on this socket type can reach), measured in the same run. Also the same
// request through TolvoClient (its reader thread and typed decoding).
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "client/tolvo_client.h"
#include "service/connection_handler.h"
#include "service/service_listener.h"

namespace {

using namespace tolvo;

class TrivialHandler final : public ConnectionHandler {
 public:
  [[nodiscard]] bool handles(std::string_view method) const override { return method == "isVaultUnlocked"; }
  void handle(std::string_view, const RpcParams&, RpcReply reply) override { reply.send({{"unlocked", false}}); }
};

std::filesystem::path privateDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tolvo-bench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
  return pattern;
}

int connectTo(const std::filesystem::path& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) throw std::runtime_error("connect");
  return fd;
}

// Sends one line and reads one line back (blocking).
void roundTrip(int fd, const std::string& line, std::string& buffer) {
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::send(fd, p, left, MSG_NOSIGNAL);
    if (n <= 0) throw std::runtime_error("send");
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  for (;;) {
    if (auto nl = buffer.find('\n'); nl != std::string::npos) {
      buffer.erase(0, nl + 1);
      return;
    }
    char chunk[4096];
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) throw std::runtime_error("recv");
    buffer.append(chunk, static_cast<std::size_t>(n));
  }
}

void reportLatency(benchmark::State& state, std::vector<double>& micros) {
  if (micros.empty()) return;
  std::sort(micros.begin(), micros.end());
  state.counters["p50_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
  state.counters["ops_per_s"] = benchmark::Counter(static_cast<double>(micros.size()), benchmark::Counter::kIsRate);
}

template <typename F>
void measure(benchmark::State& state, F&& once) {
  std::vector<double> micros;
  micros.reserve(1 << 20);
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    once();
    micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  reportLatency(state, micros);
}

const std::string kRequest = R"({"jsonrpc":"2.0","id":1,"method":"isVaultUnlocked","params":{}})"
                             "\n";

// Baseline: a thread that echoes every line it reads, on a real listening socket.
void BM_BareEcho(benchmark::State& state) {
  const auto dir = privateDir();
  const auto path = dir / "echo.sock";
  int listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  if (::bind(listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(listenFd, 4) != 0) {
    state.SkipWithError("bind");
    return;
  }
  std::thread echo([listenFd] {
    int fd = ::accept(listenFd, nullptr, nullptr);
    std::string buffer;
    char chunk[4096];
    for (;;) {
      ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      buffer.append(chunk, static_cast<std::size_t>(n));
      std::size_t nl;
      while ((nl = buffer.find('\n')) != std::string::npos) {
        std::string line = buffer.substr(0, nl + 1);
        buffer.erase(0, nl + 1);
        if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) <= 0) break;
      }
    }
    ::close(fd);
  });
  int fd = connectTo(path);
  std::string buffer;
  measure(state, [&] { roundTrip(fd, kRequest, buffer); });
  ::close(fd);
  echo.join();
  ::close(listenFd);
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_BareEcho)->UseRealTime()->MinTime(2.0);

void BM_ServiceRoundTrip(benchmark::State& state) {
  const auto dir = privateDir();
  ServiceListener listener([] { return std::make_unique<TrivialHandler>(); });
  listener.bindSocket(dir / "recorder.sock");
  listener.start();
  int fd = connectTo(dir / "recorder.sock");
  std::string buffer;
  measure(state, [&] { roundTrip(fd, kRequest, buffer); });
  ::close(fd);
  listener.stop();
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_ServiceRoundTrip)->UseRealTime()->MinTime(2.0);

void BM_TolvoClientRoundTrip(benchmark::State& state) {
  const auto dir = privateDir();
  ServiceListener listener([] { return std::make_unique<TrivialHandler>(); });
  listener.bindSocket(dir / "recorder.sock");
  listener.start();
  {
    TolvoClient client(dir / "recorder.sock");
    measure(state, [&] { benchmark::DoNotOptimize(client.isVaultUnlocked()); });
  }
  listener.stop();
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_TolvoClientRoundTrip)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
