#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace tolvo::test {

// A private D-Bus session bus for one test: a dbus-daemon started from a generated minimal
// session configuration (no service directories, so nothing can be activated), and
// optionally a real gnome-keyring-daemon serving the Secret Service (org.freedesktop.secrets)
// on it, unlocked with a password given on its standard input. Everything lives below the
// given root folder (sockets, the keyring's XDG_RUNTIME_DIR, HOME and XDG_DATA_HOME, logs).
// Construction returns once the bus answers and, with a keyring, once the Secret Service
// owns its name and has a default collection; it raises std::runtime_error when that does
// not happen before the start-up deadline. The destructor kills and reaps both processes.
//
// The object does not touch the test's environment: point DBUS_SESSION_BUS_ADDRESS at
// address() (or listen on $XDG_RUNTIME_DIR/bus through Options::socketPath) yourself.
class SessionBus {
 public:
  struct Options {
    bool withKeyring = false;
    std::string keyringPassword = "tolvo-test-keyring";
    // Where the bus listens; empty: <root>/dbus/socket.
    std::filesystem::path socketPath;
    std::chrono::milliseconds startTimeout{20000};
  };

  static constexpr const char* kSecretServiceName = "org.freedesktop.secrets";

  // The programs the fixture needs that are not on PATH (empty when all are there).
  [[nodiscard]] static std::vector<std::string> missingPrograms(bool withKeyring);

  SessionBus(const std::filesystem::path& root, Options options);
  SessionBus(const SessionBus&) = delete;
  SessionBus& operator=(const SessionBus&) = delete;
  ~SessionBus();

  [[nodiscard]] const std::string& address() const noexcept { return address_; }

  [[nodiscard]] bool nameHasOwner(const std::string& name) const;

  // Secret Service requests made directly on the bus, independent of the code under test.
  // The object path of the collection behind an alias ("/" when there is none).
  [[nodiscard]] std::string readAlias(const std::string& alias) const;
  // Locks a collection (the Secret Service does that without a prompt).
  void lockCollection(const std::string& collectionPath) const;
  // Object paths of the items whose attributes include all of `attributes`, unlocked first.
  [[nodiscard]] std::vector<std::string> searchItems(const std::map<std::string, std::string>& attributes) const;

  // Stops the keyring daemon and waits until its name is gone; the bus stays.
  void stopKeyring();
  // Freezes (SIGSTOP) or thaws (SIGCONT) the keyring daemon: while frozen it keeps its name
  // on the bus but answers nothing.
  void freezeKeyring(bool frozen);

 private:
  void startBus(const Options& options);
  void startKeyring(const Options& options);
  void waitForSecretService(std::chrono::steady_clock::time_point deadline);

  std::filesystem::path root_;
  std::string address_;
  pid_t busPid_ = -1;
  pid_t keyringPid_ = -1;
};

}  // namespace tolvo::test
