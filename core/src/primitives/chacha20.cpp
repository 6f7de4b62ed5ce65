// The ChaCha20 block function; see chacha20.hpp.
#include "primitives/chacha20.hpp"

namespace kelvora {

namespace {

constexpr std::uint32_t rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// RFC 8439 section 2.1.
inline void quarter_round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c,
                          std::uint32_t& d) {
  a += b; d ^= a; d = rotl(d, 16);
  c += d; b ^= c; b = rotl(b, 12);
  a += b; d ^= a; d = rotl(d, 8);
  c += d; b ^= c; b = rotl(b, 7);
}

}  // namespace

// See header.
void chacha20_block(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                    ChaChaBlock& out) {
  // "expand 32-byte k" as four little-endian words.
  const ChaChaBlock input = {0x61707865,
                             0x3320646e,
                             0x79622d32,
                             0x6b206574,
                             key[0],
                             key[1],
                             key[2],
                             key[3],
                             key[4],
                             key[5],
                             key[6],
                             key[7],
                             static_cast<std::uint32_t>(counter),
                             static_cast<std::uint32_t>(counter >> 32),
                             static_cast<std::uint32_t>(stream),
                             static_cast<std::uint32_t>(stream >> 32)};
  ChaChaBlock x = input;
  for (int i = 0; i < 10; ++i) {
    // Column round, then diagonal round.
    quarter_round(x[0], x[4], x[8], x[12]);
    quarter_round(x[1], x[5], x[9], x[13]);
    quarter_round(x[2], x[6], x[10], x[14]);
    quarter_round(x[3], x[7], x[11], x[15]);
    quarter_round(x[0], x[5], x[10], x[15]);
    quarter_round(x[1], x[6], x[11], x[12]);
    quarter_round(x[2], x[7], x[8], x[13]);
    quarter_round(x[3], x[4], x[9], x[14]);
  }
  for (std::size_t i = 0; i < 16; ++i) out[i] = x[i] + input[i];
}

}  // namespace kelvora
