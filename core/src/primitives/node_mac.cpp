// Node draws through the SHA-256 block seam, and the choice of a register
// routine; see node_mac.hpp.
#include "primitives/node_mac.hpp"

#include <algorithm>

#include "bytes.hpp"
#include "primitives/sha256.hpp"

namespace kelvora::node_mac {

namespace {

struct Node {
  std::uint8_t message[4 * kMessageWords];
  explicit Node(const std::uint32_t words[kMessageWords]) {
    for (std::size_t i = 0; i < kMessageWords; ++i) store32_be(message + 4 * i, words[i]);
  }
};

Sha256State state_of(const std::uint32_t h[8]) {
  Sha256State s;
  std::copy_n(h, 8, s.begin());
  return s;
}

std::uint64_t draw_of(const Sha256Digest& tag) { return load64_be(tag.data()); }

}  // namespace

// See header.
std::uint64_t draw_blocks(sha256_blocks::BlocksFn compress, const std::uint32_t inner[8],
                          const std::uint32_t outer[8], const std::uint32_t words[kMessageWords]) {
  const Node node(words);
  const Sha256Digest in = sha256_finish(state_of(inner), 1, node.message, compress);
  return draw_of(sha256_finish(state_of(outer), 1, in, compress));
}

// See header. The hashes of the two nodes alternate.
void draw2_blocks(sha256_blocks::BlocksFn compress, const std::uint32_t inner[8],
                  const std::uint32_t outer[8], const std::uint32_t a[kMessageWords],
                  const std::uint32_t b[kMessageWords], std::uint64_t draws[2]) {
  const Node na(a), nb(b);
  const Sha256State si = state_of(inner), so = state_of(outer);
  const Sha256Digest ia = sha256_finish(si, 1, na.message, compress);
  const Sha256Digest ib = sha256_finish(si, 1, nb.message, compress);
  draws[0] = draw_of(sha256_finish(so, 1, ia, compress));
  draws[1] = draw_of(sha256_finish(so, 1, ib, compress));
}

// See header.
InRegisters in_registers() {
  static const InRegisters chosen = first_available<InRegisters>(
      {{shani_available, {draw_shani, draw2_shani}}, {armv8_available, {draw_armv8, draw2_armv8}}},
      {nullptr, nullptr});
  return chosen;
}

}  // namespace kelvora::node_mac
