// One SHA-256 compression with the x86-64 SHA extensions, on values held in
// registers. Shared by the SHA-NI units only (the block back end and the
// order-preserving map's node routine): every function here carries the
// SHA/SSE4.1 target attribute and is inlined into callers that carry it too,
// so none of it can be picked by the linker for a caller without SHA-NI.
// Include only on x86-64 and only from units that include nothing else but
// the SHA-256 seam.
#pragma once

#include <immintrin.h>

#include "platform.hpp"
#include "primitives/sha256_blocks.hpp"

#define KELVORA_TARGET_SHANI KELVORA_TARGET("sha,sse4.1")
#define KELVORA_INLINE_SHANI KELVORA_TARGET_SHANI KELVORA_ALWAYS_INLINE static

namespace kelvora::sha256_blocks {

// SHA256RNDS2 wants the chaining value as the lane pairs ABEF and CDGH (A in
// the top lane); these convert from and to H0..H7 in order, four words per
// vector (H0 in the bottom lane).
KELVORA_INLINE_SHANI void to_lane_pairs(__m128i dcba, __m128i hgfe, __m128i& abef, __m128i& cdgh) {
  const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  abef = _mm_alignr_epi8(cdab, efgh, 8);
  cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
}
KELVORA_INLINE_SHANI void from_lane_pairs(__m128i abef, __m128i cdgh, __m128i& dcba, __m128i& hgfe) {
  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  dcba = _mm_blend_epi16(feba, dchg, 0xF0);
  hgfe = _mm_alignr_epi8(dchg, feba, 8);
}

// Compresses one block whose message words W0..W15 are in w (W4g+i in lane i
// of w[g]) into (abef, cdgh), feed-forward included. Each group of four rounds
// feeds the schedule of the groups three and one ahead (SHA256MSG1,
// SHA256MSG2), so the 16 groups keep the four message vectors as a ring.
KELVORA_INLINE_SHANI void compress_shani(__m128i& abef, __m128i& cdgh, __m128i w[4]) {
  const __m128i abef_in = abef;
  const __m128i cdgh_in = cdgh;
#pragma GCC unroll 16
  for (int g = 0; g < 16; ++g) {
    __m128i wk =
        _mm_add_epi32(w[g & 3], _mm_load_si128(reinterpret_cast<const __m128i*>(kRound + 4 * g)));
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

}  // namespace kelvora::sha256_blocks
