// ChaCha20 block function: RFC 8439 vectors mapped onto our counter/stream
// layout, and the 64-bit counter.
#include <gtest/gtest.h>

#include <string_view>

#include "bytes.hpp"
#include "hex_util.hpp"
#include "primitives/chacha20.hpp"

namespace kelvora {
namespace {

using test::from_hex;
using test::to_hex;

// RFC 8439 fills state words 12..15 with a 32-bit block counter and a 96-bit
// nonce (three little-endian words). Our block function reads the same four
// words as a 64-bit counter (words 12, 13) and a 64-bit stream id (words 14,
// 15), low half first. So an RFC (counter, nonce) pair becomes:
//   counter = rfc_counter | nonce_word0 << 32,  stream = nonce_word1 | nonce_word2 << 32.
struct RfcInput {
  std::uint64_t counter;
  std::uint64_t stream;
};
RfcInput from_rfc(std::uint32_t rfc_counter, std::string_view nonce_hex) {
  const auto n = from_hex(nonce_hex);
  return {rfc_counter | std::uint64_t(load32_le(n.data())) << 32, load64_le(n.data() + 4)};
}

ChaChaKey key_words(std::string_view key_hex) {
  const auto k = from_hex(key_hex);
  ChaChaKey key;
  for (std::size_t i = 0; i < 8; ++i) key[i] = load32_le(k.data() + 4 * i);
  return key;
}

std::string serialize(const ChaChaBlock& block) {
  std::uint8_t bytes[64];
  for (std::size_t i = 0; i < 16; ++i) store32_le(bytes + 4 * i, block[i]);
  return to_hex(bytes);
}

struct Case {
  const char* name;
  std::string_view key, nonce;
  std::uint32_t counter;
  std::string_view keystream;
};

constexpr std::string_view kZeroKey =
    "0000000000000000000000000000000000000000000000000000000000000000";

const Case kRfc8439[] = {
    // Section 2.3.2, test vector for the block function.
    {"2.3.2", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "000000090000004a00000000", 1,
     "10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
     "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e"},
    // Appendix A.1, test vectors 1 and 2: the zero key, blocks 0 and 1.
    {"A.1#1", kZeroKey, "000000000000000000000000", 0,
     "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
     "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"},
    {"A.1#2", kZeroKey, "000000000000000000000000", 1,
     "9f07e7be5551387a98ba977c732d080dcb0f29a048e3656912c6533e32ee7aed"
     "29b721769ce64e43d57133b074d839d531ed1f28510afb45ace10a1f4b794d6f"},
    // Appendix A.1, test vector 3: last key bit set.
    {"A.1#3", "0000000000000000000000000000000000000000000000000000000000000001",
     "000000000000000000000000", 1,
     "3aeb5224ecf849929b9d828db1ced4dd832025e8018b8160b82284f3c949aa5a"
     "8eca00bbb4a73bdad192b5c42f73f2fd4e273644c8b36125a64addeb006c13a0"},
};

TEST(ChaCha20, Rfc8439Vectors) {
  for (const auto& c : kRfc8439) {
    const RfcInput in = from_rfc(c.counter, c.nonce);
    ChaChaBlock out;
    chacha20_block(key_words(c.key), in.counter, in.stream, out);
    EXPECT_EQ(serialize(out), c.keystream) << c.name;
  }
}

TEST(ChaCha20, CounterUsesBothWords) {
  // Counters that differ only above bit 31, and streams that differ only in
  // either half, give different blocks: no half of either value is dropped.
  const ChaChaKey key = key_words(kZeroKey);
  ChaChaBlock a, b, c, d;
  chacha20_block(key, 0, 0, a);
  chacha20_block(key, std::uint64_t(1) << 32, 0, b);
  chacha20_block(key, 0, 1, c);
  chacha20_block(key, 0, std::uint64_t(1) << 32, d);
  EXPECT_NE(a, b);
  EXPECT_NE(a, c);
  EXPECT_NE(a, d);
  EXPECT_NE(c, d);
  // The RFC's word-13 nonce byte lands in the counter's high half: A.1#1 with
  // counter 0 is the same block as our (counter 0, stream 0).
  EXPECT_EQ(serialize(a), kRfc8439[1].keystream);
}

}  // namespace
}  // namespace kelvora
