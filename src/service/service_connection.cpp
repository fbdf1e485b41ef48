#include "service/service_connection.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "core/bytes.h"
#include "core/diagnostic_log.h"
#include "core/service_protocol.h"
#include "service/rpc_dispatcher.h"

namespace tolvo {

namespace {

// How long a peer holding the large-request gate may leave its large answer untaken.
constexpr std::chrono::seconds kStalledAnswerLimit{10};

bool isBlank(std::string_view line) { return line.find_first_not_of(" \t\r") == std::string_view::npos; }

}  // namespace

ServiceConnection::ServiceConnection(FileDescriptor fd, std::unique_ptr<ConnectionHandler> handler,
                                     std::uint64_t serial, LargeRequestGate& gate)
    : serial_(serial),
      channel_(std::make_shared<ConnectionChannel>(std::move(fd))),
      handler_(std::move(handler)),
      framer_(ServiceProtocol::kMaxLineBytes),
      gate_(gate),
      queue_(std::make_unique<SerialQueue>("com.tolvodesk.service.connection." + std::to_string(serial))) {}

ServiceConnection::~ServiceConnection() {
  channel_->shutdown();
  queue_.reset();
  handler_.reset();
}

void ServiceConnection::start(std::function<void()> onFinished) {
  queue_->async([this, onFinished = std::move(onFinished)] {
    try {
      serve();
    } catch (...) {
      // Nothing may escape the queue's thread; the connection simply ends.
      channel_->shutdown();
    }
    gate_.release(serial_);
    onFinished();
  });
}

void ServiceConnection::shutdown() { channel_->shutdown(); }

void ServiceConnection::serve() {
  channel_->bindLoopThread();
  for (;;) {
    // Lines held back while the connection could take no more go first.
    if (framer_.hasPendingLines() && channel_->wantsInput()) consume(0);
    if ((inputDone_ || framer_.hasPendingLines()) && channel_->finished()) return;
    pollfd fds[2] = {{channel_->fd(), 0, 0}, {channel_->wakeFd(), POLLIN, 0}};
    if (!inputDone_ && !framer_.hasPendingLines() && mayRead()) fds[0].events |= POLLIN;
    if (channel_->wantsOutput()) fds[0].events |= POLLOUT;
    int timeoutMs = -1;
    if (!stalledAnswerWait(timeoutMs)) {
      DiagnosticLog::system("service connection: a peer that took no part of a large answer for " +
                            std::to_string(kStalledAnswerLimit.count()) + " s was dropped");
      channel_->shutdown();
      inputDone_ = true;
      continue;
    }
    if (::poll(fds, 2, timeoutMs) < 0) {
      if (errno == EINTR) continue;
      channel_->peerGone();
      inputDone_ = true;
      continue;
    }
    if ((fds[1].revents & POLLIN) != 0) channel_->drainWake();
    if ((fds[0].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) channel_->flush();
    if ((fds[0].revents & (POLLERR | POLLHUP)) != 0 && framer_.hasPendingLines()) {
      inputDone_ = true;  // the peer hung up: the lines it left can no longer be answered
      channel_->peerGone();
      continue;
    }
    if ((fds[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0 && !inputDone_ && !framer_.hasPendingLines()) {
      readAvailable();
    }
  }
}

bool ServiceConnection::stalledAnswerWait(int& timeoutMs) {
  const std::size_t queued = channel_->queuedOutput();
  if (!holdsGate_ || queued < LargeRequestGate::kSmallRequestBytes) {
    stalledSince_.reset();
    return true;
  }
  const auto now = std::chrono::steady_clock::now();
  if (!stalledSince_ || queued < stalledQueued_) stalledSince_ = now;  // the peer took some
  stalledQueued_ = queued;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*stalledSince_ + kStalledAnswerLimit - now);
  if (left.count() <= 0) return false;
  timeoutMs = static_cast<int>(left.count());
  return true;
}

bool ServiceConnection::mayRead() {
  if (!channel_->wantsInput()) return false;
  const bool largeLine = framer_.buffered() >= LargeRequestGate::kSmallRequestBytes;
  if (holdsGate_ && !largeLine) {
    // The large request is dispatched: nothing more is read until its answer is taken, then
    // the gate goes to whoever waits for it (this connection asks again like any other).
    if (channel_->queuedOutput() >= LargeRequestGate::kSmallRequestBytes) return false;
    gate_.release(serial_);
    holdsGate_ = false;
  }
  if (!largeLine || holdsGate_) return true;
  std::weak_ptr<ConnectionChannel> channel = channel_;
  holdsGate_ = gate_.tryAcquire(serial_, [channel] {
    if (auto alive = channel.lock()) alive->wake();
  });
  return holdsGate_;
}

void ServiceConnection::consume(std::size_t count) {
  // Each line is dispatched at once; after one that leaves the connection unable to take
  // more (too many answers pending or unread), the rest wait in the framer.
  const LineFramer::LineCallback onLine = [this](std::span<char> line) {
    dispatch(line);
    return channel_->wantsInput();
  };
  if (framer_.commit(count, onLine) == LineFramer::Status::lineTooLong) {
    inputDone_ = true;
    endOfInput_ = false;
    channel_->sendFinalLine(RpcDispatcher::lineTooLongAnswer());
    return;
  }
  if (endOfInput_ && !framer_.hasPendingLines()) {
    // A last line without '\n' still counts as a request.
    endOfInput_ = false;
    framer_.finish([this](std::span<char> line) {
      dispatch(line);
      return true;
    });
    channel_->endInput();
  }
}

void ServiceConnection::readAvailable() {
  for (;;) {
    auto region = framer_.prepare();
    ssize_t n = ::recv(channel_->fd(), region.data(), region.size(), MSG_DONTWAIT);
    if (n > 0) {
      consume(static_cast<std::size_t>(n));
      // Stop reading while lines wait, the peer leaves answers unread or a large line waits
      // for the gate; poll (or a wake-up) says when to go on.
      if (inputDone_ || framer_.hasPendingLines() || !mayRead()) return;
      // A short read emptied the socket: save the recv that would only say so.
      if (static_cast<std::size_t>(n) < region.size()) return;
      continue;
    }
    if (n == 0) {
      inputDone_ = true;
      endOfInput_ = true;
      consume(0);
      return;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    inputDone_ = true;  // ECONNRESET and friends: the peer is gone
    channel_->peerGone();
    return;
  }
}

void ServiceConnection::dispatch(std::span<char> line) {
  if (isBlank(std::string_view(line.data(), line.size()))) return;
  channel_->requestQueued();
  std::shared_ptr<ReplySink> sink = channel_;
  try {
    RpcDispatcher::dispatch(line, *handler_, sink);
  } catch (...) {
    // dispatch() answers every failure itself.
  }
}

}  // namespace tolvo
