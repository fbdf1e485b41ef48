#include "pipeline/local_summary.h"

#include <algorithm>
#include <map>
#include <set>

#include "core/raw_enum.h"
#include "core/time_util.h"
#include "crypto/encryption_utilities.h"
#include "db/database_manager.h"
#include "pipeline/date_formats.h"
#include "pipeline/pipeline_error.h"
#include "pipeline/remote_summary.h"
#include "pipeline/summary_text.h"

namespace tolvo {

namespace {

constexpr std::size_t kTitleCharacters = 60;
constexpr std::size_t kOCREntries = 10;
constexpr std::size_t kOCRCharacters = 100;

std::size_t timelineEntries(SummaryPreset preset) {
  switch (preset) {
    case SummaryPreset::brief: return 6;
    case SummaryPreset::detailed: return 20;
    case SummaryPreset::activities: return 12;
  }
  return 6;
}

std::vector<Summary> sortedByStart(std::vector<Summary> summaries) {
  std::stable_sort(summaries.begin(), summaries.end(),
                   [](const Summary& a, const Summary& b) { return a.rangeStartMs < b.rangeStartMs; });
  return summaries;
}

}  // namespace

std::string buildLocalSummary(SummaryPreset preset, std::string_view question, const std::vector<OCRResult>& ocrResults,
                              const std::vector<ContextInterval>& contexts, SummaryWindowRange window,
                              const DateFormats& dates) {
  std::vector<std::string> lines{
      "Activity Summary",
      "Question: " + std::string(question),
      "Time Range: " + dates.mediumDateTime(window.startMs) + " - " + dates.mediumDateTime(window.endMs),
  };
  if (!contexts.empty()) {
    std::map<std::string, std::int64_t> durations;  // ordered by name
    for (const ContextInterval& context : contexts) durations[context.appName] += context.endAtMs - context.startAtMs;
    lines.emplace_back("Apps Used:");
    for (const auto& [name, totalMs] : durations) {
      const std::int64_t minutes = std::max<std::int64_t>(totalMs / 60'000, 0);
      lines.push_back("- " + name + ": " + std::to_string(minutes) + " minute" + (minutes == 1 ? "" : "s"));
    }
    lines.emplace_back("Activity Timeline:");
    const std::size_t shown = std::min(contexts.size(), timelineEntries(preset));
    for (std::size_t i = 0; i < shown; ++i) {
      const ContextInterval& context = contexts[i];
      const std::string title =
          context.windowTitle ? firstCharacters(*context.windowTitle, kTitleCharacters) : std::string("No title");
      lines.push_back("- " + dates.clockTime(context.startAtMs) + ": " + context.appName + " - " + title);
    }
  }
  if (!ocrResults.empty()) {
    std::vector<OCRResult> byConfidence = ocrResults;
    std::stable_sort(byConfidence.begin(), byConfidence.end(),
                     [](const OCRResult& a, const OCRResult& b) { return a.confidence > b.confidence; });
    lines.emplace_back("Key Content Detected:");
    const std::size_t shown = std::min(byConfidence.size(), kOCREntries);
    for (std::size_t i = 0; i < shown; ++i) lines.push_back("- " + firstCharacters(byConfidence[i].text, kOCRCharacters));
  }
  return joinStrings(lines, "\n");
}

DailyAggregator::DailyAggregator(DatabaseManager& database, const RemoteSummaryClient& remote, const DateFormats& dates,
                                 const Clock& clock)
    : database_(database), remote_(remote), dates_(dates), clock_(clock) {}

int DailyAggregator::createDailyAggregateSummaries(std::string_view sessionId, std::string_view question,
                                                   const std::vector<Summary>& fiveMinuteSummaries,
                                                   const std::optional<std::string>& remoteAPIBaseURL) const {
  std::map<std::int64_t, std::vector<Summary>> days;  // ascending start of day
  for (const Summary& summary : fiveMinuteSummaries) days[dates_.startOfDayMs(summary.rangeStartMs)].push_back(summary);

  int stored = 0;
  for (auto& [dayStart, daySummaries] : days) {
    const std::vector<Summary> group = sortedByStart(std::move(daySummaries));
    const std::int64_t startMs = group.front().rangeStartMs;
    std::int64_t endMs = group.front().rangeEndMs;
    for (const Summary& summary : group) endMs = std::max(endMs, summary.rangeEndMs);

    SummaryResult result;
    if (remoteAPIBaseURL) {
      result = summarizeDailyAggregateRemotely(sessionId, question, startMs, endMs, group, *remoteAPIBaseURL);
    } else {
      std::vector<std::string> lines;
      for (const Summary& summary : group) {
        lines.push_back("- " + dates_.clockRange(summary.rangeStartMs, summary.rangeEndMs) + ": " +
                        joinLines(summary.summaryText));
      }
      result = {"daily-aggregate-local-v1", joinStrings(lines, "\n")};
    }
    database_.createSummary(Summary{
        .id = EncryptionUtilities::randomUUID(),
        .sessionId = std::string(sessionId),
        .rangeStartMs = startMs,
        .rangeEndMs = endMs,
        .modelId = result.modelId,
        .summaryText = decorateDailyAggregateSummary(question, startMs, endMs, group.size(), result.summaryText),
        .createdAtMs = toUnixMs(clock_.now()),
    });
    ++stored;
  }
  return stored;
}

std::string DailyAggregator::buildDailyAggregatePrompt(std::string_view question, std::int64_t startMs,
                                                       std::int64_t endMs,
                                                       const std::vector<Summary>& fiveMinuteSummaries) const {
  std::vector<std::string> sources;
  for (const Summary& summary : sortedByStart(fiveMinuteSummaries)) {
    sources.push_back("[" + dates_.clockRange(summary.rangeStartMs, summary.rangeEndMs) + "] " +
                      joinLines(summary.summaryText));
  }
  return "Aggregate the following 5-minute summaries into a daily summary.\nQuestion: " + std::string(question) +
         "\nCovered range: " + dates_.mediumDateTime(startMs) + " to " + dates_.mediumDateTime(endMs) +
         ".\nKeep the answer in plain text and focus on the most important activity patterns and changes.\n\n" +
         joinStrings(sources, "\n");
}

std::string DailyAggregator::decorateDailyAggregateSummary(std::string_view question, std::int64_t startMs,
                                                           std::int64_t endMs, std::size_t sourceCount,
                                                           std::string_view body) const {
  return "Daily Summary\nQuestion: " + std::string(question) + "\nTime Range: " + dates_.mediumDateTime(startMs) +
         " - " + dates_.mediumDateTime(endMs) + "\nBased on " + std::to_string(sourceCount) +
         " five-minute summaries.\n\n" + trimWhitespace(body);
}

SummaryResult DailyAggregator::summarizeDailyAggregateRemotely(std::string_view sessionId, std::string_view question,
                                                               std::int64_t startMs, std::int64_t endMs,
                                                               const std::vector<Summary>& fiveMinuteSummaries,
                                                               const std::string& remoteAPIBaseURL) const {
  const std::optional<std::string> endpoint = summaryEndpointURL(remoteAPIBaseURL);
  if (!endpoint) throw PipelineError(PipelineError::Kind::invalidRemoteEndpoint);
  SummaryRemoteRequest request;
  request.input.push_back(SummaryRemoteInput{
      .content = {SummaryRemoteText{buildDailyAggregatePrompt(question, startMs, endMs, fiveMinuteSummaries)}}});
  request.metadata = SummaryRemoteMetadata{
      .sessionId = std::string(sessionId),
      .rangeStartMs = startMs,
      .rangeEndMs = endMs,
      .chunkInterval = std::string(rawValue(SummaryChunkInterval::fiveMinutes)),
      .preset = "daily_aggregate",
      .question = std::string(question),
      .appNames = {},
  };
  SummaryResult result = remote_.performRemoteSummaryRequest(std::move(request), *endpoint);
  result.modelId = "daily-aggregate/" + result.modelId;
  return result;
}

}  // namespace tolvo
