#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "core/bytes.h"

namespace tolvo {

// Standard Base64 (RFC 4648, alphabet A-Z a-z 0-9 + /) with padding.
[[nodiscard]] std::string base64Encode(ByteView bytes);

// The length of the Base64 text of `size` bytes.
[[nodiscard]] constexpr std::size_t base64EncodedLength(std::size_t size) { return (size + 2) / 3 * 4; }

// Appends the Base64 text of `bytes` to `out`, written in place: a caller that reserved the
// room (a large body built piece by piece) gets no copy of the text. Any size.
void base64Append(std::string& out, ByteView bytes);

// Strict decoding: the length is a multiple of 4, only alphabet characters, and "=" only as
// one or two final padding characters. Anything else (whitespace included) gives nothing.
[[nodiscard]] std::optional<Bytes> base64Decode(std::string_view text);

}  // namespace tolvo
