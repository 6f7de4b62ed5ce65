// Sixteen-lane SHA-256 compression, every back end against the portable
// single-stream one, lane by lane, over chained blocks and lanes that share
// memory.
#include "primitives/sha256_x16.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "primitives/sha256.hpp"
#include "primitives/sha256_blocks.hpp"

namespace kelvora::sha256_x16 {
namespace {

struct Backend {
  const char* name;
  CompressFn compress;
  bool (*available)();
};

const Backend kBackends[] = {
    {"avx512", compress_avx512, avx512_available},
    {"armv8", compress_armv8, armv8_available},
};

class Sha256X16 : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    if (!GetParam().available()) GTEST_SKIP() << GetParam().name << " not supported by this CPU";
  }
};

TEST_P(Sha256X16, EveryLaneEqualsThePortableCompression) {
  std::mt19937 rng(5);
  std::vector<std::uint8_t> data(kLanes * 64 * 5 + 7);
  for (auto& b : data) b = std::uint8_t(rng());
  States st;
  std::uint32_t want[kLanes][8];
  for (std::size_t l = 0; l < kLanes; ++l)
    for (std::size_t w = 0; w < 8; ++w) st.h[w][l] = want[l][w] = rng();
  // Five rounds of blocks: unaligned, then every lane on the same block, then
  // lanes overlapping by one byte.
  for (std::size_t round = 0; round < 5; ++round) {
    const std::uint8_t* block[kLanes];
    for (std::size_t l = 0; l < kLanes; ++l) {
      const std::size_t at = round == 3 ? 64 : round == 4 ? 100 + l : 1 + (round * kLanes + l) * 64;
      block[l] = data.data() + at;
    }
    GetParam().compress(st, block);
    for (std::size_t l = 0; l < kLanes; ++l) sha256_blocks::blocks_portable(want[l], block[l], 1);
    for (std::size_t l = 0; l < kLanes; ++l)
      for (std::size_t w = 0; w < 8; ++w) ASSERT_EQ(st.h[w][l], want[l][w]) << round << " " << l;
  }
}

// Blocks that share all but their first words: every lane equals the
// portable compression of the block it stands for, for every count of lane
// words, for consecutive words (loaded whole) and for strided ones (gathered).
TEST(Sha256X16, SharedBlockWithLaneWords) {
  if (!avx512_available()) GTEST_SKIP() << "no AVX-512 F/BW on this machine";
  std::mt19937 rng(6);
  std::vector<std::uint8_t> data(kLanes * 100), shared(64);
  for (auto& b : data) b = std::uint8_t(rng());
  for (auto& b : shared) b = std::uint8_t(rng());
  for (const std::size_t stride : {4u, 8u, 16u, 20u, 68u}) {
    for (std::size_t words = 0; words <= 16 && 4 * words <= stride; ++words) {
      States st;
      std::uint32_t want[kLanes][8];
      for (std::size_t l = 0; l < kLanes; ++l)
        for (std::size_t w = 0; w < 8; ++w) st.h[w][l] = want[l][w] = rng();
      compress_shared_avx512(st, data.data() + 3, stride, words, shared.data());
      for (std::size_t l = 0; l < kLanes; ++l) {
        std::vector<std::uint8_t> block = shared;
        std::copy_n(data.data() + 3 + l * stride, 4 * words, block.begin());
        sha256_blocks::blocks_portable(want[l], block.data(), 1);
        for (std::size_t w = 0; w < 8; ++w)
          ASSERT_EQ(st.h[w][l], want[l][w]) << stride << " " << words << " " << l;
      }
    }
  }
}

// FIPS 180-4 example "abc": one padded block, in every lane.
TEST_P(Sha256X16, KnownAnswerInEveryLane) {
  std::uint8_t block[64] = {'a', 'b', 'c', 0x80};
  block[63] = 24;
  const Sha256State iv = Sha256().state();
  States st;
  for (std::size_t w = 0; w < 8; ++w)
    for (std::size_t l = 0; l < kLanes; ++l) st.h[w][l] = iv[w];
  const std::uint8_t* blocks[kLanes];
  for (auto& b : blocks) b = block;
  GetParam().compress(st, blocks);
  const std::uint32_t want[8] = {0xba7816bf, 0x8f01cfea, 0x414140de, 0x5dae2223,
                                 0xb00361a3, 0x96177a9c, 0xb410ff61, 0xf20015ad};
  for (std::size_t l = 0; l < kLanes; ++l)
    for (std::size_t w = 0; w < 8; ++w) EXPECT_EQ(st.h[w][l], want[w]);
}

INSTANTIATE_TEST_SUITE_P(Backends, Sha256X16, ::testing::ValuesIn(kBackends),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelvora::sha256_x16
