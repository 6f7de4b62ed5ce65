// Packet involution: the whole call, its phases one after the other (seed
// digest, crumbs, sort, tie break, chunk copy; the whole call overlaps the
// digest with the chunks' whole blocks, the phases here do not), and one
// SHA-256 pass over the packet as the unit.
//
//   build/<dir>/bench/bench_involute --benchmark_min_time=0.5
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <numeric>
#include <random>
#include <utility>

#include "involute/pipeline/involute.hpp"
#include "involute/pipeline/stages.hpp"
#include "parallel/pool.hpp"

namespace {

using namespace kelvora;
using Clock = std::chrono::steady_clock;

// n distinct chunks of s bytes: an index in the first bytes, the rest random.
Bytes distinct_packet(std::size_t bytes, std::size_t s) {
  std::mt19937_64 rng(1);
  Bytes p(bytes);
  for (auto& b : p) b = std::uint8_t(rng());
  for (std::size_t k = 0; k < bytes / s; ++k) {
    const std::uint32_t id = std::uint32_t(k * 2654435761u);
    for (std::size_t i = 0; i < std::min<std::size_t>(s, 4); ++i) p[k * s + i] = std::uint8_t(id >> (8 * i));
  }
  return p;
}

const Bytes kSalt = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

void BM_Sha256Pass(benchmark::State& state) {
  const Bytes p = distinct_packet(std::size_t(state.range(0)) << 20, 64);
  for (auto _ : state) benchmark::DoNotOptimize(sha256(p));
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(p.size()));
}

void BM_Involute(benchmark::State& state) {
  const std::size_t s = std::size_t(state.range(1));
  const Bytes p = distinct_packet(std::size_t(state.range(0)) << 20, s);
  Bytes out(p.size());
  for (auto _ : state) {
    if (!involute_into(p, kSalt, s, out)) state.SkipWithError("involution failed");
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(p.size()));
}

void BM_Phases(benchmark::State& state) {
  const std::size_t s = std::size_t(state.range(1));
  const Bytes p = distinct_packet(std::size_t(state.range(0)) << 20, s);
  Bytes out(p.size());
  const std::uint64_t h = involution::always_true_branch(prepare_bounds(kSalt, -1.0f, 1.0f), kSalt);
  double digest = 0, crumbs = 0, sort = 0, copy = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    const Sha256Digest seed = involution::seed_digest(involution::count_bytes(p), h);
    const auto t1 = Clock::now();
    involution::ChunkHasher chunks(p, s, kSalt);
    auto records = chunks.records<involution::NarrowRecord>(seed);
    const auto t2 = Clock::now();
    involution::Scratch<involution::NarrowRecord::T> spare;  // as the pipeline hands it on
    auto order = involution::rank(chunks, std::move(records), seed, &spare);
    const auto t3 = Clock::now();
    involution::arrange(p, s, order->get(), out, {},
                        involution::scratch_bytes(spare, chunks.chunks()));
    const auto t4 = Clock::now();
    digest += std::chrono::duration<double>(t1 - t0).count();
    crumbs += std::chrono::duration<double>(t2 - t1).count();
    sort += std::chrono::duration<double>(t3 - t2).count();
    copy += std::chrono::duration<double>(t4 - t3).count();
  }
  const double n = double(state.iterations()) / 1e3;  // milliseconds per call
  state.counters["digest_ms"] = digest / n;
  state.counters["crumbs_ms"] = crumbs / n;
  state.counters["sort_ms"] = sort / n;
  state.counters["copy_ms"] = copy / n;
}

void Shapes(benchmark::internal::Benchmark* b) {
  b->Args({64, 64})->Args({16, 4})->Args({16, 64})->Args({16, 4096})->Args({1, 64});
  b->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(BM_Sha256Pass)->Arg(1)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Involute)->Apply(Shapes);
BENCHMARK(BM_Phases)->Apply(Shapes);

}  // namespace

BENCHMARK_MAIN();
