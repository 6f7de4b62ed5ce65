// Four or eight consecutive ChaCha20 blocks at once: the generator's refill.
//
// A back end computes the blocks for counters counter, counter+1, counter+2,
// counter+3 (each mod 2^64, the carry into the counter's high word taken per
// block) with the given stream identifier, exactly as four calls of
// chacha20_block would. The output is word-major: out[i][k] is word i of
// block k, which is how four blocks sit in the four lanes of SSE registers.
//
// Back ends, same signature, named by suffix, each with its capability
// predicate (backends.hpp):
//   _avx512    AVX-512VL on 256-bit registers: two blocks per register, one
//              block row per half, native rotates (chacha_x4_avx512.cpp)
//   _sse2      x86-64 (SSE2 is part of the base instruction set)
//   _neon      aarch64 (NEON is part of every aarch64 CPU): block k in lane k
//              of each register (chacha_x4_neon.cpp)
//   _portable  four calls of chacha20_block
// chacha20_x4_active() picks the first available, once per process.
//
// chacha20_x8_avx512 is the eight-block refill on 512-bit registers
// (AVX-512F): counters counter .. counter+7, written in keystream order
// (out[16 * k + i] is word i of block k), which is the order the generator
// reads them in. Same predicate as the four-block AVX-512 back end.
#pragma once

#include <array>
#include <cstdint>

#include "backends.hpp"
#include "cpu.hpp"
#include "primitives/chacha20.hpp"

namespace kelvora {

using ChaChaLanes = std::array<std::array<std::uint32_t, 4>, 16>;
static_assert(sizeof(ChaChaLanes) == 64 * sizeof(std::uint32_t), "back ends store 64 words flat");
using ChaChaX4Fn = void (*)(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                            ChaChaLanes& out);

using ChaChaEightBlocks = std::array<std::uint32_t, 8 * 16>;
using ChaChaX8Fn = void (*)(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                            ChaChaEightBlocks& out);

void chacha20_x4_portable(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                          ChaChaLanes& out);

// Call only when chacha20_sse2_available().
void chacha20_x4_sse2(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                      ChaChaLanes& out);
// SSE2 is part of every x86-64 processor: no CPU check.
inline bool chacha20_sse2_available() { return KELVORA_BUILD_SSE2; }

// Call only when chacha20_neon_available().
void chacha20_x4_neon(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                      ChaChaLanes& out);
// NEON is part of every aarch64 CPU: no CPU check.
inline bool chacha20_neon_available() { return KELVORA_BUILD_NEON; }

// Call only when chacha20_avx512_available().
void chacha20_x4_avx512(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                        ChaChaLanes& out);
void chacha20_x8_avx512(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                        ChaChaEightBlocks& out);
inline bool chacha20_avx512_available() {
  return KELVORA_BUILD_AVX512 && cpu::has_avx512vl();
}

ChaChaX4Fn chacha20_x4_active();

}  // namespace kelvora
