#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/bytes.h"

namespace tolvo {

// Standard Base64 (RFC 4648, alphabet A-Z a-z 0-9 + /) with padding.
[[nodiscard]] std::string base64Encode(ByteView bytes);

// Strict decoding: the length is a multiple of 4, only alphabet characters, and "=" only as
// one or two final padding characters. Anything else (whitespace included) gives nothing.
[[nodiscard]] std::optional<Bytes> base64Decode(std::string_view text);

}  // namespace tolvo
