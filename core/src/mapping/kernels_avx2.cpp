// AVX2 row operations of the data mapping; see kernels.hpp.
//
// A 256-entry lookup from in-lane 16-entry shuffles: vpshufb returns entry
// (i & 15) of a 16-byte table, or 0 when bit 7 of i is set. With the control
// i - 16h (wrapping), table h answers exactly for the indices 16h .. 16h+127,
// so over h = 0..7 the answers for an index of high nibble H < 8 are those of
// h = 0..H. Storing table h as T_h XOR T_{h-1} makes that chain of XORs
// telescope to T_H. The same holds for h = 8..15 and H >= 8, and the two
// chains are joined by a blend on bit 7 of the index: 16 shuffles, 16 XORs,
// 16 subtractions and a blend per 32 lookups. The tail of a row (fewer than
// 32 columns) goes to the portable operations.
#include "mapping/kernels.hpp"

#if defined(__x86_64__) && !defined(KELVORA_NO_AVX2)

#include <immintrin.h>

#define KV_AVX2 __attribute__((target("avx2")))

namespace kelvora::mapping_kernels {
namespace {

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

constexpr std::size_t kLanes = 32;
inline std::size_t whole(std::size_t w) { return w - w % kLanes; }

KV_AVX2 void accumulate(u8* acc, const u8* c, std::size_t w) {
  const std::size_t v = whole(w);
  for (std::size_t x = 0; x < v; x += kLanes)
    store(acc + x, _mm256_add_epi8(load(acc + x), load(c + x)));
  ops_portable().accumulate(acc + v, c + v, w - v);
}

KV_AVX2 void table_lookup(const u8* table, const u8* idx, u8* dst, std::size_t w) {
  const std::size_t v = whole(w);
  const Table T = load_table(table);
  for (std::size_t x = 0; x < v; x += kLanes) store(dst + x, lookup(T, load(idx + x)));
  ops_portable().lookup(table, idx + v, dst + v, w - v);
}

KV_AVX2 void map_first(const u8* P, u8* s, u8* z0, const u8* c, std::size_t w) {
  const std::size_t v = whole(w);
  const Table TP = load_table(P);
  for (std::size_t x = 0; x < v; x += kLanes) {
    const __m256i cv = load(c + x);
    const __m256i sv = _mm256_sub_epi8(load(s + x), cv);
    store(s + x, sv);
    store(z0 + x, _mm256_sub_epi8(cv, lookup(TP, sv)));
  }
  ops_portable().map_first(P, s + v, z0 + v, c + v, w - v);
}

KV_AVX2 void map_second(u8* s, const u8* z0, u8* t, const u8* c, std::size_t w) {
  const std::size_t v = whole(w);
  for (std::size_t x = 0; x < v; x += kLanes) {
    const __m256i cv = load(c + x);
    const __m256i sv = _mm256_sub_epi8(load(s + x), cv);
    store(s + x, sv);
    store(t + x, _mm256_sub_epi8(_mm256_add_epi8(load(z0 + x), cv), sv));
  }
  ops_portable().map_second(s + v, z0 + v, t + v, c + v, w - v);
}

KV_AVX2 void map_step(const u8* P, u8* s, const u8* z0, u8* t, const u8* c, std::size_t w) {
  const std::size_t v = whole(w);
  const Table TP = load_table(P);
  for (std::size_t x = 0; x < v; x += kLanes) {
    const __m256i cv = load(c + x);
    const __m256i sv = _mm256_sub_epi8(load(s + x), cv);
    const __m256i tv = load(t + x);
    const __m256i zv = _mm256_sub_epi8(
        _mm256_sub_epi8(_mm256_add_epi8(load(z0 + x), cv), lookup(TP, tv)), sv);
    store(s + x, sv);
    store(t + x, _mm256_add_epi8(tv, zv));
  }
  ops_portable().map_step(P, s + v, z0 + v, t + v, c + v, w - v);
}

KV_AVX2 void map_last(const u8* P, const u8* Q, const u8* s, const u8* z0, const u8* t,
                      const u8* c, u8* out, std::size_t w) {
  const std::size_t v = whole(w);
  const Table TP = load_table(P);
  const Table TQ = load_table(Q);
  for (std::size_t x = 0; x < v; x += kLanes) {
    const __m256i cv = load(c + x);
    const __m256i sv = _mm256_sub_epi8(load(s + x), cv);
    const __m256i zv = _mm256_sub_epi8(
        _mm256_sub_epi8(_mm256_add_epi8(load(z0 + x), cv), lookup(TP, load(t + x))), sv);
    store(out + x, lookup(TQ, zv));
  }
  ops_portable().map_last(P, Q, s + v, z0 + v, t + v, c + v, out + v, w - v);
}

KV_AVX2 void restore_step(const u8* P, u8* s, u8* t, const u8* z0, u8* z, const u8* zprev,
                          std::size_t w) {
  const std::size_t v = whole(w);
  const Table TP = load_table(P);
  for (std::size_t x = 0; x < v; x += kLanes) {
    const __m256i sv = load(s + x);
    const __m256i tv = load(t + x);
    const __m256i cv = _mm256_sub_epi8(
        _mm256_add_epi8(_mm256_add_epi8(load(z + x), sv), lookup(TP, tv)), load(z0 + x));
    store(z + x, cv);
    store(s + x, _mm256_add_epi8(sv, cv));
    store(t + x, _mm256_sub_epi8(tv, load(zprev + x)));
  }
  ops_portable().restore_step(P, s + v, t + v, z0 + v, z + v, zprev + v, w - v);
}

KV_AVX2 void restore_second(u8* s, const u8* z0, u8* z1, std::size_t w) {
  const std::size_t v = whole(w);
  for (std::size_t x = 0; x < v; x += kLanes) {
    const __m256i sv = load(s + x);
    const __m256i cv = _mm256_sub_epi8(_mm256_add_epi8(load(z1 + x), sv), load(z0 + x));
    store(z1 + x, cv);
    store(s + x, _mm256_add_epi8(sv, cv));
  }
  ops_portable().restore_second(s + v, z0 + v, z1 + v, w - v);
}

KV_AVX2 void restore_first(const u8* P, const u8* s, u8* z0, std::size_t w) {
  const std::size_t v = whole(w);
  const Table TP = load_table(P);
  for (std::size_t x = 0; x < v; x += kLanes)
    store(z0 + x, _mm256_add_epi8(load(z0 + x), lookup(TP, load(s + x))));
  ops_portable().restore_first(P, s + v, z0 + v, w - v);
}

constexpr Ops kAvx2 = {
    "avx2",   accumulate, table_lookup,  map_first,      map_second,
    map_step, map_last,   restore_step,  restore_second, restore_first,
};

}  // namespace

const Ops* ops_avx2() {
  static const bool ok = __builtin_cpu_supports("avx2");
  return ok ? &kAvx2 : nullptr;
}

}  // namespace kelvora::mapping_kernels

#else

namespace kelvora::mapping_kernels {
const Ops* ops_avx2() { return nullptr; }
}  // namespace kelvora::mapping_kernels

#endif
