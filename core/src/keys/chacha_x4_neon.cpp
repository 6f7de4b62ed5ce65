// NEON back end of the four-block refill; see chacha_x4.hpp.
//
// Lane k of every register belongs to block k, as in the SSE2 back end, so
// the rounds are the shared ones (chacha20_rounds.hpp) over NEON words and
// the output is word-major as the seam wants it. NEON has no vector rotate:
// 16 swaps the halves of each word, 8 is a byte shuffle, 12 and 7 a shift
// left and a shift right inserted into it. NEON is part of every aarch64 CPU,
// so nothing here carries a target attribute.
#include "keys/chacha_x4.hpp"

#if KELVORA_BUILD_NEON
#include <arm_neon.h>

#include "bytes.hpp"
#include "primitives/chacha20_rounds.hpp"
#endif

namespace kelvora {

#if KELVORA_BUILD_NEON

namespace {

struct NeonOps {
  using Word = uint32x4_t;
  static Word add(Word a, Word b) { return vaddq_u32(a, b); }
  static Word xor_(Word a, Word b) { return veorq_u32(a, b); }
  template <int N>
  static Word rotl(Word x) {
    if constexpr (N == 16) {
      return vreinterpretq_u32_u16(vrev32q_u16(vreinterpretq_u16_u32(x)));
    } else if constexpr (N == 8) {
      // Byte i of each word comes from byte i - 1 (mod 4): little-endian
      // lanes, so that is a left rotate by one byte.
      static constexpr std::uint8_t kRot8[16] = {3,  0, 1, 2,  7,  4,  5,  6,
                                                 11, 8, 9, 10, 15, 12, 13, 14};
      return vreinterpretq_u32_u8(vqtbl1q_u8(vreinterpretq_u8_u32(x), vld1q_u8(kRot8)));
    } else {
      return vsriq_n_u32(vshlq_n_u32(x, N), x, 32 - N);
    }
  }
};

uint32x4_t lanes_of(std::uint64_t counter, int shift) {
  const std::uint32_t w[4] = {
      std::uint32_t(counter >> shift), std::uint32_t((counter + 1) >> shift),
      std::uint32_t((counter + 2) >> shift), std::uint32_t((counter + 3) >> shift)};
  return vld1q_u32(w);
}

// Out of line, so that its frame lies below the caller's and is wiped.
[[gnu::noinline]] void blocks_neon(const ChaChaKey& key, std::uint64_t counter,
                                   std::uint64_t stream, ChaChaLanes& out) {
  uint32x4_t input[16];
  for (std::size_t i = 0; i < 4; ++i) input[i] = vdupq_n_u32(chacha20_rounds::kSigma[i]);
  for (std::size_t i = 0; i < 8; ++i) input[4 + i] = vdupq_n_u32(key[i]);
  input[12] = lanes_of(counter, 0);
  input[13] = lanes_of(counter, 32);
  input[14] = vdupq_n_u32(std::uint32_t(stream));
  input[15] = vdupq_n_u32(std::uint32_t(stream >> 32));

  uint32x4_t x[16];
  for (std::size_t i = 0; i < 16; ++i) x[i] = input[i];
  chacha20_rounds::twenty_rounds<NeonOps>(x);
  for (std::size_t i = 0; i < 16; ++i) vst1q_u32(out[i].data(), vaddq_u32(x[i], input[i]));
}

}  // namespace

// See header. The input and the working state (the key in one, the keystream
// less the input in the other) can spill to the stack, which is wiped once
// the blocks are done.
void chacha20_x4_neon(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                      ChaChaLanes& out) {
  blocks_neon(key, counter, stream, out);
  wipe_stack_below<2048>();
}

#else

void chacha20_x4_neon(const ChaChaKey&, std::uint64_t, std::uint64_t, ChaChaLanes&) {
  fail_unbuilt("chacha20_x4_neon");
}

#endif

}  // namespace kelvora
