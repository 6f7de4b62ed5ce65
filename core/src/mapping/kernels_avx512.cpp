// AVX-512 VBMI back end of the data mapping; see kernels.hpp.
//
// Lookups in the 256-entry tables are the byte lookup family's AVX-512 ones
// (byte_lookup_avx512.hpp). The sweeps work on four vectors (256 columns) at
// once, their working values in registers: within one column the steps form
// a chain through the lookups, and four independent chains keep the permute
// unit busy. Partial vectors are masked, so nothing is read or written past
// w. Only the functions below carry the ISA; this unit includes nothing but
// the seams and the intrinsics.
#include "mapping/kernels.hpp"

#if KELVORA_BUILD_AVX512

#include "lookup/byte_lookup_avx512.hpp"

#define KV_AVX512 KELVORA_TARGET_AVX512VBMI

namespace kelvora::mapping_kernels {
namespace {

constexpr std::size_t kLanes = 64;
constexpr int kChains = 4;
constexpr std::size_t kBlock = kLanes * kChains;

using namespace byte_lookup::avx512;  // Table, load_table, lookup

// Lanes of columns x .. x+63 that lie below w.
KV_AVX512 inline __mmask64 lanes(std::size_t x, std::size_t w) {
  if (x >= w) return 0;
  const std::size_t left = w - x;
  return left >= kLanes ? ~__mmask64(0) : (__mmask64(1) << left) - 1;
}

KV_AVX512 inline __m512i load(__mmask64 k, const u8* p) { return _mm512_maskz_loadu_epi8(k, p); }
KV_AVX512 inline void store(__mmask64 k, u8* p, __m512i v) { _mm512_mask_storeu_epi8(p, k, v); }
KV_AVX512 inline __m512i add(__m512i a, __m512i b) { return _mm512_add_epi8(a, b); }
KV_AVX512 inline __m512i sub(__m512i a, __m512i b) { return _mm512_sub_epi8(a, b); }

KV_AVX512 void accumulate(u8* acc, const u8* c, std::size_t w, Ahead ahead) {
  for (std::size_t x = 0; x < w; x += kLanes) {
    ahead.fetch(x);
    const __mmask64 k = lanes(x, w);
    store(k, acc + x, add(load(k, acc + x), load(k, c + x)));
  }
}

KV_AVX512 void accumulate_prefix(u8* acc, const u8* c, u8* e, std::size_t w, Ahead ahead) {
  for (std::size_t x = 0; x < w; x += kLanes) {
    ahead.fetch(x);
    const __mmask64 k = lanes(x, w);
    const __m512i cv = load(k, c + x);
    const __m512i sum = add(load(k, acc + x), cv);
    store(k, acc + x, sum);
    store(k, e + x, add(sum, cv));
  }
}

template <bool kAccumulate>
KV_AVX512 void lookup_rows(const u8* table, const u8* m, u8* z, u8* acc, std::size_t w,
                           Ahead ahead) {
  const Table T = load_table(table);
  for (std::size_t x = 0; x < w; x += kLanes) {
    ahead.fetch(x);
    const __mmask64 k = lanes(x, w);
    const __m512i v = lookup(T, load(k, m + x));
    store(k, z + x, v);
    if constexpr (kAccumulate) store(k, acc + x, add(load(k, acc + x), v));
  }
}

KV_AVX512 void lookup_accumulate(const u8* table, const u8* m, u8* z, u8* acc, std::size_t w,
                                 Ahead ahead) {
  if (acc) {
    lookup_rows<true>(table, m, z, acc, w, ahead);
  } else {
    lookup_rows<false>(table, m, z, acc, w, ahead);
  }
}

KV_AVX512 void map_sweep(const MapSweep& a) {
  const Table P = load_table(a.pub);
  const Table Q = load_table(a.priv);
  const std::size_t d = a.identity, stride = a.stride;
  a.next->plan(d >= 2 ? (d - 1) * ((a.w + kBlock - 1) / kBlock) : 0);
  for (std::size_t x = 0; x < a.w; x += kBlock) {
    __mmask64 k[kChains];
    __m512i D[kChains], z[kChains], t[kChains];
#pragma GCC unroll 4
    for (int v = 0; v < kChains; ++v) {
      const std::size_t col = x + v * kLanes;
      k[v] = lanes(col, a.w);
      const __m512i c0 = load(k[v], a.rows + col);
      const __m512i sum = load(k[v], a.sum + col);
      z[v] = sub(c0, lookup(P, sub(sum, c0)));
      D[v] = sub(z[v], sum);
    }
    if (d >= 1) {
#pragma GCC unroll 4
      for (int v = 0; v < kChains; ++v) {
        z[v] = add(D[v], load(k[v], a.rows + stride + x + v * kLanes));
        t[v] = z[v];
      }
      for (std::size_t row = 2; row <= d; ++row) {
        const u8* e = a.rows + row * stride + x;
        a.next->step();
#pragma GCC unroll 4
        for (int v = 0; v < kChains; ++v) {
          z[v] = sub(add(D[v], load(k[v], e + v * kLanes)), lookup(P, t[v]));
          t[v] = add(t[v], z[v]);
        }
      }
    }
#pragma GCC unroll 4
    for (int v = 0; v < kChains; ++v) store(k[v], a.out + x + v * kLanes, lookup(Q, z[v]));
  }
}

KV_AVX512 void restore_sweep(const RestoreSweep& a) {
  const Table P = load_table(a.pub);
  const std::size_t n = a.n, stride = a.stride;
  a.next->plan((n - 2) * ((a.w + kBlock - 1) / kBlock));
  for (std::size_t x = 0; x < a.w; x += kBlock) {
    __mmask64 k[kChains];
    __m512i s[kChains], t[kChains], z0[kChains], zk[kChains];
#pragma GCC unroll 4
    for (int v = 0; v < kChains; ++v) {
      k[v] = lanes(x + v * kLanes, a.w);
      s[v] = _mm512_setzero_si512();
      t[v] = load(k[v], a.inner + x + v * kLanes);
      z0[v] = load(k[v], a.steps + x + v * kLanes);
      zk[v] = load(k[v], a.steps + (n - 1) * stride + x + v * kLanes);
    }
    for (std::size_t row = n - 1; row >= 2; --row) {
      const u8* prev = a.steps + (row - 1) * stride + x;
      u8* out = a.steps + row * stride + x;
      a.next->step();
#pragma GCC unroll 4
      for (int v = 0; v < kChains; ++v) {
        const __m512i c = sub(add(add(zk[v], s[v]), lookup(P, t[v])), z0[v]);
        store(k[v], out + v * kLanes, c);
        s[v] = add(s[v], c);
        zk[v] = load(k[v], prev + v * kLanes);
        t[v] = sub(t[v], zk[v]);
      }
    }
#pragma GCC unroll 4
    for (int v = 0; v < kChains; ++v) {  // zk now holds z_1
      const __m512i c1 = sub(add(zk[v], s[v]), z0[v]);
      store(k[v], a.steps + stride + x + v * kLanes, c1);
      store(k[v], a.steps + x + v * kLanes, add(z0[v], lookup(P, add(s[v], c1))));
    }
  }
}

// Streamed rows: the unaligned head and tail as plain masked stores, every
// whole line between as one non-temporal store.
KV_AVX512 void store_row(u8* dst, const u8* src, std::size_t w, bool stream) {
  std::size_t x = 0;
  if (stream) {
    const std::size_t head = (kLanes - reinterpret_cast<std::uintptr_t>(dst) % kLanes) % kLanes;
    if (head < w) {
      const __mmask64 k = lanes(0, head);
      store(k, dst, load(k, src));
      for (x = head; x + kLanes <= w; x += kLanes)
        _mm512_stream_si512(reinterpret_cast<__m512i*>(dst + x), _mm512_loadu_si512(src + x));
    }
  }
  for (; x < w; x += kLanes) {
    const __mmask64 k = lanes(x, w);
    store(k, dst + x, load(k, src + x));
  }
}

KV_AVX512 void finish_stores() { _mm_sfence(); }

constexpr Ops kAvx512 = {"avx512vbmi", accumulate,  accumulate_prefix, lookup_accumulate,
                         map_sweep,    restore_sweep, store_row,       finish_stores};

}  // namespace

// See kernels.hpp.
const Ops& ops_avx512vbmi() { return kAvx512; }

}  // namespace kelvora::mapping_kernels

#else

namespace kelvora::mapping_kernels {
const Ops& ops_avx512vbmi() { fail_unbuilt("ops_avx512vbmi"); }
}  // namespace kelvora::mapping_kernels

#endif
