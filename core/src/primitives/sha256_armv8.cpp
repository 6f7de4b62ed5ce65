// SHA-256 compression with the ARMv8 SHA-2 instructions; see sha256_blocks.hpp.
//
// Only this function is compiled for the crypto extension (target
// attribute), and this unit includes nothing but the seam (with the back-end
// declarations) and the ARMv8 rounds, which carry the same attribute: an
// inline function or template pulled in from a shared header could otherwise
// be compiled with these instructions and picked by the linker for every
// caller.
#include "primitives/sha256_blocks.hpp"

#if KELVORA_BUILD_ARMV8_SHA2
#include "primitives/sha256_armv8_rounds.hpp"
#endif

namespace kelvora::sha256_blocks {

#if KELVORA_BUILD_ARMV8_SHA2

// See sha256_blocks.hpp. One stream: each block waits for the one before.
KELVORA_TARGET_ARMV8_SHA2 void blocks_armv8(std::uint32_t state[8], const std::uint8_t* data,
                                            std::size_t nblocks) {
  uint32x4_t abcd[1] = {vld1q_u32(state)}, efgh[1] = {vld1q_u32(state + 4)};
  for (; nblocks != 0; --nblocks, data += 64) {
    uint32x4_t w[1][4];
    load_message(data, w[0]);
    compress_armv8<1>(abcd, efgh, w);
  }
  vst1q_u32(state, abcd[0]);
  vst1q_u32(state + 4, efgh[0]);
}

#else

void blocks_armv8(std::uint32_t*, const std::uint8_t*, std::size_t) {
  fail_unbuilt("blocks_armv8");
}

#endif

}  // namespace kelvora::sha256_blocks
