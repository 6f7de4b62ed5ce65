// A 256-entry byte lookup in AVX2 registers, for units compiled with
// KELVORA_TARGET_AVX2 functions (byte_lookup_avx2.cpp, the mapping's AVX2
// sweeps). Include only when KELVORA_BUILD_AVX2 (backends.hpp).
//
// vpshufb returns entry (i & 15) of a 16-byte table, or 0 when bit 7 of i is
// set. With the control i - 16h (wrapping), table h answers exactly for the
// indices 16h .. 16h+127, so over h = 0..7 the answers for an index of high
// nibble H < 8 are those of h = 0..H. Storing table h as T_h XOR T_{h-1}
// makes that chain of XORs telescope to T_H. The same holds for h = 8..15 and
// H >= 8, and the two chains are joined by a blend on bit 7 of the index: 16
// shuffles, 16 XORs, 16 subtractions and a blend per 32 lookups.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "platform.hpp"

#define KELVORA_TARGET_AVX2 KELVORA_TARGET("avx2")

namespace kelvora::byte_lookup::avx2 {

struct Table {
  __m256i part[16];  // entries 16h .. 16h+15 XOR entries 16(h-1) .., in both lanes
};

KELVORA_TARGET_AVX2 static inline Table load_table(const std::uint8_t* t) {
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

KELVORA_TARGET_AVX2 static inline __m256i lookup(const Table& t, __m256i idx) {
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

}  // namespace kelvora::byte_lookup::avx2
