// Internal seam of SHA-256: compress whole 64-byte blocks into a chaining
// value. Every back end implements exactly this and nothing else, so a back end
// cannot get padding wrong. Included by the SHA-NI and ARMv8 units, so it must
// pull in nothing but fixed-width integers and the back-end declarations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "backends.hpp"
#include "cpu.hpp"

namespace kelvora::sha256_blocks {

// FIPS 180-4 section 5.3.3: the initial hash value H0..H7.
inline constexpr std::uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

// FIPS 180-4 section 4.2.2: the first 32 bits of the fractional parts of the
// cube roots of the first 64 primes. Aligned so that vector back ends load
// four or sixteen at a time.
alignas(64) inline constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

// FIPS 180-4 section 5.1.1: a message ends with the byte 0x80, zeros, and its
// length in bits as a 64-bit big-endian number, filling whole blocks. This is
// the one place that rule is written; every finish builds on it.

// Blocks that `tail` message bytes fill once padded: the bytes after the last
// whole block need one or two, a longer tail as many more as it spans.
constexpr std::size_t padded_blocks(std::size_t tail) { return (tail + 8) / 64 + 1; }

// Writes the padding after the `tail` message bytes that start `last`, for a
// message of `message_bytes` bytes in all, and returns padded_blocks(tail);
// `last` has room for that many blocks.
constexpr std::size_t pad(std::uint8_t* last, std::size_t tail, std::uint64_t message_bytes) {
  const std::size_t end = padded_blocks(tail) * 64;
  last[tail] = 0x80;
  if consteval {
    for (std::size_t i = tail + 1; i < end - 8; ++i) last[i] = 0;
  } else {
    std::memset(last + tail + 1, 0, end - 8 - (tail + 1));
  }
  const std::uint64_t bits = message_bytes * 8;
  for (std::size_t i = 0; i < 8; ++i) last[end - 1 - i] = std::uint8_t(bits >> (8 * i));
  return end / 64;
}

// The words W0..W15 of a one-block final block after `tail` (at most 55)
// message bytes, with the message bytes left 0: the constant part of a final
// block that a back end builds in registers.
struct BlockWords {
  std::uint32_t w[16];
};
constexpr BlockWords padding_words(std::size_t tail, std::uint64_t message_bytes) {
  std::uint8_t block[64] = {};
  pad(block, tail, message_bytes);
  BlockWords out{};
  for (std::size_t i = 0; i < 16; ++i)
    out.w[i] = std::uint32_t(block[4 * i]) << 24 | std::uint32_t(block[4 * i + 1]) << 16 |
               std::uint32_t(block[4 * i + 2]) << 8 | block[4 * i + 3];
  return out;
}

using BlocksFn = void (*)(std::uint32_t state[8], const std::uint8_t* data, std::size_t nblocks);

// The back ends ("hash N blocks"), one signature, each with its capability
// predicate (backends.hpp). A new one is declared here, defined in its own
// unit, and added to the chain in active().

// Plain C++ FIPS 180-4 compression; available everywhere.
void blocks_portable(std::uint32_t state[8], const std::uint8_t* data, std::size_t nblocks);

// x86-64 SHA extensions (sha256_shani.cpp); call only when shani_available().
void blocks_shani(std::uint32_t state[8], const std::uint8_t* data, std::size_t nblocks);
inline bool shani_available() { return KELVORA_BUILD_SHANI && cpu::has_shani(); }

// aarch64 SHA-2 instructions (sha256_armv8.cpp); call only when armv8_available().
void blocks_armv8(std::uint32_t state[8], const std::uint8_t* data, std::size_t nblocks);
inline bool armv8_available() { return KELVORA_BUILD_ARMV8_SHA2 && cpu::has_armv8_sha2(); }

// The back end chosen once per process (sha256.cpp): SHA-NI or the ARMv8
// instructions when available, portable last.
BlocksFn active();

}  // namespace kelvora::sha256_blocks
