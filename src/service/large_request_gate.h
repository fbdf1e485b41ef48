#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>

namespace tolvo {

// Lets one connection at a time hold a large request in memory: a request line that grows
// past kSmallRequestBytes, and then the answer to it until the peer has read it. Every
// other connection reads and answers small requests freely; one whose next line grows that
// large stops reading until the gate is free. So however many peers send long lines at
// once, the service holds at most one of them (16 MiB at most) besides the small ones.
// The connection that holds the gate can always finish its line, so nothing waits forever
// on anything but a peer that never sends the rest of its line or never reads its answer.
//
// Thread-safe. Connections are told apart by their serial numbers.
class LargeRequestGate {
 public:
  // Requests and answers below this size never need the gate. Every request of the protocol
  // is far smaller; only padding, giant ids and hostile lines reach it.
  static constexpr std::size_t kSmallRequestBytes = 256 * 1024;

  LargeRequestGate() = default;
  LargeRequestGate(const LargeRequestGate&) = delete;
  LargeRequestGate& operator=(const LargeRequestGate&) = delete;

  // True when `connection` holds the gate now (it may already have). Otherwise `wake` is
  // kept and called once, from the thread that frees the gate, to say it is worth asking
  // again; a later tryAcquire replaces it.
  [[nodiscard]] bool tryAcquire(std::uint64_t connection, std::function<void()> wake);

  // Gives the gate up if `connection` holds it, and forgets its waiting `wake` if any.
  // Called when the connection's large request is done and when the connection ends.
  void release(std::uint64_t connection);

 private:
  std::mutex mutex_;
  std::optional<std::uint64_t> holder_;                      // guarded by mutex_
  std::map<std::uint64_t, std::function<void()>> waiting_;  // guarded by mutex_
};

}  // namespace tolvo
