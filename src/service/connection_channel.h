#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "core/handle.h"
#include "service/reply_sink.h"

namespace tolvo {

// The socket side of one connection: owns the descriptor, writes answers (queuing what the
// peer is not ready to take) and decides when the connection is finished. Answers may come
// from any thread and never block; the connection's serving loop (ServiceConnection) waits
// on fd() and wakeFd() and calls the "loop" members.
class ConnectionChannel final : public ReplySink {
 public:
  // Stop reading requests while this many answer bytes wait for the peer ...
  static constexpr std::size_t kPauseOutput = 1024 * 1024;
  // ... and drop a peer that leaves more than this unread.
  static constexpr std::size_t kMaxQueuedOutput = 64 * 1024 * 1024;
  // Stop reading requests while this many wait for their answers (answers that come later
  // from another thread, as a stop of the recorder does).
  static constexpr std::size_t kMaxRequestsInFlight = 8;

  // `fd` is a connected non-blocking stream socket. Raises SystemError when the wake
  // descriptor cannot be made.
  explicit ConnectionChannel(FileDescriptor fd);
  ConnectionChannel(const ConnectionChannel&) = delete;
  ConnectionChannel& operator=(const ConnectionChannel&) = delete;
  ~ConnectionChannel() override;

  // ReplySink (any thread).
  void sendReply(std::string line) override;
  void sendFinalLine(std::string line) override;

  // Any thread: ends the connection now (queued and late answers are dropped).
  void shutdown();
  // Any thread: makes the serving loop look at the connection again.
  void wake() const;
  // Any thread: answer bytes not yet written.
  [[nodiscard]] std::size_t queuedOutput() const;

  // Loop thread.
  void bindLoopThread();                   // the calling thread is the serving loop
  [[nodiscard]] int fd() const noexcept { return fd_.get(); }
  [[nodiscard]] int wakeFd() const noexcept { return wakeFd_.get(); }
  void drainWake();
  void requestQueued();                    // one more request awaits its answer
  void endInput();                         // the peer will send nothing more
  void flush();                            // the socket may take more output
  void peerGone();                         // reading failed: nothing more can be written
  [[nodiscard]] bool wantsInput() const;   // false while too much output or too many requests wait
  [[nodiscard]] bool wantsOutput() const;
  // True once nothing more will be written: shut down, or input ended with every request
  // answered and every answer written (then the socket is shut down here).
  [[nodiscard]] bool finished();

 private:
  void appendLocked(std::string& line);
  void writeLocked();
  void shutdownLocked();

  mutable std::mutex mutex_;
  FileDescriptor fd_;
  FileDescriptor wakeFd_;
  std::thread::id loopThread_;
  std::string out_;  // answers not yet written, from outOffset_
  std::size_t outOffset_ = 0;
  std::size_t outstanding_ = 0;  // requests read but not yet answered
  bool inputEnded_ = false;
  bool finalLineQueued_ = false;
  bool shut_ = false;  // nothing more is written
};

}  // namespace tolvo
