// Packet involution and cycling against a plain model written here from the
// algorithm's description (sorted-copy seed digest, full 32-byte crumbs,
// std::sort), across thread counts.
#include "involute/pipeline/involute.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "involute/pipeline/cycle.hpp"
#include "involute/pipeline/stages.hpp"
#include "packets.hpp"
#include "parallel/pool.hpp"

namespace kelvora {
namespace {

using involution::ChunkHasher;

// --- the model ---------------------------------------------------------------

Sha256Digest model_seed(ByteView packet, std::uint64_t branch) {
  Bytes all(packet.begin(), packet.end());
  for (int i = 0; i < 8; ++i) all.push_back(std::uint8_t(branch >> (56 - 8 * i)));
  std::sort(all.begin(), all.end());
  return sha256(all);
}

Sha256Digest model_crumb(ByteView chunk, ByteView salt, const Sha256Digest& d) {
  Bytes m(chunk.begin(), chunk.end());
  m.insert(m.end(), salt.begin(), salt.end());
  m.insert(m.end(), d.begin(), d.end());
  Sha256Digest c = sha256(m);
  for (std::size_t i = 0; i < c.size(); ++i) c[i] ^= d[i];
  return c;
}

// order[j] = index of the chunk with the j-th smallest crumb; empty on equal crumbs.
std::vector<std::uint64_t> model_order(ByteView packet, ByteView salt, std::size_t s,
                                       const Sha256Digest& d) {
  const std::size_t n = packet.size() / s;
  std::vector<std::pair<Sha256Digest, std::uint64_t>> records;
  std::set<Sha256Digest> seen;
  for (std::size_t k = 0; k < n; ++k) {
    records.emplace_back(model_crumb(packet.subspan(k * s, s), salt, d), k);
    if (!seen.insert(records.back().first).second) return {};
  }
  std::sort(records.begin(), records.end());
  std::vector<std::uint64_t> order;
  for (const auto& r : records) order.push_back(r.second);
  return order;
}

// The involution under branch value h; nullopt-like empty optional on duplicates.
std::optional<Bytes> model_involute(ByteView packet, ByteView salt, std::size_t s,
                                    std::uint64_t h) {
  if (s == 0) return Bytes(packet.begin(), packet.end());
  if (packet.empty()) return Bytes{};
  const auto order = model_order(packet, salt, s, model_seed(packet, h));
  if (order.empty()) return std::nullopt;
  Bytes out(packet.size());
  for (std::size_t k = 0; k < order.size(); ++k)
    std::memcpy(out.data() + k * s, packet.data() + order[order[k]] * s, s);
  return out;
}

std::uint64_t plain_branch(ByteView salt) {
  return branch_value(prepare_bounds(salt, -1.0f, 1.0f), salt, 0.0f);
}

using test::distinct_packet;

Bytes random_bytes(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = std::uint8_t(rng());
  return b;
}

std::string message_of(const std::expected<Bytes, InvolutionError>& r) {
  return r ? std::string("<success>") : r.error().message();
}

// --- pieces ------------------------------------------------------------------

// 600006 bytes are counted in two spans of 300003, whose lengths are not
// multiples of the four bytes counted per step.
TEST(InvolutionPieces, SeedDigestFromCountsEqualsHashOfSortedCopy) {
  parallel::set_thread_count_for_testing(4);
  for (std::size_t len : {0u, 1u, 55u, 56u, 63u, 64u, 4095u, 4096u, 4097u, 600006u}) {
    Bytes data = random_bytes(len, len);
    if (len > 1000) std::fill(data.begin(), data.begin() + 5000 % len, 7);  // a long run
    for (std::uint64_t h : {0ull, 0xDEADBEEFDEADBEEFull, 0x0102030405060708ull})
      EXPECT_EQ(involution::seed_digest(involution::count_bytes(data), h), model_seed(data, h))
          << len;
  }
}

TEST(InvolutionPieces, AlwaysTrueBranchEqualsMappingPlusZero) {
  for (std::size_t len : {0u, 1u, 16u, 63u, 64u, 65u, 200u}) {
    const Bytes salt = random_bytes(len, 100 + len);
    const PreparedBounds b = prepare_bounds(salt, -1.0f, 1.0f);
    EXPECT_EQ(involution::always_true_branch(b, salt), branch_value(b, salt, 0.0f)) << len;
  }
}

// --- bit-exact agreement with the model --------------------------------------

using Shape = std::tuple<std::size_t, std::size_t, std::size_t>;  // chunk size, chunks, salt length
class InvolutionShapes : public ::testing::TestWithParam<Shape> {};

TEST_P(InvolutionShapes, MatchesModelAndIsItsOwnInverseOnEveryThreadCount) {
  const auto [s, n, salt_len] = GetParam();
  const Bytes packet = distinct_packet(n, s, s * 1000003 + n);
  const Bytes salt = random_bytes(salt_len, salt_len + 7);
  const auto want = model_involute(packet, salt, s, plain_branch(salt));
  ASSERT_TRUE(want.has_value());
  for (std::size_t threads : {1u, 2u, 5u}) {
    parallel::set_thread_count_for_testing(threads);
    const auto got = involute(packet, salt, s);
    ASSERT_TRUE(got) << got.error().message();
    ASSERT_EQ(*got, *want) << "threads " << threads;
    const auto back = involute(*got, salt, s);
    ASSERT_TRUE(back);
    ASSERT_EQ(*back, packet);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, InvolutionShapes,
    ::testing::Values(Shape{1, 2, 16}, Shape{1, 200, 0}, Shape{2, 3, 16}, Shape{3, 1000, 16},
                      Shape{4, 1, 16}, Shape{4, 5000, 16}, Shape{4, 70000, 16},
                      Shape{7, 4097, 5}, Shape{16, 4, 16}, Shape{16, 20000, 100},
                      Shape{63, 300, 1}, Shape{64, 9000, 16}, Shape{65, 5000, 16},
                      Shape{100, 777, 64}, Shape{128, 6000, 0}, Shape{200, 50, 300},
                      Shape{4096, 40, 16},
                      // Over 2^20 short chunks: arranged through a copy in crumb order.
                      Shape{4, (1 << 20) + 16, 16}));

// Enough chunks that some crumbs share their first four bytes, so the
// full-crumb tie break is exercised (checked, not assumed), through narrow
// and wide records. Buckets of this many records are sorted as groups of a
// few; with fewer key bits for the second distribution (the plan's
// next_bits, which only the rank stage reads) the groups hold about nine
// records each, which the rank stage sorts one group at a time, groups of
// two included.
TEST(Involution, FourByteTiesAreBrokenByTheFullCrumb) {
  parallel::set_thread_count_for_testing(3);
  const std::size_t s = 8, n = 600000;
  const Bytes packet = distinct_packet(n, s, 99);
  const Bytes salt = random_bytes(16, 3);
  const Sha256Digest d = model_seed(packet, plain_branch(salt));
  const auto order = model_order(packet, salt, s, d);
  ASSERT_EQ(order.size(), n);
  std::size_t ties = 0;
  Sha256Digest before = model_crumb(ByteView(packet).subspan(order[0] * s, s), salt, d);
  for (std::size_t j = 1; j < n; ++j) {
    const auto crumb = model_crumb(ByteView(packet).subspan(order[j] * s, s), salt, d);
    ties += std::memcmp(before.data(), crumb.data(), 4) == 0;
    before = crumb;
  }
  ASSERT_GT(ties, 0u);
  ChunkHasher narrow(packet, s, salt), wide(packet, s, salt), groups(packet, s, salt);
  const auto got_narrow =
      involution::rank(narrow, narrow.records<involution::NarrowRecord>(d), d);
  const auto got_wide = involution::rank(wide, wide.records<involution::WideRecord>(d), d);
  auto records = groups.records<involution::NarrowRecord>(d);
  ASSERT_GT(n >> 16, 8u);
  records.plan.next_bits = 16 - records.plan.top_bits;
  const auto got_groups = involution::rank(groups, std::move(records), d);
  ASSERT_TRUE(got_narrow && got_wide && got_groups);
  ASSERT_TRUE(std::equal(order.begin(), order.end(), got_narrow->get()));
  ASSERT_TRUE(std::equal(order.begin(), order.end(), got_wide->get()));
  ASSERT_TRUE(std::equal(order.begin(), order.end(), got_groups->get()));
}

TEST(Involution, WholeBlocksHashedAheadGiveTheSameOrder) {
  const std::size_t s = 192, n = 3000;
  const Bytes packet = distinct_packet(n, s, 5);
  const Bytes salt = random_bytes(16, 4);
  const Sha256Digest d = model_seed(packet, 1234);
  ChunkHasher ahead(packet, s, salt);
  ahead.start_prefixes();
  ASSERT_GT(ahead.prefix_tasks(), 0u);
  for (std::size_t t = 0; t < ahead.prefix_tasks(); ++t) ahead.hash_prefixes(t);
  const auto got = involution::crumbs_and_rank(ahead, d);
  ASSERT_TRUE(got);
  const auto want = model_order(packet, salt, s, d);
  EXPECT_TRUE(std::equal(want.begin(), want.end(), got->get()));
}

// --- the edge cases and every message -----------------------------------------

// Equal chunks found through the tie break, far apart and in one long run.
TEST(Involution, DuplicateCrumbsOnEveryThreadCount) {
  const std::string dup = "Duplicate crumbs detected after operations, cannot create a unique pattern";
  const Bytes salt = {1};
  Bytes many = distinct_packet(100000, 6, 8);
  std::copy_n(many.begin() + 6 * 5, 6, many.begin() + 6 * 99990);
  for (std::size_t threads : {1u, 4u}) {
    parallel::set_thread_count_for_testing(threads);
    EXPECT_EQ(message_of(involute(many, salt, 6)), dup);
    EXPECT_EQ(message_of(involute(Bytes(4 << 20, 0), salt, 4)), dup);
  }
}

// --- cycling -------------------------------------------------------------------

Bytes permutation_key(std::uint64_t seed) {
  Bytes k(256);
  std::iota(k.begin(), k.end(), 0);
  std::shuffle(k.begin(), k.end(), std::mt19937_64(seed));
  return k;
}

Bytes recode(ByteView data, ByteView old_key, ByteView new_key) {
  std::array<std::uint8_t, 256> t{};
  for (std::size_t i = 0; i < old_key.size(); ++i) t[old_key[i]] = new_key[i];
  Bytes out;
  for (std::uint8_t b : data) out.push_back(t[b]);
  return out;
}

TEST(Cycle, MatchesInvoluteRecodeInvolute) {
  const Bytes k1 = permutation_key(1), k2 = permutation_key(2);
  const Bytes s1 = random_bytes(16, 1), s2 = random_bytes(16, 2);
  for (auto [s, n] : {std::pair<std::size_t, std::size_t>{4, 9000}, {64, 700}, {100, 33}, {13, 1}}) {
    const Bytes packet = distinct_packet(n, s, n);
    const auto p1 = model_involute(packet, s1, s, plain_branch(s1));
    const auto want = model_involute(recode(*p1, k1, k2), s2, s, plain_branch(s2));
    for (std::size_t threads : {1u, 3u}) {
      parallel::set_thread_count_for_testing(threads);
      const auto got = cycle(packet, s1, s2, k1, k2, s);
      ASSERT_TRUE(got);
      EXPECT_EQ(*got, *want) << s << " " << n << " threads " << threads;
    }
  }
}

}  // namespace
}  // namespace kelvora
