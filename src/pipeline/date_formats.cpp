#include "pipeline/date_formats.h"

#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include <unicode/calendar.h>
#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

namespace tolvo {

namespace {

// The POSIX locale name of the environment reduced to an ICU locale id: "de_DE.UTF-8@euro"
// gives "de_DE".
std::string environmentLocale() {
  for (const char* name : {"LC_ALL", "LC_TIME", "LANG"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') continue;
    std::string id(value);
    id = id.substr(0, id.find_first_of(".@"));
    if (id == "C" || id == "POSIX") return "en_US_POSIX";
    return id;
  }
  return "en_US_POSIX";
}

// The zone named by TZ (":Europe/Berlin" or "Europe/Berlin"), else the system's. ICU keeps
// the zone it detected first, so TZ is read here on every call.
icu::TimeZone* makeZone(std::string_view timeZoneId) {
  if (timeZoneId.empty()) {
    const char* tz = std::getenv("TZ");
    if (tz == nullptr || *tz == '\0') return icu::TimeZone::detectHostTimeZone();
    timeZoneId = tz[0] == ':' ? tz + 1 : tz;
  }
  return icu::TimeZone::createTimeZone(
      icu::UnicodeString::fromUTF8(icu::StringPiece(timeZoneId.data(), static_cast<int32_t>(timeZoneId.size()))));
}

std::unique_ptr<icu::DateFormat> adopt(icu::DateFormat* format, std::string_view localeId, const icu::TimeZone& zone) {
  if (format == nullptr) throw std::runtime_error("No date format for locale " + std::string(localeId));
  format->setTimeZone(zone);
  return std::unique_ptr<icu::DateFormat>(format);
}

std::string format(const icu::DateFormat& formatter, std::int64_t epochMs) {
  icu::UnicodeString text;
  formatter.format(static_cast<UDate>(epochMs), text);
  std::string utf8;
  text.toUTF8String(utf8);
  return utf8;
}

}  // namespace

DateFormats::DateFormats() : DateFormats(environmentLocale(), {}) {}

DateFormats::DateFormats(std::string_view localeId, std::string_view timeZoneId) {
  const icu::Locale locale(std::string(localeId).c_str());
  std::unique_ptr<icu::TimeZone> zone(makeZone(timeZoneId));
  clock_ = adopt(icu::DateFormat::createTimeInstance(icu::DateFormat::kShort, locale), localeId, *zone);
  medium_ = adopt(icu::DateFormat::createDateTimeInstance(icu::DateFormat::kMedium, icu::DateFormat::kShort, locale),
                  localeId, *zone);
  UErrorCode status = U_ZERO_ERROR;
  calendar_.reset(icu::Calendar::createInstance(zone.release(), locale, status));
  if (U_FAILURE(status)) throw std::runtime_error("No calendar for locale " + std::string(localeId));
}

DateFormats::~DateFormats() = default;

std::string DateFormats::clockTime(std::int64_t epochMs) const { return format(*clock_, epochMs); }

std::string DateFormats::mediumDateTime(std::int64_t epochMs) const { return format(*medium_, epochMs); }

std::string DateFormats::clockRange(std::int64_t startMs, std::int64_t endMs) const {
  return clockTime(startMs) + "-" + clockTime(endMs);
}

std::int64_t DateFormats::startOfDayMs(std::int64_t epochMs) const {
  UErrorCode status = U_ZERO_ERROR;
  calendar_->setTime(static_cast<UDate>(epochMs), status);
  calendar_->set(UCAL_HOUR_OF_DAY, 0);
  calendar_->set(UCAL_MINUTE, 0);
  calendar_->set(UCAL_SECOND, 0);
  calendar_->set(UCAL_MILLISECOND, 0);
  const UDate start = calendar_->getTime(status);
  if (U_FAILURE(status)) return epochMs;
  return static_cast<std::int64_t>(std::trunc(start));
}

}  // namespace tolvo
