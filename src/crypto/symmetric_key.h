#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/bytes.h"

namespace tolvo {

// A 256-bit symmetric key. The bytes live inside the object (no heap copy) and are wiped
// when the object is destroyed or overwritten. Copies are independent and wipe themselves.
class SymmetricKey {
 public:
  static constexpr std::size_t kSize = 32;

  // Raises CipherError(invalidInput) unless `bytes` holds exactly 32 bytes.
  explicit SymmetricKey(ByteView bytes);
  SymmetricKey(const SymmetricKey& other) noexcept = default;
  SymmetricKey& operator=(const SymmetricKey& other) noexcept;
  ~SymmetricKey();

  // 32 bytes from the system's cryptographically secure random source.
  [[nodiscard]] static SymmetricKey random();

  // The raw key bytes; valid while this object lives.
  [[nodiscard]] ByteView toData() const noexcept { return bytes_; }

  // Constant-time comparison.
  bool operator==(const SymmetricKey& other) const noexcept;

 private:
  SymmetricKey() noexcept = default;
  std::array<std::uint8_t, kSize> bytes_{};
};

}  // namespace tolvo
