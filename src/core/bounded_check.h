#pragma once

#include <chrono>
#include <functional>

namespace tolvo {

// Runs `check` on a thread of its own and waits at most `timeout` for its answer; false when
// it does not answer in time (a display or bus that hangs). A late answer is dropped; the
// thread ends on its own when the check returns. At most kMaxPendingChecks checks that have
// not returned may exist at once: beyond that the answer is false at once, so a peer that
// never answers cannot make the process collect stuck threads.
[[nodiscard]] bool boundedCheck(std::function<bool()> check, std::chrono::milliseconds timeout);

inline constexpr int kMaxPendingChecks = 4;

}  // namespace tolvo
