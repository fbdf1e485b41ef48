#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <vector>

#include <benchmark/benchmark.h>

namespace tolvo::bench {

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
