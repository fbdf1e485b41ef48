// Reading one request line: the dispatcher (line compaction, the scalar-only SAX reader,
// parameter checks, a trivial handler, the answer's encoding) against a plain nlohmann DOM
// parse of the same line, measured in the same run. Lines: a typical token-checked request,
// one with a 1 MiB string, one with a 1 MiB array of small values.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "service/connection_handler.h"
#include "service/reply_sink.h"
#include "service/rpc_dispatcher.h"

namespace {

using namespace tolvo;

class TrivialHandler final : public ConnectionHandler {
 public:
  [[nodiscard]] bool handles(std::string_view) const override { return true; }
  void handle(std::string_view, const RpcParams&, RpcReply reply) override {
    reply.send({{"sessions", nullptr}, {"error", "Invalid or expired token"}});
  }
};

class DiscardingSink final : public ReplySink {
 public:
  void sendReply(std::string line) override { benchmark::DoNotOptimize(line.data()); }
  void sendFinalLine(std::string line) override { benchmark::DoNotOptimize(line.data()); }
};

std::string lineOf(int kind) {
  const std::string head = R"({"jsonrpc":"2.0","id":17,"method":"listSessions","params":{"tokenData":")"
                           R"(eyJ0b2tlbiI6IjhGMEMzRTUyLTlCMUQtNEU1Ny05QTNDLTVEMkU3RjFCNkM5MCIsImV4cGlyZXNBdCI6Nzg5MDAwMzAwLjAsImNyZWF0ZWRBdCI6Nzg5MDAwMDAwLjB9)"
                           R"(","limit":50,"offset":0)";
  switch (kind) {
    case 0: return head + "}}";
    case 1: return head + R"(,"pad":")" + std::string(1 << 20, 'p') + "\"}}";
    default: {
      std::string zeros = R"(,"pad":[0)";
      for (int i = 0; i < (1 << 19); ++i) zeros += ",0";
      return head + zeros + "]}}";
    }
  }
}

void BM_Dispatch(benchmark::State& state) {
  const std::string line = lineOf(static_cast<int>(state.range(0)));
  TrivialHandler handler;
  auto sink = std::make_shared<DiscardingSink>();
  for (auto _ : state) {
    std::string copy = line;  // dispatch wipes the line it reads
    RpcDispatcher::dispatch(copy, handler, sink);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
}

void BM_DomParse(benchmark::State& state) {
  const std::string line = lineOf(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    std::string copy = line;
    auto parsed = nlohmann::json::parse(copy);
    benchmark::DoNotOptimize(parsed);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
}

BENCHMARK(BM_Dispatch)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DomParse)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
