#pragma once

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/types.h>

#include "core/error.h"
#include "core/handle.h"
#include "service/connection_handler.h"

namespace tolvo {

// Why the listener could not take its socket. what() is meant for a person.
class ServiceListenerError : public Error {
 public:
  enum class Kind {
    alreadyRunning,  // another service answers on the socket path
    unsafePath,      // the socket's directory or an existing file there is not safe to use
    system,          // a system call failed
  };
  ServiceListenerError(Kind kind, const std::string& description) : Error(description), kind_(kind) {}
  [[nodiscard]] Kind kind() const noexcept { return kind_; }

 private:
  Kind kind_;
};

// Accepts connections on a Unix stream socket and serves each with its own ConnectionHandler
// (from the factory) on its own serial queue, which reads, dispatches and answers that
// connection's requests (ServiceConnection). One thread accepts; idle connections and an
// idle listener cost no CPU (they wait in poll). Every local peer that can reach the socket
// is accepted: the 0700 directory and the 0600 socket are the boundary.
//
// Lifecycle: construct, then bindSocket() or adoptSystemdSocket()/adoptListeningSocket(),
// then start(); stop() (or destruction) closes the listening socket, removes the socket file
// if this listener made it and it is still there, closes every connection and waits until
// each connection's queue has run what it had queued and its handler is destroyed.
class ServiceListener {
 public:
  // Connections served at once; a peer connecting beyond them is closed at once. Together
  // with the bounds of each connection (ConnectionChannel, LargeRequestGate) this keeps the
  // memory that local peers can make the service hold small.
  static constexpr std::size_t kMaxConnections = 32;

  explicit ServiceListener(ConnectionHandlerFactory factory);
  ServiceListener(const ServiceListener&) = delete;
  ServiceListener& operator=(const ServiceListener&) = delete;
  ~ServiceListener();

  // Binds `socketPath`: its directory is created 0700 if missing and must be a real
  // directory owned by the user with no group or other access; the socket is made 0600.
  // The listener holds an advisory lock (flock) on "<socketPath>.lock" (made 0600) from
  // before it looks at the path until stop(): a service that finds the lock taken, or a
  // socket that answers, raises alreadyRunning ("another tolvo-recorder-service is already
  // listening on PATH"). A socket file that no process answers on (left by a dead service)
  // is replaced. Anything else at the path raises unsafePath.
  void bindSocket(const std::filesystem::path& socketPath);

  // Takes the listening socket that systemd passed (LISTEN_FDS, exactly one AF_UNIX stream
  // socket). False when none was passed; raises when what was passed is not usable. The
  // socket file belongs to systemd and is left in place at stop().
  [[nodiscard]] bool adoptSystemdSocket();

  // Takes an already listening AF_UNIX stream socket (not removed at stop()).
  void adoptListeningSocket(FileDescriptor fd);

  // Starts accepting on the listener's thread. REQUIRES: a socket was bound or adopted.
  void start();

  // Idempotent; must not be called from a connection's queue. Waits for handler calls in
  // progress to return.
  void stop();

  // The bound path (empty for an adopted socket whose name is unknown).
  [[nodiscard]] const std::filesystem::path& socketPath() const noexcept { return socketPath_; }

  // Connections currently open (for tests and diagnostics).
  [[nodiscard]] std::size_t connectionCount() const noexcept { return connectionCount_.load(); }

 private:
  struct Loop;

  ConnectionHandlerFactory factory_;
  FileDescriptor listenFd_;
  FileDescriptor lockFd_;  // held while a bound socket is served
  std::filesystem::path socketPath_;
  bool ownsSocketFile_ = false;
  dev_t socketDevice_ = 0;
  ino_t socketInode_ = 0;
  std::atomic<std::size_t> connectionCount_{0};
  std::unique_ptr<Loop> loop_;
};

}  // namespace tolvo
