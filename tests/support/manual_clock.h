#pragma once

#include <chrono>

#include "core/time_util.h"

namespace tolvo::test {

// A clock that stands still until the test moves it.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(Timestamp start = std::chrono::system_clock::from_time_t(1'800'000'000)) : now_(start) {}
  [[nodiscard]] Timestamp now() const override { return now_; }
  void advance(std::chrono::duration<double> by) {
    now_ += std::chrono::duration_cast<Timestamp::duration>(by);
  }

 private:
  Timestamp now_;
};

}  // namespace tolvo::test
