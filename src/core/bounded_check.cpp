#include "core/bounded_check.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace tolvo {
namespace {

std::atomic<int> pendingChecks{0};

struct Answer {
  std::mutex mutex;
  std::condition_variable ready;
  std::optional<bool> value;
};

}  // namespace

bool boundedCheck(std::function<bool()> check, std::chrono::milliseconds timeout) {
  if (pendingChecks.fetch_add(1) >= kMaxPendingChecks) {
    pendingChecks.fetch_sub(1);
    return false;
  }
  auto answer = std::make_shared<Answer>();
  try {
    std::thread([answer, check = std::move(check)] {
      bool value = false;
      try {
        value = check();
      } catch (...) {
        value = false;
      }
      pendingChecks.fetch_sub(1);
      std::lock_guard lock(answer->mutex);
      answer->value = value;
      answer->ready.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    pendingChecks.fetch_sub(1);
    return false;
  }
  std::unique_lock lock(answer->mutex);
  answer->ready.wait_for(lock, timeout, [&] { return answer->value.has_value(); });
  return answer->value.value_or(false);
}

}  // namespace tolvo
