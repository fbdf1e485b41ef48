#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace tolvo::test {

// Programs that tests start: servers (Xvfb, pulseaudio), clients (xdotool, pactl), probes
// (ffprobe). Each runs from PATH in its own process group, with the test's environment
// changed by `env`: "NAME=value" sets a variable, "NAME" alone removes it.
struct ChildOptions {
  std::vector<std::string> env;
  std::filesystem::path log;  // standard output and error are appended here (default: discarded)
  int fd3 = -1;               // passed to the child as descriptor 3 (e.g. for -displayfd)
  int stdinFd = -1;           // its standard input (default: /dev/null)
};

// Starts `argv`; raises std::runtime_error when it cannot be started.
pid_t spawnChild(const std::vector<std::string>& argv, const ChildOptions& options = {});

// Ends the process group of `pid`: SIGTERM, up to two seconds of grace, then SIGKILL; reaps it.
void terminateChild(pid_t pid);

// True when `pid` has exited (and is now reaped).
[[nodiscard]] bool childExited(pid_t pid);

struct ChildResult {
  int exitStatus = -1;  // -1 when it was killed by a signal
  std::string out;
  std::string err;
};

// Runs `argv` to its end and returns what it printed; raises std::runtime_error when it
// cannot be started or runs longer than `timeout` (it is killed then).
ChildResult runChild(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                     std::chrono::seconds timeout = std::chrono::seconds(30));

}  // namespace tolvo::test
