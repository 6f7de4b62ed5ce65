// AVX-512 back ends of the four- and eight-block refills; see chacha_x4.hpp.
//
// A 256-bit register holds one row (words 4r .. 4r+3) of two blocks, one per
// 128-bit half, so each quarter-round step covers the four columns of two
// blocks; the diagonal round rotates rows b, c, d within each half and back.
// Rotates are native (vprold). The eight-block refill lays the same rows out
// four blocks to a 512-bit register: the quarter round is one chain of
// dependent steps, so twice the blocks per register give eight blocks in
// about the time four take on 256-bit registers, and a key table (about 75
// words) needs one refill instead of two. Only the functions below carry the
// ISA; this unit includes nothing but the seam, the intrinsics, the ChaCha
// constants and the platform macros.
#include "keys/chacha_x4.hpp"
#include "platform.hpp"
#include "primitives/chacha20_rounds.hpp"

#if KELVORA_BUILD_AVX512

// GCC 12's AVX-512 headers trip -Wuninitialized and -Wmaybe-uninitialized on
// their own placeholder values (__Y in the unmasked intrinsics).
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#define KV_AVX512VL KELVORA_TARGET("avx512f,avx512vl")

namespace kelvora {
namespace {

// Two blocks per 256-bit register (EVEX-encoded, so rotates are native while
// the core stays off the 512-bit frequency levels); blocks 0-1 and 2-3 form
// two independent sets of four rows, which also keeps both ports busy.
struct Rows {
  __m256i a, b, c, d;
};

KV_AVX512VL inline void quarter_round(Rows& r) {
  r.a = _mm256_add_epi32(r.a, r.b); r.d = _mm256_rol_epi32(_mm256_xor_si256(r.d, r.a), 16);
  r.c = _mm256_add_epi32(r.c, r.d); r.b = _mm256_rol_epi32(_mm256_xor_si256(r.b, r.c), 12);
  r.a = _mm256_add_epi32(r.a, r.b); r.d = _mm256_rol_epi32(_mm256_xor_si256(r.d, r.a), 8);
  r.c = _mm256_add_epi32(r.c, r.d); r.b = _mm256_rol_epi32(_mm256_xor_si256(r.b, r.c), 7);
}

// Lane rotation of rows b, c, d that lines the diagonals up as columns.
KV_AVX512VL inline void diagonalize(Rows& r) {
  r.b = _mm256_shuffle_epi32(r.b, 0x39);
  r.c = _mm256_shuffle_epi32(r.c, 0x4E);
  r.d = _mm256_shuffle_epi32(r.d, 0x93);
}
KV_AVX512VL inline void undiagonalize(Rows& r) {
  r.b = _mm256_shuffle_epi32(r.b, 0x93);
  r.c = _mm256_shuffle_epi32(r.c, 0x4E);
  r.d = _mm256_shuffle_epi32(r.d, 0x39);
}

KV_AVX512VL inline __m256i counter_row(std::uint64_t c0, std::uint64_t c1, int s_lo, int s_hi) {
  return _mm256_setr_epi32(int(std::uint32_t(c0)), int(std::uint32_t(c0 >> 32)), s_lo, s_hi,
                           int(std::uint32_t(c1)), int(std::uint32_t(c1 >> 32)), s_lo, s_hi);
}

// Stores row r of the four blocks word-major: element 4w + k of the output
// row is word 4r + w of block k, found in set k / 2 at lane 4(k % 2) + w.
KV_AVX512VL inline void store_row(std::uint32_t* o, __m256i lo_set, __m256i hi_set) {
  const __m256i words01 = _mm256_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13);
  const __m256i words23 = _mm256_setr_epi32(2, 6, 10, 14, 3, 7, 11, 15);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(o),
                      _mm256_permutex2var_epi32(lo_set, words01, hi_set));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + 8),
                      _mm256_permutex2var_epi32(lo_set, words23, hi_set));
}

}  // namespace

// See header.
KV_AVX512VL void chacha20_x4_avx512(const ChaChaKey& key, std::uint64_t counter,
                                    std::uint64_t stream, ChaChaLanes& out) {
  const __m256i a0 = _mm256_broadcastsi128_si256(
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(chacha20_rounds::kSigma)));
  const __m256i b0 = _mm256_setr_epi32(int(key[0]), int(key[1]), int(key[2]), int(key[3]),
                                       int(key[0]), int(key[1]), int(key[2]), int(key[3]));
  const __m256i c0 = _mm256_setr_epi32(int(key[4]), int(key[5]), int(key[6]), int(key[7]),
                                       int(key[4]), int(key[5]), int(key[6]), int(key[7]));
  const int s_lo = int(std::uint32_t(stream)), s_hi = int(std::uint32_t(stream >> 32));
  const __m256i d0 = counter_row(counter, counter + 1, s_lo, s_hi);
  const __m256i d1 = counter_row(counter + 2, counter + 3, s_lo, s_hi);

  Rows x{a0, b0, c0, d0}, y{a0, b0, c0, d1};
  for (int round = 0; round < 10; ++round) {
    quarter_round(x); quarter_round(y);  // columns
    diagonalize(x); diagonalize(y);
    quarter_round(x); quarter_round(y);  // diagonals
    undiagonalize(x); undiagonalize(y);
  }
  std::uint32_t* o = out[0].data();
  store_row(o + 0, _mm256_add_epi32(x.a, a0), _mm256_add_epi32(y.a, a0));
  store_row(o + 16, _mm256_add_epi32(x.b, b0), _mm256_add_epi32(y.b, b0));
  store_row(o + 32, _mm256_add_epi32(x.c, c0), _mm256_add_epi32(y.c, c0));
  store_row(o + 48, _mm256_add_epi32(x.d, d0), _mm256_add_epi32(y.d, d1));
}

namespace {

// The eight-block refill: rows of four blocks (block k in 128-bit lane k),
// blocks 0-3 and 4-7 as two independent sets.
struct WideRows {
  __m512i a, b, c, d;
};

KV_AVX512VL inline void quarter_round(WideRows& r) {
  r.a = _mm512_add_epi32(r.a, r.b); r.d = _mm512_rol_epi32(_mm512_xor_si512(r.d, r.a), 16);
  r.c = _mm512_add_epi32(r.c, r.d); r.b = _mm512_rol_epi32(_mm512_xor_si512(r.b, r.c), 12);
  r.a = _mm512_add_epi32(r.a, r.b); r.d = _mm512_rol_epi32(_mm512_xor_si512(r.d, r.a), 8);
  r.c = _mm512_add_epi32(r.c, r.d); r.b = _mm512_rol_epi32(_mm512_xor_si512(r.b, r.c), 7);
}

KV_AVX512VL inline void diagonalize(WideRows& r) {
  r.b = _mm512_shuffle_epi32(r.b, _MM_PERM_ENUM(0x39));
  r.c = _mm512_shuffle_epi32(r.c, _MM_PERM_ENUM(0x4E));
  r.d = _mm512_shuffle_epi32(r.d, _MM_PERM_ENUM(0x93));
}
KV_AVX512VL inline void undiagonalize(WideRows& r) {
  r.b = _mm512_shuffle_epi32(r.b, _MM_PERM_ENUM(0x93));
  r.c = _mm512_shuffle_epi32(r.c, _MM_PERM_ENUM(0x4E));
  r.d = _mm512_shuffle_epi32(r.d, _MM_PERM_ENUM(0x39));
}

KV_AVX512VL inline __m512i wide_counter_row(std::uint64_t c, int s_lo, int s_hi) {
  const std::uint64_t c1 = c + 1, c2 = c + 2, c3 = c + 3;
  return _mm512_setr_epi32(int(std::uint32_t(c)), int(std::uint32_t(c >> 32)), s_lo, s_hi,
                           int(std::uint32_t(c1)), int(std::uint32_t(c1 >> 32)), s_lo, s_hi,
                           int(std::uint32_t(c2)), int(std::uint32_t(c2 >> 32)), s_lo, s_hi,
                           int(std::uint32_t(c3)), int(std::uint32_t(c3 >> 32)), s_lo, s_hi);
}

// Stores four blocks whose rows are a, b, c, d (block k in 128-bit lane k)
// in keystream order: lane k of each row, row after row, is block k.
KV_AVX512VL inline void store_blocks(std::uint32_t* o, __m512i a, __m512i b, __m512i c,
                                     __m512i d) {
  const __m512i ab01 = _mm512_shuffle_i32x4(a, b, 0x44);  // a0 a1 b0 b1
  const __m512i ab23 = _mm512_shuffle_i32x4(a, b, 0xEE);  // a2 a3 b2 b3
  const __m512i cd01 = _mm512_shuffle_i32x4(c, d, 0x44);
  const __m512i cd23 = _mm512_shuffle_i32x4(c, d, 0xEE);
  _mm512_storeu_si512(o + 0, _mm512_shuffle_i32x4(ab01, cd01, 0x88));   // a0 b0 c0 d0
  _mm512_storeu_si512(o + 16, _mm512_shuffle_i32x4(ab01, cd01, 0xDD));  // a1 b1 c1 d1
  _mm512_storeu_si512(o + 32, _mm512_shuffle_i32x4(ab23, cd23, 0x88));
  _mm512_storeu_si512(o + 48, _mm512_shuffle_i32x4(ab23, cd23, 0xDD));
}

}  // namespace

// See header.
KV_AVX512VL void chacha20_x8_avx512(const ChaChaKey& key, std::uint64_t counter,
                                    std::uint64_t stream, ChaChaEightBlocks& out) {
  const __m512i a0 = _mm512_broadcast_i32x4(
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(chacha20_rounds::kSigma)));
  const __m512i b0 =
      _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(key.data())));
  const __m512i c0 =
      _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(key.data() + 4)));
  const int s_lo = int(std::uint32_t(stream)), s_hi = int(std::uint32_t(stream >> 32));
  const __m512i d0 = wide_counter_row(counter, s_lo, s_hi);
  const __m512i d1 = wide_counter_row(counter + 4, s_lo, s_hi);

  WideRows x{a0, b0, c0, d0}, y{a0, b0, c0, d1};
  for (int round = 0; round < 10; ++round) {
    quarter_round(x); quarter_round(y);  // columns
    diagonalize(x); diagonalize(y);
    quarter_round(x); quarter_round(y);  // diagonals
    undiagonalize(x); undiagonalize(y);
  }
  store_blocks(out.data(), _mm512_add_epi32(x.a, a0), _mm512_add_epi32(x.b, b0),
               _mm512_add_epi32(x.c, c0), _mm512_add_epi32(x.d, d0));
  store_blocks(out.data() + 64, _mm512_add_epi32(y.a, a0), _mm512_add_epi32(y.b, b0),
               _mm512_add_epi32(y.c, c0), _mm512_add_epi32(y.d, d1));
}

}  // namespace kelvora

#else

namespace kelvora {
void chacha20_x4_avx512(const ChaChaKey&, std::uint64_t, std::uint64_t, ChaChaLanes&) {
  fail_unbuilt("chacha20_x4_avx512");
}
void chacha20_x8_avx512(const ChaChaKey&, std::uint64_t, std::uint64_t, ChaChaEightBlocks&) {
  fail_unbuilt("chacha20_x8_avx512");
}
}  // namespace kelvora

#endif
