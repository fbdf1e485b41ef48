#include "db/text_search_query.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <vector>

namespace tolvo {

std::string textMatchExpression(std::string_view query) {
  if (query.size() > kMaxSearchQueryBytes) {
    throw TextSearchError("The search query is longer than " + std::to_string(kMaxSearchQueryBytes) + " bytes");
  }
  // Words are runs of letters and digits, as the index's tokenizer cuts text; a "*" right
  // after a word makes it a prefix.
  struct Word {
    std::string_view text;
    bool prefix = false;
  };
  std::vector<Word> words;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(query.data());
  const auto length = static_cast<std::int32_t>(query.size());
  std::int32_t wordStart = -1;
  for (std::int32_t i = 0; i < length;) {
    const std::int32_t at = i;
    UChar32 c = 0;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) throw TextSearchError("The search query is not valid UTF-8 text");
    if (u_isalnum(c) != 0) {
      if (wordStart < 0) wordStart = at;
      continue;
    }
    if (wordStart >= 0) {
      words.push_back({query.substr(static_cast<std::size_t>(wordStart), static_cast<std::size_t>(at - wordStart)),
                       c == '*'});
      wordStart = -1;
    }
  }
  if (wordStart >= 0) words.push_back({query.substr(static_cast<std::size_t>(wordStart)), false});

  if (words.empty()) {
    bool blank = true;
    for (char c : query) blank = blank && (c == ' ' || c == '\t' || c == '\n' || c == '\r');
    throw TextSearchError(blank ? "The search query is empty" : "The search query contains no letters or digits");
  }
  if (words.size() > kMaxSearchQueryWords) {
    throw TextSearchError("The search query has more than " + std::to_string(kMaxSearchQueryWords) + " words");
  }
  // Each word becomes a quoted term: it holds no ASCII punctuation, so nothing in it can be
  // read as an operator, a column filter or the end of the quotes.
  std::string expression;
  for (const Word& word : words) {
    if (!expression.empty()) expression += ' ';
    expression += '"';
    expression += word.text;
    if (word.prefix) expression += '*';
    expression += '"';
  }
  return expression;
}

}  // namespace tolvo
