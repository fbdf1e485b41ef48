// tolvoctl's text output: widths in characters, cuts on character boundaries, tables that
// stay aligned and on one line per row, durations and sizes.
#include "client/tolvoctl/output.h"

#include <gtest/gtest.h>

#include <sstream>

namespace tolvo::test {
namespace {

using namespace ctl;

TEST(TolvoctlOutputTest, WidthsAndCutsCountCharactersNotBytesAndSizesAreShort) {
  EXPECT_EQ(displayWidth("Caf\xC3\xA9 \xE2\x80\x94 Notes"), 12u);  // "Café — Notes"
  EXPECT_EQ(displayWidth("\xF0\x9F\x8E\xA5"), 1u);                 // one four-byte character
  EXPECT_EQ(truncateText("exactly10!", 10), "exactly10!");
  EXPECT_EQ(truncateText("eleven char", 10), "eleven ...");
  // Each "é" is two bytes; a byte-wise cut at 7 would split the fourth one.
  EXPECT_EQ(truncateText("\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", 5), "\xC3\xA9\xC3\xA9...");
  // The sessions and export tests show hours and KiB.
  EXPECT_EQ(formatDurationMs(125000), "2m 05s");
  EXPECT_EQ(formatDurationMs(-5), "-");
  EXPECT_EQ(formatBytes(1023), "1023 B");
  EXPECT_EQ(formatBytes(std::int64_t{3} * 1024 * 1024 * 1024), "3.0 GiB");
}

TEST(TolvoctlOutputTest, TablesStayAlignedAndOnOneLinePerRow) {
  Table table({"APP", "WINDOW", "ID"});
  table.add({"Caf\xC3\xA9", "line one\nline two", "1"});
  table.add({"Terminal", "tab\there", "22"});
  std::ostringstream out;
  table.print(out);
  EXPECT_EQ(out.str(),
            "APP       WINDOW             ID\n"
            "Caf\xC3\xA9      line one line two  1\n"
            "Terminal  tab here           22\n");
}

}  // namespace
}  // namespace tolvo::test
