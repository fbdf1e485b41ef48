#include "platform/linux/secret_service_backend.h"

#include <gio/gio.h>
#include <libsecret/secret.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "core/handle.h"

namespace tolvo {
namespace {

namespace S = SecretStatus;

constexpr const char* kDefaultBusName = "org.freedesktop.secrets";
constexpr const char* kAttributeService = "service";
constexpr const char* kAttributeAccount = "account";
constexpr const char* kAttributeAccessGroup = "access-group";

void freeItemList(GList* items) { g_list_free_full(items, g_object_unref); }

template <typename T>
using Object = Handle<T, g_object_unref>;
using ErrorHandle = Handle<GError, g_error_free>;
using VariantHandle = Handle<GVariant, g_variant_unref>;
using HashTableHandle = Handle<GHashTable, g_hash_table_unref>;
using ValueHandle = Handle<SecretValue, secret_value_unref>;
using ItemList = Handle<GList, freeItemList>;

// ---------------------------------------------------------------------------------------
// A SecretService that never shows a prompt. Whenever the service answers a request with a
// prompt (unlocking a collection or item, creating the default collection), the request
// fails with kNoPromptError, which the status mapping turns into kInteractionNotAllowed.

GQuark noPromptDomain() { return g_quark_from_static_string("tolvo-secret-service-no-prompt"); }
constexpr gint kNoPromptError = 1;
constexpr const char* kNoPromptMessage = "the Secret Service asked for a prompt, which this process never shows";
char promptTag;  // source tag of the refused asynchronous prompts

GVariant* refusePromptSync(SecretService*, SecretPrompt*, GCancellable*, const GVariantType*, GError** error) {
  g_set_error_literal(error, noPromptDomain(), kNoPromptError, kNoPromptMessage);
  return nullptr;
}

void refusePromptAsync(SecretService* self, SecretPrompt*, const GVariantType*, GCancellable*,
                       GAsyncReadyCallback callback, gpointer userData) {
  g_task_report_new_error(self, callback, userData, &promptTag, noPromptDomain(), kNoPromptError, "%s",
                          kNoPromptMessage);
}

GVariant* refusePromptFinish(SecretService*, GAsyncResult* result, GError** error) {
  return static_cast<GVariant*>(g_task_propagate_pointer(reinterpret_cast<GTask*>(result), error));
}

void noPromptClassInit(gpointer klass, gpointer) {
  auto* serviceClass = static_cast<SecretServiceClass*>(klass);
  serviceClass->prompt_sync = refusePromptSync;
  serviceClass->prompt_async = refusePromptAsync;
  serviceClass->prompt_finish = refusePromptFinish;
}

GType noPromptServiceType() {
  static const GType type = g_type_register_static_simple(
      secret_service_get_type(), "TolvoNoPromptSecretService", sizeof(SecretServiceClass), noPromptClassInit,
      sizeof(SecretService), nullptr, static_cast<GTypeFlags>(0));
  return type;
}

const SecretSchema& schema() {
  static const SecretSchema value = [] {
    SecretSchema s{};
    s.name = SecretServiceBackend::kSchemaName.data();  // a literal, so NUL-terminated
    s.flags = SECRET_SCHEMA_NONE;
    s.attributes[0] = {kAttributeService, SECRET_SCHEMA_ATTRIBUTE_STRING};
    s.attributes[1] = {kAttributeAccount, SECRET_SCHEMA_ATTRIBUTE_STRING};
    s.attributes[2] = {kAttributeAccessGroup, SECRET_SCHEMA_ATTRIBUTE_STRING};
    return s;
  }();
  return value;
}

// ---------------------------------------------------------------------------------------
// Status mapping: one place that turns a GLib, D-Bus or libsecret error into a status.

bool isOneOf(gint code, std::initializer_list<gint> codes) {
  for (gint c : codes) {
    if (c == code) return true;
  }
  return false;
}

std::int32_t statusOf(const GError* error) {
  if (error == nullptr) return S::kInternalComponent;
  const gint code = error->code;
  if (error->domain == noPromptDomain()) return S::kInteractionNotAllowed;
  if (error->domain == SECRET_ERROR) {
    switch (code) {
      case SECRET_ERROR_IS_LOCKED: return S::kInteractionNotAllowed;
      case SECRET_ERROR_NO_SUCH_OBJECT: return S::kItemNotFound;
      case SECRET_ERROR_ALREADY_EXISTS: return S::kDuplicateItem;
      case SECRET_ERROR_PROTOCOL:
      case SECRET_ERROR_INVALID_FILE_FORMAT: return S::kDecode;
      default: return S::kInternalComponent;
    }
  }
  if (error->domain == G_IO_ERROR) {
    // CANCELLED: the operation's deadline ran out.
    if (isOneOf(code, {G_IO_ERROR_CANCELLED, G_IO_ERROR_TIMED_OUT, G_IO_ERROR_CLOSED, G_IO_ERROR_NOT_FOUND,
                       G_IO_ERROR_CONNECTION_REFUSED, G_IO_ERROR_BROKEN_PIPE, G_IO_ERROR_CONNECTION_CLOSED,
                       G_IO_ERROR_HOST_UNREACHABLE, G_IO_ERROR_NETWORK_UNREACHABLE, G_IO_ERROR_NOT_CONNECTED})) {
      return S::kNotAvailable;
    }
    if (code == G_IO_ERROR_PERMISSION_DENIED) return S::kAuthFailed;
    if (code == G_IO_ERROR_INVALID_ARGUMENT) return S::kParam;
    if (code == G_IO_ERROR_INVALID_DATA) return S::kDecode;
    return S::kInternalComponent;
  }
  if (error->domain == G_DBUS_ERROR) {
    if (isOneOf(code, {G_DBUS_ERROR_SERVICE_UNKNOWN, G_DBUS_ERROR_NAME_HAS_NO_OWNER, G_DBUS_ERROR_NO_REPLY,
                       G_DBUS_ERROR_TIMEOUT, G_DBUS_ERROR_TIMED_OUT, G_DBUS_ERROR_DISCONNECTED,
                       G_DBUS_ERROR_NO_SERVER, G_DBUS_ERROR_NO_NETWORK, G_DBUS_ERROR_FILE_NOT_FOUND,
                       G_DBUS_ERROR_LIMITS_EXCEEDED, G_DBUS_ERROR_UNKNOWN_METHOD, G_DBUS_ERROR_UNKNOWN_OBJECT,
                       G_DBUS_ERROR_UNKNOWN_INTERFACE, G_DBUS_ERROR_UNKNOWN_PROPERTY, G_DBUS_ERROR_NOT_SUPPORTED,
                       G_DBUS_ERROR_SPAWN_EXEC_FAILED, G_DBUS_ERROR_SPAWN_FORK_FAILED,
                       G_DBUS_ERROR_SPAWN_CHILD_EXITED, G_DBUS_ERROR_SPAWN_CHILD_SIGNALED,
                       G_DBUS_ERROR_SPAWN_FAILED, G_DBUS_ERROR_SPAWN_SETUP_FAILED,
                       G_DBUS_ERROR_SPAWN_SERVICE_INVALID, G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND})) {
      return S::kNotAvailable;
    }
    if (isOneOf(code, {G_DBUS_ERROR_INVALID_ARGS, G_DBUS_ERROR_INVALID_SIGNATURE})) return S::kParam;
    if (isOneOf(code, {G_DBUS_ERROR_ACCESS_DENIED, G_DBUS_ERROR_AUTH_FAILED})) return S::kAuthFailed;
    if (code == G_DBUS_ERROR_NO_MEMORY) return S::kAllocate;
    return S::kInternalComponent;
  }
  return S::kInternalComponent;
}

// ---------------------------------------------------------------------------------------
// The session bus, checked without starting anything.

// True when the session bus address GLib is going to use is configured and connecting to it
// cannot autolaunch a bus: DBUS_SESSION_BUS_ADDRESS when set (every entry of the address
// list a supported, non-autolaunch transport), else a socket "bus" owned by this user in
// GLib's user runtime directory ($XDG_RUNTIME_DIR; the place GLib looks next, after which it
// would autolaunch).
bool sessionBusConfigured() {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
    if (*address == '\0' || !g_dbus_is_supported_address(address, nullptr)) return false;
    std::string_view rest(address);
    while (!rest.empty()) {
      std::size_t end = rest.find(';');
      std::string_view entry = rest.substr(0, end);
      if (entry.starts_with("autolaunch:")) return false;
      rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    }
    return true;
  }
  // GLib's own idea of the runtime directory (read once per process), not the environment.
  const char* runtime = g_get_user_runtime_dir();
  if (runtime == nullptr || *runtime == '\0') return false;
  std::string socketPath = std::string(runtime) + "/bus";
  struct stat st {};
  return ::stat(socketPath.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_uid == ::getuid();
}

std::string serviceBusName() {
  // libsecret reads the same variable, so the check below and the requests meet the same name.
  const char* name = std::getenv("SECRET_SERVICE_BUS_NAME");
  return (name != nullptr && *name != '\0') ? name : kDefaultBusName;
}

VariantHandle callBusDaemon(GDBusConnection* bus, const char* method, GVariant* parameters, const char* replyType,
                            int timeoutMs, GCancellable* cancellable) {
  return VariantHandle(g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                   "org.freedesktop.DBus", method, parameters,
                                                   G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NONE, timeoutMs,
                                                   cancellable, nullptr));
}

// True when `name` has an owner on the bus or the bus can start one.
bool nameOwnedOrActivatable(GDBusConnection* bus, const std::string& name, int timeoutMs, GCancellable* cancellable) {
  VariantHandle owned = callBusDaemon(bus, "NameHasOwner", g_variant_new("(s)", name.c_str()), "(b)", timeoutMs,
                                      cancellable);
  if (!owned) return false;
  gboolean hasOwner = FALSE;
  g_variant_get(owned.get(), "(b)", &hasOwner);
  if (hasOwner) return true;

  VariantHandle activatable = callBusDaemon(bus, "ListActivatableNames", nullptr, "(as)", timeoutMs, cancellable);
  if (!activatable) return false;
  VariantHandle names(g_variant_get_child_value(activatable.get(), 0));
  gsize count = 0;
  const gchar** list = g_variant_get_strv(names.get(), &count);
  bool found = false;
  for (gsize i = 0; i < count && !found; ++i) found = name == list[i];
  g_free(static_cast<gpointer>(list));
  return found;
}

// ---------------------------------------------------------------------------------------

// Cancels `cancellable` when `timeout` passes before the object is destroyed.
class CancelAfter {
 public:
  CancelAfter(GCancellable* cancellable, std::chrono::milliseconds timeout)
      : cancellable_(cancellable), thread_([this, timeout] { watch(timeout); }) {}
  CancelAfter(const CancelAfter&) = delete;
  CancelAfter& operator=(const CancelAfter&) = delete;
  ~CancelAfter() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

 private:
  void watch(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!wake_.wait_for(lock, timeout, [this] { return done_; })) g_cancellable_cancel(cancellable_);
  }

  GCancellable* cancellable_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  std::thread thread_;  // declared last: it starts once the members above exist
};

// The attribute table of one item; owns the strings the table points at.
class ItemAttributes {
 public:
  // False when a part is not valid UTF-8 without NUL bytes (the Secret Service carries
  // attributes as D-Bus strings).
  [[nodiscard]] bool assign(const SecretItemKey& key) {
    for (std::string_view part : {key.service, key.account, key.accessGroup}) {
      if (!g_utf8_validate(part.data(), static_cast<gssize>(part.size()), nullptr)) return false;
    }
    service_ = key.service;
    account_ = key.account;
    accessGroup_ = key.accessGroup;
    table_.reset(g_hash_table_new(g_str_hash, g_str_equal));
    g_hash_table_insert(table_.get(), const_cast<char*>(kAttributeService), service_.data());
    g_hash_table_insert(table_.get(), const_cast<char*>(kAttributeAccount), account_.data());
    g_hash_table_insert(table_.get(), const_cast<char*>(kAttributeAccessGroup), accessGroup_.data());
    return true;
  }
  [[nodiscard]] GHashTable* table() const noexcept { return table_.get(); }
  [[nodiscard]] std::string label() const { return "TolvoDesk " + service_ + " " + account_; }

 private:
  std::string service_;
  std::string account_;
  std::string accessGroup_;
  HashTableHandle table_;
};

// Runs `body(service, cancellable)` against a freshly opened, prompt-refusing SecretService,
// all under one deadline. Any failure before `body` runs gives its status in the result.
template <typename Body>
SecretLoadResult withService(std::chrono::milliseconds timeout, Body&& body) {
  if (!sessionBusConfigured()) return {S::kNotAvailable, {}};
  const int timeoutMs = static_cast<int>(timeout.count());
  Object<GCancellable> cancellable(g_cancellable_new());
  std::optional<CancelAfter> deadline;
  try {
    deadline.emplace(cancellable.get(), timeout);
  } catch (const std::system_error&) {
    return {S::kInternalComponent, {}};  // no thread for the deadline
  }

  GError* raw = nullptr;
  Object<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, cancellable.get(), &raw));
  ErrorHandle busError(raw);
  if (!bus) return {S::kNotAvailable, {}};
  // A message-bus connection ends the process when the bus goes away unless told otherwise;
  // libsecret shares this connection while we hold it.
  g_dbus_connection_set_exit_on_close(bus.get(), FALSE);

  const std::string busName = serviceBusName();
  if (!nameOwnedOrActivatable(bus.get(), busName, timeoutMs, cancellable.get())) return {S::kNotAvailable, {}};

  raw = nullptr;
  Object<SecretService> service(secret_service_open_sync(noPromptServiceType(), busName.c_str(),
                                                         SECRET_SERVICE_OPEN_SESSION, cancellable.get(), &raw));
  ErrorHandle openError(raw);
  if (!service) return {statusOf(openError.get()), {}};
  g_dbus_proxy_set_default_timeout(reinterpret_cast<GDBusProxy*>(service.get()), timeoutMs);
  return body(service.get(), cancellable.get());
}

}  // namespace

SecretServiceBackend::SecretServiceBackend() : SecretServiceBackend(Options{}) {}
SecretServiceBackend::SecretServiceBackend(Options options) : options_(options) {}
SecretServiceBackend::~SecretServiceBackend() = default;

std::int32_t SecretServiceBackend::save(const SecretItemKey& key, ByteView data, SecretProtection /*protection*/) {
  // The Secret Service has no protection classes: both kinds are stored alike in the
  // default collection, which must be unlocked.
  ItemAttributes attributes;
  if (!attributes.assign(key)) return S::kParam;
  return withService(options_.timeout, [&](SecretService* service, GCancellable* cancellable) -> SecretLoadResult {
    const char* bytes = data.empty() ? "" : reinterpret_cast<const char*>(data.data());
    ValueHandle value(secret_value_new(bytes, static_cast<gssize>(data.size()), kContentType.data()));
    const std::string label = attributes.label();
    GError* raw = nullptr;
    gboolean stored = secret_service_store_sync(service, &schema(), attributes.table(), nullptr, label.c_str(),
                                                value.get(), cancellable, &raw);
    ErrorHandle error(raw);
    return {stored ? S::kSuccess : statusOf(error.get()), {}};
  }).status;
}

SecretLoadResult SecretServiceBackend::load(const SecretItemKey& key) {
  ItemAttributes attributes;
  if (!attributes.assign(key)) return {S::kParam, {}};
  return withService(options_.timeout, [&](SecretService* service, GCancellable* cancellable) -> SecretLoadResult {
    GError* raw = nullptr;
    ValueHandle value(secret_service_lookup_sync(service, &schema(), attributes.table(), cancellable, &raw));
    ErrorHandle error(raw);
    if (error) return {statusOf(error.get()), {}};
    if (!value) return {S::kItemNotFound, {}};
    gsize length = 0;
    const gchar* bytes = secret_value_get(value.get(), &length);
    SecretLoadResult result{S::kSuccess, {}};
    if (length > 0) {
      const auto* first = reinterpret_cast<const std::uint8_t*>(bytes);
      result.data.assign(first, first + length);
    }
    return result;
  });
}

std::int32_t SecretServiceBackend::remove(const SecretItemKey& key) {
  ItemAttributes attributes;
  if (!attributes.assign(key)) return S::kParam;
  return withService(options_.timeout, [&](SecretService* service, GCancellable* cancellable) -> SecretLoadResult {
    GError* raw = nullptr;
    // Locked items match too: deleting them would need an unlock, so they are reported
    // rather than silently left behind.
    ItemList items(secret_service_search_sync(service, &schema(), attributes.table(), SECRET_SEARCH_ALL,
                                               cancellable, &raw));
    ErrorHandle searchError(raw);
    if (searchError) return {statusOf(searchError.get()), {}};
    if (!items) return {S::kItemNotFound, {}};
    for (GList* node = items.get(); node != nullptr; node = node->next) {
      if (secret_item_get_locked(static_cast<SecretItem*>(node->data))) return {S::kInteractionNotAllowed, {}};
    }
    for (GList* node = items.get(); node != nullptr; node = node->next) {
      raw = nullptr;
      gboolean deleted = secret_item_delete_sync(static_cast<SecretItem*>(node->data), cancellable, &raw);
      ErrorHandle deleteError(raw);
      if (!deleted) return {statusOf(deleteError.get()), {}};
    }
    return {S::kSuccess, {}};
  }).status;
}

}  // namespace tolvo
