// Byte re-coding: the vector back end against the portable loop, over every
// byte value, lengths around the 64-byte vector and in place.
#include "involute/recode.hpp"

#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <vector>

namespace kelvora::recode {
namespace {

TEST(Recode, VectorBackEndEqualsPortable) {
  if (!avx512_vbmi_available()) GTEST_SKIP() << "no AVX-512 VBMI on this machine";
  std::mt19937 rng(9);
  std::vector<std::uint8_t> table(256);
  for (auto& t : table) t = std::uint8_t(rng());
  std::vector<std::uint8_t> in(700);
  std::iota(in.begin(), in.begin() + 256, 0);  // every value
  for (std::size_t i = 256; i < in.size(); ++i) in[i] = std::uint8_t(rng());
  for (std::size_t n : {0u, 1u, 63u, 64u, 65u, 127u, 128u, 255u, 256u, 257u, 699u}) {
    for (std::size_t offset : {0u, 1u}) {
      std::vector<std::uint8_t> want(n + 2, 0xAA), got(n + 2, 0xAA);
      recode_portable(table.data(), in.data() + offset, want.data() + 1, n);
      recode_avx512(table.data(), in.data() + offset, got.data() + 1, n);
      ASSERT_EQ(got, want) << n << " " << offset;  // guard bytes untouched too
      std::vector<std::uint8_t> same(in.begin() + offset, in.begin() + offset + n);
      recode_avx512(table.data(), same.data(), same.data(), n);
      ASSERT_TRUE(std::equal(same.begin(), same.end(), want.begin() + 1)) << n;
    }
  }
}

}  // namespace
}  // namespace kelvora::recode
