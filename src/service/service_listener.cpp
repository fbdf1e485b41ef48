#include "service/service_listener.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <condition_variable>
#include <map>
#include <mutex>

#include "core/diagnostic_log.h"
#include "core/file_util.h"
#include "core/serial_queue.h"
#include "service/service_connection.h"

namespace tolvo {

namespace {

using Kind = ServiceListenerError::Kind;

constexpr auto kAcceptPause = std::chrono::milliseconds(100);

[[noreturn]] void raiseSystem(const std::string& what, int err = errno) {
  throw ServiceListenerError(Kind::system, what + ": " + std::strerror(err));
}

std::string octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

sockaddr_un addressFor(const std::filesystem::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string& text = path.native();
  if (text.empty() || text.size() >= sizeof(address.sun_path)) {
    throw ServiceListenerError(Kind::unsafePath, "socket path is empty or longer than " +
                                                     std::to_string(sizeof(address.sun_path) - 1) +
                                                     " bytes: " + text);
  }
  std::memcpy(address.sun_path, text.data(), text.size());
  return address;
}

enum class Probe { live, stale };

// Whether a process accepts connections on the socket file at `path`.
Probe probe(const std::filesystem::path& path) {
  FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) raiseSystem("socket");
  sockaddr_un address = addressFor(path);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return Probe::live;
  // A full backlog (EAGAIN) still means someone is listening.
  if (errno == EAGAIN || errno == EINPROGRESS) return Probe::live;
  if (errno == ECONNREFUSED || errno == ENOENT) return Probe::stale;
  raiseSystem("connect " + path.string());
}

void setNonBlockingCloseOnExec(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) raiseSystem("fcntl");
  int fdFlags = ::fcntl(fd, F_GETFD);
  if (fdFlags < 0 || ::fcntl(fd, F_SETFD, fdFlags | FD_CLOEXEC) != 0) raiseSystem("fcntl");
}

std::string alreadyRunningMessage(const std::filesystem::path& path) {
  return "another tolvo-recorder-service is already listening on " + path.string();
}

}  // namespace

// The accepting thread, the table of open connections and the reaper that tears finished
// connections down off their own queues.
struct ServiceListener::Loop {
  ServiceListener& owner;
  FileDescriptor wakeFd;
  std::atomic<bool> stopping{false};
  std::thread thread;

  std::mutex mutex;  // guards connections
  std::condition_variable allGone;
  std::map<std::uint64_t, std::unique_ptr<ServiceConnection>> connections;
  std::uint64_t serial = 0;
  bool full = false;  // the last connection was refused for the limit (logged once)
  LargeRequestGate gate;
  std::unique_ptr<SerialQueue> reaper = std::make_unique<SerialQueue>("com.tolvodesk.service.reaper");

  explicit Loop(ServiceListener& o) : owner(o) {
    wakeFd.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wakeFd) raiseSystem("eventfd");
  }

  void wake() const {
    std::uint64_t one = 1;
    (void)!::write(wakeFd.get(), &one, sizeof one);
  }

  void run() {
    bool acceptPaused = false;
    while (!stopping.load()) {
      pollfd fds[2] = {{wakeFd.get(), POLLIN, 0}, {owner.listenFd_.get(), acceptPaused ? short{0} : short{POLLIN}, 0}};
      const int timeoutMs = acceptPaused ? static_cast<int>(kAcceptPause.count()) : -1;
      const int n = ::poll(fds, 2, timeoutMs);
      if (n < 0) {
        if (errno == EINTR) continue;
        DiagnosticLog::system(std::string("service listener: poll failed: ") + std::strerror(errno));
        return;
      }
      acceptPaused = false;
      if ((fds[1].revents & POLLIN) != 0) acceptPaused = !acceptAll();
    }
  }

  // Accepts every pending connection. False when the process is out of descriptors or
  // memory: then accepting pauses for a moment instead of spinning.
  bool acceptAll() {
    for (;;) {
      FileDescriptor fd(::accept4(owner.listenFd_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
      if (!fd) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
        DiagnosticLog::system(std::string("service listener: accept failed: ") + std::strerror(errno));
        return false;
      }
      {
        std::lock_guard lock(mutex);
        if (connections.size() >= kMaxConnections) {
          // Closing at once tells the peer plainly; leaving it in the backlog would hang it.
          if (!full) DiagnosticLog::system("service listener: " + std::to_string(kMaxConnections) +
                                           " connections open; refusing more until one closes");
          full = true;
          continue;  // closes the descriptor
        }
        full = false;
      }
      std::unique_ptr<ConnectionHandler> handler;
      try {
        handler = owner.factory_();
      } catch (const std::exception& e) {
        DiagnosticLog::system(std::string("service listener: connection refused: ") + e.what());
      }
      if (!handler) continue;  // closes the descriptor
      std::unique_ptr<ServiceConnection> connection;
      try {
        connection = std::make_unique<ServiceConnection>(std::move(fd), std::move(handler), ++serial, gate);
      } catch (const std::exception& e) {
        DiagnosticLog::system(std::string("service listener: connection dropped: ") + e.what());
        continue;
      }
      ServiceConnection* raw = connection.get();
      {
        std::lock_guard lock(mutex);
        connections.emplace(raw->serial(), std::move(connection));
        owner.connectionCount_.fetch_add(1);
      }
      const std::uint64_t id = raw->serial();
      raw->start([this, id] { reaper->async([this, id] { reap(id); }); });
    }
  }

  // On the reaper: destroys a connection whose loop has ended (joins its queue, destroys
  // its handler), so a handler still running never holds up anything else.
  void reap(std::uint64_t id) {
    std::unique_ptr<ServiceConnection> connection;
    {
      std::lock_guard lock(mutex);
      auto it = connections.find(id);
      if (it == connections.end()) return;
      connection = std::move(it->second);
      connections.erase(it);
    }
    connection.reset();
    std::lock_guard lock(mutex);
    owner.connectionCount_.fetch_sub(1);
    allGone.notify_all();
  }

  void closeAll() {
    std::unique_lock lock(mutex);
    for (auto& [id, connection] : connections) connection->shutdown();
    allGone.wait(lock, [&] { return owner.connectionCount_.load() == 0; });
    lock.unlock();
    reaper.reset();
  }
};

ServiceListener::ServiceListener(ConnectionHandlerFactory factory) : factory_(std::move(factory)) {
  if (!factory_) throw std::invalid_argument("ServiceListener needs a handler factory");
}

ServiceListener::~ServiceListener() {
  try {
    stop();
  } catch (...) {
    // Destructors do not raise; stop() reports nothing worth raising anyway.
  }
}

void ServiceListener::bindSocket(const std::filesystem::path& socketPath) {
  if (listenFd_) throw std::logic_error("ServiceListener already has a socket");
  const std::filesystem::path path = socketPath.is_absolute() ? socketPath : std::filesystem::absolute(socketPath);
  sockaddr_un address = addressFor(path);
  const std::filesystem::path dir = path.parent_path();

  try {
    fs::ensurePrivateDirectory(dir);
  } catch (const Error& e) {
    throw ServiceListenerError(Kind::unsafePath, "cannot use socket directory " + dir.string() + ": " + e.what());
  }
  struct stat dirStat {};
  if (::lstat(dir.c_str(), &dirStat) != 0) raiseSystem("stat " + dir.string());
  if ((dirStat.st_mode & 077) != 0) {
    throw ServiceListenerError(Kind::unsafePath, "socket directory " + dir.string() +
                                                     " must be private to its owner (mode 0700), but its mode is " +
                                                     octal(dirStat.st_mode));
  }

  // The lock decides between services started at the same moment: without it both could
  // find no live socket, and the later one would unlink the earlier one's fresh socket.
  const std::filesystem::path lockPath = path.string() + ".lock";
  FileDescriptor lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!lock) raiseSystem("open " + lockPath.string());
  if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) throw ServiceListenerError(Kind::alreadyRunning, alreadyRunningMessage(path));
    raiseSystem("lock " + lockPath.string());
  }

  struct stat existing {};
  if (::lstat(path.c_str(), &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode)) {
      throw ServiceListenerError(Kind::unsafePath, path.string() + " exists and is not a socket");
    }
    if (probe(path) == Probe::live) throw ServiceListenerError(Kind::alreadyRunning, alreadyRunningMessage(path));
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) raiseSystem("remove stale socket " + path.string());
  } else if (errno != ENOENT) {
    raiseSystem("stat " + path.string());
  }

  FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) raiseSystem("socket");
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int err = errno;
    // Two services starting at once: the one that lost the race says so plainly.
    if (err == EADDRINUSE && probe(path) == Probe::live) {
      throw ServiceListenerError(Kind::alreadyRunning, alreadyRunningMessage(path));
    }
    raiseSystem("bind " + path.string(), err);
  }
  // The directory is private, so nobody can reach the socket before its mode is narrowed.
  if (::chmod(path.c_str(), 0600) != 0) {
    const int err = errno;
    (void)::unlink(path.c_str());
    raiseSystem("chmod " + path.string(), err);
  }
  struct stat bound {};
  if (::lstat(path.c_str(), &bound) != 0 || ::listen(fd.get(), SOMAXCONN) != 0) {
    const int err = errno;
    (void)::unlink(path.c_str());
    raiseSystem("listen " + path.string(), err);
  }
  listenFd_ = std::move(fd);
  lockFd_ = std::move(lock);
  socketPath_ = path;
  ownsSocketFile_ = true;
  socketDevice_ = bound.st_dev;
  socketInode_ = bound.st_ino;
}

bool ServiceListener::adoptSystemdSocket() {
  const int count = ::sd_listen_fds(1);
  if (count < 0) raiseSystem("sd_listen_fds", -count);
  if (count == 0) return false;
  if (count != 1) {
    throw ServiceListenerError(Kind::system, "systemd passed " + std::to_string(count) + " sockets; expected one");
  }
  const int fd = SD_LISTEN_FDS_START;
  if (::sd_is_socket_unix(fd, SOCK_STREAM, 1, nullptr, 0) <= 0) {
    throw ServiceListenerError(Kind::system, "the socket systemd passed is not a listening Unix stream socket");
  }
  adoptListeningSocket(FileDescriptor(fd));
  return true;
}

void ServiceListener::adoptListeningSocket(FileDescriptor fd) {
  if (listenFd_) throw std::logic_error("ServiceListener already has a socket");
  setNonBlockingCloseOnExec(fd.get());
  sockaddr_un address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) == 0 && address.sun_family == AF_UNIX &&
      length > offsetof(sockaddr_un, sun_path) && address.sun_path[0] != '\0') {
    socketPath_ = std::string(address.sun_path, strnlen(address.sun_path, sizeof address.sun_path));
  }
  listenFd_ = std::move(fd);
  ownsSocketFile_ = false;
}

void ServiceListener::start() {
  if (!listenFd_) throw std::logic_error("ServiceListener::start without a socket");
  if (loop_) return;
  loop_ = std::make_unique<Loop>(*this);
  loop_->thread = std::thread([this] { loop_->run(); });
  pthread_setname_np(loop_->thread.native_handle(), "tolvo-listener");
}

void ServiceListener::stop() {
  if (loop_) {
    loop_->stopping.store(true);
    loop_->wake();
    if (loop_->thread.joinable()) loop_->thread.join();
  }
  if (listenFd_) {
    listenFd_.reset();
    if (ownsSocketFile_) {
      // Remove the file only if it is still the one this listener bound (a newer service may
      // have replaced it).
      struct stat current {};
      if (::lstat(socketPath_.c_str(), &current) == 0 && current.st_dev == socketDevice_ &&
          current.st_ino == socketInode_) {
        (void)::unlink(socketPath_.c_str());
      }
    }
    lockFd_.reset();  // the lock file stays: removing it would let two services lock two files
  }
  if (loop_) {
    loop_->closeAll();
    loop_.reset();
  }
}

}  // namespace tolvo
