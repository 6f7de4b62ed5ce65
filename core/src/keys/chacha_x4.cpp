#include "keys/chacha_x4.hpp"

#include <cstddef>

#include "bytes.hpp"

#if defined(KELVORA_HAVE_CHACHA_SSE2)
#include <emmintrin.h>
#endif

namespace kelvora {

// See header.
void chacha20_x4_portable(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                          ChaChaLanes& out) {
  ChaChaBlock block;
  for (std::size_t k = 0; k < 4; ++k) {
    chacha20_block(key, counter + k, stream, block);
    for (std::size_t i = 0; i < 16; ++i) out[i][k] = block[i];
  }
  secure_wipe(block.data(), sizeof block);
}

#if defined(KELVORA_HAVE_CHACHA_SSE2)
namespace {

// SSE2 has no vector rotate: 16 swaps the halves of each word, the others
// shift both ways.
inline __m128i rotl16(__m128i x) {
  return _mm_shufflehi_epi16(_mm_shufflelo_epi16(x, 0xB1), 0xB1);
}
template <int N>
inline __m128i rotl(__m128i x) {
  return _mm_or_si128(_mm_slli_epi32(x, N), _mm_srli_epi32(x, 32 - N));
}

inline void quarter_round(__m128i& a, __m128i& b, __m128i& c, __m128i& d) {
  a = _mm_add_epi32(a, b); d = rotl16(_mm_xor_si128(d, a));
  c = _mm_add_epi32(c, d); b = rotl<12>(_mm_xor_si128(b, c));
  a = _mm_add_epi32(a, b); d = rotl<8>(_mm_xor_si128(d, a));
  c = _mm_add_epi32(c, d); b = rotl<7>(_mm_xor_si128(b, c));
}

inline __m128i lanes_of(std::uint64_t k0, std::uint64_t k1, std::uint64_t k2, std::uint64_t k3,
                        int shift) {
  return _mm_set_epi32(int(std::uint32_t(k3 >> shift)), int(std::uint32_t(k2 >> shift)),
                       int(std::uint32_t(k1 >> shift)), int(std::uint32_t(k0 >> shift)));
}

}  // namespace

// See header. Lane k of every register belongs to block k.
void chacha20_x4_sse2(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                      ChaChaLanes& out) {
  __m128i input[16];
  input[0] = _mm_set1_epi32(0x61707865);
  input[1] = _mm_set1_epi32(0x3320646e);
  input[2] = _mm_set1_epi32(0x79622d32);
  input[3] = _mm_set1_epi32(0x6b206574);
  for (std::size_t i = 0; i < 8; ++i) input[4 + i] = _mm_set1_epi32(int(key[i]));
  const std::uint64_t c0 = counter, c1 = counter + 1, c2 = counter + 2, c3 = counter + 3;
  input[12] = lanes_of(c0, c1, c2, c3, 0);
  input[13] = lanes_of(c0, c1, c2, c3, 32);
  input[14] = _mm_set1_epi32(int(std::uint32_t(stream)));
  input[15] = _mm_set1_epi32(int(std::uint32_t(stream >> 32)));

  __m128i x[16];
  for (std::size_t i = 0; i < 16; ++i) x[i] = input[i];
  for (int round = 0; round < 10; ++round) {
    quarter_round(x[0], x[4], x[8], x[12]);
    quarter_round(x[1], x[5], x[9], x[13]);
    quarter_round(x[2], x[6], x[10], x[14]);
    quarter_round(x[3], x[7], x[11], x[15]);
    quarter_round(x[0], x[5], x[10], x[15]);
    quarter_round(x[1], x[6], x[11], x[12]);
    quarter_round(x[2], x[7], x[8], x[13]);
    quarter_round(x[3], x[4], x[9], x[14]);
  }
  for (std::size_t i = 0; i < 16; ++i) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out[i].data()), _mm_add_epi32(x[i], input[i]));
  }
}
#endif

// See header.
ChaChaX4Fn chacha20_x4_active() {
  static const ChaChaX4Fn chosen = [] {
    if (ChaChaX4Fn f = chacha20_x4_avx512()) return f;
#if defined(KELVORA_HAVE_CHACHA_SSE2)
    return ChaChaX4Fn(chacha20_x4_sse2);
#else
    return ChaChaX4Fn(chacha20_x4_portable);
#endif
  }();
  return chosen;
}

}  // namespace kelvora
