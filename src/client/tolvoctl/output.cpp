#include "client/tolvoctl/output.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace tolvo::ctl {

std::string formatTimeMs(std::optional<std::int64_t> ms) {
  if (!ms) return "-";
  std::time_t seconds = static_cast<std::time_t>(*ms / 1000);
  std::tm local{};
  if (::localtime_r(&seconds, &local) == nullptr) return std::to_string(*ms);
  char text[32];
  if (std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0) return std::to_string(*ms);
  return text;
}

std::string formatDurationMs(std::optional<std::int64_t> ms) {
  if (!ms || *ms < 0) return "-";
  const std::int64_t total = *ms / 1000;
  const std::int64_t hours = total / 3600;
  const std::int64_t minutes = (total % 3600) / 60;
  const std::int64_t seconds = total % 60;
  char text[48];
  if (hours > 0) {
    std::snprintf(text, sizeof text, "%lldh %02lldm %02llds", static_cast<long long>(hours),
                  static_cast<long long>(minutes), static_cast<long long>(seconds));
  } else if (minutes > 0) {
    std::snprintf(text, sizeof text, "%lldm %02llds", static_cast<long long>(minutes), static_cast<long long>(seconds));
  } else {
    std::snprintf(text, sizeof text, "%llds", static_cast<long long>(seconds));
  }
  return text;
}

std::string formatClockMs(std::optional<std::int64_t> ms) {
  if (!ms || *ms < 0) return "-";
  const std::int64_t total = *ms / 1000;
  char text[48];
  std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(total / 3600),
                static_cast<long long>((total % 3600) / 60), static_cast<long long>(total % 60));
  return text;
}

std::string formatBytes(std::optional<std::int64_t> bytes) {
  if (!bytes) return "-";
  const double value = static_cast<double>(*bytes);
  char text[32];
  if (*bytes < 1024) std::snprintf(text, sizeof text, "%lld B", static_cast<long long>(*bytes));
  else if (value < 1024.0 * 1024) std::snprintf(text, sizeof text, "%.1f KiB", value / 1024);
  else if (value < 1024.0 * 1024 * 1024) std::snprintf(text, sizeof text, "%.1f MiB", value / (1024.0 * 1024));
  else std::snprintf(text, sizeof text, "%.1f GiB", value / (1024.0 * 1024 * 1024));
  return text;
}

std::string formatBytesExact(std::int64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  return formatBytes(bytes) + " (" + std::to_string(bytes) + " bytes)";
}

namespace {

bool isContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

std::size_t displayWidth(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) { return !isContinuationByte(c); }));
}

std::string leadingCharacters(std::string_view text, std::size_t count) {
  std::size_t characters = 0;
  std::size_t end = 0;
  for (; end < text.size(); ++end) {
    if (isContinuationByte(text[end])) continue;
    if (characters == count) break;
    ++characters;
  }
  return std::string(text.substr(0, end));
}

std::string truncateText(std::string_view text, std::size_t maxWidth) {
  if (displayWidth(text) <= maxWidth) return std::string(text);
  constexpr std::string_view kEllipsis = "...";
  const std::size_t keep = maxWidth > kEllipsis.size() ? maxWidth - kEllipsis.size() : 0;
  return leadingCharacters(text, keep) + std::string(kEllipsis);
}

void Table::add(std::vector<std::string> row) {
  for (auto& cell : row) {
    for (char& c : cell) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    }
  }
  rows_.push_back(std::move(row));
}

void Table::print(std::ostream& out) const {
  std::vector<std::size_t> widths(headers_.size(), 0);
  auto measure = [&](const std::vector<std::string>& row) {
    for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i) widths[i] = std::max(widths[i], displayWidth(row[i]));
  };
  measure(headers_);
  for (const auto& row : rows_) measure(row);
  auto emit = [&](const std::vector<std::string>& row) {
    std::string line;
    for (std::size_t i = 0; i < widths.size(); ++i) {
      const std::string cell = i < row.size() ? row[i] : "";
      line += cell;
      if (i + 1 < widths.size()) line += std::string(widths[i] - displayWidth(cell) + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out << line << '\n';
  };
  emit(headers_);
  for (const auto& row : rows_) emit(row);
}

void printSearchHits(std::ostream& out, const std::vector<TextSearchHit>& hits,
                     std::optional<std::size_t> terminalColumns) {
  if (hits.empty()) {
    out << "No matches.\n";
    return;
  }
  // The columns before the snippet: a time (19), a session prefix (8), two gaps of 2.
  constexpr std::size_t kLeadingColumns = 19 + 2 + 8 + 2;
  constexpr std::size_t kMinSnippet = 20;
  constexpr std::size_t kSnippetWithoutTerminal = 100;
  const std::size_t snippetWidth =
      terminalColumns ? std::max(kMinSnippet, *terminalColumns > kLeadingColumns ? *terminalColumns - kLeadingColumns : 0)
                      : kSnippetWithoutTerminal;
  Table table({"SEEN", "SESSION", "TEXT"});
  for (const auto& hit : hits) {
    table.add({formatTimeMs(hit.timestampMs), leadingCharacters(hit.sessionId, 8), truncateText(hit.snippet, snippetWidth)});
  }
  table.print(out);
}

}  // namespace tolvo::ctl
