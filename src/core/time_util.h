#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace tolvo {

// An absolute point in time (the record fields typed timestamp).
using Timestamp = std::chrono::system_clock::time_point;

// Seconds between 1970-01-01 and 2001-01-01 00:00:00 UTC, the epoch of timestamps in JSON.
inline constexpr double kReferenceDateOffsetSeconds = 978307200.0;

// Milliseconds since the Unix epoch, truncated toward zero.
[[nodiscard]] std::int64_t toUnixMs(Timestamp t) noexcept;
[[nodiscard]] std::int64_t nowUnixMs() noexcept;

// Seconds since 2001-01-01 00:00:00 UTC with fraction, and back.
[[nodiscard]] double toReferenceSeconds(Timestamp t) noexcept;
[[nodiscard]] Timestamp fromReferenceSeconds(double seconds);

// ISO 8601 internet date-time in UTC with second precision: 2026-01-31T14:05:09Z.
[[nodiscard]] std::string iso8601(Timestamp t);

// The source of the current time, handed to components so that tests can drive it.
class Clock {
 public:
  virtual ~Clock() = default;
  [[nodiscard]] virtual Timestamp now() const = 0;
};

class SystemClock final : public Clock {
 public:
  [[nodiscard]] Timestamp now() const override { return std::chrono::system_clock::now(); }
  static const SystemClock& instance();
};

}  // namespace tolvo
