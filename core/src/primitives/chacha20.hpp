// The ChaCha20 block function (RFC 8439 section 2.3) with a 64-bit block
// counter and a 64-bit stream identifier: input words 12 and 13 hold the low
// and high halves of the counter, words 14 and 15 the low and high halves of
// the stream identifier. (RFC 8439's 32-bit counter and 96-bit nonce are the
// same 16 words read differently.) Output: 16 words, round result plus input.
#pragma once

#include <array>
#include <cstdint>

namespace kelvora {

using ChaChaKey = std::array<std::uint32_t, 8>;      // key as eight little-endian words
using ChaChaBlock = std::array<std::uint32_t, 16>;   // one block of keystream words

void chacha20_block(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                    ChaChaBlock& out);

}  // namespace kelvora
