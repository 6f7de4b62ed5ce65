// Salted order-preserving map and range conditions: the key order, one
// step's arithmetic, images from the independent model, and both bounds
// mapped in lockstep. Branch values, float conversion and the map's order
// over random keys are checked against the model in tests/test_conditions.py.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <optional>
#include <string_view>
#include <utility>

#include "bytes.hpp"
#include "failure.hpp"
#include "hex_util.hpp"
#include "involute/conditions/conditions.hpp"
#include "involute/conditions/order_map.hpp"

namespace kelvora {
namespace {

using test::pattern;

constexpr std::uint32_t kDomainHigh = 0xFFFFFFFEu;
constexpr std::uint64_t kRangeHigh = 0xFFFFFFFFFFFFFFFEull;
constexpr std::string_view kNoImage = "called `Option::unwrap()` on a `None` value";

float from_bits(std::uint32_t bits) { return std::bit_cast<float>(bits); }
ByteView text(std::string_view s) {
  return ByteView(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

// The key order is the IEEE total order of binary32 values.
TEST(OrderedKey, TotalOrderLandmarks) {
  struct Row {
    std::uint32_t bits, key;
  };
  const Row rows[] = {
      {0xFFFFFFFF, 0x00000000},  // negative NaN, all fraction bits: first of all
      {0xFF800000, 0x007FFFFF},  // -inf
      {0xBF800000, 0x407FFFFF},  // -1.0
      {0x80000000, 0x7FFFFFFF},  // -0.0
      {0x00000000, 0x80000000},  // +0.0
      {0x00000001, 0x80000001},  // smallest subnormal
      {0x3F800000, 0xBF800000},  // 1.0
      {0x7F800000, 0xFF800000},  // +inf
      {0x7FC00000, 0xFFC00000},  // default quiet NaN
      {0x7FFFFFFF, 0xFFFFFFFF},  // the one value without an image
  };
  for (const Row& r : rows) EXPECT_EQ(ordered_key(from_bits(r.bits)), r.key) << std::hex << r.bits;
}

// One step's arithmetic, worked by hand from the definition.
TEST(MapStep, SplitArithmetic) {
  const MapNode top{0, kDomainHigh, 0, kRangeHigh, 0};
  struct Row {
    const char* what;
    MapNode node;
    std::uint64_t u;
    std::uint32_t x;
    MapStep want;
  };
  const Row rows[] = {
      // f = 0: the split sits at the low ends.
      {"f=0 hit", top, 0, 0, {true, 0, {}}},
      {"f=0 above", top, 0, 5, {false, 0, {1, kDomainHigh, 1, kRangeHigh, 1}}},
      // f = 1/2: floor(0.5 * (2^32 - 1)) = 2^31 - 1; the range width 2^64 - 1
      // rounds to 2^64, so rmid = 2^63.
      {"f=1/2 hit", top, 1ull << 63, 0x7FFFFFFF, {true, 1ull << 63, {}}},
      {"f=1/2 below", top, 1ull << 63, 0, {false, 0, {0, 0x7FFFFFFE, 0, (1ull << 63) - 1, 1}}},
      // f = 1.0 (u rounds up to 2^64): dmid = dhi + 1, rmid saturates at
      // 2^64 - 1, and the child is the same node one level deeper.
      {"f=1 top", top, UINT64_MAX, kDomainHigh, {false, 0, {0, kDomainHigh, 0, kRangeHigh, 1}}},
      {"f=1 tie", top, 0xFFFFFFFFFFFFFC00ull, 7, {false, 0, {0, kDomainHigh, 0, kRangeHigh, 1}}},
      // Just below the tie, f = 1 - 2^-53: f * wd rounds to wd - 2^-21, whose
      // floor is wd - 1; f * 2^64 = 2^64 - 2^11 exactly.
      {"f<1 top", top, 0xFFFFFFFFFFFFFBFFull, kDomainHigh, {true, 0xFFFFFFFFFFFFF800ull, {}}},
      // A small node: f = 1/4 of widths 4 and 4.
      {"small hit", {10, 13, 100, 103, 7}, 1ull << 62, 11, {true, 101, {}}},
      {"small above", {10, 13, 100, 103, 7}, 1ull << 62, 13, {false, 0, {12, 13, 102, 103, 8}}},
      // Range sums wrap modulo 2^64: width 0x10 - 0xFF..F0 + 1 = 33, offset
      // floor(16.5) = 16 lands on 0.
      {"wrap hit", {5, 9, 0xFFFFFFFFFFFFFFF0ull, 0x10, 3}, 1ull << 63, 7, {true, 0, {}}},
      {"wrap above", {5, 9, 0xFFFFFFFFFFFFFFF0ull, 0x10, 3}, 1ull << 63, 9,
       {false, 0, {8, 9, 1, 0x10, 4}}},
  };
  for (const Row& r : rows) {
    const MapStep got = map_step(r.node, r.u, r.x);
    ASSERT_EQ(got.done, r.want.done) << r.what;
    if (got.done) {
      EXPECT_EQ(got.image, r.want.image) << r.what;
    } else {
      EXPECT_EQ(got.next.dlo, r.want.next.dlo) << r.what;
      EXPECT_EQ(got.next.dhi, r.want.next.dhi) << r.what;
      EXPECT_EQ(got.next.rlo, r.want.next.rlo) << r.what;
      EXPECT_EQ(got.next.rhi, r.want.next.rhi) << r.what;
      EXPECT_EQ(got.next.depth, r.want.next.depth) << r.what;
    }
  }
}

// Images computed with the independent pure-Python model in
// tests/models/order_map.py (hashlib/hmac, written from the algorithm).
TEST(OrderMap, KnownImages) {
  const std::uint32_t keys[] = {0,          1,          0x7FFFFFFF, 0x80000000,
                                0xBF800000, 0xFF800000, 0xFFC00000, kDomainHigh};
  struct Row {
    Bytes salt;
    std::uint64_t images[8];
  };
  const Row rows[] = {
      {{},
       {0x000000007641e014, 0x000000007641e015, 0x7ffffffdced4c4a9, 0x7ffffffdced4c4aa,
        0xbf7ffffdf1276ac9, 0xff800001e3c0cd65, 0xffbfffff5b5130d0, 0xffffffff4b40730e}},
      {Bytes{'k', 'e', 'l', 'v', 'o', 'r', 'a'},
       {0x00000000b3c169d9, 0x00000001d54f2cdf, 0x7ffffffde5ab5005, 0x7ffffffe0147889d,
        0xbf7ffffe8d86dc0e, 0xff8000001add9456, 0xffbfffff7480db08, 0xffffffffd0e9ebb7}},
      // Bytes 0..63: a full block, used as the key unhashed.
      {pattern(64),
       {0x0000000158c9f254, 0x00000002a454a9e5, 0x7ffffffde30b04f4, 0x7fffffffab8f11fa,
        0xbf800003d1d103a5, 0xff8000033e6ea892, 0xffc00002c69fe6c8, 0xffffffffe239d2e4}},
      // Bytes 0..64: hashed to 32 bytes first.
      {pattern(65),
       {0x0000000000000000, 0x00000001d6c8b613, 0x800000012b5eede2, 0x8000000217fb1dd1,
        0xbf8000002ebe0e78, 0xff8000008c05689e, 0xffc000019c3cde7e, 0xfffffffeb19bec9e}},
  };
  for (const Row& r : rows) {
    for (std::size_t i = 0; i < 8; ++i) {
      EXPECT_EQ(map_key(r.salt, keys[i]), r.images[i])
          << "salt of " << r.salt.size() << " bytes, key " << std::hex << keys[i];
    }
    EXPECT_EQ(map_key(r.salt, 0xFFFFFFFF), std::nullopt);  // the one key without an image
  }
}

TEST(RangeCondition, BoundsDescendingTogetherMatchSingleMaps) {
  // Both bounds are mapped in lockstep, sharing the nodes they have in
  // common; each must still get exactly its own image. Equal and adjacent
  // keys share almost their whole descent.
  const float pairs[][2] = {{1.0f, 1.0f},
                            {1.0f, std::nextafter(1.0f, 2.0f)},
                            {-0.0f, 0.0f},
                            {5.0f, -5.0f},
                            {-INFINITY, NAN},
                            {from_bits(0xFFFFFFFF), from_bits(0x7FFFFFFE)},
                            {1e-45f, 3e38f}};
  for (std::size_t salt_len : {0u, 65u}) {
    const Bytes salt = pattern(salt_len);
    for (const auto& p : pairs) {
      const PreparedBounds b = prepare_bounds(salt, p[0], p[1]);
      EXPECT_EQ(b.lo, map_value(salt, p[0])) << p[0] << " " << p[1];
      EXPECT_EQ(b.hi, map_value(salt, p[1])) << p[0] << " " << p[1];
    }
  }
  // A bound without an image fails whichever side it is on.
  for (auto [lo, hi] : {std::pair{from_bits(0x7FFFFFFF), 1.0f}, {1.0f, from_bits(0x7FFFFFFF)}}) {
    try {
      prepare_bounds(text("kelvora"), lo, hi);
      ADD_FAILURE() << "no failure";
    } catch (const InternalFailure& e) {
      EXPECT_EQ(e.message(), kNoImage);
    }
  }
}

}  // namespace
}  // namespace kelvora
