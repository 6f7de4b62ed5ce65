// Four-block refill: the portable and SSE2 back ends and the choice among
// all of them; see chacha_x4.hpp.
#include "keys/chacha_x4.hpp"

#include <cstddef>

#include "bytes.hpp"

#if KELVORA_BUILD_SSE2
#include <emmintrin.h>

#include "primitives/chacha20_rounds.hpp"
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

#if KELVORA_BUILD_SSE2
namespace {

// SSE2 has no vector rotate: 16 swaps the halves of each word, the others
// shift both ways.
struct Sse2Ops {
  using Word = __m128i;
  static Word add(Word a, Word b) { return _mm_add_epi32(a, b); }
  static Word xor_(Word a, Word b) { return _mm_xor_si128(a, b); }
  template <int N>
  static Word rotl(Word x) {
    if constexpr (N == 16) {
      return _mm_shufflehi_epi16(_mm_shufflelo_epi16(x, 0xB1), 0xB1);
    } else {
      return _mm_or_si128(_mm_slli_epi32(x, N), _mm_srli_epi32(x, 32 - N));
    }
  }
};

inline __m128i lanes_of(std::uint64_t k0, std::uint64_t k1, std::uint64_t k2, std::uint64_t k3,
                        int shift) {
  return _mm_set_epi32(int(std::uint32_t(k3 >> shift)), int(std::uint32_t(k2 >> shift)),
                       int(std::uint32_t(k1 >> shift)), int(std::uint32_t(k0 >> shift)));
}

// Lane k of every register belongs to block k.
[[gnu::noinline]] void blocks_sse2(const ChaChaKey& key, std::uint64_t counter,
                                   std::uint64_t stream, ChaChaLanes& out) {
  __m128i input[16];
  for (std::size_t i = 0; i < 4; ++i) input[i] = _mm_set1_epi32(int(chacha20_rounds::kSigma[i]));
  for (std::size_t i = 0; i < 8; ++i) input[4 + i] = _mm_set1_epi32(int(key[i]));
  const std::uint64_t c0 = counter, c1 = counter + 1, c2 = counter + 2, c3 = counter + 3;
  input[12] = lanes_of(c0, c1, c2, c3, 0);
  input[13] = lanes_of(c0, c1, c2, c3, 32);
  input[14] = _mm_set1_epi32(int(std::uint32_t(stream)));
  input[15] = _mm_set1_epi32(int(std::uint32_t(stream >> 32)));

  __m128i x[16];
  for (std::size_t i = 0; i < 16; ++i) x[i] = input[i];
  chacha20_rounds::twenty_rounds<Sse2Ops>(x);
  for (std::size_t i = 0; i < 16; ++i) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out[i].data()), _mm_add_epi32(x[i], input[i]));
  }
}

}  // namespace

// See header. Sixteen registers do not hold the input and the working state
// (the key in one, the keystream less the input in the other), so most of
// both is spilled to the stack, which is wiped once the blocks are done.
void chacha20_x4_sse2(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                      ChaChaLanes& out) {
  blocks_sse2(key, counter, stream, out);
  wipe_stack_below<2048>();
}

#else

void chacha20_x4_sse2(const ChaChaKey&, std::uint64_t, std::uint64_t, ChaChaLanes&) {
  fail_unbuilt("chacha20_x4_sse2");
}

#endif

// See header.
ChaChaX4Fn chacha20_x4_active() {
  static const ChaChaX4Fn chosen =
      first_available<ChaChaX4Fn>({{chacha20_avx512_available, chacha20_x4_avx512},
                                   {chacha20_sse2_available, chacha20_x4_sse2},
                                   {chacha20_neon_available, chacha20_x4_neon}},
                                  chacha20_x4_portable);
  return chosen;
}

}  // namespace kelvora
