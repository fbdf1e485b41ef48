#include "platform/linux/x11_frame_grabber.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>

#include "core/handle.h"
#include "platform/linux/x11_connection.h"

namespace tolvo::x11 {
namespace {

using Clock = std::chrono::steady_clock;

// How often the monitor is looked up again although no RandR notification announced a change
// (a notification the server does not send for every kind of monitor change).
constexpr auto kMonitorRecheckInterval = std::chrono::seconds(2);

constexpr std::uint32_t kBytesPerPixel = 4;

[[nodiscard]] bool intersects(const xcb_rectangle_t& area, const DisplayRect& rect) noexcept {
  const std::int64_t left = std::max<std::int64_t>(area.x, rect.x);
  const std::int64_t top = std::max<std::int64_t>(area.y, rect.y);
  const std::int64_t right = std::min<std::int64_t>(std::int64_t{area.x} + area.width, std::int64_t{rect.x} + rect.width);
  const std::int64_t bottom =
      std::min<std::int64_t>(std::int64_t{area.y} + area.height, std::int64_t{rect.y} + rect.height);
  return left < right && top < bottom;
}

// True when the server hands out images of the root window as 32-bit little-endian pixels
// with 8-bit blue, green and red channels in the low three bytes (Xorg's and Xvfb's depth 24
// and depth 32 visuals), the layout grab() turns into BGRA in place.
[[nodiscard]] bool hasBgrxImages(xcb_connection_t* c, const xcb_screen_t& screen) {
  const xcb_setup_t* setup = xcb_get_setup(c);
  if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) return false;
  bool format = false;
  for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it)) {
    if (it.data->depth == screen.root_depth) format = it.data->bits_per_pixel == 32 && it.data->scanline_pad == 32;
  }
  if (!format) return false;
  for (auto depth = xcb_screen_allowed_depths_iterator(&screen); depth.rem > 0; xcb_depth_next(&depth)) {
    if (depth.data->depth != screen.root_depth) continue;
    for (auto visual = xcb_depth_visuals_iterator(depth.data); visual.rem > 0; xcb_visualtype_next(&visual)) {
      if (visual.data->visual_id != screen.root_visual) continue;
      return visual.data->red_mask == 0xff0000u && visual.data->green_mask == 0xff00u &&
             visual.data->blue_mask == 0xffu;
    }
  }
  return false;
}

// Sets the fourth byte of each BGRX pixel, which the server leaves undefined, to 255.
void makeOpaque(std::uint8_t* pixels, std::size_t count) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    for (std::size_t i = 0; i < count; ++i) {
      std::uint32_t value;
      std::memcpy(&value, pixels + i * kBytesPerPixel, sizeof value);
      value |= 0xff000000u;
      std::memcpy(pixels + i * kBytesPerPixel, &value, sizeof value);
    }
  } else {
    for (std::size_t i = 0; i < count; ++i) pixels[i * kBytesPerPixel + 3] = 0xff;
  }
}

// Blends the cursor image (premultiplied ARGB, one 32-bit value per pixel) over the opaque
// BGRA image of `rect`, clipped to it.
void compositeCursor(const xcb_xfixes_get_cursor_image_reply_t& cursor, std::uint8_t* pixels, std::uint32_t stride,
                     const DisplayRect& rect) {
  const int length = xcb_xfixes_get_cursor_image_cursor_image_length(&cursor);
  if (length < 0 || std::size_t(length) < std::size_t{cursor.width} * cursor.height) return;
  const std::uint32_t* argb = xcb_xfixes_get_cursor_image_cursor_image(&cursor);
  const std::int64_t originX = std::int64_t{cursor.x} - cursor.xhot - rect.x;
  const std::int64_t originY = std::int64_t{cursor.y} - cursor.yhot - rect.y;
  const std::int64_t firstX = std::max<std::int64_t>(0, -originX);
  const std::int64_t endX = std::min<std::int64_t>(cursor.width, std::int64_t{rect.width} - originX);
  const std::int64_t firstY = std::max<std::int64_t>(0, -originY);
  const std::int64_t endY = std::min<std::int64_t>(cursor.height, std::int64_t{rect.height} - originY);
  for (std::int64_t cy = firstY; cy < endY; ++cy) {
    std::uint8_t* row = pixels + std::size_t(originY + cy) * stride;
    for (std::int64_t cx = firstX; cx < endX; ++cx) {
      const std::uint32_t source = argb[std::size_t(cy) * cursor.width + std::size_t(cx)];
      const std::uint32_t alpha = source >> 24;
      if (alpha == 0) continue;
      std::uint8_t* target = row + std::size_t(originX + cx) * kBytesPerPixel;
      const std::uint32_t keep = 255 - alpha;
      for (int channel = 0; channel < 3; ++channel) {  // blue, green, red
        const std::uint32_t value = ((source >> (8 * channel)) & 0xffu) + (target[channel] * keep + 127) / 255;
        target[channel] = std::uint8_t(std::min<std::uint32_t>(value, 255));
      }
    }
  }
}

// A System V shared memory segment that both we and the server have attached. It is marked
// for removal as soon as the server has attached it, so the system frees it once both
// detach, even when this process dies without cleaning up.
class SharedSegment {
 public:
  // A segment of `size` bytes attached on `c`; nullptr when the server has no MIT-SHM or
  // cannot attach it (a display on another machine, a server without access to our segments).
  [[nodiscard]] static std::unique_ptr<SharedSegment> attach(xcb_connection_t* c, std::size_t size) {
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(c, &xcb_shm_id);
    if (extension == nullptr || extension->present == 0) return nullptr;
    if (!reply(xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr))) return nullptr;

    const int id = ::shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (id < 0) return nullptr;
    void* address = ::shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(std::intptr_t{-1})) {
      ::shmctl(id, IPC_RMID, nullptr);
      return nullptr;
    }
    auto segment = std::unique_ptr<SharedSegment>(new SharedSegment(c, static_cast<std::uint8_t*>(address)));
    const xcb_shm_seg_t seg = xcb_generate_id(c);
    bool attached = false;
    if (seg != std::numeric_limits<std::uint32_t>::max()) {
      auto error = reply(xcb_request_check(c, xcb_shm_attach_checked(c, seg, std::uint32_t(id), 0)));
      attached = !error && xcb_connection_has_error(c) == 0;
    }
    // Removed whether or not the server took it: attached segments live on until detached.
    const bool removed = ::shmctl(id, IPC_RMID, nullptr) == 0;
    if (attached) segment->seg_ = seg;
    if (!attached || !removed) return nullptr;
    return segment;
  }

  SharedSegment(const SharedSegment&) = delete;
  SharedSegment& operator=(const SharedSegment&) = delete;
  ~SharedSegment() {
    if (seg_ != 0) {
      xcb_shm_detach(connection_, seg_);
      // A round trip: once it returns the server has detached, and the system has freed the
      // segment by the time ours is detached below.
      auto sync = reply(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    }
    ::shmdt(data_);
  }

  [[nodiscard]] xcb_shm_seg_t id() const noexcept { return seg_; }
  [[nodiscard]] std::uint8_t* data() const noexcept { return data_; }

 private:
  SharedSegment(xcb_connection_t* c, std::uint8_t* data) : connection_(c), data_(data) {}

  xcb_connection_t* connection_;
  std::uint8_t* data_;
  xcb_shm_seg_t seg_ = 0;
};

class X11FrameGrabber final : public FrameGrabber {
 public:
  static std::unique_ptr<FrameGrabber> open(const std::string& displayName, const Monitor& monitor) {
    const DisplayRect& rect = monitor.bounds;
    if (rect.width == 0 || rect.height == 0 || rect.width > 0x7fff || rect.height > 0x7fff) return nullptr;
    auto connection = Connection::open(displayName);
    if (!connection) return nullptr;
    xcb_connection_t* c = connection->get();
    const xcb_screen_t& screen = connection->screen();
    if (!hasBgrxImages(c, screen)) return nullptr;
    // The rectangle must lie on the root window, or the server refuses every image of it.
    if (rect.x < 0 || rect.y < 0 || std::int64_t{rect.x} + rect.width > screen.width_in_pixels ||
        std::int64_t{rect.y} + rect.height > screen.height_in_pixels) {
      return nullptr;
    }
    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) return nullptr;

    std::unique_ptr<X11FrameGrabber> grabber(new X11FrameGrabber(std::move(connection), monitor, wake));
    if (!grabber->setUp()) return nullptr;
    return grabber;
  }

  X11FrameGrabber(const X11FrameGrabber&) = delete;
  X11FrameGrabber& operator=(const X11FrameGrabber&) = delete;

  ~X11FrameGrabber() override {
    xcb_connection_t* c = connection_->get();
    if (damage_ != 0) xcb_damage_destroy(c, damage_);
    shm_.reset();
    xcb_flush(c);
  }

  DisplayRect bounds() const override { return monitor_.bounds; }

  Wait waitForChange(Clock::time_point deadline) override {
    xcb_connection_t* c = connection_->get();
    bool interrupted = false;
    for (;;) {
      readEvents();
      if (!lost_ && connection_->broken()) lost_ = true;
      const auto now = Clock::now();
      if (!lost_ && (monitorsChanged_ || now >= nextMonitorCheck_)) {
        monitorsChanged_ = false;
        nextMonitorCheck_ = now + kMonitorRecheckInterval;
        if (!monitorStillThere()) lost_ = true;
      }
      if (lost_) return Wait::lost;
      if (!grabbed_ || damaged_ || damage_ == 0) return Wait::changed;
      if (interrupted || now >= deadline) return Wait::timedOut;

      if (xcb_flush(c) <= 0) {
        lost_ = true;
        return Wait::lost;
      }
      const auto until = std::min(deadline, nextMonitorCheck_);
      const auto waitMs = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
      pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
      const int ready = ::poll(fds, 2, int(std::clamp<long long>(waitMs, 0, 60'000)));
      if (ready < 0 && errno != EINTR) {
        lost_ = true;
        return Wait::lost;
      }
      if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
        std::uint64_t count = 0;
        if (::read(wake_.get(), &count, sizeof count) < 0 && errno != EAGAIN) {
          lost_ = true;
          return Wait::lost;
        }
        interrupted = true;
      }
    }
  }

  std::optional<GrabbedImage> grab() override {
    xcb_connection_t* c = connection_->get();
    if (lost_ || connection_->broken()) {
      lost_ = true;
      return std::nullopt;
    }
    const DisplayRect& rect = monitor_.bounds;
    const std::size_t pixelCount = std::size_t{rect.width} * rect.height;
    const std::size_t byteCount = pixelCount * kBytesPerPixel;

    // Damage from here on belongs to the next picture; the events already queued mark it as
    // changed too, which at worst grabs one picture more.
    damaged_ = false;
    if (damage_ != 0) xcb_damage_subtract(c, damage_, XCB_NONE, XCB_NONE);
    // Both requests go out before either reply is awaited: one round trip.
    std::optional<xcb_xfixes_get_cursor_image_cookie_t> cursorCookie;
    if (hasCursor_) cursorCookie = xcb_xfixes_get_cursor_image(c);
    // The monitor is looked up with every picture as well: the server does not announce
    // every monitor change, and a picture of a monitor that is gone must not be delivered.
    const auto monitorsCookie = xcb_randr_get_monitors(c, connection_->root(), 1);

    std::uint8_t* pixels = nullptr;
    const auto x = std::int16_t(rect.x);
    const auto y = std::int16_t(rect.y);
    const auto width = std::uint16_t(rect.width);
    const auto height = std::uint16_t(rect.height);
    if (shm_) {
      auto answer = reply(xcb_shm_get_image_reply(
          c, xcb_shm_get_image(c, connection_->root(), x, y, width, height, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, shm_->id(), 0),
          nullptr));
      if (answer && answer->size >= byteCount) pixels = shm_->data();
    } else {
      plainImage_ = reply(xcb_get_image_reply(
          c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, connection_->root(), x, y, width, height, ~0u), nullptr));
      if (plainImage_ && xcb_get_image_data_length(plainImage_.get()) >= 0 &&
          std::size_t(xcb_get_image_data_length(plainImage_.get())) >= byteCount) {
        pixels = xcb_get_image_data(plainImage_.get());
      }
    }
    Reply<xcb_xfixes_get_cursor_image_reply_t> cursor = reply<xcb_xfixes_get_cursor_image_reply_t>(nullptr);
    if (cursorCookie) cursor = reply(xcb_xfixes_get_cursor_image_reply(c, *cursorCookie, nullptr));
    auto monitors = reply(xcb_randr_get_monitors_reply(c, monitorsCookie, nullptr));
    if (!monitors || !contains(*monitors)) pixels = nullptr;
    if (pixels == nullptr) {
      // The server refused the rectangle (the screen shrank under it) or the connection broke.
      lost_ = true;
      return std::nullopt;
    }
    const std::uint32_t stride = rect.width * kBytesPerPixel;
    makeOpaque(pixels, pixelCount);
    if (cursor) compositeCursor(*cursor, pixels, stride, rect);
    grabbed_ = true;
    return GrabbedImage{rect.width, rect.height, stride, pixels};
  }

  void interrupt() noexcept override {
    const std::uint64_t one = 1;
    // A full counter already wakes the waiter; nothing else can fail here.
    [[maybe_unused]] const ssize_t written = ::write(wake_.get(), &one, sizeof one);
  }

 private:
  X11FrameGrabber(std::unique_ptr<Connection> connection, Monitor monitor, int wake)
      : connection_(std::move(connection)), monitor_(std::move(monitor)), wake_(wake) {}

  // Attaches the shared memory, asks for damage and monitor notifications and checks that the
  // cursor can be read. Only a broken connection or a missing RandR fails it: without MIT-SHM
  // images come in the replies, without XFixes the cursor is left out, and without DAMAGE
  // every wait counts as a change.
  bool setUp() {
    xcb_connection_t* c = connection_->get();
    const xcb_window_t root = connection_->root();
    shm_ = SharedSegment::attach(c, std::size_t{monitor_.bounds.width} * monitor_.bounds.height * kBytesPerPixel);

    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(c, &xcb_randr_id);
    if (randr == nullptr || randr->present == 0) return false;
    if (!reply(xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr))) return false;
    randrEvent_ = randr->first_event;
    const std::uint16_t changes = XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                  XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE | XCB_RANDR_NOTIFY_MASK_RESOURCE_CHANGE;
    if (reply(xcb_request_check(c, xcb_randr_select_input_checked(c, root, changes)))) return false;

    const xcb_query_extension_reply_t* xfixes = xcb_get_extension_data(c, &xcb_xfixes_id);
    const bool hasXFixes = xfixes != nullptr && xfixes->present != 0 &&
                           reply(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 5, 0), nullptr));
    hasCursor_ = hasXFixes;

    const xcb_query_extension_reply_t* damage = xcb_get_extension_data(c, &xcb_damage_id);
    if (hasXFixes && damage != nullptr && damage->present != 0 &&
        reply(xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr))) {
      const xcb_damage_damage_t id = xcb_generate_id(c);
      // Raw rectangles: every drawing operation reports its own rectangle, so damage outside
      // the monitor never hides damage inside it.
      if (id != std::numeric_limits<std::uint32_t>::max() &&
          !reply(xcb_request_check(
              c, xcb_damage_create_checked(c, id, root, XCB_DAMAGE_REPORT_LEVEL_RAW_RECTANGLES)))) {
        damage_ = id;
        damageEvent_ = damage->first_event;
      }
    }
    nextMonitorCheck_ = Clock::now() + kMonitorRecheckInterval;
    return !connection_->broken();
  }

  // Handles every event that has arrived, without blocking.
  void readEvents() {
    xcb_connection_t* c = connection_->get();
    while (auto event = reply(xcb_poll_for_event(c))) {
      const std::uint8_t type = event->response_type & 0x7f;
      if (type == 0) continue;  // the error of a request nobody waits for: nothing to do
      if (damage_ != 0 && type == std::uint8_t(damageEvent_ + XCB_DAMAGE_NOTIFY)) {
        const auto* notify = reinterpret_cast<const xcb_damage_notify_event_t*>(event.get());
        if (intersects(notify->area, monitor_.bounds)) damaged_ = true;
      } else if (type == std::uint8_t(randrEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY) ||
                 type == std::uint8_t(randrEvent_ + XCB_RANDR_NOTIFY)) {
        monitorsChanged_ = true;
      }
    }
  }

  // True while an active monitor with our monitor's id and bounds exists.
  bool monitorStillThere() {
    xcb_connection_t* c = connection_->get();
    auto answer = reply(xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, connection_->root(), 1), nullptr));
    return answer && contains(*answer);
  }

  // True when `monitors` lists our monitor with its bounds.
  bool contains(const xcb_randr_get_monitors_reply_t& monitors) const {
    for (auto it = xcb_randr_get_monitors_monitors_iterator(&monitors); it.rem > 0; xcb_randr_monitor_info_next(&it)) {
      const xcb_randr_monitor_info_t& info = *it.data;
      if (info.name == monitor_.id) {
        return DisplayRect{info.x, info.y, info.width, info.height} == monitor_.bounds;
      }
    }
    return false;
  }

  std::unique_ptr<Connection> connection_;  // destroyed last: the members below use it
  Monitor monitor_;
  FileDescriptor wake_;  // an eventfd: interrupt() makes it readable
  std::unique_ptr<SharedSegment> shm_;  // null: images come in the GetImage replies
  Reply<xcb_get_image_reply_t> plainImage_ = reply<xcb_get_image_reply_t>(nullptr);
  bool hasCursor_ = false;
  xcb_damage_damage_t damage_ = 0;  // 0: no DAMAGE extension
  std::uint8_t damageEvent_ = 0;
  std::uint8_t randrEvent_ = 0;
  bool grabbed_ = false;
  bool damaged_ = false;
  bool lost_ = false;
  bool monitorsChanged_ = false;
  Clock::time_point nextMonitorCheck_;
};

}  // namespace

std::unique_ptr<FrameGrabber> openFrameGrabber(const std::string& displayName, const Monitor& monitor) {
  return X11FrameGrabber::open(displayName, monitor);
}

}  // namespace tolvo::x11
