// tolvoctl's text output: widths in characters, cuts on character boundaries, tables that
// stay aligned and on one line per row, durations and sizes, search hits; the times of --from
// and --to.
#include "client/tolvoctl/output.h"

#include <time.h>

#include <gtest/gtest.h>

#include <sstream>

#include "client/tolvoctl/time_argument.h"
#include "support/sandbox.h"

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

TEST(TolvoctlOutputTest, SearchHitsShowTimeSessionPrefixAndASnippetCutToFit) {
  const ScopedEnv zone("TZ", "UTC");
  ::tzset();
  std::string snippet;  // 110 characters of 2 bytes each, then " [end]"
  for (int i = 0; i < 110; ++i) snippet += "\xC3\xA9";
  const std::vector<TextSearchHit> hit = {{"8f0c3e52-5d0b", "c1", 1'796'598'000'000, 0, "", snippet + " [end]"}};
  std::ostringstream terminal, piped;
  printSearchHits(terminal, hit, 60);
  printSearchHits(piped, hit, std::nullopt);
  const std::string head = "SEEN                 SESSION   TEXT\n2026-12-06 23:00:00  8f0c3e52  ";
  EXPECT_EQ(terminal.str(), head + snippet.substr(0, 2 * 26) + "...\n") << "60 columns";
  EXPECT_EQ(piped.str(), head + snippet.substr(0, 2 * 97) + "...\n") << "100 characters off a terminal";
}

TEST(TolvoctlOutputTest, TimeArgumentsInBerlin) {
  const ScopedEnv zone("TZ", "Europe/Berlin");
  ::tzset();
  const std::int64_t now = 1'796'598'000'000;  // 2026-12-07 00:00 in Berlin (UTC+1)
  const std::pair<const char*, std::optional<std::int64_t>> rows[] = {
      {"1796598000123", 1'796'598'000'123}, {"now", now}, {"-90s", now - 90'000}, {"-2h", now - 7'200'000},
      {"2026-12-07", now}, {"2026-12-06T23:30", now - 1'800'000}, {"2026-12-06 23:30:15", now - 1'785'000},
      {"2026-12-06T23:00Z", now}, {"2026-12-07T01:00+01:00", now + 3'600'000}, {"00:45", now + 2'700'000},
      {"2026-07-01", 1'782'856'800'000} /* summer time, UTC+2 */, {"2026-02-30", std::nullopt},
      {"25:00", std::nullopt}, {"-2w", std::nullopt}, {"-h", std::nullopt}, {"2026-12-06T23:00+1", std::nullopt},
      {"yesterday", std::nullopt}, {"", std::nullopt}};
  for (const auto& [text, expected] : rows) EXPECT_EQ(parseTimeArgument(text, now), expected) << text;
}

}  // namespace
}  // namespace tolvo::test
