// The tolvo-recorder-service executable: socket handling, a second instance, signals.
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "support/raw_client.h"
#include "support/sandbox.h"

extern char** environ;

namespace tolvo::test {
namespace {

using namespace std::chrono_literals;

struct Output {
  int status = -1;
  std::string text;
};

Output runToEnd(const std::string& command) {
  Output out;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out.text += buffer;
  out.status = ::pclose(pipe);
  return out;
}

class ServiceMainTest : public SandboxedTest {
 protected:
  ~ServiceMainTest() override {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  std::filesystem::path socketPath() const { return tmp() / "tolvodesk" / "recorder.sock"; }

  void spawnService() {
    std::string program = TOLVO_SERVICE_BINARY;
    std::string socket = socketPath().string();
    std::vector<char*> argv{program.data(), const_cast<char*>("--socket"), socket.data(), nullptr};
    ASSERT_EQ(::posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv.data(), environ), 0);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!std::filesystem::exists(socketPath()) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(std::filesystem::exists(socketPath()));
  }

  int waitForExit() {
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return status;
      }
      std::this_thread::sleep_for(10ms);
    }
    return -1;
  }

  pid_t pid_ = -1;
};

TEST_F(ServiceMainTest, ServesRefusesASecondInstanceAndEndsCleanlyOnSigterm) {
  spawnService();
  {
    RawClient client(socketPath());
    client.sendLine(R"({"jsonrpc":"2.0","id":1,"method":"vaultExists"})");
    auto answer = client.readJson();
    EXPECT_EQ(answer.at("id"), 1);
    EXPECT_TRUE(answer.contains("result") || answer.contains("error"));
  }
  struct stat st {};
  ASSERT_EQ(::lstat(socketPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  auto second = runToEnd(std::string(TOLVO_SERVICE_BINARY) + " --socket " + socketPath().string());
  ASSERT_TRUE(WIFEXITED(second.status));
  EXPECT_EQ(WEXITSTATUS(second.status), 3);
  EXPECT_EQ(second.text, "tolvo-recorder-service: another tolvo-recorder-service is already listening on " +
                             socketPath().string() + "\n");

  ASSERT_EQ(::kill(pid_, SIGTERM), 0);
  int status = waitForExit();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(std::filesystem::exists(socketPath()));
}

TEST_F(ServiceMainTest, UsesTheEnvironmentsSocketAndAnswersVersion) {
  setEnv("TOLVO_SOCKET", (tmp() / "env" / "svc.sock").string());
  std::string program = TOLVO_SERVICE_BINARY;
  std::vector<char*> argv{program.data(), nullptr};
  ASSERT_EQ(::posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv.data(), environ), 0);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!std::filesystem::exists(tmp() / "env" / "svc.sock") && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(std::filesystem::exists(tmp() / "env" / "svc.sock"));
  ASSERT_EQ(::kill(pid_, SIGINT), 0);
  int status = waitForExit();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  auto version = runToEnd(std::string(TOLVO_SERVICE_BINARY) + " --version");
  EXPECT_EQ(WEXITSTATUS(version.status), 0);
  EXPECT_EQ(version.text.rfind("tolvo-recorder-service ", 0), 0u) << version.text;
}

}  // namespace
}  // namespace tolvo::test
