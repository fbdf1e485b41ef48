#include "service/line_framer.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "core/bytes.h"

namespace tolvo {

namespace {
constexpr std::size_t kShrinkAbove = 1024 * 1024;
}

LineFramer::LineFramer(std::size_t maxLineBytes, std::size_t readSize)
    : maxLineBytes_(maxLineBytes), readSize_(std::max<std::size_t>(readSize, 1)) {}

// Bytes past used_ were either never written or wiped when their line was consumed, so
// wiping the used part wipes everything the buffer ever held.
LineFramer::~LineFramer() { secureWipe(buffer_.get(), used_); }

void LineFramer::reallocate(std::size_t capacity) {
  // Not zero-filled: pages nobody writes to cost no memory, so room for a line of the
  // maximum length is paid for only as far as the line really reaches.
  auto fresh = std::make_unique_for_overwrite<char[]>(capacity);
  if (used_ > 0) std::memcpy(fresh.get(), buffer_.get(), used_);
  secureWipe(buffer_.get(), used_);
  buffer_ = std::move(fresh);
  capacity_ = capacity;
}

std::span<char> LineFramer::prepare() {
  // A line of maxLineBytes plus its '\n' must fit; one byte more without '\n' is too long.
  const std::size_t limit = maxLineBytes_ + 1;
  std::size_t want = readSize_;
  if (used_ < limit) want = std::min(want, limit - used_);
  else want = 1;  // unreachable while the status is ok; keeps the region non-empty
  if (capacity_ < used_ + want) {
    // Doubling, but once past half the bound straight to the bound: a last step of a few
    // bytes would copy a whole maximal line into a second buffer.
    std::size_t capacity = std::max(capacity_ * 2, used_ + want);
    if (capacity > limit / 2) capacity = std::max(limit, used_ + want);
    reallocate(capacity);
  }
  return {buffer_.get() + used_, want};
}

LineFramer::Status LineFramer::commit(std::size_t count, const LineCallback& onLine) {
  if (failed_) return Status::lineTooLong;
  if (count > 0 && used_ + count > capacity_) throw std::logic_error("LineFramer: commit beyond the prepared region");
  used_ += count;
  std::size_t start = 0;
  for (;;) {
    const char* begin = buffer_.get() + start + scanned_;
    const std::size_t length = used_ - start - scanned_;
    const void* newline = length == 0 ? nullptr : std::memchr(begin, '\n', length);
    if (newline == nullptr) {
      scanned_ = used_ - start;
      break;
    }
    const std::size_t lineLength = static_cast<std::size_t>(static_cast<const char*>(newline) - (buffer_.get() + start));
    if (lineLength > maxLineBytes_) {
      failed_ = true;
      compact(used_);
      return Status::lineTooLong;
    }
    const bool more = onLine(std::span<char>(buffer_.get() + start, lineLength));
    start += lineLength + 1;
    scanned_ = 0;
    if (!more) break;
  }
  pending_ = scanned_ == 0 && std::memchr(buffer_.get() + start, '\n', used_ - start) != nullptr;
  if (used_ - start > maxLineBytes_ && !pending_) {
    failed_ = true;
    compact(used_);
    return Status::lineTooLong;
  }
  compact(start);
  return Status::ok;
}

LineFramer::Status LineFramer::feed(std::span<const char> data, const LineCallback& onLine) {
  while (!data.empty()) {
    auto region = prepare();
    const std::size_t n = std::min(region.size(), data.size());
    std::memcpy(region.data(), data.data(), n);
    data = data.subspan(n);
    if (commit(n, onLine) != Status::ok) return Status::lineTooLong;
    while (pending_) {
      if (commit(0, onLine) != Status::ok) return Status::lineTooLong;
    }
  }
  return failed_ ? Status::lineTooLong : Status::ok;
}

void LineFramer::finish(const LineCallback& onLine) {
  if (failed_ || pending_ || used_ == 0) return;
  onLine(std::span<char>(buffer_.get(), used_));
  compact(used_);
}

void LineFramer::compact(std::size_t consumed) {
  if (consumed == 0) return;
  const std::size_t remaining = used_ - consumed;
  if (remaining > 0) std::memmove(buffer_.get(), buffer_.get() + consumed, remaining);
  secureWipe(buffer_.get() + remaining, used_ - remaining);
  used_ = remaining;
  if (capacity_ > kShrinkAbove && used_ < readSize_) reallocate(std::max(readSize_, used_));
}

}  // namespace tolvo
