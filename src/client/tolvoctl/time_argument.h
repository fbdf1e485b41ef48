#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tolvo::ctl {

// A point in time given on the command line, as milliseconds since 1970:
//   1796598000000              milliseconds since 1970
//   now, -90s, -30m, -2h, -1d  now, or that long before it
//   2026-12-06                 the start of that day
//   2026-12-06T14:05[:09]      (a space instead of T works too) local time, or UTC with a
//                              final Z, or at an offset such as +01:00
//   14:05[:09]                 that time today
// Local times are those of the TZ time zone. Nothing for any other text.
[[nodiscard]] std::optional<std::int64_t> parseTimeArgument(std::string_view text, std::int64_t nowMs);

}  // namespace tolvo::ctl
