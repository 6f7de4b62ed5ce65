// Data mapping kernels on one thread: every back end's map (identity n - 1)
// and restore drivers against a floor that reads the same n x L bytes once
// through the same tiles (the suffix-sum sweep alone).
//
//   build/<dir>/bench/bench_mapping --benchmark_min_time=0.2
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "mapping/kernels.hpp"
#include "mapping/mapping.hpp"
#include "mapping/tiles.hpp"

namespace {

namespace kernels = kelvora::mapping_kernels;
namespace detail = kelvora::mapping::detail;
using u8 = std::uint8_t;

struct Data {
  std::vector<std::vector<u8>> rows, out;
  std::vector<const u8*> in;
  std::vector<u8*> outp;
  std::vector<u8> pub, priv;
  std::vector<kelvora::mapping::InvertedTable> inverted;

  Data(std::size_t n, std::size_t len) : rows(n, std::vector<u8>(len)), out(n, std::vector<u8>(len)) {
    std::mt19937 rng(1);
    for (auto& r : rows)
      for (auto& x : r) x = u8(rng());
    pub.resize(256);
    priv.resize(256);
    for (int x = 0; x < 256; ++x) pub[x] = priv[x] = u8(x * 167 + 13);
    for (std::size_t i = 0; i < n; ++i) {
      in.push_back(rows[i].data());
      outp.push_back(out[i].data());
      inverted.push_back(kelvora::mapping::invert_table(priv));
    }
  }
};

const kernels::Ops* backend(int i) {
  if (i == 0) return &kernels::ops_portable();
  if (i == 1) return kernels::avx2_available() ? &kernels::ops_avx2() : nullptr;
  if (i == 2) return kernels::avx512vbmi_available() ? &kernels::ops_avx512vbmi() : nullptr;
  return kernels::neon_available() ? &kernels::ops_neon() : nullptr;
}

void BM_map(benchmark::State& state) {
  const std::size_t n = state.range(0), len = state.range(1);
  const kernels::Ops* ops = backend(int(state.range(2)));
  if (!ops) return state.SkipWithError("back end not available");
  Data d(n, len);
  const detail::MapJob job{d.pub.data(), d.priv.data(), n - 1, d.in.data(), n, d.out[0].data()};
  for (auto _ : state) {
    detail::map_columns(*ops, job, 0, len);
    benchmark::DoNotOptimize(d.out[0].data());
  }
  state.SetBytesProcessed(std::int64_t(state.iterations() * n * len));
  state.SetLabel(ops->name);
}

void BM_restore(benchmark::State& state) {
  const std::size_t n = state.range(0), len = state.range(1);
  const kernels::Ops* ops = backend(int(state.range(2)));
  if (!ops) return state.SkipWithError("back end not available");
  Data d(n, len);
  const detail::RestoreJob job{d.pub.data(), d.inverted.data(), d.in.data(), d.outp.data(), n};
  for (auto _ : state) {
    detail::restore_columns(*ops, job, 0, len);
    benchmark::DoNotOptimize(d.out[0].data());
  }
  state.SetBytesProcessed(std::int64_t(state.iterations() * n * len));
  state.SetLabel(ops->name);
}

// The floor: the first sweep of a map tile alone, every byte read once.
void BM_floor(benchmark::State& state) {
  const std::size_t n = state.range(0), len = state.range(1);
  const kernels::Ops* ops = backend(2) ? backend(2) : backend(0);
  Data d(n, len);
  alignas(64) u8 s[detail::kMaxTile];
  const std::size_t tile = detail::tile_width(n);
  for (auto _ : state) {
    for (std::size_t j = 0; j < len; j += tile) {
      const std::size_t w = std::min(tile, len - j);
      std::memcpy(s, d.in[0] + j, w);
      for (std::size_t i = 1; i < n; ++i) {
        const std::uint8_t* row = d.in[i] + j;
        ops->accumulate(s, row, w, {row, row});  // nothing to fetch ahead
      }
      std::memcpy(d.out[0].data() + j, s, w);
    }
    benchmark::DoNotOptimize(d.out[0].data());
  }
  state.SetBytesProcessed(std::int64_t(state.iterations() * n * len));
}

void shapes(benchmark::internal::Benchmark* b, bool backends) {
  for (long n : {2, 8, 64})
    for (long len : {1L << 20, 16L << 20}) {
      if (n * len > (256L << 20)) continue;
      if (backends) {
        for (long be : {0, 1, 2, 3}) b->Args({n, len, be});
      } else {
        b->Args({n, len});
      }
    }
  b->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_floor)->Apply([](auto* b) { shapes(b, false); });
BENCHMARK(BM_map)->Apply([](auto* b) { shapes(b, true); });
BENCHMARK(BM_restore)->Apply([](auto* b) { shapes(b, true); });

}  // namespace

BENCHMARK_MAIN();
