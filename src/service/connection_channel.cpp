#include "service/connection_channel.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "core/bytes.h"
#include "core/error.h"

namespace tolvo {

namespace {
constexpr std::size_t kCompactAbove = 1024 * 1024;
}

ConnectionChannel::ConnectionChannel(FileDescriptor fd) : fd_(std::move(fd)) {
  wakeFd_.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!wakeFd_) throw SystemError::fromErrno(errno, "eventfd");
}

ConnectionChannel::~ConnectionChannel() { secureWipe(out_.data(), out_.size()); }

void ConnectionChannel::bindLoopThread() {
  std::lock_guard lock(mutex_);
  loopThread_ = std::this_thread::get_id();
}

void ConnectionChannel::sendReply(std::string line) {
  std::lock_guard lock(mutex_);
  if (outstanding_ > 0) --outstanding_;
  if (shut_ || finalLineQueued_) {
    secureWipe(line.data(), line.size());
  } else {
    appendLocked(line);
  }
  // An answer from another thread may be what the loop waits for (room to write, or the
  // last answer after end of input).
  if (std::this_thread::get_id() != loopThread_) wake();
}

void ConnectionChannel::sendFinalLine(std::string line) {
  std::lock_guard lock(mutex_);
  if (shut_ || finalLineQueued_) {
    secureWipe(line.data(), line.size());
    return;
  }
  finalLineQueued_ = true;
  appendLocked(line);
  if (std::this_thread::get_id() != loopThread_) wake();
}

void ConnectionChannel::shutdown() {
  std::lock_guard lock(mutex_);
  shutdownLocked();
  wake();
}

void ConnectionChannel::drainWake() {
  std::uint64_t value = 0;
  (void)!::read(wakeFd_.get(), &value, sizeof value);
}

void ConnectionChannel::requestQueued() {
  std::lock_guard lock(mutex_);
  ++outstanding_;
}

void ConnectionChannel::endInput() {
  std::lock_guard lock(mutex_);
  inputEnded_ = true;
}

void ConnectionChannel::flush() {
  std::lock_guard lock(mutex_);
  writeLocked();
}

void ConnectionChannel::peerGone() {
  std::lock_guard lock(mutex_);
  inputEnded_ = true;
  shutdownLocked();
}

bool ConnectionChannel::wantsInput() const {
  std::lock_guard lock(mutex_);
  return !shut_ && !finalLineQueued_ && out_.size() - outOffset_ < kPauseOutput && outstanding_ < kMaxRequestsInFlight;
}

bool ConnectionChannel::wantsOutput() const {
  std::lock_guard lock(mutex_);
  return !shut_ && outOffset_ < out_.size();
}

bool ConnectionChannel::finished() {
  std::lock_guard lock(mutex_);
  if (shut_) return true;
  if (outOffset_ < out_.size()) return false;
  if (finalLineQueued_ || (inputEnded_ && outstanding_ == 0)) {
    shutdownLocked();  // the peer reads end of input after the last answer
    return true;
  }
  return false;
}

void ConnectionChannel::appendLocked(std::string& line) {
  line.push_back('\n');
  if (outOffset_ == out_.size()) {
    // Nothing waits: write straight from the caller's buffer and keep only what is left.
    out_.clear();
    outOffset_ = 0;
    std::size_t done = 0;
    while (done < line.size()) {
      ssize_t n = ::send(fd_.get(), line.data() + done, line.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      shutdownLocked();  // the peer is gone
      break;
    }
    if (!shut_ && done < line.size()) out_.append(line, done, std::string::npos);
  } else {
    out_.append(line);
    if (out_.size() - outOffset_ > kMaxQueuedOutput) shutdownLocked();
  }
  secureWipe(line.data(), line.size());
}

void ConnectionChannel::writeLocked() {
  while (!shut_ && outOffset_ < out_.size()) {
    ssize_t n = ::send(fd_.get(), out_.data() + outOffset_, out_.size() - outOffset_, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      outOffset_ += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    shutdownLocked();
    return;
  }
  if (outOffset_ == out_.size()) {
    secureWipe(out_.data(), out_.size());
    out_.clear();
    outOffset_ = 0;
  } else if (outOffset_ > kCompactAbove && outOffset_ > out_.size() / 2) {
    secureWipe(out_.data(), outOffset_);
    out_.erase(0, outOffset_);
    outOffset_ = 0;
  }
}

void ConnectionChannel::shutdownLocked() {
  if (shut_) return;
  shut_ = true;
  // Wakes the loop's poll (end of input); the descriptor itself is closed with the channel.
  if (fd_) (void)::shutdown(fd_.get(), SHUT_RDWR);
  secureWipe(out_.data(), out_.size());
  out_.clear();
  outOffset_ = 0;
}

std::size_t ConnectionChannel::queuedOutput() const {
  std::lock_guard lock(mutex_);
  return out_.size() - outOffset_;
}

void ConnectionChannel::wake() const {
  std::uint64_t one = 1;
  (void)!::write(wakeFd_.get(), &one, sizeof one);
}

}  // namespace tolvo
