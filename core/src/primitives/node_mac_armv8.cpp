// Node draws with the ARMv8 SHA-2 instructions; see node_mac.hpp.
//
// Like the SHA-256 block back end, this unit includes nothing but the seam and
// the ARMv8 rounds, and every function in it carries the crypto target
// attribute.
#include "primitives/node_mac.hpp"

#if KELVORA_BUILD_ARMV8_SHA2
#include "primitives/sha256_armv8_rounds.hpp"
#endif

namespace kelvora::node_mac {

#if KELVORA_BUILD_ARMV8_SHA2

namespace {

using sha256_blocks::compress_armv8;

// The padding words of the two final blocks: the inner one holds the node
// message after the inner pad block, the outer one the inner digest after the
// outer pad block.
constexpr sha256_blocks::BlockWords kInnerPad = sha256_blocks::padding_words(28, 64 + 28);
constexpr sha256_blocks::BlockWords kOuterPad = sha256_blocks::padding_words(32, 64 + 32);
static_assert(4 * kMessageWords == 28);

// The HMACs of N nodes from the pad states to the draws, the N hashes
// interleaved group by group.
template <int N>
KELVORA_INLINE_ARMV8_SHA2 void draws_in_registers(const std::uint32_t inner[8],
                                                  const std::uint32_t outer[8],
                                                  const std::uint32_t* const m[N],
                                                  std::uint64_t draws[N]) {
  uint32x4_t abcd[N], efgh[N], w[N][4];
  for (int s = 0; s < N; ++s) {
    abcd[s] = vld1q_u32(inner);
    efgh[s] = vld1q_u32(inner + 4);
    w[s][0] = vld1q_u32(m[s]);
    // Words 4 to 6 of the message and the padding's first word.
    w[s][1] = vsetq_lane_u32(kInnerPad.w[7], vld1q_u32(m[s] + 3), 0);
    w[s][1] = vextq_u32(w[s][1], w[s][1], 1);
    w[s][2] = vld1q_u32(kInnerPad.w + 8);
    w[s][3] = vld1q_u32(kInnerPad.w + 12);
  }
  compress_armv8<N>(abcd, efgh, w);

  for (int s = 0; s < N; ++s) {
    w[s][0] = abcd[s];
    w[s][1] = efgh[s];
    w[s][2] = vld1q_u32(kOuterPad.w + 8);
    w[s][3] = vld1q_u32(kOuterPad.w + 12);
    abcd[s] = vld1q_u32(outer);
    efgh[s] = vld1q_u32(outer + 4);
  }
  compress_armv8<N>(abcd, efgh, w);
  // A in lane 0, B in lane 1.
  for (int s = 0; s < N; ++s) {
    draws[s] = std::uint64_t(vgetq_lane_u32(abcd[s], 0)) << 32 | vgetq_lane_u32(abcd[s], 1);
  }
}

}  // namespace

// See header.
KELVORA_TARGET_ARMV8_SHA2 std::uint64_t draw_armv8(const std::uint32_t inner[8],
                                                   const std::uint32_t outer[8],
                                                   const std::uint32_t words[kMessageWords]) {
  const std::uint32_t* const m[1] = {words};
  std::uint64_t draw[1];
  draws_in_registers<1>(inner, outer, m, draw);
  return draw[0];
}

// See header.
KELVORA_TARGET_ARMV8_SHA2 void draw2_armv8(const std::uint32_t inner[8],
                                           const std::uint32_t outer[8],
                                           const std::uint32_t a[kMessageWords],
                                           const std::uint32_t b[kMessageWords],
                                           std::uint64_t draws[2]) {
  const std::uint32_t* const m[2] = {a, b};
  draws_in_registers<2>(inner, outer, m, draws);
}

#else

std::uint64_t draw_armv8(const std::uint32_t*, const std::uint32_t*, const std::uint32_t*) {
  fail_unbuilt("draw_armv8");
}
void draw2_armv8(const std::uint32_t*, const std::uint32_t*, const std::uint32_t*,
                 const std::uint32_t*, std::uint64_t*) {
  fail_unbuilt("draw2_armv8");
}

#endif

}  // namespace kelvora::node_mac
