// Byte lookup: every back end against a plain loop written here, over every
// byte value, lengths around the vector widths, unaligned and in place, with
// guard bytes around the output.
#include "lookup/byte_lookup.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace kelvora::byte_lookup {
namespace {

struct Backend {
  const char* name;
  LookupFn lookup;
  bool (*available)();
};

bool always() { return true; }

const Backend kBackends[] = {
    {"portable", lookup_portable, always},
    {"avx2", lookup_avx2, avx2_available},
    {"avx512vbmi", lookup_avx512vbmi, avx512vbmi_available},
    {"neon", lookup_neon, neon_available},
};

class ByteLookup : public ::testing::TestWithParam<Backend> {};

TEST_P(ByteLookup, MatchesTheTableOnEveryShape) {
  if (!GetParam().available()) GTEST_SKIP() << GetParam().name << " not available on this CPU";
  std::mt19937 rng(9);
  std::vector<std::uint8_t> table(256);
  for (auto& t : table) t = std::uint8_t(rng());
  std::vector<std::uint8_t> in(700);
  std::iota(in.begin(), in.begin() + 256, 0);  // every value
  for (std::size_t i = 256; i < in.size(); ++i) in[i] = std::uint8_t(rng());
  for (std::size_t n :
       {0u, 1u, 15u, 16u, 17u, 31u, 32u, 33u, 47u, 48u, 49u, 63u, 64u, 65u, 127u, 128u, 255u,
        256u, 257u, 699u}) {
    for (std::size_t offset : {0u, 1u}) {
      std::vector<std::uint8_t> want(n + 2, 0xAA), got(n + 2, 0xAA);
      for (std::size_t i = 0; i < n; ++i) want[1 + i] = table[in[offset + i]];
      GetParam().lookup(table.data(), in.data() + offset, got.data() + 1, n);
      ASSERT_EQ(got, want) << n << " " << offset;  // guard bytes untouched too
      std::vector<std::uint8_t> same(in.begin() + offset, in.begin() + offset + n);
      GetParam().lookup(table.data(), same.data(), same.data(), n);
      ASSERT_TRUE(std::equal(same.begin(), same.end(), want.begin() + 1)) << n;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, ByteLookup, ::testing::ValuesIn(kBackends),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelvora::byte_lookup
