#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <span>

namespace tolvo {

// Splits a byte stream into '\n'-terminated lines with a bound on the length of one line.
// Memory stays below maxLineBytes + 1 plus one read's worth. Consumed bytes are wiped.
// Not thread-safe: one reader owns it.
class LineFramer {
 public:
  enum class Status { ok, lineTooLong };
  // Receives each line in place, in the framer's buffer: valid (and writable, say to wipe
  // it) only during the call. The framer wipes it afterwards. Answers whether it takes more
  // lines now; after false the framer holds the rest back (hasPendingLines()).
  using LineCallback = std::function<bool(std::span<char> line)>;

  explicit LineFramer(std::size_t maxLineBytes, std::size_t readSize = 64 * 1024);
  LineFramer(const LineFramer&) = delete;
  LineFramer& operator=(const LineFramer&) = delete;
  ~LineFramer();

  // Space to read into: at least one byte, at most readSize, never more than the line bound
  // leaves. Valid until the next call of any member.
  [[nodiscard]] std::span<char> prepare();

  // Accounts `count` bytes written into the last prepare() region and hands the complete
  // lines (without their '\n') to `onLine` in order, until it answers false. commit(0, …)
  // hands over the lines held back before. lineTooLong when a line exceeds the bound; then
  // nothing more may be fed.
  [[nodiscard]] Status commit(std::size_t count, const LineCallback& onLine);

  // Convenience for callers that already hold the bytes; hands over every line.
  [[nodiscard]] Status feed(std::span<const char> data, const LineCallback& onLine);

  // At end of input, once no lines are held back: hands the unterminated remainder, if any,
  // to `onLine` in place.
  void finish(const LineCallback& onLine);

  // True when complete lines wait because `onLine` took no more.
  [[nodiscard]] bool hasPendingLines() const noexcept { return pending_; }

  [[nodiscard]] std::size_t buffered() const noexcept { return used_; }

 private:
  void compact(std::size_t consumed);
  void reallocate(std::size_t capacity);

  std::size_t maxLineBytes_;
  std::size_t readSize_;
  std::unique_ptr<char[]> buffer_;  // capacity_ bytes, of which used_ hold data
  std::size_t capacity_ = 0;
  std::size_t used_ = 0;
  std::size_t scanned_ = 0;  // bytes of the partial line already searched for '\n'
  bool failed_ = false;
  bool pending_ = false;
};

}  // namespace tolvo
