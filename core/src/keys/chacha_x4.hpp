// Four consecutive ChaCha20 blocks at once: the generator's refill.
//
// chacha20_x4(key, counter, stream, out) computes the blocks for counters
// counter, counter+1, counter+2, counter+3 (each mod 2^64, the carry into the
// counter's high word taken per block) with the given stream identifier,
// exactly as four calls of chacha20_block would. The output is word-major:
// out[i][k] is word i of block k, which is how four blocks sit in four SIMD
// lanes, so the vector back end stores its registers without a transpose.
//
// Back ends, same signature, chosen at compile time:
//   _sse2      x86-64 (SSE2 is part of the base instruction set); off with
//              -DKELVORA_NO_CHACHA_SSE2
//   _portable  four calls of chacha20_block
#pragma once

#include <array>
#include <cstdint>

#include "primitives/chacha20.hpp"

namespace kelvora {

using ChaChaLanes = std::array<std::array<std::uint32_t, 4>, 16>;

void chacha20_x4_portable(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                          ChaChaLanes& out);

#if defined(__SSE2__) && !defined(KELVORA_NO_CHACHA_SSE2)
#define KELVORA_HAVE_CHACHA_SSE2 1
void chacha20_x4_sse2(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                      ChaChaLanes& out);
#endif

inline void chacha20_x4(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                        ChaChaLanes& out) {
#if defined(KELVORA_HAVE_CHACHA_SSE2)
  chacha20_x4_sse2(key, counter, stream, out);
#else
  chacha20_x4_portable(key, counter, stream, out);
#endif
}

}  // namespace kelvora
