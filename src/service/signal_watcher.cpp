#include "service/signal_watcher.h"

#include <pthread.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace tolvo {

namespace {

sigset_t makeSet(std::initializer_list<int> signals) {
  sigset_t set;
  sigemptyset(&set);
  for (int s : signals) sigaddset(&set, s);
  return set;
}

}  // namespace

void SignalWatcher::blockInThisThread(std::initializer_list<int> signals) {
  sigset_t set = makeSet(signals);
  if (int err = ::pthread_sigmask(SIG_BLOCK, &set, nullptr); err != 0) {
    throw std::runtime_error(std::string("pthread_sigmask: ") + std::strerror(err));
  }
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  if (::sigaction(SIGPIPE, &ignore, nullptr) != 0) {
    throw std::runtime_error(std::string("sigaction(SIGPIPE): ") + std::strerror(errno));
  }
}

SignalWatcher::SignalWatcher(std::initializer_list<int> signals, std::function<void(int)> onSignal)
    : set_(makeSet(signals)), onSignal_(std::move(onSignal)) {
  thread_ = std::thread([this] {
    for (;;) {
      int received = 0;
      if (::sigwait(&set_, &received) != 0) continue;
      if (stopping_.load()) return;
      onSignal_(received);
    }
  });
  pthread_setname_np(thread_.native_handle(), "tolvo-signals");
}

SignalWatcher::~SignalWatcher() {
  stopping_.store(true);
  // Wake sigwait() with one of its own (blocked) signals aimed at the watcher thread only.
  int first = 0;
  for (int s = 1; s < NSIG; ++s) {
    if (sigismember(&set_, s) == 1) {
      first = s;
      break;
    }
  }
  if (first != 0) (void)::pthread_kill(thread_.native_handle(), first);
  if (thread_.joinable()) thread_.join();
}

}  // namespace tolvo
