#include "support/session_bus.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <signal.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>

#include "core/handle.h"
#include "support/child_process.h"
#include "support/sandbox.h"

namespace tolvo::test {
namespace {

namespace stdfs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using Variant = std::unique_ptr<GVariant, decltype(&g_variant_unref)>;

constexpr const char* kSecretService = "org.freedesktop.secrets";
constexpr std::string_view kKeyringPassword = "tolvo-test-keyring";

// Raises std::runtime_error with `what` and the message of `error` (which it frees).
[[noreturn]] void fail(const std::string& what, GError* error = nullptr) {
  const std::string message = error != nullptr ? std::string(": ") + error->message : "";
  g_clear_error(&error);
  throw std::runtime_error("SessionBus: " + what + message);
}

// Polls `ready` (which raises while the daemon does not answer yet) until it holds; raises with
// the daemon's log when `pid` exits first or after twenty seconds.
void waitUntil(pid_t& pid, const stdfs::path& log, const std::function<bool()>& ready) {
  for (const auto deadline = Clock::now() + 20s;; std::this_thread::sleep_for(20ms)) {
    if (childExited(pid)) pid = -1;
    try {
      if (pid > 0 && ready()) return;
    } catch (const std::runtime_error&) {
    }
    if (pid <= 0 || Clock::now() >= deadline) {
      fail(log.stem().string() + (pid <= 0 ? " exited" : " did not come up") + "; log: " + readText(log));
    }
  }
}

// One method call on a fresh connection to the bus at `address`.
Variant call(const std::string& address, const char* destination, const char* path, const char* interface,
             const char* method, GVariant* parameters, const char* replyType) {
  const Variant arguments(g_variant_ref_sink(parameters), &g_variant_unref);
  GError* error = nullptr;
  GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  if (connection == nullptr) fail("cannot connect to " + address, error);
  GVariant* reply = g_dbus_connection_call_sync(connection, destination, path, interface, method, arguments.get(),
                                                G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
                                                &error);
  g_object_unref(connection);
  if (reply == nullptr) fail(std::string(method) + " failed", error);
  return Variant(reply, &g_variant_unref);
}

Variant callSecretService(const std::string& address, const char* method, GVariant* parameters, const char* type) {
  return call(address, kSecretService, "/org/freedesktop/secrets", "org.freedesktop.Secret.Service", method,
              parameters, type);
}

// Asked over sd-bus, which starts no threads of its own (GDBus does), so that the suites run
// under ThreadSanitizer see only the threads they make.
bool nameHasOwner(const std::string& address, const char* name) {
  sd_bus* raw = nullptr;
  if (sd_bus_new(&raw) < 0) fail("cannot make a bus connection");
  const Handle<sd_bus, sd_bus_flush_close_unref> bus(raw);
  int owned = 0;
  sd_bus_message* reply = nullptr;
  if (sd_bus_set_address(raw, address.c_str()) < 0 || sd_bus_set_bus_client(raw, 1) < 0 || sd_bus_start(raw) < 0 ||
      sd_bus_call_method(raw, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
                         nullptr, &reply, "s", name) < 0) {
    fail("cannot ask " + address + " for " + name);
  }
  const int read = sd_bus_message_read(reply, "b", &owned);
  sd_bus_message_unref(reply);
  return read > 0 && owned != 0;
}

std::string defaultCollection(const std::string& address) {
  const Variant reply = callSecretService(address, "ReadAlias", g_variant_new("(s)", "default"), "(o)");
  const gchar* path = nullptr;
  g_variant_get(reply.get(), "(&o)", &path);
  return path;
}

bool onPath(const char* program) {
  gchar* found = g_find_program_in_path(program);
  g_free(found);
  return found != nullptr;
}

}  // namespace

bool SessionBus::available(bool withKeyring) {
  return onPath("dbus-daemon") && (!withKeyring || onPath("gnome-keyring-daemon"));
}

SessionBus::SessionBus(const stdfs::path& root, Options options) : root_(root / "session-bus") {
  const stdfs::path socket = options.socketPath.empty() ? root_ / "socket" : options.socketPath;
  gchar* escaped = g_dbus_address_escape_value(socket.c_str());
  address_ = std::string("unix:path=") + escaped;
  g_free(escaped);
  writeText(root_ / "session.conf", "<busconfig><type>session</type><listen>" + address_ +
                                        "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow "
                                        "send_destination=\"*\"/><allow receive_sender=\"*\"/><allow own=\"*\"/>"
                                        "</policy></busconfig>\n");
  try {
    const std::string config = "--config-file=" + (root_ / "session.conf").string();
    busPid_ = spawnChild({"dbus-daemon", "--nofork", config}, {{}, root_ / "dbus-daemon.log"});
    waitUntil(busPid_, root_ / "dbus-daemon.log", [&] { return nameHasOwner(address_, "org.freedesktop.DBus"); });
    if (!options.withKeyring) return;

    // The keyring gets its own home and runtime folder, and no display to prompt on.
    stdfs::create_directories(root_ / "keyring-home");
    stdfs::create_directories(root_ / "keyring-runtime");
    stdfs::permissions(root_ / "keyring-runtime", stdfs::perms::owner_all);
    int password[2];
    if (::pipe2(password, O_CLOEXEC) != 0) fail("cannot make a pipe for gnome-keyring-daemon");
    const ChildOptions keyring{{"DBUS_SESSION_BUS_ADDRESS=" + address_, "XDG_RUNTIME_DIR=" + (root_ / "keyring-runtime").string(),
                                "HOME=" + (root_ / "keyring-home").string(), "XDG_DATA_HOME", "XDG_CONFIG_HOME",
                                "XDG_CACHE_HOME", "DISPLAY", "WAYLAND_DISPLAY", "GNOME_KEYRING_CONTROL"},
                               root_ / "gnome-keyring.log", -1, password[0]};
    keyringPid_ = spawnChild({"gnome-keyring-daemon", "--unlock", "--components=secrets", "--foreground"}, keyring);
    ::close(password[0]);
    const bool handedOver = ::write(password[1], kKeyringPassword.data(), kKeyringPassword.size()) ==
                            static_cast<ssize_t>(kKeyringPassword.size());
    ::close(password[1]);
    if (!handedOver) fail("cannot hand the password to gnome-keyring-daemon");
    waitUntil(keyringPid_, root_ / "gnome-keyring.log", [&] { return defaultCollection(address_) != "/"; });
  } catch (...) {
    terminateChild(keyringPid_);
    terminateChild(busPid_);
    throw;
  }
}

SessionBus::~SessionBus() {
  terminateChild(keyringPid_);
  terminateChild(busPid_);
}

void SessionBus::stopKeyring() {
  terminateChild(keyringPid_);
  keyringPid_ = -1;
  const auto deadline = Clock::now() + 5s;
  while (nameHasOwner(address_, kSecretService)) {
    if (Clock::now() >= deadline) fail("the Secret Service name stayed owned after the keyring stopped");
    std::this_thread::sleep_for(10ms);
  }
}

void SessionBus::freezeKeyring(bool frozen) {
  if (keyringPid_ <= 0 || ::kill(-keyringPid_, frozen ? SIGSTOP : SIGCONT) != 0) fail("cannot signal the keyring");
}

void SessionBus::lockDefaultCollection() const {
  const std::string collection = defaultCollection(address_);
  const gchar* paths[] = {collection.c_str(), nullptr};
  const Variant reply = callSecretService(address_, "Lock", g_variant_new("(^ao)", paths), "(aoo)");
  const gchar* prompt = nullptr;
  g_variant_get_child(reply.get(), 1, "&o", &prompt);
  if (std::strcmp(prompt, "/") != 0) fail("the Secret Service wants a prompt to lock " + collection);
}

std::vector<std::string> SessionBus::searchItems(const std::map<std::string, std::string>& attributes) const {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a{ss}"));
  for (const auto& [name, value] : attributes) g_variant_builder_add(&builder, "{ss}", name.c_str(), value.c_str());
  const Variant reply =
      callSecretService(address_, "SearchItems", g_variant_new("(a{ss})", &builder), "(aoao)");
  std::vector<std::string> paths;
  for (std::size_t list = 0; list < 2; ++list) {  // the unlocked items, then the locked ones
    gchar** found = nullptr;
    g_variant_get_child(reply.get(), list, "^ao", &found);
    for (gchar** p = found; *p != nullptr; ++p) paths.emplace_back(*p);
    g_strfreev(found);
  }
  return paths;
}

}  // namespace tolvo::test
