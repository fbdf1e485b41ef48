#include "client/tolvoctl/password_prompt.h"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "core/handle.h"

namespace tolvo::ctl {

namespace {

// Restores the terminal when an interrupt arrives while echo is off.
int gTerminalFd = -1;
termios gSavedTerminal{};

extern "C" void restoreTerminalAndDie(int signal) {
  if (gTerminalFd >= 0) (void)::tcsetattr(gTerminalFd, TCSAFLUSH, &gSavedTerminal);
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

void writeText(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Reads up to '\n' or end of input; false when nothing at all could be read.
bool readLine(int fd, Bytes& out) {
  bool any = false;
  for (;;) {
    char c = 0;
    ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    any = true;
    if (c == '\n') break;
    out.push_back(static_cast<std::uint8_t>(c));
  }
  if (!out.empty() && out.back() == '\r') out.pop_back();
  return any;
}

}  // namespace

SecureBytes readPasswordFromTerminal(const std::string& prompt) {
  FileDescriptor tty(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!tty) throw std::runtime_error("no terminal to read a password from; use --password-stdin");
  termios saved{};
  if (::tcgetattr(tty.get(), &saved) != 0) throw std::runtime_error("cannot read the terminal settings");
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;

  gTerminalFd = tty.get();
  gSavedTerminal = saved;
  struct sigaction handler {};
  handler.sa_handler = restoreTerminalAndDie;
  sigemptyset(&handler.sa_mask);
  struct sigaction oldInt {}, oldTerm {}, oldQuit {};
  ::sigaction(SIGINT, &handler, &oldInt);
  ::sigaction(SIGTERM, &handler, &oldTerm);
  ::sigaction(SIGQUIT, &handler, &oldQuit);

  writeText(tty.get(), prompt);
  SecureBytes password;
  bool read = false;
  if (::tcsetattr(tty.get(), TCSAFLUSH, &quiet) == 0) {
    read = readLine(tty.get(), password.mutableBytes());
    (void)::tcsetattr(tty.get(), TCSAFLUSH, &saved);
  }
  ::sigaction(SIGINT, &oldInt, nullptr);
  ::sigaction(SIGTERM, &oldTerm, nullptr);
  ::sigaction(SIGQUIT, &oldQuit, nullptr);
  gTerminalFd = -1;
  if (!read) throw std::runtime_error("no password entered");
  return password;
}

SecureBytes readPasswordFromStdin() {
  SecureBytes password;
  if (!readLine(STDIN_FILENO, password.mutableBytes())) throw std::runtime_error("no password on standard input");
  return password;
}

}  // namespace tolvo::ctl
