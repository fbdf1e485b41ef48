#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace tolvo::test {

// A private D-Bus session bus for one test: a dbus-daemon started from a minimal session
// configuration (no service directories, so nothing can be activated), and optionally a real
// gnome-keyring-daemon serving the Secret Service on it, unlocked through its standard input.
// Everything lives below <root>/session-bus. Construction returns once the bus answers and,
// with a keyring, once the Secret Service has a default collection; otherwise it raises
// std::runtime_error with the daemon's log. The destructor kills and reaps both processes.
// The test's environment is not touched: point DBUS_SESSION_BUS_ADDRESS at address() yourself.
class SessionBus {
 public:
  struct Options {
    bool withKeyring = false;
    std::filesystem::path socketPath;  // where the bus listens; empty: <root>/session-bus/socket
  };

  // Whether dbus-daemon (and gnome-keyring-daemon) are on PATH.
  [[nodiscard]] static bool available(bool withKeyring);

  SessionBus(const std::filesystem::path& root, Options options);
  SessionBus(const SessionBus&) = delete;
  SessionBus& operator=(const SessionBus&) = delete;
  ~SessionBus();

  [[nodiscard]] const std::string& address() const noexcept { return address_; }

  // Secret Service requests made directly on the bus, independent of the code under test.
  // Locks the default collection (the Secret Service does that without a prompt).
  void lockDefaultCollection() const;
  // Object paths of the items whose attributes include all of `attributes`.
  [[nodiscard]] std::vector<std::string> searchItems(const std::map<std::string, std::string>& attributes) const;

  // Stops the keyring daemon and waits until its name is gone; the bus stays.
  void stopKeyring();
  // Freezes (SIGSTOP) or thaws (SIGCONT) the keyring: while frozen it owns its name but answers nothing.
  void freezeKeyring(bool frozen);

 private:
  std::filesystem::path root_;
  std::string address_;
  pid_t busPid_ = -1;
  pid_t keyringPid_ = -1;
};

}  // namespace tolvo::test
