#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tolvo {

// Text helpers of the summaries, on UTF-8 text.

// The first `count` user-perceived characters (grapheme clusters) of `text`: a cut never
// splits a character made of several code points. Invalid UTF-8 is cut by bytes.
[[nodiscard]] std::string firstCharacters(std::string_view text, std::size_t count);

// `text` without white space and line breaks (any Unicode white space) at either end.
[[nodiscard]] std::string trimWhitespace(std::string_view text);

// `parts` joined with `separator` between each two.
[[nodiscard]] std::string joinStrings(const std::vector<std::string>& parts, std::string_view separator);

// True when `text` is well-formed UTF-8.
[[nodiscard]] bool isValidUTF8(std::string_view text);

// `text` with every line feed replaced by one space.
[[nodiscard]] std::string joinLines(std::string_view text);

}  // namespace tolvo
