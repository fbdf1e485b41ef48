#pragma once

// What the database benchmarks share: a scratch folder, raw SQLCipher connections keyed like
// DatabaseManager keys its file, per-operation latencies, and the program's main.
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/handle.h"

namespace tolvo::bench {

using Connection = Handle<sqlite3, sqlite3_close>;
using Statement = Handle<sqlite3_stmt, sqlite3_finalize>;

inline constexpr std::string_view kKeyHex = "5f0e2a7c19d84b3e6a21c0ff9e8d7c6b5a4938271605f4e3d2c1b0a998877665";

// The run's scratch folder under the temporary directory, made on first use.
inline std::filesystem::path& workDir() {
  static std::filesystem::path dir = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "tolvo-db-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return std::filesystem::path(pattern);
  }();
  return dir;
}

inline void check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
  }
}

inline void exec(sqlite3* db, const std::string& sql) {
  check(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), db, sql.c_str());
}

// The key statement DatabaseManager issues for kKeyHex.
inline std::string managerKeyPragma() { return "PRAGMA key = 'x\"" + std::string(kKeyHex) + "\"';"; }

// A raw connection to a file, keyed with `keyPragma` (none when empty).
inline Connection rawOpen(const std::filesystem::path& path, const std::string& keyPragma = managerKeyPragma()) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open(path.c_str(), &raw);
  Connection db(raw);
  check(rc, raw, "open");
  if (!keyPragma.empty()) exec(db.get(), keyPragma);
  return db;
}

// A benchmark program's main: the diagnostic log of every open goes into the scratch folder,
// not the user's; `registerMore` adds benchmarks made at run time; the folder is removed at
// the end.
inline int runBenchmarks(int argc, char** argv, void (*registerMore)() = nullptr) {
  const std::filesystem::path dir = workDir();
  ::setenv("TMPDIR", dir.c_str(), 1);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (registerMore != nullptr) registerMore();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return 0;
}

// Per-operation samples of a benchmark with manual time: reports the mean as the benchmark
// time and the median, 99th percentile and maximum as counters (p50_us, p99_us, max_us).
class Latencies {
 public:
  explicit Latencies(benchmark::State& state) : state_(state) {}
  Latencies(const Latencies&) = delete;
  Latencies& operator=(const Latencies&) = delete;
  ~Latencies() {
    if (samples_.empty()) return;
    std::sort(samples_.begin(), samples_.end());
    auto at = [&](double q) {
      return samples_[static_cast<std::size_t>(q * static_cast<double>(samples_.size() - 1))];
    };
    state_.counters["p50_us"] = at(0.50) * 1e6;
    state_.counters["p99_us"] = at(0.99) * 1e6;
    state_.counters["max_us"] = samples_.back() * 1e6;
  }

  template <typename F>
  void measure(F&& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state_.SetIterationTime(seconds);
    samples_.push_back(seconds);
  }

 private:
  benchmark::State& state_;
  std::vector<double> samples_;
};

}  // namespace tolvo::bench
