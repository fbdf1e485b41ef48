#pragma once

#include <signal.h>

#include <atomic>
#include <functional>
#include <initializer_list>
#include <thread>

namespace tolvo {

// Turns asynchronous signals into a callback on an ordinary thread.
//
// blockInThisThread() must run in main() before any other thread starts, so that every
// thread inherits the blocked mask and only the watcher's sigwait() receives the signals.
// It also ignores SIGPIPE for the whole process (sockets write with MSG_NOSIGNAL anyway).
class SignalWatcher {
 public:
  static void blockInThisThread(std::initializer_list<int> signals);

  // Calls `onSignal` (on the watcher's thread) for each of `signals` received.
  SignalWatcher(std::initializer_list<int> signals, std::function<void(int)> onSignal);
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;
  ~SignalWatcher();

 private:
  sigset_t set_{};
  std::function<void(int)> onSignal_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace tolvo
