#include "service/line_framer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tolvo::test {
namespace {

struct Collector {
  std::vector<std::string> lines;
  LineFramer::LineCallback callback() {
    return [this](std::string&& line) { lines.push_back(std::move(line)); };
  }
};

LineFramer::Status feed(LineFramer& framer, std::string_view text, Collector& out) {
  return framer.feed(std::span<const char>(text.data(), text.size()), out.callback());
}

TEST(LineFramer, SplitsLinesAcrossAndWithinReads) {
  LineFramer framer(100, 4);  // tiny reads force lines across several
  Collector out;
  EXPECT_EQ(feed(framer, "ab", out), LineFramer::Status::ok);
  EXPECT_TRUE(out.lines.empty());
  EXPECT_EQ(feed(framer, "c\nde\n\nfghij", out), LineFramer::Status::ok);
  EXPECT_EQ(out.lines, (std::vector<std::string>{"abc", "de", ""}));
  EXPECT_EQ(framer.buffered(), 5u);
  EXPECT_EQ(feed(framer, "k\r\n", out), LineFramer::Status::ok);
  EXPECT_EQ(out.lines.back(), "fghijk\r");
  EXPECT_EQ(framer.finish(), std::nullopt);
  EXPECT_EQ(feed(framer, "tail", out), LineFramer::Status::ok);
  EXPECT_EQ(framer.finish(), std::optional<std::string>("tail"));
}

TEST(LineFramer, AcceptsALineOfExactlyTheLimitAndRejectsOneByteMore) {
  {
    LineFramer framer(10, 3);
    Collector out;
    EXPECT_EQ(feed(framer, std::string(10, 'x') + "\n", out), LineFramer::Status::ok);
    EXPECT_EQ(out.lines, std::vector<std::string>{std::string(10, 'x')});
  }
  {
    // Eleven bytes and no newline yet: already known to be too long.
    LineFramer framer(10, 3);
    Collector out;
    EXPECT_EQ(feed(framer, std::string(11, 'x'), out), LineFramer::Status::lineTooLong);
    EXPECT_TRUE(out.lines.empty());
    EXPECT_EQ(feed(framer, "\n", out), LineFramer::Status::lineTooLong);
    EXPECT_EQ(framer.finish(), std::nullopt);
  }
  {
    // A long line after a good one in the same read: the good one is still delivered.
    LineFramer framer(10, 64);
    Collector out;
    EXPECT_EQ(feed(framer, "ok\n" + std::string(12, 'y') + "\n", out), LineFramer::Status::lineTooLong);
    EXPECT_EQ(out.lines, std::vector<std::string>{"ok"});
  }
}

TEST(LineFramer, HoldsNoMoreThanTheLimitPlusOne) {
  LineFramer framer(1000, 256);
  Collector out;
  std::size_t offered = 0;
  LineFramer::Status status = LineFramer::Status::ok;
  while (status == LineFramer::Status::ok) {
    auto region = framer.prepare();
    ASSERT_GE(region.size(), 1u);
    std::fill(region.begin(), region.end(), 'z');
    offered += region.size();
    status = framer.commit(region.size(), out.callback());
    EXPECT_LE(framer.buffered(), 1001u);
  }
  EXPECT_EQ(offered, 1001u);
}

}  // namespace
}  // namespace tolvo::test
