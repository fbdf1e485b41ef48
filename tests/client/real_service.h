#pragma once
// The client tests' service: the real tolvo-recorder-service in UI test mode (secrets in files
// under the sandbox), and tolvoctl run the way a person or a script runs it.
#include <sys/wait.h>

#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "client/tolvo_client.h"
#include "support/sandbox.h"
#include "support/service_process.h"

namespace tolvo::test {

// What one tolvoctl run did: its exit status, standard output and standard error.
struct CtlResult {
  int exitCode = -1;
  std::string out, err;
  bool operator==(const CtlResult&) const = default;
  friend std::ostream& operator<<(std::ostream& os, const CtlResult& r) {
    return os << "exit " << r.exitCode << ", out: \"" << r.out << "\", err: \"" << r.err << '"';
  }
};

class RealServiceTest : public SandboxedTest {
 protected:
  [[nodiscard]] std::filesystem::path socketPath() const { return tmp() / "svc" / "recorder.sock"; }
  // Where the service keeps the vault in UI test mode.
  [[nodiscard]] std::filesystem::path vaultDir() const { return tmp() / "TolvoDeskUITest" / "AppData" / "Vault"; }

  void start() {
    service_ = std::make_unique<ServiceProcess>(TOLVO_SERVICE_BINARY, socketPath(), std::vector<std::string>{"--uitest-mode"});
  }

  // Runs tolvoctl with `arguments` (a shell fragment) and `input` on standard input.
  CtlResult run(const std::string& arguments, const std::string& input = "") {
    writeText(root() / "in.txt", input);
    const std::string command = "TZ=UTC " + std::string(TOLVOCTL_BINARY) + " " + arguments + " <" +
                                (root() / "in.txt").string() + " >" + (root() / "out.txt").string() + " 2>" +
                                (root() / "err.txt").string();
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readText(root() / "out.txt"), readText(root() / "err.txt")};
  }
  // The same against the service of start().
  CtlResult ctl(const std::string& arguments, const std::string& input = "") {
    return run("--socket " + socketPath().string() + " " + arguments, input);
  }

  std::unique_ptr<ServiceProcess> service_;
};

}  // namespace tolvo::test
