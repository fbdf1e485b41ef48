#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tolvo {

// Splits a byte stream into '\n'-terminated lines with a bound on the length of one line.
// Memory stays below maxLineBytes + 1 plus one read's worth. Consumed bytes are wiped.
// Not thread-safe: one reader owns it.
class LineFramer {
 public:
  enum class Status { ok, lineTooLong };
  using LineCallback = std::function<void(std::string&& line)>;

  explicit LineFramer(std::size_t maxLineBytes, std::size_t readSize = 64 * 1024);
  LineFramer(const LineFramer&) = delete;
  LineFramer& operator=(const LineFramer&) = delete;
  ~LineFramer();

  // Space to read into: at least one byte, at most readSize, never more than the line bound
  // leaves. Valid until the next call of any member.
  [[nodiscard]] std::span<char> prepare();

  // Accounts `count` bytes written into the last prepare() region and hands every complete
  // line (without its '\n') to `onLine` in order. lineTooLong when a line exceeds the bound;
  // then nothing more may be fed.
  [[nodiscard]] Status commit(std::size_t count, const LineCallback& onLine);

  // Convenience for callers that already hold the bytes.
  [[nodiscard]] Status feed(std::span<const char> data, const LineCallback& onLine);

  // At end of input: the unterminated remainder, if any.
  [[nodiscard]] std::optional<std::string> finish();

  [[nodiscard]] std::size_t buffered() const noexcept { return used_; }

 private:
  void compact(std::size_t consumed);

  std::size_t maxLineBytes_;
  std::size_t readSize_;
  std::vector<char> buffer_;  // its size is the capacity; used_ bytes hold data
  std::size_t used_ = 0;
  std::size_t scanned_ = 0;  // bytes of the partial line already searched for '\n'
  bool failed_ = false;
};

}  // namespace tolvo
