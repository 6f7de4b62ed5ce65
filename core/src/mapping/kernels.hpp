// Internal seam of the data mapping: what a back end computes over a tile of
// w adjacent columns. The tile drivers (map.cpp, restore.cpp) gather a tile
// with the row operations, then hand it to one sweep, which runs the
// equations of mapping.hpp for every column of the tile, keeping each
// column's working values (running sums, z_0) in registers; the results
// leave the scratch through store_row.
// Every table here has (at least) 256 entries, so no lookup can fail. Buffers
// may be unaligned; w is any count. Included by the ISA units, so it pulls in
// fixed-width integers only. All arithmetic wraps modulo 256.
#pragma once

#include <cstddef>
#include <cstdint>

#include "backends.hpp"
#include "cpu.hpp"
#include "platform.hpp"

namespace kelvora::mapping_kernels {

using u8 = std::uint8_t;

// Asks for the cache line at p in the second-level cache. The argument rows
// are read as many short runs (one per row and tile), too many at once for
// the hardware prefetchers to follow, so the row operations fetch the run a
// few rows ahead themselves while they work through the current one.
inline void fetch_l2(const void* p) { KELVORA_PREFETCH(p, 0, 1); }

// What a row operation over columns [0, w) of one argument row fetches while
// it works: soon[x] (the same columns of a row a few rows further down, read
// shortly, into the second-level cache) and later[x] (the same row's columns
// in the next tile, read after the whole tile: from memory into the caches
// long before it is needed, so that the next tile's rows come from the
// last-level cache instead of memory). Rows a power of two apart share
// cache sets, so the lines fetched later may be pushed out of the
// second-level cache meanwhile; they then wait in the last-level cache,
// from which the soon fetch brings them back in time. Both always point into
// an argument row (a row with nothing to fetch passes its own bytes).
struct Ahead {
  const u8* soon;
  const u8* later;

  void fetch(std::size_t x) const {
    fetch_l2(soon + x);
    fetch_l2(later + x);
  }
  Ahead from(std::size_t x) const { return {soon + x, later + x}; }
};

// The cache lines of the next tile's first argument rows (bytes [col, col + w)
// of rows 0 .. n-1), which the next gather reads first, before its own
// fetching ahead has started. A sweep asks for them a few at a time while it
// computes, so that those reads overlap its arithmetic: plan(steps) with the
// number of steps it is about to make, then step() once per step.
// Prefetching changes no result.
class Prefetch {
 public:
  Prefetch(const u8* const* rows, std::size_t n, std::size_t col, std::size_t w)
      : rows_(rows), n_(w ? n : 0), col_(col), w_(w) {}

  void plan(std::size_t steps) {
    const std::size_t lines = (n_ - row_) * ((w_ + 63) / 64) - x_ / 64;
    per_step_ = steps ? (lines + steps - 1) / steps : 0;
  }
  void step() {
    for (std::size_t i = 0; i < per_step_ && row_ < n_; ++i) {
      fetch_l2(rows_[row_] + col_ + x_);
      x_ += 64;
      if (x_ >= w_) {
        x_ = 0;
        ++row_;
      }
    }
  }

 private:
  const u8* const* rows_;
  std::size_t n_, col_, w_;
  std::size_t per_step_ = 0, row_ = 0, x_ = 0;
};

// The mapping of one party over a tile. With the prefix sums
// p_k = c_0 + .. + c_k, the suffix sum S_{k+1} is S_0 - p_k, so
//   z_k = z_0 + c_k - P[t] - S_{k+1} = D + e_k - P[t],
// where D = z_0 - S_0 and e_k = p_k + c_k (for k = 1, without the lookup);
// the gather stores e_k, which leaves the sweep one addition per step.
struct MapSweep {
  const u8* pub;
  const u8* priv;
  std::size_t identity;
  const u8* rows;      // c_0, then e_1 .. e_identity, each at rows + k * stride
  std::size_t stride;
  const u8* sum;       // S_0 of each column: the sum of all n rows
  u8* out;             // w mapped bytes; may be `sum` itself
  std::size_t w;
  Prefetch* next;
};

// The restore of a tile, from the step values of all n >= 2 parties. The
// restored bytes replace the step values in place: row k of `steps` ends up
// holding c_k (each z_k is read before c_k is written over it).
struct RestoreSweep {
  const u8* pub;
  u8* steps;           // z_k of the tile at steps + k * stride, k = 0 .. n-1
  std::size_t stride;
  std::size_t n;
  const u8* inner;     // z_1 + .. + z_{n-2} of each column (0 when n = 2)
  std::size_t w;
  Prefetch* next;
};

struct Ops {
  const char* name;
  // The row operations of a gather; each also fetches the cache lines of
  // its Ahead over [0, w).
  // acc[x] += c[x]
  void (*accumulate)(u8* acc, const u8* c, std::size_t w, Ahead ahead);
  // acc[x] += c[x]; e[x] = acc[x] + c[x]
  void (*accumulate_prefix)(u8* acc, const u8* c, u8* e, std::size_t w, Ahead ahead);
  // z[x] = table[m[x]], then acc[x] += z[x] when acc is not null
  void (*lookup_accumulate)(const u8* table, const u8* m, u8* z, u8* acc, std::size_t w,
                            Ahead ahead);
  // Per column: z_0 = c_0 - P[sum - c_0]; D = z_0 - sum; z_1 = D + e_1,
  // t = z_1; for k = 2 .. identity: z_k = D + e_k - P[t], t += z_k;
  // out = Q[z_identity].
  void (*map_sweep)(const MapSweep& sweep);
  // Per column: s = 0, t = inner; for k = n-1 down to 2: c_k = z_k + s +
  // P[t] - z_0, s += c_k, t -= z_{k-1}; then c_1 = z_1 + s - z_0, s += c_1,
  // c_0 = z_0 + P[s]; c_k goes to row k of steps.
  void (*restore_sweep)(const RestoreSweep& sweep);
  // dst[x] = src[x] for x < w. With `stream`, the whole cache lines of dst
  // are written around the caches (non-temporal stores): a result larger
  // than the caches then costs its writes only, not a read of every line
  // before it is written over. Streamed lines are ordered with other
  // threads' reads only after finish_stores().
  void (*store_row)(u8* dst, const u8* src, std::size_t w, bool stream);
  void (*finish_stores)();
};

// The back ends, each with its capability predicate (backends.hpp). Their
// lookups are the byte lookup family's of the same instruction set
// (byte_lookup.hpp).

// Plain C++, one column at a time; available everywhere.
const Ops& ops_portable();

// AVX2: 64 columns at a time. Call only when avx2_available().
const Ops& ops_avx2();
inline bool avx2_available() { return KELVORA_BUILD_AVX2 && cpu::has_avx2(); }

// AVX-512 VBMI: 256 columns at a time. Call only when avx512vbmi_available().
const Ops& ops_avx512vbmi();
inline bool avx512vbmi_available() { return KELVORA_BUILD_AVX512 && cpu::has_avx512vbmi(); }

// NEON: 32 columns at a time. Call only when neon_available() (every aarch64
// CPU has NEON: no CPU check).
const Ops& ops_neon();
inline bool neon_available() { return KELVORA_BUILD_NEON; }

// The back end chosen once per process (kernels_dispatch.cpp): AVX-512 VBMI,
// then AVX2, then NEON, portable last.
const Ops& active();

}  // namespace kelvora::mapping_kernels
