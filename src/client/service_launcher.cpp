#include "client/service_launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tolvo {

namespace {

using Kind = ClientError::Kind;

bool isExecutableFile(const std::filesystem::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string describeExit(int status) {
  if (WIFEXITED(status)) {
    if (WEXITSTATUS(status) == 3) return "it found another service already listening";
    return "it exited with status " + std::to_string(WEXITSTATUS(status));
  }
  if (WIFSIGNALED(status)) return std::string("it was killed by signal ") + std::to_string(WTERMSIG(status));
  return "it stopped";
}

}  // namespace

std::optional<std::filesystem::path> ServiceLauncher::findServiceExecutable() {
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    auto beside = self.parent_path() / kExecutableName;
    if (isExecutableFile(beside)) return beside;
  }
  const char* path = std::getenv("PATH");
  std::string_view dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  while (!dirs.empty()) {
    const auto colon = dirs.find(':');
    std::string_view dir = dirs.substr(0, colon);
    dirs = colon == std::string_view::npos ? std::string_view() : dirs.substr(colon + 1);
    if (dir.empty()) continue;
    auto candidate = std::filesystem::path(dir) / kExecutableName;
    if (isExecutableFile(candidate)) return candidate;
  }
  return std::nullopt;
}

std::unique_ptr<TolvoClient> ServiceLauncher::launch(const std::filesystem::path& executable,
                                                     const std::filesystem::path& socketPath,
                                                     TolvoClient::Options options, std::chrono::milliseconds timeout) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::string program = executable.string();
  std::string socketArgument = socketPath.string();
  std::vector<char*> argv{program.data(), const_cast<char*>("--socket"), socketArgument.data(), nullptr};
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) {
    throw ClientError(Kind::noService, "could not start " + program + ": " + std::strerror(spawned));
  }

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  TolvoClient::Options probe = options;
  probe.connectTimeout = std::chrono::milliseconds(200);
  for (;;) {
    try {
      return std::make_unique<TolvoClient>(socketPath, probe);
    } catch (const ClientError& e) {
      if (e.kind() != Kind::noService) throw;
    }
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      // Lost a race with another starter: its service is the one to use.
      if (WIFEXITED(status) && WEXITSTATUS(status) == 3) return std::make_unique<TolvoClient>(socketPath, options);
      throw ClientError(Kind::noService, "started " + program + " but " + describeExit(status) +
                                             "; see the system log (journalctl --user -t tolvo-recorder-service)");
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      throw ClientError(Kind::noService, "started " + program + " but it did not listen on " + socketPath.string() +
                                             " within " + std::to_string(timeout.count() / 1000) + " s");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
}

std::unique_ptr<TolvoClient> ServiceLauncher::connect(const std::filesystem::path& socketPath, bool allowSpawn,
                                                      TolvoClient::Options options,
                                                      std::chrono::milliseconds launchTimeout) {
  try {
    return std::make_unique<TolvoClient>(socketPath, options);
  } catch (const ClientError& e) {
    if (e.kind() != Kind::noService || !allowSpawn) throw;
  }
  auto executable = findServiceExecutable();
  if (!executable) {
    throw ClientError(Kind::noService, "no tolvo-recorder-service is listening on " + socketPath.string() +
                                           " and none was found beside tolvoctl or on PATH to start");
  }
  return launch(*executable, socketPath, options, launchTimeout);
}

}  // namespace tolvo
