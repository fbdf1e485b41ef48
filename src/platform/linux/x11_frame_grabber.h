#pragma once

// Shared by the X11 implementations in this folder (not an interface of the platform layer).

#include <memory>
#include <string>

#include "platform/display_server.h"

namespace tolvo::x11 {

// A grabber of `monitor` over a new connection to `displayName`; nullptr when the server
// cannot be reached or lacks what grabbing needs.
[[nodiscard]] std::unique_ptr<FrameGrabber> openFrameGrabber(const std::string& displayName, const Monitor& monitor);

}  // namespace tolvo::x11
