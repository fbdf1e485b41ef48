#include "service/service_connection.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>

#include "core/bytes.h"
#include "core/service_protocol.h"
#include "service/rpc_dispatcher.h"

namespace tolvo {

namespace {

bool isBlank(const std::string& line) { return line.find_first_not_of(" \t\r") == std::string::npos; }

}  // namespace

ServiceConnection::ServiceConnection(FileDescriptor fd, std::unique_ptr<ConnectionHandler> handler,
                                     std::uint64_t serial)
    : serial_(serial),
      channel_(std::make_shared<ConnectionChannel>(std::move(fd))),
      handler_(std::move(handler)),
      framer_(ServiceProtocol::kMaxLineBytes),
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
    onFinished();
  });
}

void ServiceConnection::shutdown() { channel_->shutdown(); }

void ServiceConnection::serve() {
  channel_->bindLoopThread();
  for (;;) {
    if (inputDone_ && channel_->finished()) return;
    pollfd fds[2] = {{channel_->fd(), 0, 0}, {channel_->wakeFd(), POLLIN, 0}};
    if (!inputDone_ && channel_->wantsInput()) fds[0].events |= POLLIN;
    if (channel_->wantsOutput()) fds[0].events |= POLLOUT;
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      channel_->peerGone();
      inputDone_ = true;
      continue;
    }
    if ((fds[1].revents & POLLIN) != 0) channel_->drainWake();
    if ((fds[0].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) channel_->flush();
    if ((fds[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0 && !inputDone_) readAvailable();
  }
}

void ServiceConnection::readAvailable() {
  const LineFramer::LineCallback onLine = [this](std::string&& line) { dispatch(std::move(line)); };
  for (;;) {
    auto region = framer_.prepare();
    ssize_t n = ::recv(channel_->fd(), region.data(), region.size(), MSG_DONTWAIT);
    if (n > 0) {
      if (framer_.commit(static_cast<std::size_t>(n), onLine) == LineFramer::Status::lineTooLong) {
        inputDone_ = true;
        channel_->sendFinalLine(RpcDispatcher::lineTooLongAnswer());
        return;
      }
      // Stop reading while the peer leaves answers unread; poll says when to go on.
      if (!channel_->wantsInput()) return;
      // A short read emptied the socket: save the recv that would only say so.
      if (static_cast<std::size_t>(n) < region.size()) return;
      continue;
    }
    if (n == 0) {
      // End of input. A last line without '\n' still counts as a request.
      inputDone_ = true;
      if (auto rest = framer_.finish()) dispatch(std::move(*rest));
      channel_->endInput();
      return;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    inputDone_ = true;  // ECONNRESET and friends: the peer is gone
    channel_->peerGone();
    return;
  }
}

void ServiceConnection::dispatch(std::string&& line) {
  if (isBlank(line)) {
    secureWipe(line.data(), line.size());
    return;
  }
  channel_->requestQueued();
  std::shared_ptr<ReplySink> sink = channel_;
  try {
    RpcDispatcher::dispatch(line, *handler_, sink);
  } catch (...) {
    // dispatch() answers every failure itself.
  }
  secureWipe(line.data(), line.size());
}

}  // namespace tolvo
