#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tolvo {

// An owned byte string. Secrets use SecureBytes instead.
using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// Overwrites the memory with zeros in a way the compiler may not elide.
void secureWipe(void* data, std::size_t size) noexcept;

inline Bytes toBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }
inline std::string toString(ByteView bytes) { return std::string(bytes.begin(), bytes.end()); }
inline ByteView asBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Lower-case hexadecimal, two digits per byte, no separator.
std::string toHex(ByteView bytes);

// Wipes a string that holds key material (say a key as hex text) when it goes out of scope.
class WipeOnExit {
 public:
  explicit WipeOnExit(std::string& text) noexcept : text_(text) {}
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;
  ~WipeOnExit() { secureWipe(text_.data(), text_.size()); }

 private:
  std::string& text_;
};

// A byte buffer that wipes its contents when destroyed or reassigned.
// Holds passwords, master keys, challenges and other key material in transit.
class SecureBytes {
 public:
  SecureBytes() = default;
  explicit SecureBytes(Bytes bytes) noexcept : bytes_(std::move(bytes)) {}
  explicit SecureBytes(std::string_view text) : bytes_(text.begin(), text.end()) {}
  SecureBytes(const SecureBytes&) = default;
  SecureBytes& operator=(const SecureBytes& other) {
    if (this != &other) { clear(); bytes_ = other.bytes_; }
    return *this;
  }
  SecureBytes(SecureBytes&& other) noexcept : bytes_(std::move(other.bytes_)) { other.bytes_.clear(); }
  SecureBytes& operator=(SecureBytes&& other) noexcept {
    if (this != &other) { clear(); bytes_ = std::move(other.bytes_); other.bytes_.clear(); }
    return *this;
  }
  ~SecureBytes() { clear(); }

  void clear() noexcept {
    secureWipe(bytes_.data(), bytes_.size());
    bytes_.clear();
  }
  [[nodiscard]] const Bytes& bytes() const noexcept { return bytes_; }
  [[nodiscard]] Bytes& mutableBytes() noexcept { return bytes_; }
  [[nodiscard]] ByteView view() const noexcept { return bytes_; }
  [[nodiscard]] std::size_t size() const noexcept { return bytes_.size(); }
  [[nodiscard]] bool empty() const noexcept { return bytes_.empty(); }
  [[nodiscard]] const std::uint8_t* data() const noexcept { return bytes_.data(); }

 private:
  Bytes bytes_;
};

}  // namespace tolvo
