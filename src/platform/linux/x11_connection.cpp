#include "platform/linux/x11_connection.h"

#include <algorithm>

namespace tolvo::x11 {

std::unique_ptr<Connection> Connection::open(const std::string& displayName) {
  int screenNumber = 0;
  xcb_connection_t* connection = xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber);
  if (connection == nullptr) return nullptr;
  if (xcb_connection_has_error(connection) != 0) {
    xcb_disconnect(connection);
    return nullptr;
  }
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int i = 0; i < screenNumber && it.rem > 0; ++i) xcb_screen_next(&it);
  if (it.rem == 0 || it.data == nullptr) {
    xcb_disconnect(connection);
    return nullptr;
  }
  return std::unique_ptr<Connection>(new Connection(connection, it.data));
}

Connection::Connection(xcb_connection_t* connection, const xcb_screen_t* screen)
    : connection_(connection), screen_(screen), root_(screen->root) {}

Connection::~Connection() { xcb_disconnect(connection_); }

xcb_atom_t Connection::atom(std::string_view name) {
  {
    std::lock_guard lock(atomsMutex_);
    auto found = std::find_if(atoms_.begin(), atoms_.end(), [&](const auto& entry) { return entry.first == name; });
    if (found != atoms_.end()) return found->second;
  }
  auto answer = reply(xcb_intern_atom_reply(
      connection_, xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(name.size()), name.data()), nullptr));
  if (!answer) return XCB_ATOM_NONE;
  std::lock_guard lock(atomsMutex_);
  atoms_.emplace_back(std::string(name), answer->atom);
  return answer->atom;
}

std::optional<Connection::Property> Connection::property(xcb_window_t window, xcb_atom_t name,
                                                         std::uint32_t maxBytes) {
  if (window == XCB_WINDOW_NONE || name == XCB_ATOM_NONE) return std::nullopt;
  // The length of a GetProperty request counts 32-bit units.
  auto answer = reply(xcb_get_property_reply(
      connection_, xcb_get_property(connection_, 0, window, name, XCB_GET_PROPERTY_TYPE_ANY, 0, (maxBytes + 3) / 4),
      nullptr));
  if (!answer || answer->type == XCB_ATOM_NONE) return std::nullopt;
  Property result;
  result.type = answer->type;
  result.format = answer->format;
  const auto* data = static_cast<const std::uint8_t*>(xcb_get_property_value(answer.get()));
  const int length = xcb_get_property_value_length(answer.get());
  if (length > 0) result.bytes.assign(data, data + std::min<std::uint32_t>(std::uint32_t(length), maxBytes));
  return result;
}

std::shared_ptr<Connection> LazyConnection::get() {
  std::lock_guard lock(mutex_);
  if (connection_ && !connection_->broken()) return connection_;
  connection_ = Connection::open(displayName_);
  return connection_;
}

}  // namespace tolvo::x11
