// Throughput of the QXV writer and reader against their floor (the same 64 KiB pages
// sealed or opened with bare EVP calls), and the cost of the password derivation.
// Each benchmark runs 5 repetitions; the median is the figure to quote. At the end the
// ratios QXV / floor are printed from those medians. Rates are per CPU second of the
// benchmark thread (system time of its read/write calls included): on a machine shared
// with other jobs wall-clock rates swing too much to compare two runs.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "scratch_dir.h"
#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "crypto/encryption_utilities.h"
#include "crypto/key_manager.h"
#include "crypto/qxv_reader.h"
#include "crypto/qxv_writer.h"

namespace {

using namespace tolvo;

constexpr std::size_t kPage = 65536;
constexpr std::size_t kTag = 16;
constexpr std::size_t kCall = 1 << 20;       // 1 MiB per write/readRange call
constexpr std::size_t kTotal = 256u << 20;   // 256 MiB per iteration
constexpr std::size_t kPages = kTotal / kPage;
constexpr int kRepetitions = 5;
const std::string kChunkId = "0f6a4c2e-8b1d-4e57-9a3c-5d2e7f1b6c90";

using bench::scratch;

const SymmetricKey& benchKey() {
  static const SymmetricKey key = SymmetricKey::random();
  return key;
}

// 1 MiB of random plaintext, written 256 times per iteration.
const Bytes& source() {
  static const Bytes data = EncryptionUtilities::randomBytes(kCall);
  return data;
}

struct CipherContext {
  CipherContext() : ctx(EVP_CIPHER_CTX_new()) {}
  ~CipherContext() { EVP_CIPHER_CTX_free(ctx); }
  EVP_CIPHER_CTX* ctx;
};

// The floor: one page sealed with bare EVP calls, nonce and AAD built in place.
void sealPage(EVP_CIPHER_CTX* ctx, const std::uint8_t* base, std::uint32_t index, const std::uint8_t* in,
              std::uint8_t* out) {
  std::uint8_t nonce[12];
  std::memcpy(nonce, base, 8);
  std::memcpy(nonce + 8, &index, 4);  // little-endian host
  std::uint8_t aad[36 + 4];
  std::memcpy(aad, kChunkId.data(), 36);
  std::memcpy(aad + 36, &index, 4);
  int n = 0;
  EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce);
  EVP_EncryptUpdate(ctx, nullptr, &n, aad, sizeof aad);
  EVP_EncryptUpdate(ctx, out, &n, in, static_cast<int>(kPage));
  EVP_EncryptFinal_ex(ctx, out + kPage, &n);
  EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, out + kPage);
}

bool openPage(EVP_CIPHER_CTX* ctx, const std::uint8_t* base, std::uint32_t index, const std::uint8_t* sealed,
              std::uint8_t* out) {
  std::uint8_t nonce[12];
  std::memcpy(nonce, base, 8);
  std::memcpy(nonce + 8, &index, 4);
  std::uint8_t aad[36 + 4];
  std::memcpy(aad, kChunkId.data(), 36);
  std::memcpy(aad + 36, &index, 4);
  int n = 0;
  EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce);
  EVP_DecryptUpdate(ctx, nullptr, &n, aad, sizeof aad);
  EVP_DecryptUpdate(ctx, out, &n, sealed, static_cast<int>(kPage));
  EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, const_cast<std::uint8_t*>(sealed + kPage));
  return EVP_DecryptFinal_ex(ctx, out + kPage, &n) == 1;
}

// ---- Sequential write ---------------------------------------------------------------

void BM_QXVWrite(benchmark::State& state) {
  const auto path = scratch().path() / "write.qxv";
  for (auto _ : state) {
    QXVWriter writer(path, kChunkId, benchKey());
    for (std::size_t done = 0; done < kTotal; done += kCall) writer.write(source());
    benchmark::DoNotOptimize(writer.finalize());
    state.PauseTiming();
    std::filesystem::remove(path);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTotal));
}

void BM_FloorEvpSeal(benchmark::State& state) {
  CipherContext c;
  EVP_EncryptInit_ex(c.ctx, EVP_aes_256_gcm(), nullptr, benchKey().toData().data(), nullptr);
  const Bytes base = EncryptionUtilities::generateNonceBase();
  Bytes out(kPage + kTag);
  for (auto _ : state) {
    for (std::uint32_t i = 0; i < kPages; ++i) {
      sealPage(c.ctx, base.data(), i, source().data() + (i % (kCall / kPage)) * kPage, out.data());
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTotal));
}

void BM_FloorEvpSealAndWrite(benchmark::State& state) {
  const auto path = scratch().path() / "floor.bin";
  CipherContext c;
  EVP_EncryptInit_ex(c.ctx, EVP_aes_256_gcm(), nullptr, benchKey().toData().data(), nullptr);
  const Bytes base = EncryptionUtilities::generateNonceBase();
  Bytes out(kPage + kTag);
  for (auto _ : state) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::write(fd, base.data(), 64) != 64) state.SkipWithError("open/write failed");
    for (std::uint32_t i = 0; i < kPages; ++i) {
      sealPage(c.ctx, base.data(), i, source().data() + (i % (kCall / kPage)) * kPage, out.data());
      if (::write(fd, out.data(), out.size()) != static_cast<ssize_t>(out.size())) state.SkipWithError("write");
    }
    ::fsync(fd);  // the writer puts a finished chunk on stable storage too
    ::close(fd);
    state.PauseTiming();
    std::filesystem::remove(path);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTotal));
}

// ---- Sequential read ------------------------------------------------------------------

const std::filesystem::path& readFile() {
  static const std::filesystem::path path = [] {
    auto p = scratch().path() / "read.qxv";
    QXVWriter writer(p, kChunkId, benchKey());
    for (std::size_t done = 0; done < kTotal; done += kCall) writer.write(source());
    (void)writer.finalize();
    return p;
  }();
  return path;
}

void BM_QXVRead(benchmark::State& state) {
  QXVReader reader(readFile(), benchKey());
  const auto total = static_cast<std::int64_t>(kTotal);
  for (auto _ : state) {
    for (std::int64_t offset = 0; offset < total; offset += kCall) {
      Bytes range = reader.readRange(offset, kCall, total);
      benchmark::DoNotOptimize(range.data());
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTotal));
}

void BM_FloorEvpOpen(benchmark::State& state) {
  // The same sealed pages, already in memory.
  Bytes file(std::filesystem::file_size(readFile()));
  {
    int fd = ::open(readFile().c_str(), O_RDONLY | O_CLOEXEC);
    std::size_t got = 0;
    while (got < file.size()) {
      ssize_t n = ::read(fd, file.data() + got, file.size() - got);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    ::close(fd);
  }
  const std::uint8_t* base = file.data() + 10;
  CipherContext c;
  EVP_DecryptInit_ex(c.ctx, EVP_aes_256_gcm(), nullptr, benchKey().toData().data(), nullptr);
  Bytes out(kPage + kTag);
  for (auto _ : state) {
    for (std::uint32_t i = 0; i < kPages; ++i) {
      if (!openPage(c.ctx, base, i, file.data() + 64 + i * (kPage + kTag), out.data())) {
        state.SkipWithError("page did not authenticate");
      }
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTotal));
}

// The floor with I/O: each sealed page read with pread() from the same file, then opened.
void BM_FloorPreadAndEvpOpen(benchmark::State& state) {
  const int fd = ::open(readFile().c_str(), O_RDONLY | O_CLOEXEC);
  std::uint8_t header[64];
  if (fd < 0 || ::pread(fd, header, sizeof header, 0) != 64) {
    state.SkipWithError("open/read failed");
    return;
  }
  CipherContext c;
  EVP_DecryptInit_ex(c.ctx, EVP_aes_256_gcm(), nullptr, benchKey().toData().data(), nullptr);
  Bytes sealed(kPage + kTag);
  Bytes out(kPage + kTag);
  for (auto _ : state) {
    for (std::uint32_t i = 0; i < kPages; ++i) {
      const auto at = static_cast<off_t>(64 + i * (kPage + kTag));
      if (::pread(fd, sealed.data(), sealed.size(), at) != static_cast<ssize_t>(sealed.size()) ||
          !openPage(c.ctx, header + 10, i, sealed.data(), out.data())) {
        state.SkipWithError("page did not read or authenticate");
      }
      benchmark::DoNotOptimize(out.data());
    }
  }
  ::close(fd);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTotal));
}

// A one-byte range costs one page: pagesDecrypted per iteration must be 1.
void BM_QXVReadOneByte(benchmark::State& state) {
  QXVReader reader(readFile(), benchKey());
  const auto total = static_cast<std::int64_t>(kTotal);
  std::int64_t offset = 12345;
  for (auto _ : state) {
    Bytes range = reader.readRange(offset, 1, total);
    benchmark::DoNotOptimize(range.data());
    offset = (offset + 7 * 65536 + 4099) % total;
  }
  state.counters["pagesDecrypted"] = benchmark::Counter(static_cast<double>(reader.pagesDecrypted()),
                                                        benchmark::Counter::kAvgIterations);
}

// ---- Password derivation ----------------------------------------------------------------

void BM_PBKDF2_100k(benchmark::State& state) {
  KeyManager km;
  const Bytes salt = EncryptionUtilities::randomBytes(32);
  for (auto _ : state) {
    auto kek = km.deriveKEK("correct horse battery staple", salt, 100000);
    if (!kek) state.SkipWithError("derivation failed");
    benchmark::DoNotOptimize(kek);
  }
}

// Five repetitions each; the console shows mean, median, stddev and cv.
#define TOLVO_STEADY(min_time) \
  MinTime(min_time)->Repetitions(kRepetitions)->DisplayAggregatesOnly(true)

BENCHMARK(BM_QXVWrite)->Unit(benchmark::kMillisecond)->TOLVO_STEADY(1.0);
BENCHMARK(BM_FloorEvpSeal)->Unit(benchmark::kMillisecond)->TOLVO_STEADY(0.5);
BENCHMARK(BM_FloorEvpSealAndWrite)->Unit(benchmark::kMillisecond)->TOLVO_STEADY(1.0);
BENCHMARK(BM_QXVRead)->Unit(benchmark::kMillisecond)->TOLVO_STEADY(0.5);
BENCHMARK(BM_FloorEvpOpen)->Unit(benchmark::kMillisecond)->TOLVO_STEADY(0.5);
BENCHMARK(BM_FloorPreadAndEvpOpen)->Unit(benchmark::kMillisecond)->TOLVO_STEADY(0.5);
BENCHMARK(BM_QXVReadOneByte)->Unit(benchmark::kMicrosecond)->TOLVO_STEADY(0.2);
BENCHMARK(BM_PBKDF2_100k)->Unit(benchmark::kMillisecond)->TOLVO_STEADY(0.5);

// Console output as usual, plus the medians kept for the ratio lines.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        auto it = run.counters.find("bytes_per_second");
        if (it != run.counters.end()) medians_[run.run_name.function_name] = it->second.value;
      }
    }
  }

  void printRatios() const {
    std::printf("\nMedian throughput ratios (target: write >= 85%%, read >= 80%%)\n");
    ratio("QXV write / EVP seal + write() floor", "BM_QXVWrite", "BM_FloorEvpSealAndWrite");
    ratio("QXV write / EVP seal in memory      ", "BM_QXVWrite", "BM_FloorEvpSeal");
    ratio("QXV read  / pread() + EVP open floor", "BM_QXVRead", "BM_FloorPreadAndEvpOpen");
    ratio("QXV read  / EVP open in memory      ", "BM_QXVRead", "BM_FloorEvpOpen");
  }

 private:
  void ratio(const char* label, const char* a, const char* b) const {
    auto x = medians_.find(a);
    auto y = medians_.find(b);
    if (x == medians_.end() || y == medians_.end() || y->second <= 0) return;
    std::printf("  %s  %7.1f MiB/s / %7.1f MiB/s = %5.1f%%\n", label, x->second / (1 << 20),
                y->second / (1 << 20), 100.0 * x->second / y->second);
  }

  std::map<std::string, double> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  // Repetitions of the QXV runs and of their floors are interleaved by default, so load from
  // other jobs on the machine falls on both alike (pass the flag to override).
  std::vector<char*> args(argv, argv + argc);
  bool interleavingGiven = false;
  for (char* arg : args) {
    interleavingGiven = interleavingGiven || std::string(arg).starts_with("--benchmark_enable_random_interleaving");
  }
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  if (!interleavingGiven) args.push_back(interleave);
  argc = static_cast<int>(args.size());
  args.push_back(nullptr);
  argv = args.data();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatios();
  benchmark::Shutdown();
  return 0;
}
