#include "support/session_bus.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tolvo::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct GObjectUnref {
  void operator()(void* p) const { g_object_unref(p); }
};
struct GVariantUnref {
  void operator()(GVariant* p) const { g_variant_unref(p); }
};
using Connection = std::unique_ptr<GDBusConnection, GObjectUnref>;
using Variant = std::unique_ptr<GVariant, GVariantUnref>;

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error("SessionBus: " + what); }

std::string readWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool onPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string_view rest = path != nullptr ? path : "/usr/bin:/bin";
  while (true) {
    std::size_t end = rest.find(':');
    std::filesystem::path dir(std::string(rest.substr(0, end)));
    if (!dir.empty() && ::access((dir / program).c_str(), X_OK) == 0) return true;
    if (end == std::string_view::npos) return false;
    rest = rest.substr(end + 1);
  }
}

void makePrivateDirectory(const std::filesystem::path& dir) {
  std::filesystem::create_directories(dir);
  std::filesystem::permissions(dir, std::filesystem::perms::owner_all);
}

// The environment of this process with `changes` applied (nothing: the variable is removed).
std::vector<std::string> environmentWith(const std::map<std::string, std::optional<std::string>>& changes) {
  std::vector<std::string> out;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    std::string name(text.substr(0, text.find('=')));
    if (changes.find(name) == changes.end()) out.emplace_back(text);
  }
  for (const auto& [name, value] : changes) {
    if (value) out.push_back(name + "=" + *value);
  }
  return out;
}

struct Child {
  pid_t pid = -1;
  int stdinWrite = -1;  // set when the child's stdin is a pipe
  int stdoutRead = -1;  // set when the child's stdout is a pipe
};

// Starts `argv` in its own process group with stderr (and stdout unless piped) appended to
// `log`, and stdin from a pipe or /dev/null.
Child spawn(const std::vector<std::string>& argv, const std::vector<std::string>& environment, bool pipeStdin,
            bool pipeStdout, const std::filesystem::path& log) {
  int in[2] = {-1, -1};
  int out[2] = {-1, -1};
  if (pipeStdin && ::pipe2(in, O_CLOEXEC) != 0) fail("pipe: " + std::string(std::strerror(errno)));
  if (pipeStdout && ::pipe2(out, O_CLOEXEC) != 0) fail("pipe: " + std::string(std::strerror(errno)));

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (pipeStdin) posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  else posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (pipeStdout) posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  else posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);

  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (const auto& e : environment) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);

  Child child;
  int rc = ::posix_spawnp(&child.pid, args[0], &actions, &attributes, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (pipeStdin) ::close(in[0]);
  if (pipeStdout) ::close(out[1]);
  if (rc != 0) {
    if (pipeStdin) ::close(in[1]);
    if (pipeStdout) ::close(out[0]);
    fail("cannot start " + argv[0] + ": " + std::strerror(rc));
  }
  child.stdinWrite = pipeStdin ? in[1] : -1;
  child.stdoutRead = pipeStdout ? out[0] : -1;
  return child;
}

// True when `pid` has exited (and is now reaped).
bool exited(pid_t pid) {
  int status = 0;
  return ::waitpid(pid, &status, WNOHANG) == pid;
}

// Ends the process group of `pid`: SIGTERM, up to two seconds of grace, then SIGKILL.
void terminate(pid_t pid) {
  if (pid <= 0) return;
  ::kill(-pid, SIGTERM);
  ::kill(-pid, SIGCONT);  // a frozen process acts on the SIGTERM only once it runs
  const auto deadline = Clock::now() + 2s;
  while (Clock::now() < deadline) {
    if (exited(pid)) {
      ::kill(-pid, SIGKILL);  // anything the process left behind in its group
      return;
    }
    std::this_thread::sleep_for(10ms);
  }
  ::kill(-pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
}

// One line from `fd`, waiting until `deadline`.
std::string readLine(int fd, Clock::time_point deadline) {
  std::string line;
  while (line.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) fail("timed out waiting for the bus address");
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    char buffer[512];
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail("dbus-daemon closed its output without an address");
    line.append(buffer, static_cast<std::size_t>(n));
  }
  return line.substr(0, line.find('\n'));
}

Connection connect(const std::string& address) {
  GError* error = nullptr;
  auto flags = static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                 G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
  GDBusConnection* connection = g_dbus_connection_new_for_address_sync(address.c_str(), flags, nullptr, nullptr, &error);
  if (connection == nullptr) {
    std::string message = error != nullptr ? error->message : "unknown error";
    if (error != nullptr) g_error_free(error);
    fail("cannot connect to " + address + ": " + message);
  }
  return Connection(connection);
}

Variant call(const std::string& address, const char* destination, const char* path, const char* interface,
             const char* method, GVariant* parameters, const char* replyType) {
  Connection connection = connect(address);
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(connection.get(), destination, path, interface, method, parameters,
                                                G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
                                                &error);
  if (reply == nullptr) {
    std::string message = error != nullptr ? error->message : "unknown error";
    if (error != nullptr) g_error_free(error);
    fail(std::string(method) + " failed: " + message);
  }
  return Variant(reply);
}

constexpr const char* kSecretsPath = "/org/freedesktop/secrets";
constexpr const char* kSecretServiceInterface = "org.freedesktop.Secret.Service";

}  // namespace

std::vector<std::string> SessionBus::missingPrograms(bool withKeyring) {
  std::vector<std::string> missing;
  if (!onPath("dbus-daemon")) missing.emplace_back("dbus-daemon");
  if (withKeyring && !onPath("gnome-keyring-daemon")) missing.emplace_back("gnome-keyring-daemon");
  return missing;
}

SessionBus::SessionBus(const std::filesystem::path& root, Options options) : root_(root / "session-bus") {
  makePrivateDirectory(root_);
  try {
    startBus(options);
    if (options.withKeyring) startKeyring(options);
  } catch (...) {
    terminate(keyringPid_);
    terminate(busPid_);
    throw;
  }
}

SessionBus::~SessionBus() {
  terminate(keyringPid_);
  terminate(busPid_);
}

void SessionBus::startBus(const Options& options) {
  const auto deadline = Clock::now() + options.startTimeout;
  const std::filesystem::path socket = options.socketPath.empty() ? root_ / "socket" : options.socketPath;
  const std::filesystem::path config = root_ / "session.conf";
  {
    std::ofstream out(config);
    out << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <type>session</type>\n"
           "  <listen>unix:path="
        << socket.string()
        << "</listen>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
           "    <allow eavesdrop=\"true\"/>\n"
           "    <allow own=\"*\"/>\n"
           "  </policy>\n"
           "</busconfig>\n";
    if (!out) fail("cannot write " + config.string());
  }
  Child bus = spawn({"dbus-daemon", "--config-file=" + config.string(), "--nofork", "--print-address=1"},
                    environmentWith({}), false, true, root_ / "dbus-daemon.log");
  busPid_ = bus.pid;
  try {
    address_ = readLine(bus.stdoutRead, deadline);
  } catch (const std::exception& e) {
    ::close(bus.stdoutRead);
    fail(std::string(e.what()) + "; log: " + readWholeFile(root_ / "dbus-daemon.log"));
  }
  ::close(bus.stdoutRead);
}

void SessionBus::startKeyring(const Options& options) {
  const auto deadline = Clock::now() + options.startTimeout;
  const std::filesystem::path home = root_ / "keyring-home";
  const std::filesystem::path runtime = root_ / "keyring-runtime";
  makePrivateDirectory(home);
  makePrivateDirectory(runtime);
  std::vector<std::string> environment = environmentWith({
      {"DBUS_SESSION_BUS_ADDRESS", address_},
      {"XDG_RUNTIME_DIR", runtime.string()},
      {"HOME", home.string()},
      {"XDG_DATA_HOME", (home / "data").string()},
      {"XDG_CONFIG_HOME", (home / "config").string()},
      {"XDG_CACHE_HOME", (home / "cache").string()},
      {"DISPLAY", std::nullopt},
      {"WAYLAND_DISPLAY", std::nullopt},
      {"GNOME_KEYRING_CONTROL", std::nullopt},
  });
  Child keyring = spawn({"gnome-keyring-daemon", "--unlock", "--components=secrets", "--foreground"}, environment,
                        true, false, root_ / "gnome-keyring.log");
  keyringPid_ = keyring.pid;
  const std::string& password = options.keyringPassword;
  ssize_t written = ::write(keyring.stdinWrite, password.data(), password.size());
  ::close(keyring.stdinWrite);
  if (written != static_cast<ssize_t>(password.size())) fail("cannot hand the password to gnome-keyring-daemon");
  waitForSecretService(deadline);
}

void SessionBus::waitForSecretService(Clock::time_point deadline) {
  while (true) {
    if (exited(keyringPid_)) {
      keyringPid_ = -1;
      fail("gnome-keyring-daemon exited; log: " + readWholeFile(root_ / "gnome-keyring.log"));
    }
    try {
      if (nameHasOwner(kSecretServiceName) && readAlias("default") != "/") return;
    } catch (const std::runtime_error&) {
      // Not ready yet: the service may own its name before it answers.
    }
    if (Clock::now() >= deadline) {
      fail("the Secret Service did not come up; log: " + readWholeFile(root_ / "gnome-keyring.log"));
    }
    std::this_thread::sleep_for(20ms);
  }
}

void SessionBus::stopKeyring() {
  terminate(keyringPid_);
  keyringPid_ = -1;
  const auto deadline = Clock::now() + 5s;
  while (nameHasOwner(kSecretServiceName)) {
    if (Clock::now() >= deadline) fail("the Secret Service name stayed owned after the keyring stopped");
    std::this_thread::sleep_for(10ms);
  }
}

void SessionBus::freezeKeyring(bool frozen) {
  if (keyringPid_ <= 0) fail("no keyring is running");
  if (::kill(-keyringPid_, frozen ? SIGSTOP : SIGCONT) != 0) fail("cannot signal gnome-keyring-daemon");
}

bool SessionBus::nameHasOwner(const std::string& name) const {
  Variant reply = call(address_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                       "NameHasOwner", g_variant_new("(s)", name.c_str()), "(b)");
  gboolean owned = FALSE;
  g_variant_get(reply.get(), "(b)", &owned);
  return owned != FALSE;
}

std::string SessionBus::readAlias(const std::string& alias) const {
  Variant reply = call(address_, kSecretServiceName, kSecretsPath, kSecretServiceInterface, "ReadAlias",
                       g_variant_new("(s)", alias.c_str()), "(o)");
  const gchar* path = nullptr;
  g_variant_get(reply.get(), "(&o)", &path);
  return path;
}

void SessionBus::lockCollection(const std::string& collectionPath) const {
  const gchar* paths[] = {collectionPath.c_str(), nullptr};
  Variant reply = call(address_, kSecretServiceName, kSecretsPath, kSecretServiceInterface, "Lock",
                       g_variant_new("(^ao)", paths), "(aoo)");
  const gchar* prompt = nullptr;
  GVariant* locked = nullptr;
  g_variant_get(reply.get(), "(@ao&o)", &locked, &prompt);
  const bool lockedAtOnce = g_variant_n_children(locked) == 1 && std::strcmp(prompt, "/") == 0;
  g_variant_unref(locked);
  if (!lockedAtOnce) fail("the Secret Service wants a prompt to lock " + collectionPath);
}

std::vector<std::string> SessionBus::searchItems(const std::map<std::string, std::string>& attributes) const {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a{ss}"));
  for (const auto& [name, value] : attributes) g_variant_builder_add(&builder, "{ss}", name.c_str(), value.c_str());
  Variant reply = call(address_, kSecretServiceName, kSecretsPath, kSecretServiceInterface, "SearchItems",
                       g_variant_new("(a{ss})", &builder), "(aoao)");
  gchar** unlocked = nullptr;
  gchar** locked = nullptr;
  g_variant_get(reply.get(), "(^ao^ao)", &unlocked, &locked);
  std::vector<std::string> paths;
  for (gchar** p = unlocked; p != nullptr && *p != nullptr; ++p) paths.emplace_back(*p);
  for (gchar** p = locked; p != nullptr && *p != nullptr; ++p) paths.emplace_back(*p);
  g_strfreev(unlocked);
  g_strfreev(locked);
  return paths;
}

}  // namespace tolvo::test
