// Test packets shared by the chunk and involution tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

#include "bytes.hpp"

namespace kelvora::test {

// n distinct chunks of s bytes, none of them all zero: the values 1 .. n,
// shuffled, written little-endian into the first bytes of each chunk (as many
// as s allows, up to 8), the rest random.
inline Bytes distinct_packet(std::size_t n, std::size_t s, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  Bytes p(n * s);
  for (auto& b : p) b = std::uint8_t(rng());
  std::vector<std::uint64_t> ids(n);
  std::iota(ids.begin(), ids.end(), 1);
  std::shuffle(ids.begin(), ids.end(), rng);
  for (std::size_t k = 0; k < n; ++k)
    for (std::size_t i = 0; i < std::min<std::size_t>(s, 8); ++i)
      p[k * s + i] = std::uint8_t(ids[k] >> (8 * i));
  return p;
}

}  // namespace kelvora::test
