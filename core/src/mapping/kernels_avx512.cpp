// AVX-512 VBMI row operations of the data mapping; see kernels.hpp.
// A 256-entry lookup is two vpermi2b (entries 0..127 and 128..255, index
// bits 0..6) and a blend on index bit 7. The last vector of a row is masked,
// so no operation reads or writes past w. Only the functions below carry the
// ISA; this unit includes nothing but the seam and the intrinsics.
#include "mapping/kernels.hpp"

#if defined(__x86_64__) && !defined(KELVORA_NO_AVX512)

#include <immintrin.h>

#define KV_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi")))

namespace kelvora::mapping_kernels {
namespace {

struct Table {
  __m512i q0, q1, q2, q3;
};

KV_AVX512 inline Table load_table(const u8* t) {
  return {_mm512_loadu_si512(t), _mm512_loadu_si512(t + 64), _mm512_loadu_si512(t + 128),
          _mm512_loadu_si512(t + 192)};
}

KV_AVX512 inline __m512i lookup(const Table& t, __m512i idx) {
  const __m512i lo = _mm512_permutex2var_epi8(t.q0, idx, t.q1);
  const __m512i hi = _mm512_permutex2var_epi8(t.q2, idx, t.q3);
  return _mm512_mask_blend_epi8(_mm512_movepi8_mask(idx), lo, hi);
}

// Lanes x .. min(x + 64, w) - 1.
KV_AVX512 inline __mmask64 lanes(std::size_t x, std::size_t w) {
  const std::size_t left = w - x;
  return left >= 64 ? ~__mmask64(0) : (__mmask64(1) << left) - 1;
}

KV_AVX512 inline __m512i load(__mmask64 k, const u8* p) { return _mm512_maskz_loadu_epi8(k, p); }
KV_AVX512 inline void store(__mmask64 k, u8* p, __m512i v) { _mm512_mask_storeu_epi8(p, k, v); }

KV_AVX512 void accumulate(u8* acc, const u8* c, std::size_t w) {
  for (std::size_t x = 0; x < w; x += 64) {
    const __mmask64 k = lanes(x, w);
    store(k, acc + x, _mm512_add_epi8(load(k, acc + x), load(k, c + x)));
  }
}

KV_AVX512 void table_lookup(const u8* table, const u8* idx, u8* dst, std::size_t w) {
  const Table T = load_table(table);
  for (std::size_t x = 0; x < w; x += 64) {
    const __mmask64 k = lanes(x, w);
    store(k, dst + x, lookup(T, load(k, idx + x)));
  }
}

KV_AVX512 void map_first(const u8* P, u8* s, u8* z0, const u8* c, std::size_t w) {
  const Table TP = load_table(P);
  for (std::size_t x = 0; x < w; x += 64) {
    const __mmask64 k = lanes(x, w);
    const __m512i cv = load(k, c + x);
    const __m512i sv = _mm512_sub_epi8(load(k, s + x), cv);
    store(k, s + x, sv);
    store(k, z0 + x, _mm512_sub_epi8(cv, lookup(TP, sv)));
  }
}

KV_AVX512 void map_second(u8* s, const u8* z0, u8* t, const u8* c, std::size_t w) {
  for (std::size_t x = 0; x < w; x += 64) {
    const __mmask64 k = lanes(x, w);
    const __m512i cv = load(k, c + x);
    const __m512i sv = _mm512_sub_epi8(load(k, s + x), cv);
    store(k, s + x, sv);
    store(k, t + x, _mm512_sub_epi8(_mm512_add_epi8(load(k, z0 + x), cv), sv));
  }
}

KV_AVX512 void map_step(const u8* P, u8* s, const u8* z0, u8* t, const u8* c, std::size_t w) {
  const Table TP = load_table(P);
  for (std::size_t x = 0; x < w; x += 64) {
    const __mmask64 k = lanes(x, w);
    const __m512i cv = load(k, c + x);
    const __m512i sv = _mm512_sub_epi8(load(k, s + x), cv);
    const __m512i tv = load(k, t + x);
    const __m512i zv = _mm512_sub_epi8(
        _mm512_sub_epi8(_mm512_add_epi8(load(k, z0 + x), cv), lookup(TP, tv)), sv);
    store(k, s + x, sv);
    store(k, t + x, _mm512_add_epi8(tv, zv));
  }
}

KV_AVX512 void map_last(const u8* P, const u8* Q, const u8* s, const u8* z0, const u8* t,
                        const u8* c, u8* out, std::size_t w) {
  const Table TP = load_table(P);
  const Table TQ = load_table(Q);
  for (std::size_t x = 0; x < w; x += 64) {
    const __mmask64 k = lanes(x, w);
    const __m512i cv = load(k, c + x);
    const __m512i sv = _mm512_sub_epi8(load(k, s + x), cv);
    const __m512i zv = _mm512_sub_epi8(
        _mm512_sub_epi8(_mm512_add_epi8(load(k, z0 + x), cv), lookup(TP, load(k, t + x))), sv);
    store(k, out + x, lookup(TQ, zv));
  }
}

KV_AVX512 void restore_step(const u8* P, u8* s, u8* t, const u8* z0, u8* z, const u8* zprev,
                            std::size_t w) {
  const Table TP = load_table(P);
  for (std::size_t x = 0; x < w; x += 64) {
    const __mmask64 k = lanes(x, w);
    const __m512i sv = load(k, s + x);
    const __m512i tv = load(k, t + x);
    const __m512i cv = _mm512_sub_epi8(
        _mm512_add_epi8(_mm512_add_epi8(load(k, z + x), sv), lookup(TP, tv)), load(k, z0 + x));
    store(k, z + x, cv);
    store(k, s + x, _mm512_add_epi8(sv, cv));
    store(k, t + x, _mm512_sub_epi8(tv, load(k, zprev + x)));
  }
}

KV_AVX512 void restore_second(u8* s, const u8* z0, u8* z1, std::size_t w) {
  for (std::size_t x = 0; x < w; x += 64) {
    const __mmask64 k = lanes(x, w);
    const __m512i sv = load(k, s + x);
    const __m512i cv = _mm512_sub_epi8(_mm512_add_epi8(load(k, z1 + x), sv), load(k, z0 + x));
    store(k, z1 + x, cv);
    store(k, s + x, _mm512_add_epi8(sv, cv));
  }
}

KV_AVX512 void restore_first(const u8* P, const u8* s, u8* z0, std::size_t w) {
  const Table TP = load_table(P);
  for (std::size_t x = 0; x < w; x += 64) {
    const __mmask64 k = lanes(x, w);
    store(k, z0 + x, _mm512_add_epi8(load(k, z0 + x), lookup(TP, load(k, s + x))));
  }
}

constexpr Ops kAvx512 = {
    "avx512vbmi", accumulate, table_lookup,  map_first,      map_second,
    map_step,     map_last,   restore_step,  restore_second, restore_first,
};

}  // namespace

const Ops* ops_avx512vbmi() {
  static const bool ok = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                         __builtin_cpu_supports("avx512vbmi");
  return ok ? &kAvx512 : nullptr;
}

}  // namespace kelvora::mapping_kernels

#else

namespace kelvora::mapping_kernels {
const Ops* ops_avx512vbmi() { return nullptr; }
}  // namespace kelvora::mapping_kernels

#endif
