// Sixteen independent SHA-256 compressions side by side.
//
// Crumbs hash one short message per chunk, and the messages are independent.
// With AVX-512 the sixteen 32-bit lanes of a vector carry sixteen messages
// through the FIPS 180-4 rounds at once, which compresses blocks faster than
// the single-stream SHA-NI back end of sha256_blocks.hpp.
//
// compress_avx512(states, block): for every lane i < 16, the 64-byte block at
// block[i] is compressed into lane i of `states`. States are kept word-major
// (h[word][lane]) so that they load straight into vectors. Blocks may overlap
// or repeat. Call it only when avx512_available() (backends.hpp); callers fall
// back to the single-stream block seam otherwise (there is no portable
// sixteen-lane form).
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

void compress_avx512(States& states, const std::uint8_t* const block[kLanes]);

// True when the back end is built and the CPU and the operating system
// support AVX-512 F and BW.
inline bool avx512_available() { return KELVORA_BUILD_AVX512 && cpu::has_avx512bw(); }

}  // namespace kelvora::sha256_x16
