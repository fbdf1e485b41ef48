#include <xcb/xcb.h>

#include <cstring>

#include "platform/linux/desktop_entries.h"
#include "platform/linux/x11_connection.h"
#include "platform/window_context_source.h"

namespace tolvo {
namespace {

// Window properties are set by other clients: every one is read under a bound.
constexpr std::size_t kMaxTitleBytes = 4 * 1024;
constexpr std::size_t kMaxIdBytes = 255;
constexpr std::uint32_t kMaxClassBytes = 1024;
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

std::string latin1ToUtf8(const std::vector<std::uint8_t>& bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::uint8_t b : bytes) {
    if (b < 0x80) {
      out.push_back(char(b));
    } else {
      out.push_back(char(0xC0 | (b >> 6)));
      out.push_back(char(0x80 | (b & 0x3F)));
    }
  }
  return out;
}

// COMPOUND_TEXT (ISO 2022) as far as it maps without tables: ASCII and the Latin-1 right
// half, and UTF-8 segments (ESC % G ... ESC % @). A run of text in any other character set
// becomes one U+FFFD.
std::string compoundTextToUtf8(const std::vector<std::uint8_t>& bytes) {
  enum class Set { ascii, latin1, other };
  Set left = Set::ascii;
  Set right = Set::latin1;
  bool utf8 = false;
  bool replaced = false;
  std::string out;
  auto put = [&](Set set, std::uint8_t b) {
    if (set == Set::other) {
      if (!replaced) out.append(kReplacement);
      replaced = true;
      return;
    }
    replaced = false;
    if (set == Set::ascii) out.push_back(char(b & 0x7F));
    else out.append(latin1ToUtf8({std::uint8_t(b | 0x80)}));
  };
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::uint8_t b = bytes[i];
    if (b == 0x1B) {
      std::size_t final = i + 1;
      while (final < bytes.size() && bytes[final] >= 0x20 && bytes[final] <= 0x2F) ++final;
      if (final >= bytes.size()) break;
      const std::string intermediates(bytes.begin() + std::ptrdiff_t(i + 1), bytes.begin() + std::ptrdiff_t(final));
      const char designator = char(bytes[final]);
      if (intermediates == "%") {
        utf8 = designator == 'G';
      } else if (intermediates == "(") {
        left = designator == 'B' ? Set::ascii : Set::other;
      } else if (intermediates == "-") {
        right = designator == 'A' ? Set::latin1 : Set::other;
      } else if (!intermediates.empty() && (intermediates.back() == ')' || intermediates.back() == '-')) {
        right = Set::other;
      } else {
        left = Set::other;
      }
      i = final;
    } else if (utf8) {
      out.push_back(char(b));
    } else if (b == '\n' || b == '\t') {
      out.push_back(' ');
    } else if (b >= 0x20 && b < 0x80) {
      put(left, b);
    } else if (b >= 0xA0) {
      put(right, b);
    }
    // C0 and C1 controls (direction markers among them) carry no text.
  }
  return out;
}

std::string asText(const std::vector<std::uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

class X11WindowContextSource final : public WindowContextSource {
 public:
  explicit X11WindowContextSource(std::string displayName) : connection_(std::move(displayName)) {}

  std::optional<FrontmostWindow> frontmostWindow() override {
    auto connection = connection_.get();
    if (!connection) return std::nullopt;
    std::optional<FrontmostWindow> result = readFrontmost(*connection);
    discardEvents(*connection);
    return result;
  }

  std::optional<DisplayPoint> pointerLocation() override {
    auto connection = connection_.get();
    if (!connection) return std::nullopt;
    xcb_connection_t* c = connection->get();
    xcb_generic_error_t* error = nullptr;
    auto pointer = x11::reply(xcb_query_pointer_reply(c, xcb_query_pointer(c, connection->root()), &error));
    std::free(error);
    if (!pointer || pointer->same_screen == 0) return std::nullopt;
    return DisplayPoint{double(pointer->root_x), double(pointer->root_y)};
  }

  bool canReadWindowProperties() override {
    auto connection = connection_.get();
    if (!connection) return false;
    const xcb_atom_t active = connection->atom("_NET_ACTIVE_WINDOW");
    if (active == XCB_ATOM_NONE) return false;
    xcb_connection_t* c = connection->get();
    xcb_generic_error_t* error = nullptr;
    auto answer = x11::reply(xcb_get_property_reply(
        c, xcb_get_property(c, 0, connection->root(), active, XCB_GET_PROPERTY_TYPE_ANY, 0, 1), &error));
    std::free(error);
    return answer != nullptr;
  }

 private:
  // Nothing selects events on this connection, but the errors of requests whose replies are
  // read without an error pointer land in the event queue: drop them so it cannot grow.
  static void discardEvents(x11::Connection& connection) {
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection.get())) std::free(event);
  }

  std::optional<FrontmostWindow> readFrontmost(x11::Connection& connection) {
    xcb_connection_t* c = connection.get();
    const auto active = connection.property(connection.root(), connection.atom("_NET_ACTIVE_WINDOW"), 4);
    if (!active || active->type != XCB_ATOM_WINDOW || active->format != 32 || active->bytes.size() < 4) {
      return std::nullopt;
    }
    xcb_window_t window = XCB_WINDOW_NONE;
    std::memcpy(&window, active->bytes.data(), sizeof window);
    if (window == XCB_WINDOW_NONE) return std::nullopt;

    const auto geometryCookie = xcb_get_geometry(c, window);
    const auto originCookie = xcb_translate_coordinates(c, window, connection.root(), 0, 0);
    xcb_generic_error_t* error = nullptr;
    auto geometry = x11::reply(xcb_get_geometry_reply(c, geometryCookie, &error));
    std::free(error);
    error = nullptr;
    auto origin = x11::reply(xcb_translate_coordinates_reply(c, originCookie, &error));
    std::free(error);
    // A stale _NET_ACTIVE_WINDOW naming a window that is gone: nothing is in front.
    if (!geometry) return std::nullopt;

    FrontmostWindow result;
    result.size = DisplayPoint{double(geometry->width), double(geometry->height)};
    if (origin) result.position = DisplayPoint{double(origin->dst_x), double(origin->dst_y)};
    result.title = title(connection, window);

    std::string instance;
    std::string wmClass;
    if (auto value = connection.property(window, XCB_ATOM_WM_CLASS, kMaxClassBytes);
        value && value->type == XCB_ATOM_STRING && value->format == 8) {
      // "instance\0class\0", Latin-1.
      const std::string text = latin1ToUtf8(value->bytes);
      const std::size_t split = std::min(text.find('\0'), text.size());
      instance = desktop::toValidUtf8(text.substr(0, split), kMaxIdBytes);
      if (split < text.size()) wmClass = desktop::toValidUtf8(text.substr(split + 1), kMaxIdBytes);
    }
    const std::string declared = applicationId(connection, window);
    if (!declared.empty()) {
      result.bundleId = declared;
    } else if (!wmClass.empty()) {
      result.bundleId = wmClass;
    }
    result.appName = entries_.applicationName(declared, wmClass, instance);
    if (!result.appName && !wmClass.empty()) result.appName = wmClass;
    return result;
  }

  // The id the window declares for its application (GTK, KDE), or empty.
  static std::string applicationId(x11::Connection& connection, xcb_window_t window) {
    const xcb_atom_t utf8 = connection.atom("UTF8_STRING");
    for (const char* name : {"_GTK_APPLICATION_ID", "_KDE_NET_WM_DESKTOP_FILE"}) {
      auto value = connection.property(window, connection.atom(name), kMaxIdBytes + 1);
      if (!value || value->format != 8 || (value->type != utf8 && value->type != XCB_ATOM_STRING)) continue;
      std::string id = desktop::toValidUtf8(asText(value->bytes), kMaxIdBytes);
      if (!id.empty()) return id;
    }
    return {};
  }

  // _NET_WM_NAME (UTF-8), else WM_NAME (Latin-1, UTF-8 or COMPOUND_TEXT); nullopt when the
  // window has neither.
  static std::optional<std::string> title(x11::Connection& connection, xcb_window_t window) {
    const xcb_atom_t utf8 = connection.atom("UTF8_STRING");
    // A few bytes over the bound, so that a character cut by the read is never mistaken
    // for the last one kept.
    constexpr std::uint32_t kReadBytes = kMaxTitleBytes + 4;
    if (auto value = connection.property(window, connection.atom("_NET_WM_NAME"), kReadBytes);
        value && value->type == utf8 && value->format == 8) {
      return desktop::toValidUtf8(asText(value->bytes), kMaxTitleBytes);
    }
    auto value = connection.property(window, XCB_ATOM_WM_NAME, kReadBytes);
    if (!value || value->format != 8) return std::nullopt;
    if (value->type == XCB_ATOM_STRING) return desktop::toValidUtf8(latin1ToUtf8(value->bytes), kMaxTitleBytes);
    if (value->type == utf8) return desktop::toValidUtf8(asText(value->bytes), kMaxTitleBytes);
    if (value->type == connection.atom("COMPOUND_TEXT")) {
      return desktop::toValidUtf8(compoundTextToUtf8(value->bytes), kMaxTitleBytes);
    }
    return std::nullopt;
  }

  x11::LazyConnection connection_;
  desktop::DesktopEntryIndex entries_;
};

}  // namespace

std::shared_ptr<WindowContextSource> makeX11WindowContextSource(std::string displayName) {
  return std::make_shared<X11WindowContextSource>(std::move(displayName));
}

}  // namespace tolvo
