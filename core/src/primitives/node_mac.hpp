// HMAC-SHA256 of the order-preserving map's node messages, cut to the draw the
// descent needs.
//
// A node message is 28 bytes: seven big-endian 32-bit words (dlo, dhi, the high
// and low halves of rlo, the same of rhi, depth). With the key's pad blocks
// hashed once (HmacSha256::inner_state and outer_state), a node costs two
// compressions: the inner final block (the message, padding, a length of 92
// bytes) and the outer final block (the inner digest, padding, a length of 96
// bytes). The draw is the first 8 tag bytes read big-endian: the first two
// words of the outer chaining value.
//
// draw_blocks finishes both hashes with sha256_finish through the SHA-256
// block seam. The register routines (draw_shani with the x86-64 SHA
// extensions, draw_armv8 with the ARMv8 SHA-2 instructions) keep a node in
// registers from message to draw: the words go straight into the schedule and
// the inner chaining value becomes the outer message without a trip through
// memory. Each node of a descent waits for the one before, so this latency is
// what a descent costs. All give the same bits.
//
// The two-node forms serve two independent descents run in lockstep: their
// compressions are issued together, so the processor overlaps the two chains.
//
// Included by the SHA-NI and ARMv8 units: fixed-width integers and the seam
// only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "primitives/sha256_blocks.hpp"

namespace kelvora::node_mac {

inline constexpr std::size_t kMessageWords = 7;

// The draw for one node, compressing with `compress`.
std::uint64_t draw_blocks(sha256_blocks::BlocksFn compress, const std::uint32_t inner[8],
                          const std::uint32_t outer[8], const std::uint32_t words[kMessageWords]);
// The draws for two nodes a and b.
void draw2_blocks(sha256_blocks::BlocksFn compress, const std::uint32_t inner[8],
                  const std::uint32_t outer[8], const std::uint32_t a[kMessageWords],
                  const std::uint32_t b[kMessageWords], std::uint64_t draws[2]);

// The register routines: one signature each for one node and for two.
using DrawFn = std::uint64_t (*)(const std::uint32_t inner[8], const std::uint32_t outer[8],
                                 const std::uint32_t words[kMessageWords]);
using Draw2Fn = void (*)(const std::uint32_t inner[8], const std::uint32_t outer[8],
                         const std::uint32_t a[kMessageWords],
                         const std::uint32_t b[kMessageWords], std::uint64_t draws[2]);
struct InRegisters {
  DrawFn draw;
  Draw2Fn draw2;
};

// With the x86-64 SHA extensions (node_mac_shani.cpp); call only when
// shani_available().
inline bool shani_available() { return sha256_blocks::shani_available(); }
std::uint64_t draw_shani(const std::uint32_t inner[8], const std::uint32_t outer[8],
                         const std::uint32_t words[kMessageWords]);
void draw2_shani(const std::uint32_t inner[8], const std::uint32_t outer[8],
                 const std::uint32_t a[kMessageWords], const std::uint32_t b[kMessageWords],
                 std::uint64_t draws[2]);

// With the ARMv8 SHA-2 instructions (node_mac_armv8.cpp); call only when
// armv8_available().
inline bool armv8_available() { return sha256_blocks::armv8_available(); }
std::uint64_t draw_armv8(const std::uint32_t inner[8], const std::uint32_t outer[8],
                         const std::uint32_t words[kMessageWords]);
void draw2_armv8(const std::uint32_t inner[8], const std::uint32_t outer[8],
                 const std::uint32_t a[kMessageWords], const std::uint32_t b[kMessageWords],
                 std::uint64_t draws[2]);

// The register routines chosen once per process (node_mac.cpp), or two nulls
// when the CPU has neither instruction set: the block seam serves then.
InRegisters in_registers();

}  // namespace kelvora::node_mac
