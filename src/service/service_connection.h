#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "core/handle.h"
#include "core/serial_queue.h"
#include "service/connection_channel.h"
#include "service/connection_handler.h"
#include "service/line_framer.h"

namespace tolvo {

// One accepted connection: its socket channel, its handler and its own serial queue.
//
// The queue runs the connection's serving loop: it waits (poll, no CPU while idle) for
// request bytes, frames them into lines and dispatches each line, in arrival order, right
// there on the queue, so every handler call of the connection runs on that queue one after
// another and a request is handled with no thread hop between the socket and the handler.
// While a handler runs, the connection reads nothing more (the kernel's socket buffer holds
// the peer back); answers from other threads are written by those threads, or queued and
// written by the loop when the peer is ready.
//
// Destruction joins the queue (the loop must have ended: see shutdown()), then destroys the
// handler; it must not run on the connection's own queue.
class ServiceConnection {
 public:
  // `fd` is a connected non-blocking socket.
  ServiceConnection(FileDescriptor fd, std::unique_ptr<ConnectionHandler> handler, std::uint64_t serial);
  ServiceConnection(const ServiceConnection&) = delete;
  ServiceConnection& operator=(const ServiceConnection&) = delete;
  ~ServiceConnection();

  [[nodiscard]] std::uint64_t serial() const noexcept { return serial_; }

  // Starts the serving loop; `onFinished` runs on the connection's queue once it has ended
  // (the peer left, or shutdown()), as the queue's last act.
  void start(std::function<void()> onFinished);

  // Any thread: ends the connection; the loop finishes the handler call in progress, if
  // any, and returns.
  void shutdown();

 private:
  void serve();
  void readAvailable();
  void dispatch(std::string&& line);

  std::uint64_t serial_;
  std::shared_ptr<ConnectionChannel> channel_;
  std::unique_ptr<ConnectionHandler> handler_;
  LineFramer framer_;
  bool inputDone_ = false;
  std::unique_ptr<SerialQueue> queue_;  // last member: built last, joined first
};

}  // namespace tolvo
