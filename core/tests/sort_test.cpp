// Parallel sorts against std::sort, over sizes around the serial grain and
// the stripe counts, and key patterns that stress the splitters.
#include "parallel/sort.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace kelvora::parallel {
namespace {

enum class Pattern { Random, Sorted, Reversed, FewValues, AllEqual };
constexpr Pattern kPatterns[] = {Pattern::Random, Pattern::Sorted, Pattern::Reversed,
                                 Pattern::FewValues, Pattern::AllEqual};

std::vector<std::uint64_t> keys(std::size_t n, Pattern p) {
  std::mt19937_64 rng(n * 7 + std::size_t(p));
  std::vector<std::uint64_t> v(n);
  for (auto& x : v) x = rng();
  switch (p) {
    case Pattern::Random: break;
    case Pattern::Sorted: std::sort(v.begin(), v.end()); break;
    case Pattern::Reversed: std::sort(v.rbegin(), v.rend()); break;
    case Pattern::FewValues: for (auto& x : v) x %= 5; break;
    case Pattern::AllEqual: std::fill(v.begin(), v.end(), 42); break;
  }
  return v;
}

struct Shape {
  std::size_t threads, n;
};
class SortShapes : public ::testing::TestWithParam<Shape> {};

// Every pattern through both sorts. The distribution sort buckets by the top
// bits of the key (as the involution does), and once with a descending
// comparator to check `less` is honoured.
TEST_P(SortShapes, BothSortsEqualStdSort) {
  const auto [threads, n] = GetParam();
  set_thread_count_for_testing(threads);
  constexpr unsigned kBits = 10;
  for (Pattern pattern : kPatterns) {
    SCOPED_TRACE(int(pattern));
    const auto src = keys(n, pattern);
    auto want = src;
    std::sort(want.begin(), want.end());

    auto got = src;
    parallel_sort(std::span<std::uint64_t>(got), std::less<>());
    EXPECT_EQ(got, want);

    std::vector<std::uint64_t> up(n), down(n);
    distribution_sort<std::uint64_t>(src, up, std::size_t(1) << kBits,
                                     [](std::uint64_t x) { return std::size_t(x >> (64 - kBits)); },
                                     std::less<>());
    EXPECT_EQ(up, want);
    distribution_sort<std::uint64_t>(
        src, down, std::size_t(1) << kBits,
        [](std::uint64_t x) { return std::size_t(~x >> (64 - kBits)); }, std::greater<>());
    std::reverse(want.begin(), want.end());
    EXPECT_EQ(down, want);
  }
}

// Sizes around the serial grain (4096) and the stripe size (16384), on one
// thread, two, and an odd count.
INSTANTIATE_TEST_SUITE_P(
    Shapes, SortShapes,
    ::testing::Values(Shape{1, 0}, Shape{1, 1}, Shape{1, 4097}, Shape{1, 65537},
                      Shape{2, 2}, Shape{2, 4096}, Shape{2, 4097}, Shape{2, 10000},
                      Shape{2, 300000}, Shape{3, 4097}, Shape{3, 65537}, Shape{3, 300000},
                      Shape{4, 16385}, Shape{4, 65537}),
    [](const auto& info) {
      return std::to_string(info.param.threads) + "threads_" + std::to_string(info.param.n);
    });

TEST(DistributionSort, BucketOutOfRangeIsAnInternalFailure) {
  set_thread_count_for_testing(2);
  const auto src = keys(20000, Pattern::Random);
  std::vector<std::uint64_t> dst(src.size());
  try {
    distribution_sort<std::uint64_t>(src, dst, 4, [](std::uint64_t) { return std::size_t(7); },
                                     std::less<>());
    ADD_FAILURE() << "no failure";
  } catch (const InternalFailure& f) {
    EXPECT_EQ(f.message(), "index out of bounds: the len is 4 but the index is 7");
  }
}

}  // namespace
}  // namespace kelvora::parallel
