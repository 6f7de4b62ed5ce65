// A 256-entry byte lookup in AVX-512 registers, for units compiled with
// KELVORA_TARGET_AVX512VBMI functions (byte_lookup_avx512.cpp, the mapping's
// AVX-512 sweeps). Include only when KELVORA_BUILD_AVX512 (backends.hpp).
//
// Byte x is looked up in entries 0..127 or 128..255 by its low seven bits
// (vpermi2b over two registers each), and its top bit picks between the two.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "platform.hpp"

#define KELVORA_TARGET_AVX512VBMI KELVORA_TARGET("avx512f,avx512bw,avx512vbmi")

namespace kelvora::byte_lookup::avx512 {

struct Table {
  __m512i q0, q1, q2, q3;
};

KELVORA_TARGET_AVX512VBMI static inline Table load_table(const std::uint8_t* t) {
  return {_mm512_loadu_si512(t), _mm512_loadu_si512(t + 64), _mm512_loadu_si512(t + 128),
          _mm512_loadu_si512(t + 192)};
}

KELVORA_TARGET_AVX512VBMI static inline __m512i lookup(const Table& t, __m512i idx) {
  const __m512i lo = _mm512_permutex2var_epi8(t.q0, idx, t.q1);
  const __m512i hi = _mm512_permutex2var_epi8(t.q2, idx, t.q3);
  return _mm512_mask_blend_epi8(_mm512_movepi8_mask(idx), lo, hi);
}

}  // namespace kelvora::byte_lookup::avx512
