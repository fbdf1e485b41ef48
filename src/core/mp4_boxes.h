#pragma once

#include <cstddef>

#include "core/bytes.h"

namespace tolvo {

// The length of the longest prefix of the MP4 stream `mp4` that ends with a complete top-level
// box, a fragment's `moof` counting only together with the `mdat` after it: what plays without
// a damaged last sample when the stream was cut (a chunk recovered after a crash ends at its
// last sealed page, usually inside a fragment). 0 when no movie header (`moov`) is complete.
// A whole stream gives its own length.
[[nodiscard]] std::size_t completeMp4Prefix(ByteView mp4) noexcept;

}  // namespace tolvo
