// SHA-256 compressions with the ARMv8 SHA-2 instructions, on values held in
// registers. Shared by the ARMv8 units only (the block back end, the node
// routine of the order-preserving map, the crumbs' interleaved streams):
// every function here carries the crypto target attribute and is inlined into
// callers that carry it too, so none of it can be picked by the linker for a
// caller on a CPU without the instructions. Include only on aarch64 and only
// from units that include nothing else but the SHA-256 seam.
//
// The instructions keep the chaining value as two vectors in word order,
// ABCD and EFGH (A in lane 0), and take the message as four vectors of four
// words (W4g+i in lane i of group g): H0..H7 load and store as they are.
#pragma once

#include <arm_neon.h>

#include "platform.hpp"
#include "primitives/sha256_blocks.hpp"

// GCC 12 spells the extension "+crypto" (its "+sha2" does not reach the
// intrinsics' own pragma); clang accepts the same.
#define KELVORA_TARGET_ARMV8_SHA2 KELVORA_TARGET("+crypto")
#define KELVORA_INLINE_ARMV8_SHA2 KELVORA_TARGET_ARMV8_SHA2 KELVORA_ALWAYS_INLINE static

namespace kelvora::sha256_blocks {

// The words of 64 message bytes, big-endian, as four groups of four.
KELVORA_INLINE_ARMV8_SHA2 void load_message(const std::uint8_t* data, uint32x4_t w[4]) {
#pragma GCC unroll 4
  for (int g = 0; g < 4; ++g) w[g] = vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(data + 16 * g)));
}

// Compresses one block into each of N independent streams, feed-forward
// included: the message of stream s is w[s][0..3], its chaining value
// (abcd[s], efgh[s]). Each group of four rounds is issued for every stream
// before the next group, so the streams' dependency chains overlap (the
// rounds' latency is several cycles, their throughput one or two a cycle).
// Group g's schedule step makes the words of group g + 4 from those of
// groups g .. g+3 (SHA256SU0: sigma0 term; SHA256SU1: W[t-7] and sigma1).
template <int N>
KELVORA_INLINE_ARMV8_SHA2 void compress_armv8(uint32x4_t abcd[N], uint32x4_t efgh[N],
                                              uint32x4_t w[N][4]) {
  uint32x4_t abcd_in[N], efgh_in[N];
#pragma GCC unroll 8
  for (int s = 0; s < N; ++s) {
    abcd_in[s] = abcd[s];
    efgh_in[s] = efgh[s];
  }
#pragma GCC unroll 16
  for (int g = 0; g < 16; ++g) {
    const uint32x4_t k = vld1q_u32(kRound + 4 * g);
#pragma GCC unroll 8
    for (int s = 0; s < N; ++s) {
      const uint32x4_t wk = vaddq_u32(w[s][g & 3], k);
      const uint32x4_t a = abcd[s];
      abcd[s] = vsha256hq_u32(a, efgh[s], wk);
      efgh[s] = vsha256h2q_u32(efgh[s], a, wk);
      if (g < 12) {
        w[s][g & 3] = vsha256su1q_u32(vsha256su0q_u32(w[s][g & 3], w[s][(g + 1) & 3]),
                                      w[s][(g + 2) & 3], w[s][(g + 3) & 3]);
      }
    }
  }
#pragma GCC unroll 8
  for (int s = 0; s < N; ++s) {
    abcd[s] = vaddq_u32(abcd[s], abcd_in[s]);
    efgh[s] = vaddq_u32(efgh[s], efgh_in[s]);
  }
}

}  // namespace kelvora::sha256_blocks
