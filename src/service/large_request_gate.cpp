#include "service/large_request_gate.h"

#include <utility>

namespace tolvo {

bool LargeRequestGate::tryAcquire(std::uint64_t connection, std::function<void()> wake) {
  std::lock_guard lock(mutex_);
  if (!holder_ || *holder_ == connection) {
    holder_ = connection;
    waiting_.erase(connection);
    return true;
  }
  waiting_[connection] = std::move(wake);
  return false;
}

void LargeRequestGate::release(std::uint64_t connection) {
  std::map<std::uint64_t, std::function<void()>> toWake;
  {
    std::lock_guard lock(mutex_);
    waiting_.erase(connection);
    if (holder_ != connection) return;
    holder_.reset();
    toWake.swap(waiting_);
  }
  // Every waiter asks again; one of them gets the gate, the others wait anew.
  for (auto& [id, wake] : toWake) {
    if (wake) wake();
  }
}

}  // namespace tolvo
