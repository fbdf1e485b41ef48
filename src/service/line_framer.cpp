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

LineFramer::~LineFramer() { secureWipe(buffer_.data(), buffer_.size()); }

std::span<char> LineFramer::prepare() {
  // A line of maxLineBytes plus its '\n' must fit; one byte more without '\n' is too long.
  const std::size_t limit = maxLineBytes_ + 1;
  std::size_t want = readSize_;
  if (used_ < limit) want = std::min(want, limit - used_);
  else want = 1;  // unreachable while the status is ok; keeps the region non-empty
  if (buffer_.size() < used_ + want) {
    std::size_t capacity = std::max(buffer_.size() * 2, used_ + want);
    capacity = std::min(capacity, std::max(limit, used_ + want));
    std::vector<char> bigger(capacity);
    if (used_ > 0) std::memcpy(bigger.data(), buffer_.data(), used_);
    secureWipe(buffer_.data(), buffer_.size());
    buffer_.swap(bigger);
  }
  return {buffer_.data() + used_, want};
}

LineFramer::Status LineFramer::commit(std::size_t count, const LineCallback& onLine) {
  if (failed_) return Status::lineTooLong;
  if (used_ + count > buffer_.size()) throw std::logic_error("LineFramer: commit beyond the prepared region");
  used_ += count;
  std::size_t start = 0;
  for (;;) {
    const char* begin = buffer_.data() + start + scanned_;
    const std::size_t length = used_ - start - scanned_;
    const void* newline = length == 0 ? nullptr : std::memchr(begin, '\n', length);
    if (newline == nullptr) {
      scanned_ = used_ - start;
      break;
    }
    const std::size_t lineLength = static_cast<std::size_t>(static_cast<const char*>(newline) - (buffer_.data() + start));
    if (lineLength > maxLineBytes_) {
      failed_ = true;
      compact(used_);
      return Status::lineTooLong;
    }
    onLine(std::string(buffer_.data() + start, lineLength));
    start += lineLength + 1;
    scanned_ = 0;
  }
  if (used_ - start > maxLineBytes_) {
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
  }
  return failed_ ? Status::lineTooLong : Status::ok;
}

std::optional<std::string> LineFramer::finish() {
  if (failed_ || used_ == 0) return std::nullopt;
  std::string rest(buffer_.data(), used_);
  compact(used_);
  return rest;
}

void LineFramer::compact(std::size_t consumed) {
  if (consumed == 0) return;
  const std::size_t remaining = used_ - consumed;
  if (remaining > 0) std::memmove(buffer_.data(), buffer_.data() + consumed, remaining);
  secureWipe(buffer_.data() + remaining, used_ - remaining);
  used_ = remaining;
  if (buffer_.size() > kShrinkAbove && used_ < readSize_) {
    std::vector<char> smaller(std::max(readSize_, used_));
    if (used_ > 0) std::memcpy(smaller.data(), buffer_.data(), used_);
    secureWipe(buffer_.data(), buffer_.size());
    buffer_.swap(smaller);
  }
}

}  // namespace tolvo
