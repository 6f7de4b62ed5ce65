// AVX2 back end of the data mapping; see kernels.hpp.
//
// A 256-entry lookup from in-lane 16-entry shuffles: vpshufb returns entry
// (i & 15) of a 16-byte table, or 0 when bit 7 of i is set. With the control
// i - 16h (wrapping), table h answers exactly for the indices 16h .. 16h+127,
// so over h = 0..7 the answers for an index of high nibble H < 8 are those of
// h = 0..H. Storing table h as T_h XOR T_{h-1} makes that chain of XORs
// telescope to T_H. The same holds for h = 8..15 and H >= 8, and the two
// chains are joined by a blend on bit 7 of the index: 16 shuffles, 16 XORs,
// 16 subtractions and a blend per 32 lookups. The sweeps work on two vectors
// (64 columns) at once; the last columns of a row (fewer than a whole
// vector or block) go to the portable back end.
#include "cpu.hpp"
#include "platform.hpp"
#include "mapping/kernels.hpp"

#if defined(__x86_64__) && !defined(KELVORA_NO_AVX2)

#include <immintrin.h>

#define KV_AVX2 KELVORA_TARGET("avx2")

namespace kelvora::mapping_kernels {
namespace {

constexpr std::size_t kLanes = 32;
constexpr int kChains = 2;
constexpr std::size_t kBlock = kLanes * kChains;

struct Table {
  __m256i part[16];  // entries 16h .. 16h+15 XOR entries 16(h-1) .., in both lanes
};

KV_AVX2 inline Table load_table(const u8* t) {
  Table r;
  __m256i prev = _mm256_setzero_si256();
  for (int h = 0; h < 16; ++h) {
    const __m256i cur =
        _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t + 16 * h)));
    r.part[h] = (h == 8) ? cur : _mm256_xor_si256(cur, prev);
    prev = cur;
  }
  return r;
}

KV_AVX2 inline __m256i lookup(const Table& t, __m256i idx) {
  const __m256i sixteen = _mm256_set1_epi8(16);
  __m256i ctrl = idx;
  __m256i lo = _mm256_shuffle_epi8(t.part[0], ctrl);
  for (int h = 1; h < 8; ++h) {
    ctrl = _mm256_sub_epi8(ctrl, sixteen);
    lo = _mm256_xor_si256(lo, _mm256_shuffle_epi8(t.part[h], ctrl));
  }
  ctrl = _mm256_xor_si256(idx, _mm256_set1_epi8(char(0x80)));  // idx - 128
  __m256i hi = _mm256_shuffle_epi8(t.part[8], ctrl);
  for (int h = 9; h < 16; ++h) {
    ctrl = _mm256_sub_epi8(ctrl, sixteen);
    hi = _mm256_xor_si256(hi, _mm256_shuffle_epi8(t.part[h], ctrl));
  }
  return _mm256_blendv_epi8(lo, hi, idx);
}

KV_AVX2 inline __m256i load(const u8* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
KV_AVX2 inline void store(u8* p, __m256i v) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}
KV_AVX2 inline __m256i add(__m256i a, __m256i b) { return _mm256_add_epi8(a, b); }
KV_AVX2 inline __m256i sub(__m256i a, __m256i b) { return _mm256_sub_epi8(a, b); }

KV_AVX2 void accumulate(u8* acc, const u8* c, std::size_t w) {
  const std::size_t v = w - w % kLanes;
  for (std::size_t x = 0; x < v; x += kLanes) store(acc + x, add(load(acc + x), load(c + x)));
  ops_portable().accumulate(acc + v, c + v, w - v);
}

KV_AVX2 void accumulate_prefix(u8* acc, const u8* c, u8* e, std::size_t w) {
  const std::size_t v = w - w % kLanes;
  for (std::size_t x = 0; x < v; x += kLanes) {
    const __m256i cv = load(c + x);
    const __m256i sum = add(load(acc + x), cv);
    store(acc + x, sum);
    store(e + x, add(sum, cv));
  }
  ops_portable().accumulate_prefix(acc + v, c + v, e + v, w - v);
}

KV_AVX2 void table_lookup(const u8* table, const u8* idx, u8* dst, std::size_t w) {
  const std::size_t v = w - w % kLanes;
  const Table T = load_table(table);
  for (std::size_t x = 0; x < v; x += kLanes) store(dst + x, lookup(T, load(idx + x)));
  ops_portable().lookup(table, idx + v, dst + v, w - v);
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
    const std::size_t col = a.offset + x;
    __m256i s[kChains], t[kChains], z0[kChains], zk[kChains];
    for (int v = 0; v < kChains; ++v) {
      s[v] = _mm256_setzero_si256();
      t[v] = load(a.inner + x + v * kLanes);
      z0[v] = load(a.steps + x + v * kLanes);
      zk[v] = load(a.steps + (n - 1) * stride + x + v * kLanes);
    }
    for (std::size_t row = n - 1; row >= 2; --row) {
      const u8* prev = a.steps + (row - 1) * stride + x;
      u8* out = a.out[row] + col;
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
      store(a.out[1] + col + v * kLanes, c1);
      store(a.out[0] + col + v * kLanes, add(z0[v], lookup(P, add(s[v], c1))));
    }
  }
  RestoreSweep rest = a;
  rest.steps += whole;
  rest.inner += whole;
  rest.offset += whole;
  rest.w -= whole;
  ops_portable().restore_sweep(rest);
}

constexpr Ops kAvx2 = {"avx2", accumulate, accumulate_prefix, table_lookup, map_sweep,
                       restore_sweep};

}  // namespace

const Ops* ops_avx2() {
  return cpu::has_avx2() ? &kAvx2 : nullptr;
}

}  // namespace kelvora::mapping_kernels

#else

namespace kelvora::mapping_kernels {
const Ops* ops_avx2() { return nullptr; }
}  // namespace kelvora::mapping_kernels

#endif
