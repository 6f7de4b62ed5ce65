// Sixteen independent SHA-256 compressions side by side.
//
// Crumbs hash one short message per chunk, and the messages are independent.
// A back end here compresses sixteen of them at once, which is faster than
// one at a time through the block seam (sha256_blocks.hpp), where every round
// waits for the one before:
//   compress_avx512  the sixteen 32-bit lanes of a vector carry sixteen
//                    messages through the FIPS 180-4 rounds at once
//                    (sha256_x16_avx512.cpp)
//   compress_armv8   four passes of four messages, whose SHA-2 instructions
//                    are issued round group by round group, so that each
//                    instruction's latency is hidden behind the other
//                    streams' (sha256_x16_armv8.cpp)
//
// compress(states, block): for every lane i < 16, the 64-byte block at
// block[i] is compressed into lane i of `states`. States are kept word-major
// (h[word][lane]) so that they load straight into vectors. Blocks may overlap
// or repeat. There is no portable sixteen-lane form: when active() is null,
// callers use the single-stream block seam.
#pragma once

#include <cstddef>
#include <cstdint>

#include "backends.hpp"
#include "cpu.hpp"

namespace kelvora::sha256_x16 {

inline constexpr std::size_t kLanes = 16;

struct States {
  alignas(64) std::uint32_t h[8][kLanes];
};

using CompressFn = void (*)(States& states, const std::uint8_t* const block[kLanes]);

// Call only when avx512_available(): the back end is built and the CPU and
// the operating system support AVX-512 F and BW.
void compress_avx512(States& states, const std::uint8_t* const block[kLanes]);

// The same for sixteen blocks that are one shared block but for their first
// `words` (0 to 16) 32-bit words: lane i's word j < words is the big-endian
// word at data + i * stride + 4 * j, its other words are those of `shared`.
// The lanes' words go straight into the vectors, with no transposition (and
// for consecutive one-word parts, such as 4-byte chunks, one load).
using CompressSharedFn = void (*)(States& states, const std::uint8_t* data, std::size_t stride,
                                  std::size_t words, const std::uint8_t* shared);
void compress_shared_avx512(States& states, const std::uint8_t* data, std::size_t stride,
                            std::size_t words, const std::uint8_t* shared);
inline bool avx512_available() { return KELVORA_BUILD_AVX512 && cpu::has_avx512bw(); }

// Call only when armv8_available(): the back end is built and the CPU has the
// ARMv8 SHA-2 instructions.
void compress_armv8(States& states, const std::uint8_t* const block[kLanes]);
inline bool armv8_available() { return KELVORA_BUILD_ARMV8_SHA2 && cpu::has_armv8_sha2(); }

// The back end chosen once per process (sha256_x16.cpp), or null.
CompressFn active();

// Its shared-block form where it has one (AVX-512), or null: callers then
// point every lane at the shared block and call active().
CompressSharedFn active_shared();

}  // namespace kelvora::sha256_x16
