// SHA-256 compression with the x86-64 SHA extensions; see sha256_blocks.hpp.
//
// Only this function is compiled for SHA/SSE4.1 (target attribute), and this
// unit includes nothing but the intrinsics headers and the seam: an inline
// function or template pulled in from a shared header could otherwise be
// compiled with these instructions and picked by the linker for every caller.
// Build with -DKELVORA_NO_SHANI to leave the back end out.
#include "primitives/sha256_blocks.hpp"

#if (defined(__x86_64__) || defined(_M_X64)) && !defined(KELVORA_NO_SHANI)
#define KELVORA_HAVE_SHANI 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace kelvora::sha256_blocks {

#if KELVORA_HAVE_SHANI

// See sha256_blocks.hpp. SHA256RNDS2 wants the state as the lane pairs ABEF
// and CDGH; the message words are byte-swapped to big-endian on load. Each
// group of four rounds feeds the schedule of the groups three and one ahead
// (SHA256MSG1, SHA256MSG2), so the 16 groups below keep four message vectors
// in a ring.
__attribute__((target("sha,sse4.1"))) void blocks_shani(std::uint32_t state[8],
                                                        const std::uint8_t* data,
                                                        std::size_t nblocks) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);

  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

  for (; nblocks != 0; --nblocks, data += 64) {
    const __m128i abef_in = abef;
    const __m128i cdgh_in = cdgh;
    __m128i w[4];

#pragma GCC unroll 16
    for (int g = 0; g < 16; ++g) {
      if (g < 4) {
        w[g] = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * g)), byte_swap);
      }
      __m128i wk = _mm_add_epi32(w[g & 3],
                                 _mm_load_si128(reinterpret_cast<const __m128i*>(kRound + 4 * g)));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
      if (g >= 3 && g < 15) {
        // Finish the schedule of group g + 1: W[t-7] term and sigma1.
        __m128i next = _mm_add_epi32(w[(g + 1) & 3], _mm_alignr_epi8(w[g & 3], w[(g - 1) & 3], 4));
        w[(g + 1) & 3] = _mm_sha256msg2_epu32(next, w[g & 3]);
      }
      wk = _mm_shuffle_epi32(wk, 0x0E);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, wk);
      if (g >= 1 && g < 13) {
        // Start the schedule of group g + 3: sigma0 term.
        w[(g - 1) & 3] = _mm_sha256msg1_epu32(w[(g - 1) & 3], w[g & 3]);
      }
    }

    abef = _mm_add_epi32(abef, abef_in);
    cdgh = _mm_add_epi32(cdgh, cdgh_in);
  }

  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  dcba = _mm_blend_epi16(feba, dchg, 0xF0);
  hgfe = _mm_alignr_epi8(dchg, feba, 8);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), dcba);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), hgfe);
}

// See sha256_blocks.hpp. SHA (leaf 7 EBX bit 29), SSSE3 (leaf 1 ECX bit 9)
// and SSE4.1 (leaf 1 ECX bit 19) must all be present.
bool shani_available() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid_count(1, 0, &a, &b, &c, &d)) return false;
  const bool sse = (c & (1u << 9)) != 0 && (c & (1u << 19)) != 0;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  return sse && (b & (1u << 29)) != 0;
}

#else  // no SHA-NI on this target

// See sha256_blocks.hpp. Never chosen: shani_available() is false here.
void blocks_shani(std::uint32_t state[8], const std::uint8_t* data, std::size_t nblocks) {
  blocks_portable(state, data, nblocks);
}

bool shani_available() { return false; }

#endif

}  // namespace kelvora::sha256_blocks
