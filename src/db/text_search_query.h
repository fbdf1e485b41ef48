#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/error.h"

namespace tolvo {

// A search query that cannot be searched; the description says why, for a person.
class TextSearchError : public Error {
 public:
  using Error::Error;
};

inline constexpr std::size_t kMaxSearchQueryBytes = 1000;
inline constexpr std::size_t kMaxSearchQueryWords = 16;

// The full-text match expression for what a person typed: the words of the query (letters
// and digits; everything else separates words), each a literal term that every matching
// line must contain, letter case and accents ignored; a word ending in "*" matches as a
// prefix. Operators and quotes of the index's query syntax are never interpreted. Raises
// TextSearchError for an empty query, one of more than kMaxSearchQueryBytes bytes or
// kMaxSearchQueryWords words, one that is not UTF-8, or one without any word.
[[nodiscard]] std::string textMatchExpression(std::string_view query);

}  // namespace tolvo
