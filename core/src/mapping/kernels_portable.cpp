// Portable back end of the data mapping; see kernels.hpp. The row operations
// vectorise at the baseline ISA; the sweeps go one column at a time, walking
// down the tile's rows. Rows are stored with plain copies.
#include <cstring>

#include "mapping/kernels.hpp"

namespace kelvora::mapping_kernels {
namespace {

void fetch_row(Ahead ahead, std::size_t w) {
  for (std::size_t x = 0; x < w; x += 64) ahead.fetch(x);
}

void accumulate(u8* acc, const u8* c, std::size_t w, Ahead ahead) {
  fetch_row(ahead, w);
  for (std::size_t x = 0; x < w; ++x) acc[x] = u8(acc[x] + c[x]);
}

void accumulate_prefix(u8* acc, const u8* c, u8* e, std::size_t w, Ahead ahead) {
  fetch_row(ahead, w);
  for (std::size_t x = 0; x < w; ++x) {
    acc[x] = u8(acc[x] + c[x]);
    e[x] = u8(acc[x] + c[x]);
  }
}

void lookup_accumulate(const u8* table, const u8* m, u8* z, u8* acc, std::size_t w,
                       Ahead ahead) {
  fetch_row(ahead, w);
  for (std::size_t x = 0; x < w; ++x) z[x] = table[m[x]];
  if (acc) {
    for (std::size_t x = 0; x < w; ++x) acc[x] = u8(acc[x] + z[x]);
  }
}

void map_sweep(const MapSweep& a) {
  const u8* P = a.pub;
  const std::size_t d = a.identity, stride = a.stride;
  a.next->plan(d >= 2 ? a.w : 0);
  for (std::size_t x = 0; x < a.w; ++x) {
    const u8* e = a.rows + x;  // e[0] is c_0, e[k * stride] is e_k
    const u8 z0 = u8(e[0] - P[u8(a.sum[x] - e[0])]);
    u8 z = z0;
    if (d >= 1) {
      const u8 D = u8(z0 - a.sum[x]);
      z = u8(D + e[stride]);
      u8 t = z;
      a.next->step();
      for (std::size_t k = 2; k <= d; ++k) {
        z = u8(D + e[k * stride] - P[t]);
        t = u8(t + z);
      }
    }
    a.out[x] = a.priv[z];
  }
}

void restore_sweep(const RestoreSweep& a) {
  const u8* P = a.pub;
  const std::size_t n = a.n, stride = a.stride;
  a.next->plan(n >= 3 ? a.w : 0);
  for (std::size_t x = 0; x < a.w; ++x) {
    a.next->step();
    u8* z = a.steps + x;  // z[k * stride] is z_k, then c_k
    const u8 z0 = z[0];
    u8 s = 0, t = a.inner[x];
    for (std::size_t k = n - 1; k >= 2; --k) {
      const u8 c = u8(z[k * stride] + s + P[t] - z0);
      z[k * stride] = c;
      s = u8(s + c);
      t = u8(t - z[(k - 1) * stride]);
    }
    const u8 c1 = u8(z[stride] + s - z0);
    z[stride] = c1;
    z[0] = u8(z0 + P[u8(s + c1)]);
  }
}

void store_row(u8* dst, const u8* src, std::size_t w, bool) { std::memcpy(dst, src, w); }

void finish_stores() {}

constexpr Ops kPortable = {"portable", accumulate,    accumulate_prefix, lookup_accumulate,
                           map_sweep,  restore_sweep, store_row,         finish_stores};

}  // namespace

const Ops& ops_portable() { return kPortable; }

}  // namespace kelvora::mapping_kernels
