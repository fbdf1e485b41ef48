// Benchmarks of the metadata database (SQLCipher 3.4, 1 KiB pages, PBKDF2 key from text).
// Every figure is a per-operation latency: the time column is the mean, the counters give the
// median (p50_us) and the 99th percentile (p99_us) of the individual operations.
#include <stdlib.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include <benchmark/benchmark.h>

#include "core/handle.h"
#include "db/database_manager.h"
#include "db/db_bench_support.h"

namespace tolvo {
namespace {

using Clock = std::chrono::steady_clock;
using namespace bench;
constexpr int kSessions = 100;
constexpr int kEventsPerSession = 10'000;
constexpr std::int64_t kDayMs = 86'400'000;
constexpr std::int64_t kHourMs = 3'600'000;
constexpr std::int64_t kEventSpacingMs = kDayMs / kEventsPerSession;  // 8.64 s: a day per session
constexpr std::int64_t kEpochMs = 1'767'225'600'000;                   // 2026-01-01

std::string sessionId(int s) {
  char id[37];
  std::snprintf(id, sizeof id, "%08x-%04x-4%03x-a%03x-%012x", 0x5e551000u + static_cast<unsigned>(s * 7919), s,
                s % 4096, (s * 31) % 4096, static_cast<unsigned>(s) * 2654435761u);
  return id;
}

// The 1,000,000-event database: made once per run through DatabaseManager (schema, pragmas),
// then filled in one transaction over a raw connection keyed the same way.
const std::filesystem::path& bigDatabase() {
  static const std::filesystem::path path = [] {
    const auto p = workDir() / "big" / "vault.db";
    const auto start = Clock::now();
    {
      DatabaseManager manager;
      manager.open(p, kKeyHex);
      manager.close();
    }
    Connection db = rawOpen(p, managerKeyPragma());
    exec(db.get(), "BEGIN IMMEDIATE TRANSACTION;");
    sqlite3_stmt* raw = nullptr;
    check(sqlite3_prepare_v2(db.get(), "INSERT INTO events (session_id, ts_ms, type, payload) VALUES (?, ?, ?, ?);",
                             -1, &raw, nullptr),
          db.get(), "prepare");
    Statement insert(raw);
    static constexpr const char* kTypes[] = {"app_changed", "window_title_changed", "chunk_started", "chunk_ended",
                                             "display_changed"};
    const std::string payload = R"({"bundleId":"org.example.editor","displayId":"1"})";
    for (int s = 0; s < kSessions; ++s) {
      const std::string id = sessionId(s);
      const std::int64_t sessionStart = kEpochMs + s * kDayMs;
      for (int i = 0; i < kEventsPerSession; ++i) {
        sqlite3_reset(insert.get());
        sqlite3_bind_text(insert.get(), 1, id.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int64(insert.get(), 2, sessionStart + i * kEventSpacingMs);
        sqlite3_bind_text(insert.get(), 3, kTypes[i % 5], -1, SQLITE_STATIC);
        if (i % 5 < 2) {
          sqlite3_bind_blob(insert.get(), 4, payload.data(), static_cast<int>(payload.size()), SQLITE_STATIC);
        } else {
          sqlite3_bind_null(insert.get(), 4);
        }
        check(sqlite3_step(insert.get()), db.get(), "insert");
      }
    }
    insert.reset();
    exec(db.get(), "COMMIT;");
    exec(db.get(), "PRAGMA wal_checkpoint(TRUNCATE);");
    std::fprintf(stderr, "built %d events in %.1f s, file %.0f MiB\n", kSessions * kEventsPerSession,
                 std::chrono::duration<double>(Clock::now() - start).count(),
                 static_cast<double>(std::filesystem::file_size(p)) / (1024.0 * 1024.0));
    return p;
  }();
  return path;
}

// The i-th query range: sessions in turn, a different hour of the day each time.
struct Range {
  std::string session;
  std::int64_t startMs;
  std::int64_t endMs;
};
Range rangeFor(std::int64_t i, std::int64_t hours) {
  const int s = static_cast<int>((i * 37) % kSessions);
  const std::int64_t hour = (i * 7) % (24 - hours + 1);
  const std::int64_t start = kEpochMs + s * kDayMs + hour * kHourMs;
  return {sessionId(s), start, start + hours * kHourMs - 1};
}

void BM_ListEvents_Manager(benchmark::State& state) {
  const auto& path = bigDatabase();
  DatabaseManager db;
  db.open(path, kKeyHex);
  Latencies latencies(state);
  std::int64_t i = 0;
  std::size_t rows = 0;
  for (auto _ : state) {
    const Range r = rangeFor(i++, state.range(0));
    latencies.measure([&] { rows += db.listEvents(r.session, r.startMs, r.endMs).size(); });
  }
  state.counters["rows"] = static_cast<double>(rows) / static_cast<double>(i);
  db.close();
}

// Baseline: the same statement over a raw connection (no queue hop, no row maps, no records);
// with `notIndexed` the events table is scanned as it would be without idx_events_session_ts.
void listEventsRaw(benchmark::State& state, bool notIndexed) {
  const auto& path = bigDatabase();
  Connection db = rawOpen(path, managerKeyPragma());
  const std::string sql = std::string("SELECT event_id, session_id, ts_ms, type, payload FROM events") +
                          (notIndexed ? " NOT INDEXED" : "") +
                          " WHERE session_id = ? AND ts_ms >= ? AND ts_ms <= ? ORDER BY ts_ms;";
  Latencies latencies(state);
  std::int64_t i = 0;
  std::size_t rows = 0;
  for (auto _ : state) {
    const Range r = rangeFor(i++, state.range(0));
    latencies.measure([&] {
      sqlite3_stmt* raw = nullptr;
      check(sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &raw, nullptr), db.get(), "prepare");
      Statement st(raw);
      sqlite3_bind_text(raw, 1, r.session.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int64(raw, 2, r.startMs);
      sqlite3_bind_int64(raw, 3, r.endMs);
      int rc;
      while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        benchmark::DoNotOptimize(sqlite3_column_int64(raw, 0));
        benchmark::DoNotOptimize(sqlite3_column_blob(raw, 4));
        ++rows;
      }
      check(rc, db.get(), "step");
    });
  }
  state.counters["rows"] = static_cast<double>(rows) / static_cast<double>(i);
}
void BM_ListEvents_RawIndexed(benchmark::State& state) { listEventsRaw(state, false); }
void BM_ListEvents_RawFullScan(benchmark::State& state) { listEventsRaw(state, true); }

Event sampleEvent(std::int64_t i) {
  return {0, sessionId(static_cast<int>(i % 3) + 500), kEpochMs + i * 1000, EventType::appChanged,
          toBytes(R"({"bundleId":"org.example.editor","displayId":"1"})")};
}

// createEvent through DatabaseManager (WAL, synchronous NORMAL). Arg 0: a fresh database;
// arg 1: the 1,000,000-event database.
void BM_CreateEvent_Manager(benchmark::State& state) {
  const bool big = state.range(0) == 1;
  const auto path = big ? bigDatabase() : workDir() / ("fresh-" + std::to_string(::getpid())) / "vault.db";
  DatabaseManager db;
  db.open(path, kKeyHex);
  Latencies latencies(state);
  std::int64_t i = 0;
  for (auto _ : state) {
    const Event event = sampleEvent(i++);
    latencies.measure([&] { db.createEvent(event); });
  }
  db.close();
}

// Baseline: the same prepare/bind/step/finalize insert over a raw keyed connection with the
// given journal mode and synchronous setting (DELETE + FULL is SQLite's default).
void createEventRaw(benchmark::State& state, const char* journal, const char* synchronous) {
  static int run = 0;
  const auto path = workDir() / ("raw-" + std::string(journal) + "-" + synchronous + "-" + std::to_string(run++));
  DatabaseManager manager;  // schema and indices as in production
  manager.open(path / "vault.db", kKeyHex);
  manager.close();
  Connection db = rawOpen(path / "vault.db", managerKeyPragma());
  exec(db.get(), std::string("PRAGMA journal_mode = ") + journal + ";");
  exec(db.get(), std::string("PRAGMA synchronous = ") + synchronous + ";");
  Latencies latencies(state);
  std::int64_t i = 0;
  for (auto _ : state) {
    const Event event = sampleEvent(i++);
    latencies.measure([&] {
      sqlite3_stmt* raw = nullptr;
      check(sqlite3_prepare_v2(db.get(), "INSERT INTO events (session_id, ts_ms, type, payload) VALUES (?, ?, ?, ?);",
                               -1, &raw, nullptr),
            db.get(), "prepare");
      Statement st(raw);
      sqlite3_bind_text(raw, 1, event.sessionId.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int64(raw, 2, event.tsMs);
      sqlite3_bind_text(raw, 3, "app_changed", -1, SQLITE_STATIC);
      sqlite3_bind_blob(raw, 4, event.payload->data(), static_cast<int>(event.payload->size()), SQLITE_TRANSIENT);
      check(sqlite3_step(raw), db.get(), "insert");
    });
  }
}
void BM_CreateEvent_RawWalNormal(benchmark::State& state) { createEventRaw(state, "WAL", "NORMAL"); }
void BM_CreateEvent_RawWalFull(benchmark::State& state) { createEventRaw(state, "WAL", "FULL"); }
void BM_CreateEvent_RawDeleteFull(benchmark::State& state) { createEventRaw(state, "DELETE", "FULL"); }

// open + close of an existing keyed database through DatabaseManager: directory check, file
// check, sqlite3_open, key, pragmas, thirteen schema statements (the first read runs the
// 64,000-iteration PBKDF2 of the text key), diagnostic log lines.
void BM_OpenClose_Manager(benchmark::State& state) {
  const auto path = workDir() / "open" / "vault.db";
  DatabaseManager db;
  db.open(path, kKeyHex);
  db.close();
  Latencies latencies(state);
  for (auto _ : state) {
    latencies.measure([&] {
      db.open(path, kKeyHex);
      db.close();
    });
  }
}

// Baselines: open, key, read the schema, close, with a raw 256-bit key (no PBKDF2) and with no
// key at all (an ordinary SQLite file).
void openCloseRaw(benchmark::State& state, const std::string& keyPragma, const char* name) {
  const auto path = workDir() / name;
  {
    Connection db = rawOpen(path, keyPragma);
    exec(db.get(), "PRAGMA journal_mode = WAL;");
    exec(db.get(), "CREATE TABLE IF NOT EXISTS sessions (session_id TEXT PRIMARY KEY);");
  }
  Latencies latencies(state);
  for (auto _ : state) {
    latencies.measure([&] {
      Connection db = rawOpen(path, keyPragma);
      exec(db.get(), "CREATE TABLE IF NOT EXISTS sessions (session_id TEXT PRIMARY KEY);");
    });
  }
}
void BM_OpenClose_RawKey(benchmark::State& state) {
  openCloseRaw(state, "PRAGMA key = \"x'" + std::string(kKeyHex) + "'\";", "rawkey.db");
}
void BM_OpenClose_NoKey(benchmark::State& state) { openCloseRaw(state, "", "plain.db"); }

BENCHMARK(BM_ListEvents_Manager)->Arg(1)->Arg(9)->Iterations(2000)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListEvents_RawIndexed)->Arg(1)->Arg(9)->Iterations(2000)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListEvents_RawFullScan)->Arg(1)->Iterations(10)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CreateEvent_Manager)->Arg(0)->Arg(1)->Iterations(5000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CreateEvent_RawWalNormal)->Iterations(5000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CreateEvent_RawWalFull)->Iterations(1000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CreateEvent_RawDeleteFull)->Iterations(500)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenClose_Manager)->Iterations(30)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenClose_RawKey)->Iterations(30)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenClose_NoKey)->Iterations(30)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tolvo

int main(int argc, char** argv) { return tolvo::bench::runBenchmarks(argc, argv); }
