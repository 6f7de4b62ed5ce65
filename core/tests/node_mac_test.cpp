// Node draws of the order-preserving map: known answers from Python's hmac
// module, then every back end (the block seam with each SHA-256 back end, the
// SHA-NI and ARMv8 routines, one node and two at a time) against HMAC-SHA256
// over the 28-byte message, for keys of every kind and random nodes.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "bytes.hpp"
#include "primitives/hmac.hpp"
#include "primitives/node_mac.hpp"
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

// The ways to draw, each checked alike: through the block seam or with a
// register routine, alone or as either node of a pair.
struct Way {
  const char* name;
  bool (*available)();
  node_mac::InRegisters routine;        // null: through the block seam
  blocks::BlocksFn (*compress)();       // the seam's back end
  int in_pair;                          // -1 alone, else the node's place in a pair
};

bool always() { return true; }
blocks::BlocksFn portable() { return blocks::blocks_portable; }
constexpr node_mac::InRegisters kShani{node_mac::draw_shani, node_mac::draw2_shani};
constexpr node_mac::InRegisters kArmv8{node_mac::draw_armv8, node_mac::draw2_armv8};

const Way kWays[] = {
    {"PortableBlocks", always, {}, portable, -1},
    {"PortableBlocksPairFirst", always, {}, portable, 0},
    {"PortableBlocksPairSecond", always, {}, portable, 1},
    {"ActiveBlocks", always, {}, blocks::active, -1},
    {"Shani", node_mac::shani_available, kShani, nullptr, -1},
    {"ShaniPairFirst", node_mac::shani_available, kShani, nullptr, 0},
    {"ShaniPairSecond", node_mac::shani_available, kShani, nullptr, 1},
    {"Armv8", node_mac::armv8_available, kArmv8, nullptr, -1},
    {"Armv8PairFirst", node_mac::armv8_available, kArmv8, nullptr, 0},
    {"Armv8PairSecond", node_mac::armv8_available, kArmv8, nullptr, 1},
};

std::uint64_t draw(const Way& way, const HmacSha256& mac, const Words& w, const Words& other) {
  const std::uint32_t* in = mac.inner_state().data();
  const std::uint32_t* out = mac.outer_state().data();
  const bool seam = way.routine.draw == nullptr;
  if (way.in_pair < 0)
    return seam ? node_mac::draw_blocks(way.compress(), in, out, w.data())
                : way.routine.draw(in, out, w.data());
  const Words& a = way.in_pair == 0 ? w : other;
  const Words& b = way.in_pair == 0 ? other : w;
  std::uint64_t pair[2];
  if (seam) {
    node_mac::draw2_blocks(way.compress(), in, out, a.data(), b.data(), pair);
  } else {
    way.routine.draw2(in, out, a.data(), b.data(), pair);
  }
  return pair[way.in_pair];
}

class NodeDraw : public ::testing::TestWithParam<Way> {
 protected:
  void SetUp() override {
    if (!GetParam().available()) GTEST_SKIP() << GetParam().name << ": not supported by this CPU";
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
// hashed; the pair forms get the node itself as the first node's partner,
// then a different random partner each time.
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
      Words other = w;
      if (&w != &nodes.front())
        for (auto& x : other) x = rng();
      ASSERT_EQ(draw(GetParam(), mac, w, other), reference_draw(key, w))
          << "key length " << key_len << ", first word " << w[0];
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Ways, NodeDraw, ::testing::ValuesIn(kWays),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelvora
