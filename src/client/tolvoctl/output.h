#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "core/records.h"

namespace tolvo::ctl {

// Milliseconds since the Unix epoch as local time "2026-01-31 09:15:02"; "-" for nothing.
[[nodiscard]] std::string formatTimeMs(std::optional<std::int64_t> ms);

// A span of milliseconds as "1h 02m 03s" / "2m 05s" / "4s"; "-" for nothing.
[[nodiscard]] std::string formatDurationMs(std::optional<std::int64_t> ms);

// A span of milliseconds as a clock reading "h:mm:ss" ("0:02:05", "27:00:00"); "-" for
// nothing or a negative span.
[[nodiscard]] std::string formatClockMs(std::optional<std::int64_t> ms);

// Byte counts as "1.5 MiB".
[[nodiscard]] std::string formatBytes(std::optional<std::int64_t> bytes);

// Byte counts for people and exactly: "1.5 MiB (1572864 bytes)"; "512 bytes" below 1 KiB.
[[nodiscard]] std::string formatBytesExact(std::int64_t bytes);

// How many columns `text` takes on a terminal, counting one per UTF-8 character.
[[nodiscard]] std::size_t displayWidth(std::string_view text);

// `text` cut to at most `maxWidth` characters, never inside a UTF-8 sequence; a cut text
// ends in "...".
[[nodiscard]] std::string truncateText(std::string_view text, std::size_t maxWidth);

// The first `count` characters of `text`, never cut inside a UTF-8 sequence.
[[nodiscard]] std::string leadingCharacters(std::string_view text, std::size_t count);

// A plain text table: a header row, then rows, columns padded to their widest cell. Control
// characters in cells (tabs, line breaks in window titles) are shown as spaces so that every
// row stays on one line.
class Table {
 public:
  explicit Table(std::vector<std::string> headers) : headers_(std::move(headers)) {}
  void add(std::vector<std::string> row);
  [[nodiscard]] bool empty() const noexcept { return rows_.empty(); }
  void print(std::ostream& out) const;

 private:
  std::vector<std::string> headers_;
  std::vector<std::vector<std::string>> rows_;
};

// Search hits as a table: local time first seen, the session id's first 8 characters, the
// snippet cut so that a row fits `terminalColumns` (at least 20 characters of snippet), or
// to 100 characters when the output is not a terminal; "No matches." when there are none.
void printSearchHits(std::ostream& out, const std::vector<TextSearchHit>& hits,
                     std::optional<std::size_t> terminalColumns);

}  // namespace tolvo::ctl
