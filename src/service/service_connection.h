#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <chrono>
#include <memory>
#include <optional>
#include <span>

#include "core/handle.h"
#include "core/serial_queue.h"
#include "service/connection_channel.h"
#include "service/connection_handler.h"
#include "service/large_request_gate.h"
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
  // `fd` is a connected non-blocking socket. `gate` (which must outlive the connection)
  // decides when the connection may hold a large request.
  ServiceConnection(FileDescriptor fd, std::unique_ptr<ConnectionHandler> handler, std::uint64_t serial,
                    LargeRequestGate& gate);
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
  // The poll timeout while this connection holds the gate and its peer leaves a large answer
  // untaken (-1 otherwise); false once that has lasted kStalledAnswerLimit: the peer is
  // dropped, so that other connections' large requests do not wait on it for ever.
  [[nodiscard]] bool stalledAnswerWait(int& timeoutMs);
  // Whether the loop may read more request bytes now: the channel wants input and, when the
  // partial line is large, this connection holds the gate. Takes and gives up the gate.
  [[nodiscard]] bool mayRead();
  void readAvailable();
  // Accounts `count` bytes read into the framer and dispatches the complete lines the
  // connection can take now; at end of input, once every line is out, the remainder too.
  void consume(std::size_t count);
  void dispatch(std::span<char> line);

  std::uint64_t serial_;
  std::shared_ptr<ConnectionChannel> channel_;
  std::unique_ptr<ConnectionHandler> handler_;
  LineFramer framer_;
  LargeRequestGate& gate_;
  bool holdsGate_ = false;
  // Since when this connection holds the gate with a large answer that its peer does not take
  // (reset whenever the peer takes some of it), and how much was queued then.
  std::optional<std::chrono::steady_clock::time_point> stalledSince_;
  std::size_t stalledQueued_ = 0;
  bool inputDone_ = false;   // nothing more is read from the socket
  bool endOfInput_ = false;  // the peer's end of input, not yet passed on (lines still wait)
  std::unique_ptr<SerialQueue> queue_;  // last member: built last, joined first
};

}  // namespace tolvo
