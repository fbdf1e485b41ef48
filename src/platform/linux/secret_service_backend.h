#pragma once

#include <chrono>
#include <memory>
#include <string_view>

#include "platform/secret_backend.h"

namespace tolvo {

// Items in the freedesktop.org Secret Service (GNOME Keyring, KWallet, KeePassXC) on the
// session bus, through libsecret. Each item is stored in the default collection under the
// schema kSchemaName with the string attributes "service", "account" and "access-group";
// its value has the content type "application/octet-stream".
//
// Before any libsecret call every operation checks that a session bus is configured
// (DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus; never autolaunch), that it answers,
// and that the Secret Service name is owned or activatable there; otherwise the operation
// gives SecretStatus::kNotAvailable. The whole operation, including the bus check, runs
// under one deadline (Options::timeout); running out of time also gives kNotAvailable.
// The backend never shows a prompt: a collection or item that is locked, or a default
// collection that would first have to be created, gives kInteractionNotAllowed.
//
// Every operation opens its own connection to the service and closes it afterwards, so a
// Secret Service that starts, stops or restarts between calls is seen as it is now.
// Thread-safe; operations may run concurrently.
class SecretServiceBackend final : public SecretBackend {
 public:
  static constexpr std::string_view kSchemaName = "com.tolvodesk.vault.Item";
  static constexpr std::string_view kContentType = "application/octet-stream";

  struct Options {
    // Deadline of one whole operation: bus check, service start-up and the requests.
    std::chrono::milliseconds timeout{3000};
  };

  SecretServiceBackend();
  explicit SecretServiceBackend(Options options);
  ~SecretServiceBackend() override;

  [[nodiscard]] std::int32_t save(const SecretItemKey& key, ByteView data, SecretProtection protection) override;
  [[nodiscard]] SecretLoadResult load(const SecretItemKey& key) override;
  [[nodiscard]] std::int32_t remove(const SecretItemKey& key) override;

 private:
  Options options_;
};

}  // namespace tolvo
