// Sixteen SHA-256 compressions with the ARMv8 SHA-2 instructions; see
// sha256_x16.hpp.
//
// The instructions work on one message at a time, with a latency of several
// cycles per round group and room for one or two of them a cycle: a single
// stream leaves most issue slots empty. Four streams with their round groups
// issued in turn keep them busy. Only compress_armv8 carries the crypto
// target attribute, and this unit includes nothing but its seam, the SHA-256
// seam and the ARMv8 rounds.
#include "primitives/sha256_x16.hpp"
#include "primitives/sha256_blocks.hpp"

#if KELVORA_BUILD_ARMV8_SHA2
#include "primitives/sha256_armv8_rounds.hpp"
#endif

namespace kelvora::sha256_x16 {

#if KELVORA_BUILD_ARMV8_SHA2

namespace {

constexpr int kStreams = 4;
static_assert(kStreams == 4 && kLanes % kStreams == 0, "the transposes are four by four");

// Transposes four vectors of four words: word i of r[j] becomes word j of
// r[i]. Turns a word of four lanes into four words of a lane, and back.
KELVORA_INLINE_ARMV8_SHA2 void transpose(uint32x4_t r[4]) {
  const uint64x2_t t0 = vreinterpretq_u64_u32(vtrn1q_u32(r[0], r[1]));
  const uint64x2_t t1 = vreinterpretq_u64_u32(vtrn2q_u32(r[0], r[1]));
  const uint64x2_t t2 = vreinterpretq_u64_u32(vtrn1q_u32(r[2], r[3]));
  const uint64x2_t t3 = vreinterpretq_u64_u32(vtrn2q_u32(r[2], r[3]));
  r[0] = vreinterpretq_u32_u64(vtrn1q_u64(t0, t2));
  r[1] = vreinterpretq_u32_u64(vtrn1q_u64(t1, t3));
  r[2] = vreinterpretq_u32_u64(vtrn2q_u64(t0, t2));
  r[3] = vreinterpretq_u32_u64(vtrn2q_u64(t1, t3));
}

}  // namespace

// See header. Lanes 4p .. 4p+3 make pass p.
KELVORA_TARGET_ARMV8_SHA2 void compress_armv8(States& states,
                                              const std::uint8_t* const block[kLanes]) {
  for (std::size_t p = 0; p < kLanes; p += kStreams) {
    uint32x4_t abcd[kStreams], efgh[kStreams], w[kStreams][4];
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) {
      abcd[i] = vld1q_u32(&states.h[i][p]);
      efgh[i] = vld1q_u32(&states.h[4 + i][p]);
    }
    transpose(abcd);
    transpose(efgh);
#pragma GCC unroll 4
    for (int s = 0; s < kStreams; ++s) sha256_blocks::load_message(block[p + s], w[s]);
    sha256_blocks::compress_armv8<kStreams>(abcd, efgh, w);
    transpose(abcd);
    transpose(efgh);
#pragma GCC unroll 4
    for (int i = 0; i < 4; ++i) {
      vst1q_u32(&states.h[i][p], abcd[i]);
      vst1q_u32(&states.h[4 + i][p], efgh[i]);
    }
  }
}

#else

void compress_armv8(States&, const std::uint8_t* const*) { fail_unbuilt("compress_armv8"); }

#endif

}  // namespace kelvora::sha256_x16
