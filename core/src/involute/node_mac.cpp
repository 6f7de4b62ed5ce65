// Node draws through the SHA-256 block seam; see node_mac.hpp.
#include "involute/node_mac.hpp"

#include "bytes.hpp"

namespace kelvora::node_mac {

namespace {

constexpr std::size_t kBlock = 64;
constexpr std::size_t kMessageBytes = 4 * kMessageWords;

// The two final blocks of one node, padding and length fields laid out once.
struct NodeBlocks {
  std::uint8_t inner[kBlock] = {};  // node message, then padding
  std::uint8_t outer[kBlock] = {};  // inner digest, then padding

  NodeBlocks() {
    inner[kMessageBytes] = 0x80;
    store64_be(inner + 56, (kBlock + kMessageBytes) * 8);
    outer[32] = 0x80;
    store64_be(outer + 56, (kBlock + 32) * 8);
  }
  void set_message(const std::uint32_t words[kMessageWords]) {
    for (std::size_t i = 0; i < kMessageWords; ++i) store32_be(inner + 4 * i, words[i]);
  }
  void set_digest(const std::uint32_t h[8]) {
    for (std::size_t i = 0; i < 8; ++i) store32_be(outer + 4 * i, h[i]);
  }
};

void copy_state(std::uint32_t to[8], const std::uint32_t from[8]) {
  for (int i = 0; i < 8; ++i) to[i] = from[i];
}

std::uint64_t draw_of(const std::uint32_t h[8]) { return std::uint64_t(h[0]) << 32 | h[1]; }

}  // namespace

// See header.
std::uint64_t draw_blocks(sha256_blocks::BlocksFn compress, const std::uint32_t inner[8],
                          const std::uint32_t outer[8], const std::uint32_t words[kMessageWords]) {
  NodeBlocks blocks;
  blocks.set_message(words);
  std::uint32_t h[8];
  copy_state(h, inner);
  compress(h, blocks.inner, 1);
  blocks.set_digest(h);
  copy_state(h, outer);
  compress(h, blocks.outer, 1);
  return draw_of(h);
}

// See header. The compressions of the two nodes alternate.
void draw2_blocks(sha256_blocks::BlocksFn compress, const std::uint32_t inner[8],
                  const std::uint32_t outer[8], const std::uint32_t a[kMessageWords],
                  const std::uint32_t b[kMessageWords], std::uint64_t draws[2]) {
  NodeBlocks ba, bb;
  ba.set_message(a);
  bb.set_message(b);
  std::uint32_t ha[8], hb[8];
  copy_state(ha, inner);
  copy_state(hb, inner);
  compress(ha, ba.inner, 1);
  compress(hb, bb.inner, 1);
  ba.set_digest(ha);
  bb.set_digest(hb);
  copy_state(ha, outer);
  copy_state(hb, outer);
  compress(ha, ba.outer, 1);
  compress(hb, bb.outer, 1);
  draws[0] = draw_of(ha);
  draws[1] = draw_of(hb);
}

}  // namespace kelvora::node_mac
