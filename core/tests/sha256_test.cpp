// SHA-256: FIPS 180-4 known answers through every back end, back ends against
// each other, and the buffering above the block seam.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <string_view>

#include "hex_util.hpp"
#include "primitives/sha256.hpp"
#include "primitives/sha256_blocks.hpp"

namespace kelvora {
namespace {

using test::from_hex;
using test::pattern;
using test::to_hex;

struct Backend {
  const char* name;
  sha256_blocks::BlocksFn blocks;
  bool (*available)();
};

bool always() { return true; }

const Backend kBackends[] = {
    {"portable", sha256_blocks::blocks_portable, always},
    {"shani", sha256_blocks::blocks_shani, sha256_blocks::shani_available},
    {"armv8", sha256_blocks::blocks_armv8, sha256_blocks::armv8_available},
};

class Sha256Backend : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    if (!GetParam().available()) GTEST_SKIP() << GetParam().name << " not supported by this CPU";
  }
  Sha256 hasher() const { return Sha256::with_blocks(GetParam().blocks); }
  std::string digest_hex(ByteView data) const { return to_hex(hasher().update(data).finish()); }
};

ByteView view(std::string_view s) {
  return ByteView(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

// FIPS 180-4 / NIST CSRC example messages for SHA-256.
struct Vector {
  std::string_view message;
  std::string_view digest;
};
constexpr Vector kExamples[] = {
    {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    // 448 bits: the padding needs a second block.
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    // 896 bits.
    {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopq"
     "rsmnopqrstnopqrstu",
     "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
};

TEST_P(Sha256Backend, NistExamples) {
  for (const auto& v : kExamples) EXPECT_EQ(digest_hex(view(v.message)), v.digest) << v.message;
}

TEST_P(Sha256Backend, OneMillionA) {
  // NIST: one million repetitions of 'a', fed once whole and once in 1000
  // updates of 1000 bytes.
  const std::string chunk(1000, 'a');
  const std::string whole(1000000, 'a');
  constexpr std::string_view kWant =
      "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";
  EXPECT_EQ(digest_hex(view(whole)), kWant);
  Sha256 h = hasher();
  for (int i = 0; i < 1000; ++i) h.update(view(chunk));
  EXPECT_EQ(to_hex(h.finish()), kWant);
}

TEST_P(Sha256Backend, IrregularPiecesEqualOneShot) {
  const auto data = pattern(700);
  const std::string want = digest_hex(data);
  // Every split into two pieces.
  for (std::size_t cut = 0; cut <= data.size(); ++cut) {
    Sha256 h = hasher();
    h.update(ByteView(data).first(cut)).update(ByteView(data).subspan(cut));
    ASSERT_EQ(to_hex(h.finish()), want) << "cut at " << cut;
  }
  // Pieces of a repeating odd-sized schedule, some crossing block edges.
  for (std::size_t step : {1u, 3u, 7u, 55u, 63u, 64u, 65u, 129u}) {
    Sha256 h = hasher();
    for (std::size_t at = 0; at < data.size(); at += step) {
      h.update(ByteView(data).subspan(at, std::min(step, data.size() - at)));
    }
    ASSERT_EQ(to_hex(h.finish()), want) << "step " << step;
  }
}

TEST_P(Sha256Backend, ResumesFromSavedState) {
  // A chaining value saved after whole blocks continues the same hash.
  const auto data = pattern(400);
  for (std::size_t blocks : {1u, 2u, 4u}) {
    Sha256 first = hasher();
    first.update(ByteView(data).first(blocks * 64));
    Sha256 resumed(first.state(), blocks);
    resumed.update(ByteView(data).subspan(blocks * 64));
    EXPECT_EQ(to_hex(resumed.finish()), digest_hex(data)) << blocks << " blocks";
    // The finish alone, over every length of the rest: tails padded into one
    // block or two, and rests holding whole blocks of their own.
    for (std::size_t rest = 0; rest <= 140; ++rest) {
      const ByteView whole = ByteView(data).first(blocks * 64 + rest);
      ASSERT_EQ(to_hex(sha256_finish(first.state(), blocks, whole.subspan(blocks * 64),
                                     GetParam().blocks)),
                digest_hex(whole))
          << blocks << " blocks and " << rest << " bytes";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, Sha256Backend, ::testing::ValuesIn(kBackends),
                         [](const auto& info) { return std::string(info.param.name); });

// The accelerated back ends against the portable one.
class Sha256Accelerated : public Sha256Backend {};

TEST_P(Sha256Accelerated, AgreesWithPortableOnEveryLength) {
  const auto data = pattern(1000);
  for (std::size_t n = 0; n <= data.size(); ++n) {
    const ByteView part = ByteView(data).first(n);
    ASSERT_EQ(hasher().update(part).finish(),
              Sha256::with_blocks(sha256_blocks::blocks_portable).update(part).finish())
        << "length " << n;
  }
}

TEST_P(Sha256Accelerated, AgreesWithPortableAtTheSeam) {
  // The seam itself, from a non-initial chaining value, over many blocks.
  const auto data = pattern(64 * 33);
  for (std::size_t nblocks : {0u, 1u, 2u, 3u, 33u}) {
    std::uint32_t a[8] = {1, 0x80000000u, 3, 0xffffffffu, 5, 6, 0x12345678u, 8};
    std::uint32_t b[8] = {1, 0x80000000u, 3, 0xffffffffu, 5, 6, 0x12345678u, 8};
    sha256_blocks::blocks_portable(a, data.data(), nblocks);
    GetParam().blocks(b, data.data(), nblocks);
    EXPECT_TRUE(std::equal(a, a + 8, b)) << nblocks << " blocks";
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, Sha256Accelerated,
                         ::testing::ValuesIn(std::begin(kBackends) + 1, std::end(kBackends)),
                         [](const auto& info) { return std::string(info.param.name); });


}  // namespace
}  // namespace kelvora
