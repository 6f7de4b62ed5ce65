// Sixteen SHA-256 compressions with AVX-512; see sha256_x16.hpp.
//
// Only the functions below are compiled for AVX-512 (target attribute), and
// this unit includes nothing but the intrinsics header, its seam, the SHA-256
// seam (for the round constants) and the platform macros, so no shared inline
// code can be compiled with these instructions.
#include "primitives/sha256_x16.hpp"
#include "platform.hpp"
#include "primitives/sha256_blocks.hpp"

#if KELVORA_BUILD_AVX512
#include "avx512_intrinsics.hpp"
#endif

namespace kelvora::sha256_x16 {

#if KELVORA_BUILD_AVX512

// Round functions as in FIPS 180-4 section 4.1.2; three-input logic in one
// vpternlogd each (0x96: x ^ y ^ z, 0xCA: x ? y : z, 0xE8: majority). t[j]
// holds message word j of every lane.
KELVORA_TARGET("avx512f,avx512bw") KELVORA_ALWAYS_INLINE static void rounds(States& states, __m512i t[16]) {
#define KV_XOR3(x, y, z) _mm512_ternarylogic_epi32((x), (y), (z), 0x96)
#define KV_ROR(x, n) _mm512_ror_epi32((x), (n))
  __m512i a = _mm512_load_si512(states.h[0]), b = _mm512_load_si512(states.h[1]);
  __m512i c = _mm512_load_si512(states.h[2]), d = _mm512_load_si512(states.h[3]);
  __m512i e = _mm512_load_si512(states.h[4]), f = _mm512_load_si512(states.h[5]);
  __m512i g = _mm512_load_si512(states.h[6]), h = _mm512_load_si512(states.h[7]);
#pragma GCC unroll 64
  for (int r = 0; r < 64; ++r) {
    __m512i& x = t[r & 15];
    if (r >= 16) {
      const __m512i w15 = t[(r + 1) & 15], w2 = t[(r + 14) & 15];
      const __m512i s0 = KV_XOR3(KV_ROR(w15, 7), KV_ROR(w15, 18), _mm512_srli_epi32(w15, 3));
      const __m512i s1 = KV_XOR3(KV_ROR(w2, 17), KV_ROR(w2, 19), _mm512_srli_epi32(w2, 10));
      x = _mm512_add_epi32(_mm512_add_epi32(x, s0), _mm512_add_epi32(t[(r + 9) & 15], s1));
    }
    const __m512i big_s1 = KV_XOR3(KV_ROR(e, 6), KV_ROR(e, 11), KV_ROR(e, 25));
    const __m512i ch = _mm512_ternarylogic_epi32(e, f, g, 0xCA);
    const __m512i t1 = _mm512_add_epi32(
        _mm512_add_epi32(h, big_s1),
        _mm512_add_epi32(ch, _mm512_add_epi32(x, _mm512_set1_epi32(int(sha256_blocks::kRound[r])))));
    const __m512i big_s0 = KV_XOR3(KV_ROR(a, 2), KV_ROR(a, 13), KV_ROR(a, 22));
    const __m512i maj = _mm512_ternarylogic_epi32(a, b, c, 0xE8);
    h = g;
    g = f;
    f = e;
    e = _mm512_add_epi32(d, t1);
    d = c;
    c = b;
    b = a;
    a = _mm512_add_epi32(t1, _mm512_add_epi32(big_s0, maj));
  }
  const __m512i out[8] = {a, b, c, d, e, f, g, h};
  for (int i = 0; i < 8; ++i)
    _mm512_store_si512(states.h[i], _mm512_add_epi32(_mm512_load_si512(states.h[i]), out[i]));
#undef KV_XOR3
#undef KV_ROR
}

// Big-endian words made native: the bytes of each 32-bit lane reversed.
KELVORA_TARGET("avx512f,avx512bw") KELVORA_ALWAYS_INLINE static __m512i byte_swap(__m512i x) {
  const __m512i swap = _mm512_broadcast_i32x4(
      _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3));
  return _mm512_shuffle_epi8(x, swap);
}

// See header.
KELVORA_TARGET("avx512f,avx512bw") void compress_avx512(States& states, const std::uint8_t* const block[kLanes]) {
  // Rows: the sixteen words of one lane's block.
  __m512i w[16];
  for (int i = 0; i < 16; ++i)
    w[i] = byte_swap(_mm512_loadu_si512(static_cast<const void*>(block[i])));
  // Transpose 16 x 16 words: w[t] becomes word t of every lane. Within each
  // 128-bit quarter first (words, then pairs), then the quarters.
  __m512i t[16];
  for (int i = 0; i < 16; i += 2) {
    t[i] = _mm512_unpacklo_epi32(w[i], w[i + 1]);
    t[i + 1] = _mm512_unpackhi_epi32(w[i], w[i + 1]);
  }
  for (int i = 0; i < 16; i += 4) {
    w[i] = _mm512_unpacklo_epi64(t[i], t[i + 2]);
    w[i + 1] = _mm512_unpackhi_epi64(t[i], t[i + 2]);
    w[i + 2] = _mm512_unpacklo_epi64(t[i + 1], t[i + 3]);
    w[i + 3] = _mm512_unpackhi_epi64(t[i + 1], t[i + 3]);
  }
  // w[4m + j], quarter q: lanes 4m..4m+3 of word 4q + j.
  for (int j = 0; j < 4; ++j) {
    const __m512i v0 = _mm512_shuffle_i32x4(w[j], w[4 + j], 0x44);
    const __m512i v1 = _mm512_shuffle_i32x4(w[j], w[4 + j], 0xEE);
    const __m512i v2 = _mm512_shuffle_i32x4(w[8 + j], w[12 + j], 0x44);
    const __m512i v3 = _mm512_shuffle_i32x4(w[8 + j], w[12 + j], 0xEE);
    t[j] = _mm512_shuffle_i32x4(v0, v2, 0x88);
    t[4 + j] = _mm512_shuffle_i32x4(v0, v2, 0xDD);
    t[8 + j] = _mm512_shuffle_i32x4(v1, v3, 0x88);
    t[12 + j] = _mm512_shuffle_i32x4(v1, v3, 0xDD);
  }
  rounds(states, t);
}

// See header.
KELVORA_TARGET("avx512f,avx512bw") void compress_shared_avx512(States& states, const std::uint8_t* data,
                                             std::size_t stride, std::size_t words,
                                             const std::uint8_t* shared) {
  __m512i t[16];
  if (words == 1 && stride == 4) {
    t[0] = byte_swap(_mm512_loadu_si512(static_cast<const void*>(data)));
  } else if ((words == 2 || words == 4) && stride == 4 * words) {
    // Consecutive parts of two or four words (8- and 16-byte chunks): the
    // sixteen lanes' words are `words` whole vectors, which two-source
    // permutes transpose in registers; cheaper than a gather per word.
    __m512i v[4];
    for (std::size_t i = 0; i < words; ++i)
      v[i] = byte_swap(_mm512_loadu_si512(static_cast<const void*>(data + 64 * i)));
    const __m512i lane = _mm512_set_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    const __m512i pick = _mm512_mullo_epi32(lane, _mm512_set1_epi32(int(words)));
    for (std::size_t j = 0; j < words; ++j) {
      // Word j of lane i sits at index words * i + j of v[0], v[1], ...
      const __m512i index = _mm512_add_epi32(pick, _mm512_set1_epi32(int(j)));
      if (words == 2) {
        t[j] = _mm512_permutex2var_epi32(v[0], index, v[1]);
      } else {
        // Lanes 0 to 7 from v[0], v[1]; lanes 8 to 15 from v[2], v[3] with
        // the same indices; the two low halves joined.
        const __m512i low = _mm512_permutex2var_epi32(v[0], index, v[1]);
        const __m512i high = _mm512_permutex2var_epi32(v[2], index, v[3]);
        t[j] = _mm512_shuffle_i64x2(low, high, 0x44);
      }
    }
  } else if (words != 0) {
    const __m512i lane = _mm512_set_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    const __m512i offsets = _mm512_mullo_epi32(lane, _mm512_set1_epi32(int(stride)));
    for (std::size_t j = 0; j < words; ++j)
      t[j] = byte_swap(_mm512_i32gather_epi32(offsets, static_cast<const void*>(data + 4 * j), 1));
  }
  const __m512i shared_words = byte_swap(_mm512_loadu_si512(static_cast<const void*>(shared)));
  alignas(64) std::uint32_t w[16];
  _mm512_store_si512(w, shared_words);
  for (std::size_t j = words; j < 16; ++j) t[j] = _mm512_set1_epi32(int(w[j]));
  rounds(states, t);
}

#else

void compress_avx512(States&, const std::uint8_t* const*) { fail_unbuilt("compress_avx512"); }
void compress_shared_avx512(States&, const std::uint8_t*, std::size_t, std::size_t,
                            const std::uint8_t*) {
  fail_unbuilt("compress_shared_avx512");
}

#endif

}  // namespace kelvora::sha256_x16
