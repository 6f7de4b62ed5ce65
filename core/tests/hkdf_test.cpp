// HKDF-SHA256: RFC 5869 appendix A test cases 1 to 3, and the output limit.
#include <gtest/gtest.h>

#include <string_view>

#include "hex_util.hpp"
#include "primitives/hkdf.hpp"

namespace kelvora {
namespace {

using test::from_hex;
using test::pattern;
using test::to_hex;

std::vector<std::uint8_t> range(int first, int last) {  // first .. last inclusive
  std::vector<std::uint8_t> out;
  for (int b = first; b <= last; ++b) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

struct Case {
  const char* name;
  std::vector<std::uint8_t> ikm, salt, info;
  std::string_view prk, okm;
};

// RFC 5869 appendix A.1 to A.3 (the SHA-256 cases).
const Case kRfc5869[] = {
    {"A.1", std::vector<std::uint8_t>(22, 0x0b), range(0x00, 0x0c), range(0xf0, 0xf9),
     "077709362c2e32df0ddc3f0dc47bba6390b6c73bb50f9c3122ec844ad7c2b3e5",
     "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
    {"A.2", range(0x00, 0x4f), range(0x60, 0xaf), range(0xb0, 0xff),
     "06a6b88c5853361a06104c9ceb35b45cef760014904671014a193f40c15fc244",
     "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac7827271cb41c65e59"
     "0e09da3275600c2f09b8367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f1d87"},
    {"A.3", std::vector<std::uint8_t>(22, 0x0b), {}, {},
     "19ef24a32c717b167f33a91d6f648bdf96596776afdb6377ac434c1c293ccb04",
     "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"},
};

TEST(Hkdf, Rfc5869) {
  for (const auto& c : kRfc5869) {
    const Sha256Digest prk = hkdf_extract(c.salt, c.ikm);
    EXPECT_EQ(to_hex(prk), c.prk) << c.name;
    std::vector<std::uint8_t> okm(c.okm.size() / 2 + 1, 0xEE);  // one guard byte
    ASSERT_TRUE(hkdf_expand(prk, c.info, std::span(okm).first(okm.size() - 1))) << c.name;
    EXPECT_EQ(to_hex(std::span(okm).first(okm.size() - 1)), c.okm) << c.name;
    EXPECT_EQ(okm.back(), 0xEE) << c.name;
  }
}

TEST(Hkdf, ExpandLimitIs255Blocks) {
  const Sha256Digest prk = hkdf_extract({}, pattern(32));
  std::vector<std::uint8_t> full(kHkdfMaxOutput);
  ASSERT_TRUE(hkdf_expand(prk, pattern(5), full));
  // Shorter outputs are prefixes of longer ones.
  for (std::size_t n : {0u, 1u, 31u, 32u, 33u, 1000u}) {
    std::vector<std::uint8_t> part(n);
    ASSERT_TRUE(hkdf_expand(prk, pattern(5), part));
    EXPECT_TRUE(std::equal(part.begin(), part.end(), full.begin())) << n;
  }
  std::vector<std::uint8_t> over(kHkdfMaxOutput + 1, 0xEE);
  EXPECT_FALSE(hkdf_expand(prk, pattern(5), over));
  EXPECT_EQ(std::count(over.begin(), over.end(), 0xEE), static_cast<std::ptrdiff_t>(over.size()));
}

}  // namespace
}  // namespace kelvora
