// Portable SHA-256 compression (FIPS 180-4 section 6.2.2); see sha256_blocks.hpp.
#include "bytes.hpp"
#include "primitives/sha256_blocks.hpp"

namespace kelvora::sha256_blocks {

namespace {

constexpr std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

}  // namespace

// See sha256_blocks.hpp.
void blocks_portable(std::uint32_t state[8], const std::uint8_t* data, std::size_t nblocks) {
  // Message schedule kept as a 16-word ring: W[t] lives at w[t % 16].
  std::uint32_t w[16];
  for (; nblocks != 0; --nblocks, data += 64) {
    for (int t = 0; t < 16; ++t) w[t] = load32_be(data + 4 * t);

    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int t = 0; t < 64; ++t) {
      if (t >= 16) {
        const std::uint32_t w15 = w[(t - 15) & 15], w2 = w[(t - 2) & 15];
        const std::uint32_t s0 = rotr(w15, 7) ^ rotr(w15, 18) ^ (w15 >> 3);
        const std::uint32_t s1 = rotr(w2, 17) ^ rotr(w2, 19) ^ (w2 >> 10);
        w[t & 15] += s0 + w[(t - 7) & 15] + s1;
      }
      const std::uint32_t big1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
      const std::uint32_t ch = (e & f) ^ (~e & g);
      const std::uint32_t t1 = h + big1 + ch + kRound[t] + w[t & 15];
      const std::uint32_t big0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
      const std::uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
      const std::uint32_t t2 = big0 + maj;
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
  // The schedule of a keyed block is as secret as the key.
  secure_wipe(w, sizeof w);
}

}  // namespace kelvora::sha256_blocks
