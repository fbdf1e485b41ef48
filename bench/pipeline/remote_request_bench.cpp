// Memory and time of one remote summary request carrying a large video: the request is built
// (Base64 of the file written into the body in place) and POSTed with libcurl to a loopback
// server in a child process that reads and discards the body, so that only the client's memory
// is in this process. Per size: the peak resident memory the request added (VmHWM, reset through
// /proc/self/clear_refs before the video is made) over the video's size, the target being
// at most 3, and the request's time beside its floor in the same run: Base64 of the same bytes
// by core's base64Encode plus a raw socket write of a body of the same length to the same server.

#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>

#include "core/base64.h"
#include "pipeline/remote_summary.h"

namespace {

using namespace tolvo;
using SteadyClock = std::chrono::steady_clock;

constexpr std::string_view kAnswerBody = R"({"output_text":"ok","model":"m"})";

int serverPort = 0;

bool sendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// One exchange: the header up to the blank line, then Content-Length bytes read and dropped,
// then the fixed answer.
void serveOne(int fd) {
  static char buffer[1 << 20];
  std::string head;
  std::size_t end = std::string::npos;
  while (end == std::string::npos) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return;
    head.append(buffer, static_cast<std::size_t>(n));
    end = head.find("\r\n\r\n");
  }
  std::size_t length = 0;
  for (std::size_t at = 0; (at = head.find('\n', at)) != std::string::npos && at < end;) {
    ++at;
    if (::strncasecmp(head.c_str() + at, "content-length:", 15) == 0) length = std::stoull(head.substr(at + 15));
  }
  std::size_t received = head.size() - end - 4;
  while (received < length) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return;
    received += static_cast<std::size_t>(n);
  }
  const std::string answer =
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n"
      "Content-Length: " +
      std::to_string(kAnswerBody.size()) + "\r\n\r\n" + std::string(kAnswerBody);
  (void)sendAll(fd, answer.data(), answer.size());
}

// Starts the discarding server in a child process; returns its pid and sets serverPort.
pid_t startServer() {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 4) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  serverPort = ntohs(address.sin_port);
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // ends with the benchmark, even when it fails
    for (;;) {
      const int fd = ::accept(listener, nullptr, nullptr);
      if (fd < 0) continue;
      serveOne(fd);
      ::close(fd);
    }
  }
  ::close(listener);
  return pid;
}

// A field of /proc/self/status in bytes ("VmHWM", "VmRSS").
std::int64_t statusBytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(field + ":")) return std::stoll(line.substr(field.size() + 1)) * 1024;
  }
  throw std::runtime_error("no " + field + " in /proc/self/status");
}

void resetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

Bytes randomVideo(std::size_t size) {
  Bytes video(size);
  std::mt19937_64 random(size);
  for (std::size_t i = 0; i + 8 <= size; i += 8) {
    const std::uint64_t word = random();
    std::memcpy(video.data() + i, &word, 8);
  }
  return video;
}

double secondsSince(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// The floor: the same bytes in Base64, then a body of that length over a plain socket.
double floorSeconds(const Bytes& video) {
  const auto start = SteadyClock::now();
  const std::string encoded = base64Encode(video);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(serverPort));
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("cannot connect to the server");
  }
  const std::string head =
      "POST /v1/responses HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(encoded.size()) +
      "\r\n\r\n";
  char answer[256];
  if (!sendAll(fd, head.data(), head.size()) || !sendAll(fd, encoded.data(), encoded.size()) ||
      ::recv(fd, answer, sizeof answer, 0) <= 0) {
    throw std::runtime_error("the floor's exchange failed");
  }
  ::close(fd);
  return secondsSince(start);
}

void BM_RemoteRequest(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0)) << 20;
  const RemoteSummaryClient client({std::chrono::minutes(10), std::chrono::minutes(10)});
  const std::string url = "http://127.0.0.1:" + std::to_string(serverPort) + "/v1/responses";
  double ratio = 0;
  double floor = 0;
  for (auto _ : state) {
    resetPeak();
    const std::int64_t before = statusBytes("VmRSS");
    SummaryRemoteRequest request;
    request.input.push_back(
        {"user", {SummaryRemoteText{"Summarize."}, SummaryRemoteFile{"w.mp4", "video/mp4", randomVideo(size)}}});
    const auto start = SteadyClock::now();
    const SummaryResult result = client.performRemoteSummaryRequest(std::move(request), url);
    state.SetIterationTime(secondsSince(start));
    if (result.summaryText != "ok") state.SkipWithError("unexpected answer");
    ratio = static_cast<double>(statusBytes("VmHWM") - before) / static_cast<double>(size);

    const Bytes video = randomVideo(size);
    floor = floorSeconds(video);
  }
  state.counters["peak_over_video"] = ratio;
  state.counters["floor_s"] = floor;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_RemoteRequest)->Arg(64)->Arg(256)->Arg(512)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  const pid_t server = startServer();  // before any thread or large allocation
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  ::kill(server, SIGTERM);
  ::waitpid(server, nullptr, 0);
  return 0;
}
