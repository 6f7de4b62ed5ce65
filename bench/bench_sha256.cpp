// SHA-256 throughput of each back end on one 64 MiB message.
#include <benchmark/benchmark.h>

#include <vector>

#include "primitives/sha256.hpp"
#include "primitives/sha256_blocks.hpp"

namespace {

using kelvora::Sha256;
namespace blocks = kelvora::sha256_blocks;

constexpr std::size_t kMessage = 64u << 20;

const std::vector<std::uint8_t>& message() {
  static const std::vector<std::uint8_t> data = [] {
    std::vector<std::uint8_t> d(kMessage);
    for (std::size_t i = 0; i < d.size(); ++i) d[i] = static_cast<std::uint8_t>(i * 131 + 7);
    return d;
  }();
  return data;
}

void run(benchmark::State& state, blocks::BlocksFn fn) {
  const auto& data = message();
  for (auto _ : state) {
    auto digest = Sha256::with_blocks(fn).update(data).finish();
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

void BM_sha256_portable(benchmark::State& state) { run(state, blocks::blocks_portable); }

void BM_sha256_shani(benchmark::State& state) {
  if (!blocks::shani_available()) {
    state.SkipWithError("SHA-NI not supported by this CPU");
    return;
  }
  run(state, blocks::blocks_shani);
}

void BM_sha256_armv8(benchmark::State& state) {
  if (!blocks::armv8_available()) {
    state.SkipWithError("ARMv8 SHA-2 instructions not supported by this CPU");
    return;
  }
  run(state, blocks::blocks_armv8);
}

BENCHMARK(BM_sha256_portable)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_sha256_shani)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_sha256_armv8)->Unit(benchmark::kMillisecond)->MinTime(0.5);

}  // namespace

BENCHMARK_MAIN();
