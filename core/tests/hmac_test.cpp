// HMAC-SHA256: RFC 4231 test cases, and the one-block fast path against the
// streaming path.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "hex_util.hpp"
#include "primitives/hmac.hpp"

namespace kelvora {
namespace {

using test::from_hex;
using test::pattern;
using test::to_hex;

std::vector<std::uint8_t> text(std::string_view s) { return {s.begin(), s.end()}; }
std::vector<std::uint8_t> repeat(std::uint8_t byte, std::size_t n) { return std::vector(n, byte); }

struct Case {
  const char* name;
  std::vector<std::uint8_t> key;
  std::vector<std::uint8_t> data;
  std::string_view mac;  // case 5 gives only the first 128 bits
};

// RFC 4231 section 4, HMAC-SHA-256 results of test cases 1 to 7.
const Case kRfc4231[] = {
    {"case1", repeat(0x0b, 20), text("Hi There"),
     "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
    {"case2", text("Jefe"), text("what do ya want for nothing?"),
     "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
    {"case3", repeat(0xaa, 20), repeat(0xdd, 50),
     "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
    {"case4", from_hex("0102030405060708090a0b0c0d0e0f10111213141516171819"), repeat(0xcd, 50),
     "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
    {"case5", repeat(0x0c, 20), text("Test With Truncation"), "a3b6167473100ee06e0c796c2955552b"},
    {"case6", repeat(0xaa, 131), text("Test Using Larger Than Block-Size Key - Hash Key First"),
     "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
    {"case7", repeat(0xaa, 131),
     text("This is a test using a larger than block-size key and a larger than block-size data. "
          "The key needs to be hashed before being used by the HMAC algorithm."),
     "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
};

TEST(HmacSha256, Rfc4231) {
  for (const auto& c : kRfc4231) {
    const std::string got = to_hex(hmac_sha256(c.key, c.data));
    EXPECT_EQ(got.substr(0, c.mac.size()), c.mac) << c.name;
    // The same through a streamed message.
    const HmacSha256 mac(c.key);
    Sha256 inner = mac.begin();
    for (std::uint8_t byte : c.data) inner.update(&byte, 1);
    EXPECT_EQ(to_hex(mac.finish(inner)), got) << c.name;
  }
}

TEST(HmacSha256, ShortMessagesMatchStreamingPath) {
  // mac() builds the padded block itself for messages that fit one block;
  // every length across that boundary must agree with the generic path.
  const auto data = pattern(140);
  for (std::size_t key_len : {0u, 1u, 32u, 64u, 65u, 200u}) {
    const HmacSha256 mac(pattern(key_len));
    for (std::size_t n = 0; n <= data.size(); ++n) {
      Sha256 inner = mac.begin();
      inner.update(ByteView(data).first(n));
      ASSERT_EQ(mac.mac(ByteView(data).first(n)), mac.finish(inner))
          << "key " << key_len << ", message " << n;
    }
  }
}

TEST(HmacSha256, KeyOfBlockSizeIsUsedUnhashed) {
  // A 64-byte key is padded, not hashed; a 65-byte key is hashed. Hashing the
  // longer key first must give the same tag as using its digest as the key.
  const auto key64 = pattern(64);
  const auto key65 = pattern(65);
  const auto msg = text("message");
  const Sha256Digest hashed = sha256(key64);
  EXPECT_NE(hmac_sha256(key64, msg), hmac_sha256(hashed, msg));
  EXPECT_EQ(hmac_sha256(key65, msg), hmac_sha256(sha256(key65), msg));
}

}  // namespace
}  // namespace kelvora
