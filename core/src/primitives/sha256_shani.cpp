// SHA-256 compression with the x86-64 SHA extensions; see sha256_blocks.hpp.
//
// Only this function is compiled for SHA/SSE4.1 (target attribute), and this
// unit includes nothing but the intrinsics headers, the seam (with the
// back-end declarations) and the SHA-NI rounds: an inline function or
// template pulled in from a shared header could otherwise be compiled with
// these instructions and picked by the linker for every caller.
#include "primitives/sha256_blocks.hpp"

#if KELVORA_BUILD_SHANI
#include "primitives/sha256_shani_rounds.hpp"
#endif

namespace kelvora::sha256_blocks {

#if KELVORA_BUILD_SHANI

// See sha256_blocks.hpp. The message words are byte-swapped to big-endian on
// load; the rounds are in sha256_shani_rounds.hpp.
KELVORA_TARGET_SHANI void blocks_shani(std::uint32_t state[8], const std::uint8_t* data,
                                       std::size_t nblocks) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);

  __m128i abef, cdgh;
  to_lane_pairs(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)),
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), abef, cdgh);

  for (; nblocks != 0; --nblocks, data += 64) {
    __m128i w[4];
    for (int g = 0; g < 4; ++g) {
      w[g] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * g)),
                              byte_swap);
    }
    compress_shani(abef, cdgh, w);
  }

  __m128i dcba, hgfe;
  from_lane_pairs(abef, cdgh, dcba, hgfe);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), dcba);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), hgfe);
}

#else

void blocks_shani(std::uint32_t*, const std::uint8_t*, std::size_t) {
  fail_unbuilt("blocks_shani");
}

#endif

}  // namespace kelvora::sha256_blocks
