// Benchmarks of the full-text search of screen text (FTS4 in the SQLCipher metadata database)
// on a month of recognized text: 30 days of 8 recorded hours, 3-minute chunks, 210 lines per
// chunk (1,008,000 lines), stored chunk by chunk through DatabaseManager::storeScreenText as
// the recorder stores them. Every figure is a per-query latency of a page of 20 hits: the time
// column is the mean, the counters give the median (p50_us), the 99th percentile (p99_us), the
// maximum (max_us) and the hits returned per query (rows).
//
// The text is made deterministically: a vocabulary of 30,000 pseudo-words drawn with a Zipf
// distribution, English function words, numbers, identifiers and paths, 3-12 words a line;
// lines belong to documents (an editor's file, a page), and each chunk shows three windows of
// 70 lines of a document, which stay on the same document or move on from chunk to chunk, so
// the same lines come back as they do on a desktop.
//
// Setting TOLVO_TEXT_BENCH_DB to a file keeps the database there and reuses it in later runs
// (the text is made again to choose the query words, but not stored).
#include <stdlib.h>
#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/handle.h"
#include "db/database_manager.h"
#include "db/db_bench_support.h"
#include "db/text_search_query.h"

namespace tolvo {
namespace {

using Clock = std::chrono::steady_clock;
using namespace bench;

constexpr int kDays = 30;
constexpr int kHoursPerDay = 8;
constexpr int kChunksPerHour = 20;
constexpr int kWindows = 3;
constexpr int kLinesPerWindow = 70;
constexpr int kVocabularyWords = 30'000;
constexpr int kDocuments = 20'000;
constexpr std::int64_t kPageSize = 20;
constexpr std::int64_t kHourMs = 3'600'000;
constexpr std::int64_t kDayMs = 24 * kHourMs;
constexpr std::int64_t kChunkMs = kHourMs / kChunksPerHour;
constexpr std::int64_t kWorkdayStartMs = 9 * kHourMs;
constexpr std::int64_t kEpochMs = 1'767'225'600'000;  // 2026-01-01
constexpr int kMiddleDay = kDays / 2;

// --- Deterministic text -------------------------------------------------------------------

std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// SplitMix64: the same sequence on every platform and library (unlike std's distributions).
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() { return mix(state_ += 0x9e3779b97f4a7c15ULL); }
  std::uint64_t below(std::uint64_t n) { return next() % n; }
  double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

 private:
  std::uint64_t state_;
};

// Rank r (0-based) drawn with weight 1 / (r + 1)^s.
class Zipf {
 public:
  Zipf(std::size_t n, double s) : cumulative_(n) {
    double total = 0;
    for (std::size_t r = 0; r < n; ++r) cumulative_[r] = total += 1.0 / std::pow(static_cast<double>(r + 1), s);
  }
  std::size_t draw(Random& random) const {
    const double u = random.unit() * cumulative_.back();
    return std::min(
        static_cast<std::size_t>(std::upper_bound(cumulative_.begin(), cumulative_.end(), u) - cumulative_.begin()),
        cumulative_.size() - 1);
  }

 private:
  std::vector<double> cumulative_;
};

constexpr std::array<std::string_view, 64> kFunctionWords{
    "the",   "of",    "and",  "to",   "a",   "in",   "is",   "that",  "for",   "it",    "on",    "with", "as",
    "was",   "be",    "by",   "this", "are", "or",   "from", "at",    "not",   "but",   "have",  "an",   "they",
    "which", "you",   "one",  "we",   "all", "were", "her",  "would", "there", "their", "will",  "when", "who",
    "him",   "been",  "has",  "more", "if",  "no",   "out",  "do",    "so",    "can",   "what",  "up",   "said",
    "about", "other", "into", "than", "its", "time", "only", "new",   "some",  "could", "these", "may"};

// Pseudo-words in Zipf rank order, made of syllables (never containing q or x, so words
// spelled with them match nothing).
std::vector<std::string> makeVocabulary() {
  static constexpr std::array<std::string_view, 26> kOnsets{"b", "br", "c",  "ch", "d",  "dr", "f", "g",  "gl",
                                                            "h", "j",  "k",  "l",  "m",  "n",  "p", "pl", "r",
                                                            "s", "sh", "st", "t",  "tr", "v",  "w", "z"};
  static constexpr std::array<std::string_view, 8> kVowels{"a", "e", "i", "o", "u", "ai", "ea", "ou"};
  static constexpr std::array<std::string_view, 10> kCodas{"", "", "n", "r", "s", "l", "m", "t", "nd", "st"};
  std::unordered_set<std::string> taken;
  for (std::string_view word : kFunctionWords) taken.emplace(word);
  std::vector<std::string> words;
  Random random(20260101);
  while (words.size() < kVocabularyWords) {
    const std::uint64_t syllables = 1 + random.below(4);
    std::string word;
    for (std::uint64_t s = 0; s < syllables; ++s) {
      word += kOnsets[random.below(kOnsets.size())];
      word += kVowels[random.below(kVowels.size())];
      word += kCodas[random.below(kCodas.size())];
    }
    if (word.size() >= 3 && taken.insert(word).second) words.push_back(std::move(word));
  }
  return words;
}

class TextMaker {
 public:
  TextMaker() : words_(makeVocabulary()), wordRanks_(words_.size(), 1.0), functionRanks_(kFunctionWords.size(), 1.0) {}

  [[nodiscard]] std::size_t documentLength(std::uint64_t doc) const { return 80 + mix(doc + 7) % 520; }

  // Line n of document doc: the same text every time it is shown.
  [[nodiscard]] std::string line(std::uint64_t doc, std::uint64_t n) const {
    static constexpr std::array<std::string_view, 5> kRoots{"home/ana", "usr/share", "var/log", "src", "opt"};
    static constexpr std::array<std::string_view, 6> kExtensions{"cpp", "h", "txt", "md", "json", "log"};
    Random random(mix(doc * 0x100000001b3ULL + n));
    const std::uint64_t count = 3 + random.below(10);
    std::string text;
    for (std::uint64_t w = 0; w < count; ++w) {
      if (!text.empty()) text += random.below(12) == 0 ? ", " : " ";
      const double u = random.unit();
      if (u < 0.30) {
        text += kFunctionWords[functionRanks_.draw(random)];
      } else if (u < 0.86) {
        text += word(random);
      } else if (u < 0.92) {
        text += std::to_string(random.below(3) == 0 ? 1990 + random.below(40) : random.below(10'000));
      } else if (u < 0.97) {
        std::string second = word(random);
        second[0] = static_cast<char>(second[0] - 'a' + 'A');
        text += word(random) + second + "_" + std::to_string(random.below(100));
      } else {
        text += "/" + std::string(kRoots[random.below(kRoots.size())]) + "/" + word(random) + "/" + word(random) + "." +
                std::string(kExtensions[random.below(kExtensions.size())]);
      }
    }
    if (random.below(4) == 0) text[0] = static_cast<char>(text[0] >= 'a' && text[0] <= 'z' ? text[0] - 32 : text[0]);
    return text;
  }

 private:
  [[nodiscard]] const std::string& word(Random& random) const { return words_[wordRanks_.draw(random)]; }

  std::vector<std::string> words_;
  Zipf wordRanks_;
  Zipf functionRanks_;
};

std::string uuidLike(std::uint32_t kind, std::uint64_t n) {
  const std::uint64_t h = mix(kind * 1'000'003ULL + n);
  char id[37];
  std::snprintf(id, sizeof id, "%08x-%04x-4%03x-a%03x-%012llx", kind, static_cast<unsigned>(n & 0xffff),
                static_cast<unsigned>(h & 0xfff), static_cast<unsigned>((h >> 12) & 0xfff),
                static_cast<unsigned long long>((h >> 24) & 0xffffffffffffULL));
  return id;
}

struct ChunkText {
  int day = 0;
  int index = 0;  // within the day
  std::int64_t startMs = 0;
  std::vector<IndexedTextLine> lines;
};

// Calls `visit` for every chunk of the month, in time order.
void forEachChunk(const TextMaker& maker, const std::function<void(const ChunkText&)>& visit) {
  struct Window {
    std::uint64_t doc = 0;
    std::uint64_t top = 0;
  };
  Random random(42);
  const Zipf documentRanks(kDocuments, 0.9);
  std::array<Window, kWindows> windows{};
  ChunkText chunk;
  for (int day = 0; day < kDays; ++day) {
    // A day's work comes back to a dozen documents; the rest are drawn from the whole month.
    std::array<std::uint64_t, 12> workingSet{};
    for (auto& doc : workingSet) doc = documentRanks.draw(random);
    for (int c = 0; c < kHoursPerDay * kChunksPerHour; ++c) {
      chunk.day = day;
      chunk.index = c;
      chunk.startMs = kEpochMs + day * kDayMs + kWorkdayStartMs + c * kChunkMs;
      chunk.lines.clear();
      for (int w = 0; w < kWindows; ++w) {
        Window& window = windows[static_cast<std::size_t>(w)];
        std::int64_t shownFromMs = chunk.startMs + w;
        if (c > 0 && random.unit() < 0.45) {
          window.top += random.below(30);  // scrolled a little
        } else {
          window.doc = random.unit() < 0.5 ? workingSet[random.below(workingSet.size())] : documentRanks.draw(random);
          window.top = random.below(maker.documentLength(window.doc));
          if (c > 0) shownFromMs += static_cast<std::int64_t>(random.below(kChunkMs / 2));
        }
        const std::size_t length = maker.documentLength(window.doc);
        for (int n = 0; n < kLinesPerWindow; ++n) {
          const std::int64_t first = shownFromMs + static_cast<std::int64_t>(random.below(5'000));
          const std::int64_t last =
              first +
              static_cast<std::int64_t>(random.below(static_cast<std::uint64_t>(chunk.startMs + kChunkMs - first)));
          chunk.lines.push_back(
              {maker.line(window.doc, (window.top + static_cast<std::uint64_t>(n)) % length), first, last});
        }
      }
      visit(chunk);
    }
  }
}

// The words of a line as the index's tokenizer cuts ASCII text: runs of letters and digits,
// lower case.
template <typename F>
void forEachToken(std::string_view text, F&& visit) {
  std::string token;
  for (char c : text) {
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
      token += c;
    } else if (c >= 'A' && c <= 'Z') {
      token += static_cast<char>(c + 32);
    } else if (!token.empty()) {
      visit(token);
      token.clear();
    }
  }
  if (!token.empty()) visit(token);
}

bool alphabetic(std::string_view word) {
  return std::all_of(word.begin(), word.end(), [](char c) { return c >= 'a' && c <= 'z'; });
}

// --- The database and the queries ---------------------------------------------------------

struct Query {
  std::string text;
  std::optional<std::int64_t> startMs;
  std::optional<std::int64_t> endMs;
};

enum class Case { rare, medium, common, twoWords, prefix, commonInDay, commonInEmptyHour, nothing };

struct Month {
  std::filesystem::path path;
  std::vector<std::string> rare, medium, common, pairs, prefixes, absent;

  [[nodiscard]] Query query(Case c, std::int64_t i) const {
    auto at = [i](const std::vector<std::string>& list) { return list[static_cast<std::size_t>(i) % list.size()]; };
    const std::int64_t dayStart = kEpochMs + kMiddleDay * kDayMs;
    switch (c) {
      case Case::rare: return {at(rare), {}, {}};
      case Case::medium: return {at(medium), {}, {}};
      case Case::common: return {at(common), {}, {}};
      case Case::twoWords: return {at(pairs), {}, {}};
      case Case::prefix: return {at(prefixes), {}, {}};
      case Case::commonInDay: return {at(common), dayStart, dayStart + kDayMs - 1};
      case Case::commonInEmptyHour: return {at(common), dayStart + 22 * kHourMs, dayStart + 23 * kHourMs - 1};
      case Case::nothing: return {at(absent), {}, {}};
    }
    return {};
  }
};

// Every 7th item, from each of the first seven in turn: consecutive queries then use words far
// apart in frequency and in the index, and any run of queries spans the whole range.
std::vector<std::string> interleaved(const std::vector<std::string>& ranked) {
  std::vector<std::string> out;
  for (std::size_t start = 0; start < 7; ++start) {
    for (std::size_t k = start; k < ranked.size(); k += 7) out.push_back(ranked[k]);
  }
  return out;
}

// Up to `count` words whose line count lies in [low, high], spread evenly over that range's
// frequency ranks; prints how many there were and the median count.
std::vector<std::string> wordsBetween(const std::unordered_map<std::string, std::int64_t>& lineCounts, std::int64_t low,
                                      std::int64_t high, std::size_t count, const char* name) {
  std::vector<std::pair<std::int64_t, std::string>> ranked;
  for (const auto& [word, lines] : lineCounts) {
    if (lines >= low && lines <= high && alphabetic(word)) ranked.emplace_back(lines, word);
  }
  std::sort(ranked.begin(), ranked.end());
  if (ranked.empty()) throw std::runtime_error(std::string("no ") + name + " words");
  std::vector<std::string> chosen;
  const std::size_t n = std::min(count, ranked.size());
  for (std::size_t k = 0; k < n; ++k) chosen.push_back(ranked[k * ranked.size() / n].second);
  std::fprintf(stderr, "%s words: %zu of %zu in [%lld, %lld] lines, median %lld lines\n", name, n, ranked.size(),
               static_cast<long long>(low), static_cast<long long>(high),
               static_cast<long long>(ranked[ranked.size() / 2].first));
  return interleaved(chosen);
}

void storeMonth(const TextMaker& maker, const std::filesystem::path& path) {
  const auto start = Clock::now();
  DatabaseManager manager;
  manager.open(path, kKeyHex);
  for (int day = 0; day < kDays; ++day) {
    const std::int64_t dayStart = kEpochMs + day * kDayMs + kWorkdayStartMs;
    manager.createSession(
        {uuidLike(1, static_cast<std::uint64_t>(day)), dayStart, dayStart + kHoursPerDay * kHourMs, dayStart});
  }
  forEachChunk(maker, [&](const ChunkText& chunk) {
    const std::string chunkId = uuidLike(2, static_cast<std::uint64_t>(chunk.day * 1000 + chunk.index));
    const Artifact artifact{.id = uuidLike(3, static_cast<std::uint64_t>(chunk.day * 1000 + chunk.index)),
                            .sessionId = uuidLike(1, static_cast<std::uint64_t>(chunk.day)),
                            .kind = ArtifactKind::ocr,
                            .rangeStartMs = chunk.startMs,
                            .rangeEndMs = chunk.startMs + kChunkMs,
                            .fileRelpath = chunkId + ".ocr.qxv",
                            .createdAtMs = chunk.startMs + kChunkMs + 5'000};
    // The chunk's row as the recorder leaves it once the chunk is finished.
    Chunk row;
    row.id = chunkId;
    row.sessionId = artifact.sessionId;
    row.startAtMs = chunk.startMs;
    row.endAtMs = chunk.startMs + kChunkMs;
    row.fileRelpath = chunkId + ".qxv";
    row.mp4PlainLen = 20'000'000;
    row.pageSize = 65'536;
    row.codec = "hevc";
    row.width = 1920;
    row.height = 1080;
    row.fps = 1.0;
    row.createdAtMs = chunk.startMs;
    manager.createChunk(row);
    if (!manager.storeScreenText(artifact, chunkId, chunk.lines)) throw std::runtime_error("text not stored");
    if (chunk.index == 0 && chunk.day % 5 == 0) {
      std::fprintf(stderr, "storing day %d, %.0f s\n", chunk.day,
                   std::chrono::duration<double>(Clock::now() - start).count());
    }
  });
  manager.close();
  std::fprintf(stderr, "stored the month in %.1f s\n", std::chrono::duration<double>(Clock::now() - start).count());
}

const Month& month() {
  static const Month built = [] {
    Month m;
    const char* kept = std::getenv("TOLVO_TEXT_BENCH_DB");
    m.path = kept != nullptr && *kept != '\0' ? std::filesystem::path(kept) : workDir() / "month" / "vault.db";
    const bool store = !std::filesystem::exists(m.path);

    const TextMaker maker;
    std::unordered_map<std::string, std::int64_t> lineCounts;
    std::vector<std::string> sampleLines;
    std::int64_t lines = 0;
    std::unordered_set<std::string> seen;
    forEachChunk(maker, [&](const ChunkText& chunk) {
      for (const IndexedTextLine& line : chunk.lines) {
        seen.clear();
        forEachToken(line.text, [&](const std::string& token) {
          if (seen.insert(token).second) ++lineCounts[token];
        });
        if (lines++ % 997 == 0) sampleLines.push_back(line.text);
      }
    });
    std::fprintf(stderr, "%lld lines, %zu distinct words\n", static_cast<long long>(lines), lineCounts.size());
    if (store) storeMonth(maker, m.path);

    m.rare = wordsBetween(lineCounts, 6, 15, 200, "rare");
    m.medium = wordsBetween(lineCounts, 700, 1'400, 200, "medium");
    m.common = wordsBetween(lineCounts, 100'000, lines, 200, "common");
    // Two content words seen on the same line.
    for (const std::string& text : sampleLines) {
      std::vector<std::string> content;
      forEachToken(text, [&](const std::string& token) {
        const std::int64_t n = lineCounts[token];
        if (alphabetic(token) && n >= 200 && n < 100'000 && content.size() < 2 &&
            (content.empty() || content[0] != token)) {
          content.push_back(token);
        }
      });
      if (content.size() == 2 && m.pairs.size() < 200) m.pairs.push_back(content[0] + " " + content[1]);
    }
    // Three-letter prefixes, spread over the ranks of the lines their words are on.
    std::unordered_map<std::string, std::pair<std::int64_t, std::int64_t>> prefixes;  // lines (summed), words
    for (const auto& [word, n] : lineCounts) {
      if (word.size() > 3 && alphabetic(word)) {
        auto& p = prefixes[word.substr(0, 3)];
        p.first += n;
        ++p.second;
      }
    }
    std::vector<std::pair<std::pair<std::int64_t, std::int64_t>, std::string>> rankedPrefixes;
    for (const auto& [prefix, counts] : prefixes) rankedPrefixes.push_back({counts, prefix});
    std::sort(rankedPrefixes.begin(), rankedPrefixes.end());
    const std::size_t n = std::min<std::size_t>(200, rankedPrefixes.size());
    std::vector<std::string> chosen;
    for (std::size_t k = 0; k < n; ++k) chosen.push_back(rankedPrefixes[k * rankedPrefixes.size() / n].second + "*");
    m.prefixes = interleaved(chosen);
    const auto& median = rankedPrefixes[rankedPrefixes.size() / 2].first;
    std::fprintf(stderr, "prefixes: %zu of %zu, median %lld words and at most %lld lines each, largest %lld lines\n", n,
                 rankedPrefixes.size(), static_cast<long long>(median.second), static_cast<long long>(median.first),
                 static_cast<long long>(rankedPrefixes.back().first.first));
    for (std::uint64_t k = 0; k < 200; ++k) m.absent.push_back("qx" + uuidLike(4, k).substr(24));

    Connection db = rawOpen(m.path);
    sqlite3_stmt* raw = nullptr;
    check(sqlite3_prepare_v2(db.get(), "SELECT count(*), count(DISTINCT level) FROM screen_text_index_segdir;", -1,
                             &raw, nullptr),
          db.get(), "prepare");
    Statement segments(raw);
    check(sqlite3_step(raw), db.get(), "segments");
    std::fprintf(stderr, "file %.0f MiB, index in %d segments on %d levels\n",
                 static_cast<double>(std::filesystem::file_size(m.path)) / (1024.0 * 1024.0),
                 sqlite3_column_int(raw, 0), sqlite3_column_int(raw, 1));
    return m;
  }();
  return built;
}

// --- Benchmarks ---------------------------------------------------------------------------

void searchManager(benchmark::State& state, Case c) {
  const Month& m = month();
  DatabaseManager db;
  db.open(m.path, kKeyHex);
  std::int64_t i = 0;
  std::size_t rows = 0;
  {
    Latencies latencies(state);
    for (auto _ : state) {
      const Query q = m.query(c, i++);
      latencies.measure([&] { rows += db.searchText(q.text, q.startMs, q.endMs, kPageSize, 0).size(); });
    }
  }
  state.counters["rows"] = static_cast<double>(rows) / static_cast<double>(i);
  db.close();
}

// The manager's statement, walking the index by line id (docid) from the end bound.
constexpr const char* kWalkSQL =
    "SELECT l.session_id, l.chunk_id, l.first_seen_ms, l.last_seen_ms, i.text, snippet(screen_text_index, "
    "'[', ']', '…', -1, 12) AS snippet FROM screen_text_index AS i CROSS JOIN screen_text_lines AS l ON "
    "l.line_id = i.docid WHERE screen_text_index MATCH ?1 AND i.docid <= ?2 AND l.last_seen_ms >= ?3 ORDER BY "
    "i.docid DESC LIMIT ?4;";
// Baseline: the same match ordered by the time first seen with a sort of every match in the
// bounds. No snippets: they would be cut for every match before the sort; one made afterwards
// for the page alone costs what the walk's does.
constexpr const char* kSortSQL =
    "SELECT l.session_id, l.chunk_id, l.first_seen_ms, l.last_seen_ms, i.text FROM screen_text_index AS i "
    "CROSS JOIN screen_text_lines AS l ON l.line_id = i.docid WHERE screen_text_index MATCH ?1 AND "
    "l.first_seen_ms <= ?2 AND l.last_seen_ms >= ?3 ORDER BY l.first_seen_ms DESC LIMIT ?4;";
// Baseline: no index at all, every line's text searched for the word, newest first.
constexpr const char* kLikeSQL =
    "SELECT l.session_id, l.chunk_id, l.first_seen_ms, l.last_seen_ms, i.text FROM screen_text_index AS i "
    "CROSS JOIN screen_text_lines AS l ON l.line_id = i.docid WHERE i.text LIKE ?1 AND i.docid <= ?2 AND "
    "l.last_seen_ms >= ?3 ORDER BY i.docid DESC LIMIT ?4;";

// The walk with a lower bound as well: a line is seen within one chunk, so one still on screen
// at the start bound was first seen at most a chunk's length before it. Bounded by this
// month's chunk length (3 minutes) and by the longest chunk the settings allow (a day).
constexpr const char* kBoundedWalkSQL =
    "SELECT l.session_id, l.chunk_id, l.first_seen_ms, l.last_seen_ms, i.text, snippet(screen_text_index, "
    "'[', ']', '…', -1, 12) AS snippet FROM screen_text_index AS i CROSS JOIN screen_text_lines AS l ON "
    "l.line_id = i.docid WHERE screen_text_index MATCH ?1 AND i.docid <= ?2 AND i.docid >= ?5 AND "
    "l.last_seen_ms >= ?3 ORDER BY i.docid DESC LIMIT ?4;";

enum class Raw { walk, walkFromChunk, walkFromDay, sort, like };

const char* rawSQL(Raw how) {
  switch (how) {
    case Raw::walk: return kWalkSQL;
    case Raw::walkFromChunk:
    case Raw::walkFromDay: return kBoundedWalkSQL;
    case Raw::sort: return kSortSQL;
    case Raw::like: return kLikeSQL;
  }
  return kWalkSQL;
}

void searchRaw(benchmark::State& state, Case c, Raw how) {
  const Month& m = month();
  Connection db = rawOpen(m.path);
  const char* sql = rawSQL(how);
  std::int64_t i = 0;
  std::size_t rows = 0;
  {
    Latencies latencies(state);
    for (auto _ : state) {
      const Query q = m.query(c, i++);
      latencies.measure([&] {
        sqlite3_stmt* raw = nullptr;
        check(sqlite3_prepare_v2(db.get(), sql, -1, &raw, nullptr), db.get(), "prepare");
        Statement st(raw);
        const std::string match = how == Raw::like ? "%" + q.text + "%" : textMatchExpression(q.text);
        sqlite3_bind_text(raw, 1, match.c_str(), -1, SQLITE_TRANSIENT);
        const std::int64_t end = q.endMs.value_or(std::numeric_limits<std::int64_t>::max() / 1024 - 1);
        sqlite3_bind_int64(raw, 2, how == Raw::sort ? end : end * 1024 + 1023);
        sqlite3_bind_int64(raw, 3, q.startMs.value_or(std::numeric_limits<std::int64_t>::min()));
        sqlite3_bind_int64(raw, 4, kPageSize);
        if (how == Raw::walkFromChunk || how == Raw::walkFromDay) {
          const std::int64_t span = how == Raw::walkFromChunk ? kChunkMs : kDayMs;
          sqlite3_bind_int64(raw, 5, q.startMs ? (*q.startMs - span) * 1024 : std::numeric_limits<std::int64_t>::min());
        }
        int rc;
        while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
          benchmark::DoNotOptimize(sqlite3_column_text(raw, 4));
          ++rows;
        }
        check(rc, db.get(), "step");
      });
    }
  }
  state.counters["rows"] = static_cast<double>(rows) / static_cast<double>(i);
}

struct Registered {
  const char* name;
  Case c;
  int iterations;        // through the manager and the raw walk
  int sortIterations;    // 0: no sorting baseline
  int likeIterations;    // 0: no LIKE baseline
  bool bounded = false;  // also the walk with a lower bound
};

constexpr std::array<Registered, 8> kCases{{
    {"rare", Case::rare, 400, 400, 3},
    {"medium", Case::medium, 400, 200, 3},
    {"common", Case::common, 200, 20, 0},
    {"two_words", Case::twoWords, 400, 100, 0},
    {"prefix", Case::prefix, 200, 20, 0},
    {"common_in_day", Case::commonInDay, 200, 20, 0, true},
    {"common_in_empty_hour", Case::commonInEmptyHour, 100, 20, 0, true},
    {"nothing", Case::nothing, 400, 400, 0},
}};

void registerBenchmarks() {
  for (const Registered& r : kCases) {
    const Case c = r.c;
    auto add = [&](const std::string& name, int iterations, std::function<void(benchmark::State&)> run) {
      benchmark::RegisterBenchmark(name.c_str(), [run](benchmark::State& state) { run(state); })
          ->Iterations(iterations)
          ->UseManualTime()
          ->Unit(benchmark::kMillisecond);
    };
    add(std::string("BM_SearchText_Manager/") + r.name, r.iterations, [c](auto& s) { searchManager(s, c); });
    add(std::string("BM_SearchText_RawWalk/") + r.name, r.iterations, [c](auto& s) { searchRaw(s, c, Raw::walk); });
    if (r.bounded) {
      add(std::string("BM_SearchText_RawWalkFromChunk/") + r.name, r.iterations,
          [c](auto& s) { searchRaw(s, c, Raw::walkFromChunk); });
      add(std::string("BM_SearchText_RawWalkFromDay/") + r.name, r.iterations,
          [c](auto& s) { searchRaw(s, c, Raw::walkFromDay); });
    }
    if (r.sortIterations > 0) {
      add(std::string("BM_SearchText_RawSort/") + r.name, r.sortIterations,
          [c](auto& s) { searchRaw(s, c, Raw::sort); });
    }
    if (r.likeIterations > 0) {
      add(std::string("BM_SearchText_RawLike/") + r.name, r.likeIterations,
          [c](auto& s) { searchRaw(s, c, Raw::like); });
    }
  }
}

}  // namespace
}  // namespace tolvo

int main(int argc, char** argv) { return tolvo::bench::runBenchmarks(argc, argv, tolvo::registerBenchmarks); }
