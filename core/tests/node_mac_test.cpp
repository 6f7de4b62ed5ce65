// Node draws of the order-preserving map: known answers from Python's hmac
// module, then every back end (the block seam with each SHA-256 back end, the
// SHA-NI routine, one node and two at a time) against HMAC-SHA256 over the
// 28-byte message, for keys of every kind and random nodes.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "bytes.hpp"
#include "involute/node_mac.hpp"
#include "primitives/hmac.hpp"
#include "primitives/sha256_blocks.hpp"

namespace kelvora {
namespace {

namespace blocks = sha256_blocks;
using Words = std::array<std::uint32_t, node_mac::kMessageWords>;

std::vector<std::uint8_t> counting(std::size_t n) {
  std::vector<std::uint8_t> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(i);
  return out;
}

// First 8 tag bytes, big-endian, of HMAC-SHA256 over the node's 28 bytes.
std::uint64_t reference_draw(ByteView key, const Words& w) {
  std::uint8_t message[4 * node_mac::kMessageWords];
  for (std::size_t i = 0; i < w.size(); ++i) store32_be(message + 4 * i, w[i]);
  return load64_be(hmac_sha256(key, ByteView(message, sizeof message)).data());
}

// The ways to draw, each checked alike.
enum class Way { kPortableBlocks, kActiveBlocks, kShani, kShaniPairFirst, kShaniPairSecond };

std::uint64_t draw(Way way, const HmacSha256& mac, const Words& w, const Words& other) {
  const std::uint32_t* in = mac.inner_state().data();
  const std::uint32_t* out = mac.outer_state().data();
  std::uint64_t pair[2];
  switch (way) {
    case Way::kPortableBlocks:
      return node_mac::draw_blocks(blocks::blocks_portable, in, out, w.data());
    case Way::kActiveBlocks:
      return node_mac::draw_blocks(blocks::active(), in, out, w.data());
    case Way::kShani:
      return node_mac::draw_shani(in, out, w.data());
    case Way::kShaniPairFirst:
      node_mac::draw2_shani(in, out, w.data(), other.data(), pair);
      return pair[0];
    case Way::kShaniPairSecond:
      node_mac::draw2_shani(in, out, other.data(), w.data(), pair);
      return pair[1];
  }
  return 0;
}

class NodeDraw : public ::testing::TestWithParam<Way> {
 protected:
  void SetUp() override {
    if (GetParam() >= Way::kShani && !node_mac::shani_available()) {
      GTEST_SKIP() << "SHA-NI not supported by this CPU";
    }
  }
};

// Values from Python: hmac.new(key, struct.pack(">IIQQI", ...), sha256),
// first 8 digest bytes.
TEST_P(NodeDraw, KnownAnswers) {
  struct Row {
    std::size_t key_len;  // key = 00 01 02 ...
    Words words;
    std::uint64_t draw;
  };
  const Row rows[] = {
      {16, {0, 0xFFFFFFFE, 0, 0, 0xFFFFFFFF, 0xFFFFFFFE, 0}, 0xc418e3ef301aa5f0},  // root node
      {0, {0, 0xFFFFFFFE, 0, 0, 0xFFFFFFFF, 0xFFFFFFFE, 0}, 0xa6321afbfa268d09},
      {100, {0, 0xFFFFFFFE, 0, 0, 0xFFFFFFFF, 0xFFFFFFFE, 0}, 0x3080d9b5f6b34e79},  // hashed key
      {16,
       {0x12345678, 0x9abcdef0, 0x01234567, 0x89abcdef, 0xfedcba98, 0x76543210, 37},
       0xd7238d66b50f86d7},
  };
  for (const Row& r : rows) {
    const auto key = counting(r.key_len);
    const HmacSha256 mac(key);
    EXPECT_EQ(draw(GetParam(), mac, r.words, r.words), r.draw) << "key length " << r.key_len;
  }
}

// Random nodes and the extreme words, under keys short, one block long and
// hashed; the pair forms get a different random partner each time.
TEST_P(NodeDraw, MatchesHmacOverTheMessage) {
  std::mt19937 rng(7);
  for (std::size_t key_len : {0u, 1u, 16u, 63u, 64u, 65u, 200u}) {
    const auto key = counting(key_len);
    const HmacSha256 mac(key);
    std::vector<Words> nodes = {Words{}, Words{0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF,
                                              0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}};
    for (int i = 0; i < 50; ++i) {
      Words w;
      for (auto& x : w) x = rng();
      nodes.push_back(w);
    }
    for (const Words& w : nodes) {
      Words other;
      for (auto& x : other) x = rng();
      ASSERT_EQ(draw(GetParam(), mac, w, other), reference_draw(key, w))
          << "key length " << key_len << ", first word " << w[0];
    }
  }
}

// A pair of equal nodes gives the single draw twice.
TEST(NodeDrawPair, SameNodeTwice) {
  const auto key = counting(16);
  const HmacSha256 mac(key);
  const Words w{1, 2, 3, 4, 5, 6, 7};
  const std::uint64_t want = reference_draw(key, w);
  std::uint64_t pair[2] = {0, 0};
  node_mac::draw2_blocks(blocks::blocks_portable, mac.inner_state().data(),
                         mac.outer_state().data(), w.data(), w.data(), pair);
  EXPECT_EQ(pair[0], want);
  EXPECT_EQ(pair[1], want);
  if (node_mac::shani_available()) {
    node_mac::draw2_shani(mac.inner_state().data(), mac.outer_state().data(), w.data(), w.data(),
                          pair);
    EXPECT_EQ(pair[0], want);
    EXPECT_EQ(pair[1], want);
  }
}

std::string way_name(const ::testing::TestParamInfo<Way>& info) {
  static const char* const kNames[] = {"PortableBlocks", "ActiveBlocks", "Shani", "ShaniPairFirst",
                                       "ShaniPairSecond"};
  return kNames[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Ways, NodeDraw,
                         ::testing::Values(Way::kPortableBlocks, Way::kActiveBlocks, Way::kShani,
                                           Way::kShaniPairFirst, Way::kShaniPairSecond),
                         way_name);

}  // namespace
}  // namespace kelvora
