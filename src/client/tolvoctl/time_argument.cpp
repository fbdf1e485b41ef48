#include "client/tolvoctl/time_argument.h"

#include <charconv>
#include <ctime>
#include <string>

namespace tolvo::ctl {
namespace {

// Reads exactly `digits` digits at `at` into `value`, advancing `at`.
bool number(std::string_view text, std::size_t& at, int digits, int& value) {
  if (at + static_cast<std::size_t>(digits) > text.size()) return false;
  const char* first = text.data() + at;
  const auto [end, error] = std::from_chars(first, first + digits, value);
  if (error != std::errc() || end != first + digits) return false;
  at += static_cast<std::size_t>(digits);
  return true;
}

bool literal(std::string_view text, std::size_t& at, char c) {
  if (at >= text.size() || text[at] != c) return false;
  ++at;
  return true;
}

// "HH:MM[:SS]" at `at` into `tm`.
bool clock(std::string_view text, std::size_t& at, std::tm& tm) {
  if (!number(text, at, 2, tm.tm_hour) || !literal(text, at, ':') || !number(text, at, 2, tm.tm_min)) return false;
  tm.tm_sec = 0;
  if (at < text.size() && text[at] == ':') {
    ++at;
    if (!number(text, at, 2, tm.tm_sec)) return false;
  }
  return tm.tm_hour < 24 && tm.tm_min < 60 && tm.tm_sec < 60;
}

std::optional<std::int64_t> relative(std::string_view text, std::int64_t nowMs) {
  std::int64_t amount = 0;
  const auto [end, error] = std::from_chars(text.data() + 1, text.data() + text.size() - 1, amount);
  if (error != std::errc() || end != text.data() + text.size() - 1 || amount < 0) return std::nullopt;
  std::int64_t unitMs = 0;
  switch (text.back()) {
    case 's': unitMs = 1000; break;
    case 'm': unitMs = 60'000; break;
    case 'h': unitMs = 3'600'000; break;
    case 'd': unitMs = 86'400'000; break;
    default: return std::nullopt;
  }
  if (amount > nowMs / unitMs) return std::nullopt;
  return nowMs - amount * unitMs;
}

}  // namespace

std::optional<std::int64_t> parseTimeArgument(std::string_view text, std::int64_t nowMs) {
  if (text == "now") return nowMs;
  if (text.size() >= 3 && text.front() == '-') return relative(text, nowMs);
  if (!text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos) {
    std::int64_t ms = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), ms);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return ms;
  }

  const std::time_t now = static_cast<std::time_t>(nowMs / 1000);
  std::tm tm{};
  if (::localtime_r(&now, &tm) == nullptr) return std::nullopt;
  std::size_t at = 0;
  if (text.size() > 2 && text[2] == ':') {
    if (!clock(text, at, tm)) return std::nullopt;
  } else {
    tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
    if (!number(text, at, 4, tm.tm_year) || !literal(text, at, '-') || !number(text, at, 2, tm.tm_mon) ||
        !literal(text, at, '-') || !number(text, at, 2, tm.tm_mday)) {
      return std::nullopt;
    }
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    if (at < text.size() && (text[at] == 'T' || text[at] == ' ')) {
      ++at;
      if (!clock(text, at, tm)) return std::nullopt;
    }
  }
  const std::tm fields = tm;
  std::time_t seconds = 0;
  if (at == text.size()) {
    tm.tm_isdst = -1;
    seconds = std::mktime(&tm);
  } else {
    int offsetMinutes = 0;
    if (text.substr(at) != "Z") {
      const char sign = text[at++];
      int hours = 0, minutes = 0;
      if ((sign != '+' && sign != '-') || !number(text, at, 2, hours) || !literal(text, at, ':') ||
          !number(text, at, 2, minutes) || at != text.size()) {
        return std::nullopt;
      }
      offsetMinutes = (sign == '+' ? 1 : -1) * (hours * 60 + minutes);
    }
    seconds = ::timegm(&tm) - offsetMinutes * 60;
  }
  // mktime and timegm normalize out-of-range fields (February 30th): such a date is refused.
  if (tm.tm_mday != fields.tm_mday || tm.tm_mon != fields.tm_mon) return std::nullopt;
  return static_cast<std::int64_t>(seconds) * 1000;
}

}  // namespace tolvo::ctl
