#include "pipeline/summary_text.h"

#include <algorithm>
#include <memory>

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

namespace tolvo {

std::string firstCharacters(std::string_view text, std::size_t count) {
  if (text.size() <= count) return std::string(text);  // never more characters than bytes
  UErrorCode status = U_ZERO_ERROR;
  UText* ut = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
  std::unique_ptr<UText, decltype(&utext_close)> utext(ut, &utext_close);
  std::unique_ptr<icu::BreakIterator> characters(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status)) return std::string(text.substr(0, count));
  characters->setText(utext.get(), status);
  if (U_FAILURE(status)) return std::string(text.substr(0, count));
  std::int32_t end = characters->first();
  for (std::size_t i = 0; i < count; ++i) {
    const std::int32_t next = characters->next();
    if (next == icu::BreakIterator::DONE) return std::string(text);
    end = next;
  }
  // Offsets of a UTF-8 UText are byte offsets.
  return std::string(text.substr(0, static_cast<std::size_t>(end)));
}

std::string trimWhitespace(std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  std::int32_t begin = 0;
  while (begin < length) {
    std::int32_t next = begin;
    UChar32 c = 0;
    U8_NEXT(bytes, next, length, c);
    if (c < 0 || !u_isUWhiteSpace(c)) break;
    begin = next;
  }
  std::int32_t end = length;
  while (end > begin) {
    std::int32_t previous = end - 1;
    while (previous > begin && (bytes[previous] & 0xC0) == 0x80) --previous;  // continuation bytes
    std::int32_t next = previous;
    UChar32 c = 0;
    U8_NEXT(bytes, next, length, c);
    if (c < 0 || next != end || !u_isUWhiteSpace(c)) break;
    end = previous;
  }
  return std::string(text.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin)));
}

std::string joinStrings(const std::vector<std::string>& parts, std::string_view separator) {
  std::string joined;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) joined += separator;
    joined += parts[i];
  }
  return joined;
}

bool isValidUTF8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  for (std::int32_t i = 0; i < length;) {
    UChar32 c = 0;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) return false;
  }
  return true;
}

std::string joinLines(std::string_view text) {
  std::string joined(text);
  std::replace(joined.begin(), joined.end(), '\n', ' ');
  return joined;
}

}  // namespace tolvo
