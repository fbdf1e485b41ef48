#include "core/time_util.h"

#include <cmath>
#include <ctime>

#include "core/error.h"

namespace tolvo {

std::int64_t toUnixMs(Timestamp t) noexcept {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

std::int64_t nowUnixMs() noexcept { return toUnixMs(std::chrono::system_clock::now()); }

double toReferenceSeconds(Timestamp t) noexcept {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
  // Whole seconds and fraction separately keep the nanoseconds that one division would lose.
  const auto whole = ns / 1'000'000'000;
  const auto frac = ns % 1'000'000'000;
  return (static_cast<double>(whole) - kReferenceDateOffsetSeconds) + static_cast<double>(frac) / 1e9;
}

Timestamp fromReferenceSeconds(double seconds) {
  const double unixSeconds = seconds + kReferenceDateOffsetSeconds;
  // system_clock counts nanoseconds in 64 bits: about ±292 years around 1970.
  if (!std::isfinite(unixSeconds) || std::fabs(unixSeconds) > 9.0e9) {
    throw DecodingError("Timestamp out of range");
  }
  const auto ns = static_cast<std::int64_t>(std::llround(unixSeconds * 1e9));
  return Timestamp(std::chrono::duration_cast<Timestamp::duration>(std::chrono::nanoseconds(ns)));
}

std::string iso8601(Timestamp t) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(
      std::chrono::floor<std::chrono::seconds>(t));
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return buffer;
}

const SystemClock& SystemClock::instance() {
  static const SystemClock clock;
  return clock;
}

}  // namespace tolvo
