#pragma once

#include <cstdint>
#include <string_view>

#include "core/bytes.h"

namespace tolvo {

// Result codes of a secret backend: signed 32-bit values in the keychain convention, 0 for
// success. docs/keychain.md lists which platform condition gives which code.
namespace SecretStatus {
inline constexpr std::int32_t kSuccess = 0;
inline constexpr std::int32_t kItemNotFound = -25300;            // no item with that address
inline constexpr std::int32_t kParam = -50;                      // the backend refuses the request's form
inline constexpr std::int32_t kMissingEntitlement = -34018;      // this process may not use the backend
inline constexpr std::int32_t kNotAvailable = -25291;            // the backend is not there (no Secret Service)
inline constexpr std::int32_t kInteractionNotAllowed = -25308;   // locked; unlocking would need the user
inline constexpr std::int32_t kAuthFailed = -25293;              // the backend denied access
inline constexpr std::int32_t kDuplicateItem = -25299;           // the item already exists
inline constexpr std::int32_t kDecode = -26275;                  // the backend's answer could not be understood
inline constexpr std::int32_t kInternalComponent = -2070;        // any other backend failure
inline constexpr std::int32_t kAllocate = -108;                  // out of memory
inline constexpr std::int32_t kIO = -36;                         // an input/output error of the store
inline constexpr std::int32_t kWritePermission = -61;            // the store may not be read or written
inline constexpr std::int32_t kDiskFull = -34;                   // no space left for the store
}  // namespace SecretStatus

// The address of one item. The views must stay valid for the duration of the call only.
struct SecretItemKey {
  std::string_view service;
  std::string_view account;
  std::string_view accessGroup;
};

// How strictly a saved item is tied to the unlocked state of the store. A backend without
// such classes treats both alike.
enum class SecretProtection {
  whenUnlocked,      // readable only while the store is unlocked
  afterFirstUnlock,  // readable once the store was unlocked after start-up
};

struct SecretLoadResult {
  std::int32_t status = SecretStatus::kItemNotFound;
  Bytes data;  // the item's bytes iff status is kSuccess
};

// One place that keeps small secrets, addressed by (service, account, access group).
// Every operation reports its outcome as a status and never throws for a failure of the
// store itself (std::bad_alloc may still escape). Implementations are safe to call from any
// thread at any time, also concurrently; they hold no lock across calls and keep no item
// state between calls. The caller owns the backend; a backend owns nothing of the caller.
class SecretBackend {
 public:
  SecretBackend() = default;
  SecretBackend(const SecretBackend&) = delete;
  SecretBackend& operator=(const SecretBackend&) = delete;
  virtual ~SecretBackend() = default;

  // Stores `data` as the item, replacing an existing item with the same address.
  [[nodiscard]] virtual std::int32_t save(const SecretItemKey& key, ByteView data, SecretProtection protection) = 0;

  // The item's bytes (kSuccess), kItemNotFound when there is no such item, or a failure.
  [[nodiscard]] virtual SecretLoadResult load(const SecretItemKey& key) = 0;

  // Removes the item: kSuccess when one was removed, kItemNotFound when there was none.
  [[nodiscard]] virtual std::int32_t remove(const SecretItemKey& key) = 0;
};

}  // namespace tolvo
