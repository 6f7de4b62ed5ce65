// Node draws with the x86-64 SHA extensions; see node_mac.hpp.
//
// Like the SHA-256 block back end, this unit includes nothing but the seam and
// the SHA-NI rounds, and every function in it carries the SHA target
// attribute.
#include "primitives/node_mac.hpp"

#if KELVORA_BUILD_SHANI
#include "primitives/sha256_shani_rounds.hpp"
#endif

namespace kelvora::node_mac {

#if KELVORA_BUILD_SHANI

namespace {

using sha256_blocks::compress_shani;

KELVORA_INLINE_SHANI void load_state(const std::uint32_t h[8], __m128i& abef, __m128i& cdgh) {
  sha256_blocks::to_lane_pairs(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h)),
                               _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + 4)), abef,
                               cdgh);
}

// The padding words of the two final blocks: the inner one holds the node
// message after the inner pad block, the outer one the inner digest after the
// outer pad block.
constexpr sha256_blocks::BlockWords kInnerPad = sha256_blocks::padding_words(28, 64 + 28);
constexpr sha256_blocks::BlockWords kOuterPad = sha256_blocks::padding_words(32, 64 + 32);
static_assert(4 * kMessageWords == 28);

KELVORA_INLINE_SHANI __m128i pad_group(const sha256_blocks::BlockWords& pad, int g) {
  return _mm_setr_epi32(int(pad.w[4 * g]), int(pad.w[4 * g + 1]), int(pad.w[4 * g + 2]),
                        int(pad.w[4 * g + 3]));
}

// The HMAC of one node from the pad states (in lane pairs) to the draw.
KELVORA_INLINE_SHANI std::uint64_t draw_in_registers(__m128i inner_abef, __m128i inner_cdgh,
                                                     __m128i outer_abef, __m128i outer_cdgh,
                                                     const std::uint32_t m[kMessageWords]) {
  __m128i w[4] = {_mm_setr_epi32(int(m[0]), int(m[1]), int(m[2]), int(m[3])),
                  _mm_setr_epi32(int(m[4]), int(m[5]), int(m[6]), int(kInnerPad.w[7])),
                  pad_group(kInnerPad, 2), pad_group(kInnerPad, 3)};
  __m128i abef = inner_abef, cdgh = inner_cdgh;
  compress_shani(abef, cdgh, w);

  sha256_blocks::from_lane_pairs(abef, cdgh, w[0], w[1]);
  w[2] = pad_group(kOuterPad, 2);
  w[3] = pad_group(kOuterPad, 3);
  abef = outer_abef;
  cdgh = outer_cdgh;
  compress_shani(abef, cdgh, w);
  // A in lane 3, B in lane 2: the upper 64 bits are A:B.
  return static_cast<std::uint64_t>(_mm_extract_epi64(abef, 1));
}

}  // namespace

// See header.
KELVORA_TARGET_SHANI std::uint64_t draw_shani(const std::uint32_t inner[8],
                                              const std::uint32_t outer[8],
                                              const std::uint32_t words[kMessageWords]) {
  __m128i inner_abef, inner_cdgh, outer_abef, outer_cdgh;
  load_state(inner, inner_abef, inner_cdgh);
  load_state(outer, outer_abef, outer_cdgh);
  return draw_in_registers(inner_abef, inner_cdgh, outer_abef, outer_cdgh, words);
}

// See header. The two nodes share no data, so their instructions interleave
// in the processor's window without being interleaved here.
KELVORA_TARGET_SHANI void draw2_shani(const std::uint32_t inner[8], const std::uint32_t outer[8],
                                      const std::uint32_t a[kMessageWords],
                                      const std::uint32_t b[kMessageWords],
                                      std::uint64_t draws[2]) {
  __m128i inner_abef, inner_cdgh, outer_abef, outer_cdgh;
  load_state(inner, inner_abef, inner_cdgh);
  load_state(outer, outer_abef, outer_cdgh);
  draws[0] = draw_in_registers(inner_abef, inner_cdgh, outer_abef, outer_cdgh, a);
  draws[1] = draw_in_registers(inner_abef, inner_cdgh, outer_abef, outer_cdgh, b);
}

#else

std::uint64_t draw_shani(const std::uint32_t*, const std::uint32_t*, const std::uint32_t*) {
  fail_unbuilt("draw_shani");
}
void draw2_shani(const std::uint32_t*, const std::uint32_t*, const std::uint32_t*,
                 const std::uint32_t*, std::uint64_t*) {
  fail_unbuilt("draw2_shani");
}

#endif

}  // namespace kelvora::node_mac
