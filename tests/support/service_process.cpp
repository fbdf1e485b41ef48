#include "support/service_process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tolvo::test {

using namespace std::chrono_literals;

ServiceProcess::ServiceProcess(const std::filesystem::path& binary, std::filesystem::path socketPath,
                               std::vector<std::string> extraArguments, bool passSocket)
    : socketPath_(std::move(socketPath)) {
  std::vector<std::string> args{binary.string()};
  if (passSocket) args.insert(args.end(), {"--socket", socketPath_.string()});
  args.insert(args.end(), extraArguments.begin(), extraArguments.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (::posix_spawn(&pid_, binary.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
    throw std::runtime_error("cannot start " + binary.string());
  }
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!std::filesystem::exists(socketPath_)) {
    if (std::chrono::steady_clock::now() > deadline || !isRunning()) {
      throw std::runtime_error("the service did not create its socket " + socketPath_.string());
    }
    std::this_thread::sleep_for(10ms);
  }
}

ServiceProcess::~ServiceProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool ServiceProcess::isRunning() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

int ServiceProcess::waitForExit(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (pid_ > 0) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return status;
    }
    if (std::chrono::steady_clock::now() > deadline) return -1;
    std::this_thread::sleep_for(10ms);
  }
  return -1;
}

}  // namespace tolvo::test
