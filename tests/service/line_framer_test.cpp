#include "service/line_framer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tolvo::test {
namespace {

using Status = LineFramer::Status;

// A line callback that appends every line to `lines`.
LineFramer::LineCallback into(std::vector<std::string>& lines) {
  return [&lines](std::span<char> line) {
    lines.emplace_back(line.begin(), line.end());
    return true;
  };
}
bool noLine(std::span<char>) {
  ADD_FAILURE() << "no line was expected";
  return true;
}

// Feeds `text` and appends the lines it completes to `lines`.
Status feed(LineFramer& framer, std::string_view text, std::vector<std::string>& lines) {
  return framer.feed(std::span<const char>(text.data(), text.size()), into(lines));
}

TEST(LineFramer, SplitsLinesAcrossAndWithinReadsAndWipesWhatItConsumed) {
  LineFramer framer(100, 4);  // tiny reads force lines across several
  std::vector<std::string> lines;
  EXPECT_EQ(feed(framer, "ab", lines), Status::ok);
  EXPECT_EQ(feed(framer, "c\nde\n\nfghij", lines), Status::ok);
  EXPECT_EQ(lines, (std::vector<std::string>{"abc", "de", ""}));
  EXPECT_EQ(framer.buffered(), 5u);
  EXPECT_EQ(feed(framer, "k\r\n", lines), Status::ok);
  EXPECT_EQ(lines.back(), "fghijk\r");
  framer.finish(noLine);
  EXPECT_EQ(feed(framer, "tail", lines), Status::ok);
  framer.finish(into(lines));
  EXPECT_EQ(lines.back(), "tail");

  // The next read goes where the consumed line was: those bytes are zero now.
  LineFramer wiping(100, 16);
  EXPECT_EQ(feed(wiping, "pw=hunter2\n", lines), Status::ok);
  const auto region = wiping.prepare();
  EXPECT_EQ(std::string(region.data(), 11), std::string(11, '\0'));
}

TEST(LineFramer, AcceptsALineOfExactlyTheLimitAndRejectsOneByteMoreWithoutHoldingIt) {
  std::vector<std::string> lines;
  LineFramer exact(10, 3);
  EXPECT_EQ(feed(exact, std::string(10, 'x') + "\n", lines), Status::ok);
  EXPECT_EQ(lines, std::vector<std::string>{std::string(10, 'x')});
  // Eleven bytes and no newline yet: already known to be too long, and it stays failed.
  LineFramer over(10, 3);
  EXPECT_EQ(feed(over, std::string(11, 'x'), lines), Status::lineTooLong);
  EXPECT_EQ(feed(over, "\nok\n", lines), Status::lineTooLong);
  over.finish(noLine);
  EXPECT_EQ(lines.size(), 1u);
  // A long line after a good one in the same read: the good one is still delivered.
  LineFramer after(10, 64);
  EXPECT_EQ(feed(after, "ok\n" + std::string(12, 'y') + "\n", lines), Status::lineTooLong);
  EXPECT_EQ(lines.back(), "ok");

  // Fed without a newline, it holds no more than the limit plus one byte.
  LineFramer framer(1000, 256);
  std::size_t offered = 0;
  for (Status status = Status::ok; status == Status::ok;) {
    auto region = framer.prepare();
    ASSERT_GE(region.size(), 1u);
    std::fill(region.begin(), region.end(), 'z');
    offered += region.size();
    status = framer.commit(region.size(), noLine);
    EXPECT_LE(framer.buffered(), 1001u);
  }
  EXPECT_EQ(offered, 1001u);
}

}  // namespace
}  // namespace tolvo::test
