#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace tolvo::test {

// A real tolvo-recorder-service process for one test, listening on `socketPath` (given as
// --socket unless `passSocket` is false: then the environment must lead it there), started
// with the test's environment plus `extraArguments`. Construction returns once the socket
// exists (raises std::runtime_error after a 10 s deadline); the destructor kills and reaps it.
class ServiceProcess {
 public:
  ServiceProcess(const std::filesystem::path& binary, std::filesystem::path socketPath,
                 std::vector<std::string> extraArguments = {}, bool passSocket = true);
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;
  ~ServiceProcess();

  [[nodiscard]] const std::filesystem::path& socketPath() const noexcept { return socketPath_; }
  [[nodiscard]] pid_t pid() const noexcept { return pid_; }

  // Waits up to `timeoutMs` for the process to end; its wait status, or -1 while it still runs.
  [[nodiscard]] int waitForExit(int timeoutMs);
  [[nodiscard]] bool isRunning();

 private:
  std::filesystem::path socketPath_;
  pid_t pid_ = -1;
};

}  // namespace tolvo::test
