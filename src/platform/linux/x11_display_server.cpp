#include <xcb/randr.h>
#include <xcb/xcb.h>

#include "platform/display_server.h"
#include "platform/linux/x11_connection.h"
#include "platform/linux/x11_frame_grabber.h"

namespace tolvo {
namespace {

// The monitors are RandR 1.5 monitors; a monitor's id is the atom of its name, which the
// server keeps for as long as it runs.
class X11DisplayServer final : public DisplayServer {
 public:
  explicit X11DisplayServer(std::string displayName) : connection_(std::move(displayName)) {}

  std::vector<Monitor> monitors() override {
    std::vector<Monitor> result;
    auto connection = connection_.get();
    if (!connection) return result;
    xcb_connection_t* c = connection->get();
    auto answer = x11::reply(xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, connection->root(), 1), nullptr));
    if (!answer) return result;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(answer.get()); it.rem > 0; xcb_randr_monitor_info_next(&it)) {
      const xcb_randr_monitor_info_t& info = *it.data;
      if (info.name == XCB_ATOM_NONE || info.width == 0 || info.height == 0) continue;
      Monitor monitor;
      monitor.id = info.name;
      monitor.name = atomName(*connection, info.name);
      monitor.bounds = DisplayRect{info.x, info.y, info.width, info.height};
      monitor.primary = info.primary != 0;
      result.push_back(std::move(monitor));
    }
    return result;
  }

  std::unique_ptr<FrameGrabber> openGrabber(std::uint32_t monitorID) override {
    for (const Monitor& monitor : monitors()) {
      if (monitor.id == monitorID) return x11::openFrameGrabber(connection_.displayName(), monitor);
    }
    return nullptr;
  }

  bool canCapture() override {
    auto connection = connection_.get();
    if (!connection) return false;
    xcb_connection_t* c = connection->get();
    // Reading one pixel of the root window is what capture needs of the server.
    auto image = x11::reply(xcb_get_image_reply(
        c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, connection->root(), 0, 0, 1, 1, ~0u), nullptr));
    return image != nullptr;
  }

 private:
  static std::string atomName(x11::Connection& connection, xcb_atom_t atom) {
    xcb_connection_t* c = connection.get();
    auto answer = x11::reply(xcb_get_atom_name_reply(c, xcb_get_atom_name(c, atom), nullptr));
    if (!answer) return {};
    return std::string(xcb_get_atom_name_name(answer.get()), std::size_t(xcb_get_atom_name_name_length(answer.get())));
  }

  x11::LazyConnection connection_;
};

}  // namespace

std::shared_ptr<DisplayServer> makeX11DisplayServer(std::string displayName) {
  return std::make_shared<X11DisplayServer>(std::move(displayName));
}

}  // namespace tolvo
