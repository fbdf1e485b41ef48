// The tolvo-recorder-service executable: socket handling, a second instance, signals.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/raw_client.h"
#include "support/sandbox.h"
#include "support/service_process.h"

namespace tolvo::test {
namespace {

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

bool exitedWith(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

using ServiceMainTest = SandboxedTest;

TEST_F(ServiceMainTest, ServesRefusesASecondInstanceAndEndsCleanlyOnSigterm) {
  const auto socket = tmp() / "tolvodesk" / "recorder.sock";
  ServiceProcess service(TOLVO_SERVICE_BINARY, socket);
  {
    RawClient client(socket);
    client.sendLine(R"({"jsonrpc":"2.0","id":1,"method":"vaultExists"})");
    EXPECT_EQ(client.readJson(), nlohmann::json::parse(R"({"jsonrpc":"2.0","id":1,"result":{"exists":false}})"));
  }
  struct stat st {};
  ASSERT_EQ(::lstat(socket.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  const auto second = runToEnd(std::string(TOLVO_SERVICE_BINARY) + " --socket " + socket.string());
  EXPECT_TRUE(exitedWith(second.status, 3));
  EXPECT_EQ(second.text, "tolvo-recorder-service: another tolvo-recorder-service is already listening on " +
                             socket.string() + "\n");

  ASSERT_EQ(::kill(service.pid(), SIGTERM), 0);
  EXPECT_TRUE(exitedWith(service.waitForExit(10000), 0));
  EXPECT_FALSE(std::filesystem::exists(socket));
}

TEST_F(ServiceMainTest, UsesTheEnvironmentsSocketAndAnswersVersion) {
  const auto socket = tmp() / "env" / "svc.sock";
  setEnv("TOLVO_SOCKET", socket.string());
  {
    ServiceProcess service(TOLVO_SERVICE_BINARY, socket, {}, /*passSocket=*/false);
    ASSERT_EQ(::kill(service.pid(), SIGINT), 0);
    EXPECT_TRUE(exitedWith(service.waitForExit(10000), 0));
  }
  const auto version = runToEnd(std::string(TOLVO_SERVICE_BINARY) + " --version");
  EXPECT_TRUE(exitedWith(version.status, 0));
  EXPECT_EQ(version.text.rfind("tolvo-recorder-service ", 0), 0u) << version.text;
}

}  // namespace
}  // namespace tolvo::test
