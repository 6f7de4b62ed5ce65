// Parallel sorts against std::sort, over sizes around the serial grain and
// key patterns that stress the splitters.
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

using SortCase = std::tuple<std::size_t, std::size_t, Pattern>;  // threads, size, pattern
class SortCases : public ::testing::TestWithParam<SortCase> {};

TEST_P(SortCases, ParallelSortEqualsStdSort) {
  const auto [threads, n, pattern] = GetParam();
  set_thread_count_for_testing(threads);
  auto got = keys(n, pattern);
  auto want = got;
  std::sort(want.begin(), want.end());
  parallel_sort(std::span<std::uint64_t>(got), std::less<>());
  EXPECT_EQ(got, want);
}

// Records sorted on a key by the top bits of the key (the bucket function the
// involution uses), descending comparator to check `less` is honoured.
TEST_P(SortCases, DistributionSortByLeadingBitsEqualsStdSort) {
  const auto [threads, n, pattern] = GetParam();
  set_thread_count_for_testing(threads);
  const auto src = keys(n, pattern);
  std::vector<std::uint64_t> got(n);
  constexpr unsigned kBits = 10;
  distribution_sort<std::uint64_t>(src, got, std::size_t(1) << kBits,
                                   [](std::uint64_t x) { return std::size_t(x >> (64 - kBits)); },
                                   std::less<>());
  auto want = src;
  std::sort(want.begin(), want.end());
  EXPECT_EQ(got, want);

  std::vector<std::uint64_t> down(n);
  distribution_sort<std::uint64_t>(
      src, down, std::size_t(1) << kBits,
      [](std::uint64_t x) { return std::size_t(~x >> (64 - kBits)); }, std::greater<>());
  std::reverse(want.begin(), want.end());
  EXPECT_EQ(down, want);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, SortCases,
    ::testing::Combine(::testing::Values(1, 2, 4),
                       ::testing::Values(0, 1, 2, 4095, 4096, 4097, 10000, 65537, 300000),
                       ::testing::Values(Pattern::Random, Pattern::Sorted, Pattern::Reversed,
                                         Pattern::FewValues, Pattern::AllEqual)));

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
