// Re-coding with AVX-512 VBMI byte permutes; see recode.hpp.
//
// Only recode_avx512 is compiled for AVX-512 (target attribute), and this unit
// includes nothing but the intrinsics header, the seam and the platform macros.
#include "involute/recode.hpp"
#include "platform.hpp"

#if (defined(__x86_64__) || defined(_M_X64)) && !defined(KELVORA_NO_AVX512)
#define KELVORA_HAVE_AVX512 1
// GCC 12's AVX-512 headers trip -Wuninitialized on their own placeholders.
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>
#endif

namespace kelvora::recode {

#if KELVORA_HAVE_AVX512

// See header. Byte x is looked up in table[0..127] or table[128..255] by its
// low seven bits (vpermi2b), and the top bit picks between the two.
KELVORA_TARGET("avx512f,avx512bw,avx512vbmi") void recode_avx512(
    const std::uint8_t* table, const std::uint8_t* in, std::uint8_t* out, std::size_t n) {
  const __m512i t0 = _mm512_loadu_si512(table), t1 = _mm512_loadu_si512(table + 64);
  const __m512i t2 = _mm512_loadu_si512(table + 128), t3 = _mm512_loadu_si512(table + 192);
  std::size_t i = 0;
  for (;;) {
    const std::size_t left = n - i;
    if (left == 0) break;
    // A whole vector, or the last few bytes through a mask.
    const __mmask64 take = left >= 64 ? ~__mmask64(0) : (__mmask64(1) << left) - 1;
    const __m512i x = _mm512_maskz_loadu_epi8(take, in + i);
    const __m512i low = _mm512_permutex2var_epi8(t0, x, t1);
    const __m512i high = _mm512_permutex2var_epi8(t2, x, t3);
    _mm512_mask_storeu_epi8(out + i, take, _mm512_mask_blend_epi8(_mm512_movepi8_mask(x), low, high));
    if (left <= 64) break;
    i += 64;
  }
}

#else  // no AVX-512 on this target

// See header; never chosen without AVX-512.
void recode_avx512(const std::uint8_t* table, const std::uint8_t* in, std::uint8_t* out,
                   std::size_t n) {
  recode_portable(table, in, out, n);
}

#endif

}  // namespace kelvora::recode
