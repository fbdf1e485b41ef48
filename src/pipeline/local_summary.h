#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/records.h"
#include "pipeline/pipeline_records.h"

namespace tolvo {

class Clock;
class DatabaseManager;
class DateFormats;
class RemoteSummaryClient;

// The plain-text report of one summary window made here from what the recorder stored: the
// question, the time range, minutes per application, a timeline of the first intervals
// (6 for brief, 20 for detailed, 12 for activities) and up to ten lines of recognized screen
// text, most confident first. `contexts` are the window's context intervals sorted by start;
// minutes count whole intervals, not only their part inside the window.
[[nodiscard]] std::string buildLocalSummary(SummaryPreset preset, std::string_view question,
                                            const std::vector<OCRResult>& ocrResults,
                                            const std::vector<ContextInterval>& contexts, SummaryWindowRange window,
                                            const DateFormats& dates);

// The daily summaries of a five-minute job: its window summaries grouped by calendar day (of
// `dates`' time zone), one stored summary per day, written here ("daily-aggregate-local-v1")
// or by the remote endpoint ("daily-aggregate/<model>") when `remoteAPIBaseURL` is set.
class DailyAggregator {
 public:
  DailyAggregator(DatabaseManager& database, const RemoteSummaryClient& remote, const DateFormats& dates,
                  const Clock& clock);

  // Stores the aggregates and returns how many were stored. The first error (remote exchange,
  // database) ends the call; aggregates stored for earlier days stay.
  [[nodiscard]] int createDailyAggregateSummaries(std::string_view sessionId, std::string_view question,
                                                  const std::vector<Summary>& fiveMinuteSummaries,
                                                  const std::optional<std::string>& remoteAPIBaseURL) const;

  // The texts, exposed for the tests of their exact form.
  [[nodiscard]] std::string buildDailyAggregatePrompt(std::string_view question, std::int64_t startMs,
                                                      std::int64_t endMs,
                                                      const std::vector<Summary>& fiveMinuteSummaries) const;
  [[nodiscard]] std::string decorateDailyAggregateSummary(std::string_view question, std::int64_t startMs,
                                                          std::int64_t endMs, std::size_t sourceCount,
                                                          std::string_view body) const;

 private:
  [[nodiscard]] SummaryResult summarizeDailyAggregateRemotely(std::string_view sessionId, std::string_view question,
                                                              std::int64_t startMs, std::int64_t endMs,
                                                              const std::vector<Summary>& fiveMinuteSummaries,
                                                              const std::string& remoteAPIBaseURL) const;

  DatabaseManager& database_;
  const RemoteSummaryClient& remote_;
  const DateFormats& dates_;
  const Clock& clock_;
};

}  // namespace tolvo
