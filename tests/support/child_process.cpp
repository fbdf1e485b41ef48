#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tolvo::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

// The test's environment changed by `changes` ("NAME=value" sets, "NAME" removes).
std::vector<std::string> environment(const std::vector<std::string>& changes) {
  std::vector<std::string> env;
  const auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool changed = false;
    for (const auto& c : changes) changed = changed || nameOf(c) == nameOf(entry);
    if (!changed) env.push_back(entry);
  }
  for (const auto& c : changes) {
    if (c.find('=') != std::string::npos) env.push_back(c);
  }
  return env;
}

pid_t spawnWith(const std::vector<std::string>& argv, const ChildOptions& options, int outFd, int errFd) {
  std::vector<std::string> args = argv;
  std::vector<std::string> env = environment(options.env);
  auto argp = pointers(args);
  auto envp = pointers(env);  // built before fork: the child only execs
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("cannot fork for " + argv.front());
  if (pid == 0) {
    ::setpgid(0, 0);
    ::dup2(options.stdinFd >= 0 ? options.stdinFd : ::open("/dev/null", O_RDONLY), 0);
    ::dup2(outFd, 1);
    ::dup2(errFd, 2);
    if (options.fd3 >= 0) ::dup2(options.fd3, 3);
    ::execvpe(argp[0], argp.data(), envp.data());
    ::_exit(127);
  }
  return pid;
}

std::string readAll(int fd) {
  std::string text;
  char buffer[65536];
  ::lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, std::size_t(n));
  return text;
}

}  // namespace

pid_t spawnChild(const std::vector<std::string>& argv, const ChildOptions& options) {
  const int out = options.log.empty() ? ::open("/dev/null", O_WRONLY | O_CLOEXEC)
                                      : ::open(options.log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (out < 0) throw std::runtime_error("cannot open the log of " + argv.front());
  const pid_t pid = spawnWith(argv, options, out, out);
  ::close(out);
  return pid;
}

bool childExited(pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) == pid; }

void terminateChild(pid_t pid) {
  if (pid <= 0) return;
  ::kill(-pid, SIGTERM);
  ::kill(-pid, SIGCONT);  // a stopped process acts on SIGTERM only once it runs
  bool gone = false;
  for (const auto deadline = Clock::now() + 2s; !gone && Clock::now() < deadline; std::this_thread::sleep_for(10ms)) {
    gone = childExited(pid);
  }
  ::kill(-pid, SIGKILL);  // also whatever it left behind in its group
  if (!gone) ::waitpid(pid, nullptr, 0);
}

ChildResult runChild(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                     std::chrono::seconds timeout) {
  // Output goes to anonymous memory files, read once the child has ended: no pipe to drain.
  const int out = ::memfd_create("child-out", MFD_CLOEXEC);
  const int err = ::memfd_create("child-err", MFD_CLOEXEC);
  if (out < 0 || err < 0) throw std::runtime_error("memfd_create failed");
  const pid_t pid = spawnWith(argv, ChildOptions{env, {}, -1, -1}, out, err);
  int status = 0;
  const auto deadline = Clock::now() + timeout;
  while (::waitpid(pid, &status, WNOHANG) != pid) {
    if (Clock::now() > deadline) {
      terminateChild(pid);
      ::close(out);
      ::close(err);
      throw std::runtime_error(argv.front() + " did not finish in time");
    }
    std::this_thread::sleep_for(5ms);
  }
  ChildResult result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, readAll(out), readAll(err)};
  ::close(out);
  ::close(err);
  return result;
}

}  // namespace tolvo::test
