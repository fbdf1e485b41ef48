#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <unicode/uversion.h>

U_NAMESPACE_BEGIN
class Calendar;
class DateFormat;
U_NAMESPACE_END

namespace tolvo {

// The date and time texts of summaries, formatted by ICU in one locale and time zone, and the
// calendar days of that time zone.
//
// REQUIRES: external synchronization (ICU's formatters keep a working calendar).
class DateFormats {
 public:
  // The user's locale (LC_ALL, else LC_TIME, else LANG; "C" and "POSIX" read as en_US_POSIX)
  // and time zone (TZ, else the system's) as they are now.
  DateFormats();
  // A given ICU locale ("de_DE") and time zone ("Europe/Berlin"); an unknown zone is GMT.
  DateFormats(std::string_view localeId, std::string_view timeZoneId);
  DateFormats(const DateFormats&) = delete;
  DateFormats& operator=(const DateFormats&) = delete;
  ~DateFormats();

  // Time of day only, the locale's short style ("2:05 PM", "14:05").
  [[nodiscard]] std::string clockTime(std::int64_t epochMs) const;
  // The locale's medium date with short time ("Jan 31, 2026, 2:05 PM").
  [[nodiscard]] std::string mediumDateTime(std::int64_t epochMs) const;
  // clockTime(start) + "-" + clockTime(end).
  [[nodiscard]] std::string clockRange(std::int64_t startMs, std::int64_t endMs) const;
  // The first instant of the calendar day holding `epochMs`, epoch milliseconds.
  [[nodiscard]] std::int64_t startOfDayMs(std::int64_t epochMs) const;

 private:
  std::unique_ptr<icu::DateFormat> clock_;
  std::unique_ptr<icu::DateFormat> medium_;
  std::unique_ptr<icu::Calendar> calendar_;
};

}  // namespace tolvo
