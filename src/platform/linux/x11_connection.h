#pragma once

// Shared by the X11 implementations in this folder (not an interface of the platform layer).

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvo::x11 {

// A reply of xcb, freed with free().
template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

template <typename T>
[[nodiscard]] Reply<T> reply(T* raw) noexcept {
  return Reply<T>(raw, &std::free);
}

// One xcb connection with its first screen. Not copyable; xcb serialises requests itself, so
// one connection may be used from several threads.
class Connection {
 public:
  // Connects to `displayName` (empty: $DISPLAY); nullptr when the server cannot be reached.
  [[nodiscard]] static std::unique_ptr<Connection> open(const std::string& displayName);

  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection();

  [[nodiscard]] xcb_connection_t* get() const noexcept { return connection_; }
  [[nodiscard]] xcb_window_t root() const noexcept { return root_; }
  [[nodiscard]] const xcb_screen_t& screen() const noexcept { return *screen_; }

  // True once the connection has broken (the server went away or a protocol error).
  [[nodiscard]] bool broken() const noexcept { return xcb_connection_has_error(connection_) != 0; }

  // The atom named `name`; XCB_ATOM_NONE when it cannot be interned.
  [[nodiscard]] xcb_atom_t atom(std::string_view name);

  // The value of `property` on `window` as raw bytes (up to `maxBytes`), with its type and
  // format; nullopt when the window or the property does not exist or the request fails.
  struct Property {
    xcb_atom_t type = XCB_ATOM_NONE;
    std::uint8_t format = 0;
    std::vector<std::uint8_t> bytes;
  };
  [[nodiscard]] std::optional<Property> property(xcb_window_t window, xcb_atom_t property,
                                                 std::uint32_t maxBytes = 64 * 1024);

 private:
  Connection(xcb_connection_t* connection, const xcb_screen_t* screen);

  xcb_connection_t* connection_;
  const xcb_screen_t* screen_;
  xcb_window_t root_;
  std::mutex atomsMutex_;
  std::vector<std::pair<std::string, xcb_atom_t>> atoms_;
};

// A connection made on first use and made again when it has broken: the shared state of
// a long-lived X11 component. with() runs `fn` with a live connection, or answers nullopt
// when the server cannot be reached.
class LazyConnection {
 public:
  explicit LazyConnection(std::string displayName) : displayName_(std::move(displayName)) {}

  // A live connection (opened or reopened as needed); nullptr when the server is unreachable.
  // The returned connection stays valid while the caller holds it.
  [[nodiscard]] std::shared_ptr<Connection> get();

  [[nodiscard]] const std::string& displayName() const noexcept { return displayName_; }

 private:
  std::string displayName_;
  std::mutex mutex_;
  std::shared_ptr<Connection> connection_;
};

}  // namespace tolvo::x11
