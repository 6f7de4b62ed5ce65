// AVX2 back end of the data mapping; see kernels.hpp.
//
// Lookups in the 256-entry tables are the byte lookup family's AVX2 ones
// (byte_lookup_avx2.hpp). The sweeps work on two vectors (64 columns) at
// once; the last columns of a row (fewer than a whole vector or block) go to
// the portable back end.
#include <algorithm>

#include "mapping/kernels.hpp"

#if KELVORA_BUILD_AVX2

#include "lookup/byte_lookup_avx2.hpp"

#define KV_AVX2 KELVORA_TARGET_AVX2

namespace kelvora::mapping_kernels {
namespace {

constexpr std::size_t kLanes = 32;
constexpr int kChains = 2;
constexpr std::size_t kBlock = kLanes * kChains;

using namespace byte_lookup::avx2;  // Table, load_table, lookup

KV_AVX2 inline __m256i load(const u8* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
KV_AVX2 inline void store(u8* p, __m256i v) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}
KV_AVX2 inline __m256i add(__m256i a, __m256i b) { return _mm256_add_epi8(a, b); }
KV_AVX2 inline __m256i sub(__m256i a, __m256i b) { return _mm256_sub_epi8(a, b); }

// Two vectors make a cache line: the fetch ahead goes with every second one.
KV_AVX2 void accumulate(u8* acc, const u8* c, std::size_t w, Ahead ahead) {
  const std::size_t v = w - w % kLanes;
  for (std::size_t x = 0; x < v; x += kLanes) {
    if (x % 64 == 0) ahead.fetch(x);
    store(acc + x, add(load(acc + x), load(c + x)));
  }
  ops_portable().accumulate(acc + v, c + v, w - v, ahead.from(v));
}

KV_AVX2 void accumulate_prefix(u8* acc, const u8* c, u8* e, std::size_t w, Ahead ahead) {
  const std::size_t v = w - w % kLanes;
  for (std::size_t x = 0; x < v; x += kLanes) {
    if (x % 64 == 0) ahead.fetch(x);
    const __m256i cv = load(c + x);
    const __m256i sum = add(load(acc + x), cv);
    store(acc + x, sum);
    store(e + x, add(sum, cv));
  }
  ops_portable().accumulate_prefix(acc + v, c + v, e + v, w - v, ahead.from(v));
}

KV_AVX2 void lookup_accumulate(const u8* table, const u8* m, u8* z, u8* acc, std::size_t w,
                               Ahead ahead) {
  const std::size_t v = w - w % kLanes;
  const Table T = load_table(table);
  for (std::size_t x = 0; x < v; x += kLanes) {
    if (x % 64 == 0) ahead.fetch(x);
    const __m256i zv = lookup(T, load(m + x));
    store(z + x, zv);
    if (acc) store(acc + x, add(load(acc + x), zv));
  }
  ops_portable().lookup_accumulate(table, m + v, z + v, acc ? acc + v : nullptr, w - v,
                                   ahead.from(v));
}

KV_AVX2 void map_sweep(const MapSweep& a) {
  const Table P = load_table(a.pub);
  const Table Q = load_table(a.priv);
  const std::size_t d = a.identity, stride = a.stride;
  const std::size_t whole = a.w - a.w % kBlock;
  a.next->plan(d >= 2 ? (d - 1) * (whole / kBlock) : 0);
  for (std::size_t x = 0; x < whole; x += kBlock) {
    __m256i D[kChains], z[kChains], t[kChains];
    for (int v = 0; v < kChains; ++v) {
      const __m256i c0 = load(a.rows + x + v * kLanes);
      const __m256i sum = load(a.sum + x + v * kLanes);
      z[v] = sub(c0, lookup(P, sub(sum, c0)));
      D[v] = sub(z[v], sum);
    }
    if (d >= 1) {
      for (int v = 0; v < kChains; ++v) {
        z[v] = add(D[v], load(a.rows + stride + x + v * kLanes));
        t[v] = z[v];
      }
      for (std::size_t row = 2; row <= d; ++row) {
        const u8* e = a.rows + row * stride + x;
        a.next->step();
        for (int v = 0; v < kChains; ++v) {
          z[v] = sub(add(D[v], load(e + v * kLanes)), lookup(P, t[v]));
          t[v] = add(t[v], z[v]);
        }
      }
    }
    for (int v = 0; v < kChains; ++v) store(a.out + x + v * kLanes, lookup(Q, z[v]));
  }
  MapSweep rest = a;
  rest.rows += whole;
  rest.sum += whole;
  rest.out += whole;
  rest.w -= whole;
  ops_portable().map_sweep(rest);
}

KV_AVX2 void restore_sweep(const RestoreSweep& a) {
  const Table P = load_table(a.pub);
  const std::size_t n = a.n, stride = a.stride;
  const std::size_t whole = a.w - a.w % kBlock;
  a.next->plan((n - 2) * (whole / kBlock));
  for (std::size_t x = 0; x < whole; x += kBlock) {
    __m256i s[kChains], t[kChains], z0[kChains], zk[kChains];
    for (int v = 0; v < kChains; ++v) {
      s[v] = _mm256_setzero_si256();
      t[v] = load(a.inner + x + v * kLanes);
      z0[v] = load(a.steps + x + v * kLanes);
      zk[v] = load(a.steps + (n - 1) * stride + x + v * kLanes);
    }
    for (std::size_t row = n - 1; row >= 2; --row) {
      const u8* prev = a.steps + (row - 1) * stride + x;
      u8* out = a.steps + row * stride + x;
      a.next->step();
      for (int v = 0; v < kChains; ++v) {
        const __m256i c = sub(add(add(zk[v], s[v]), lookup(P, t[v])), z0[v]);
        store(out + v * kLanes, c);
        s[v] = add(s[v], c);
        zk[v] = load(prev + v * kLanes);
        t[v] = sub(t[v], zk[v]);
      }
    }
    for (int v = 0; v < kChains; ++v) {  // zk now holds z_1
      const __m256i c1 = sub(add(zk[v], s[v]), z0[v]);
      store(a.steps + stride + x + v * kLanes, c1);
      store(a.steps + x + v * kLanes, add(z0[v], lookup(P, add(s[v], c1))));
    }
  }
  RestoreSweep rest = a;
  rest.steps += whole;
  rest.inner += whole;
  rest.w -= whole;
  ops_portable().restore_sweep(rest);
}

// Streamed rows: whole 32-byte pieces between the unaligned ends go around
// the caches.
KV_AVX2 void store_row(u8* dst, const u8* src, std::size_t w, bool stream) {
  if (!stream) {
    ops_portable().store_row(dst, src, w, false);
    return;
  }
  const std::size_t head =
      std::min(w, (kLanes - reinterpret_cast<std::uintptr_t>(dst) % kLanes) % kLanes);
  ops_portable().store_row(dst, src, head, false);
  std::size_t x = head;
  for (; x + kLanes <= w; x += kLanes)
    _mm256_stream_si256(reinterpret_cast<__m256i*>(dst + x), load(src + x));
  ops_portable().store_row(dst + x, src + x, w - x, false);
}

KV_AVX2 void finish_stores() { _mm_sfence(); }

constexpr Ops kAvx2 = {"avx2",      accumulate,    accumulate_prefix, lookup_accumulate,
                       map_sweep,   restore_sweep, store_row,         finish_stores};

}  // namespace

// See kernels.hpp.
const Ops& ops_avx2() { return kAvx2; }

}  // namespace kelvora::mapping_kernels

#else

namespace kelvora::mapping_kernels {
const Ops& ops_avx2() { fail_unbuilt("ops_avx2"); }
}  // namespace kelvora::mapping_kernels

#endif
