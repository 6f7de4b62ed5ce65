// Chunk size selection, and the distinctness test by chunk size; see
// chunks.hpp and distinct.hpp.
#include "involute/chunk_sizes/chunks.hpp"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "failure.hpp"
#include "hash_key.hpp"
#include "involute/chunk_sizes/distinct.hpp"
#include "involute/chunk_sizes/growing_sets.hpp"
#include "messages.hpp"
#include "platform.hpp"

namespace kelvora {
namespace {

constexpr std::size_t kFewChunks = 16;  // of at most 8 bytes: compared pair by pair

inline std::uint64_t mix(std::uint64_t h, std::uint64_t v) {
  std::uint64_t high;
  const std::uint64_t low = mul_64x64_128(h ^ v, 0x9E3779B97F4A7C15ull, &high);
  return low ^ high;
}

// Four independent lanes over 32-byte steps keep the multiplier busy on long
// chunks; the tail goes through the first lane.
inline std::uint64_t hash_chunk(const std::uint8_t* p, std::size_t s, std::uint64_t seed) {
  std::uint64_t a = seed, b = seed ^ 0x243F6A8885A308D3ull, c = seed ^ 0x13198A2E03707344ull,
                d = seed ^ 0xA4093822299F31D0ull;
  std::size_t i = 0;
  for (; i + 32 <= s; i += 32) {
    a = mix(a, load64_le(p + i));
    b = mix(b, load64_le(p + i + 8));
    c = mix(c, load64_le(p + i + 16));
    d = mix(d, load64_le(p + i + 24));
  }
  for (; i + 8 <= s; i += 8) a = mix(a, load64_le(p + i));
  if (i < s) {
    std::uint64_t last = 0;
    for (std::size_t j = i; j < s; ++j) last |= std::uint64_t(p[j]) << (8 * (j - i));
    a = mix(a, last);
  }
  return mix(mix(a, b), mix(c, d) ^ s);
}

// At most kFewChunks chunks of at most 8 bytes: every pair of zero-padded
// values compared, with nothing allocated.
bool distinct_few(ByteView packet, std::size_t s) {
  const std::size_t n = packet.size() / s;
  std::uint64_t keys[kFewChunks];
  for (std::size_t k = 0; k < n; ++k) {
    keys[k] = 0;
    std::memcpy(&keys[k], packet.data() + k * s, s);
  }
  for (std::size_t i = 1; i < n; ++i)
    for (std::size_t j = 0; j < i; ++j)
      if (keys[i] == keys[j]) return false;
  return true;
}

// Chunks of one or two bytes: a bit per value.
template <std::size_t S>
bool distinct_bits(ByteView packet) {
  std::vector<std::uint64_t> seen((std::size_t(1) << (8 * S)) / 64);
  for (std::size_t k = 0; k < packet.size(); k += S) {
    const std::uint32_t v = S == 1 ? packet[k] : packet[k] | std::uint32_t(packet[k + 1]) << 8;
    const std::uint64_t bit = std::uint64_t(1) << (v % 64);
    if ((seen[v / 64] & bit) != 0) return false;
    seen[v / 64] |= bit;
  }
  return true;
}

// Other chunks: the set holds chunk index + 1, placed by the chunk's hash;
// bytes are compared on a probe that meets another chunk.
template <class Key>
bool distinct_indices(ByteView packet, std::size_t s, StopToken stop) {
  const std::size_t n = packet.size() / s;
  const std::uint8_t* base = packet.data();
  const std::uint64_t seed = process_hash_key();
  auto hash_of = [=](Key key) { return hash_chunk(base + (key - 1) * s, s, seed); };
  auto key_of = [&](std::size_t k) { return std::pair{hash_of(Key(k + 1)), Key(k + 1)}; };
  return chunk_sets::all_distinct<Key>(n, s, key_of, hash_of, [&](Key stored, Key key) {
    return std::memcmp(base + (stored - 1) * s, base + (key - 1) * s, s) == 0;
  }, stop);
}

// The divisors of `len` > 0 in [lo, hi], ascending, from its prime factors
// (trial division up to the square root of what is left to factor).
std::vector<std::uint64_t> divisors_between(std::uint64_t len, std::uint64_t lo, std::uint64_t hi) {
  std::vector<std::uint64_t> all{1};
  all.reserve(64);
  auto take = [&](std::uint64_t p, unsigned times) {
    const std::size_t before = all.size();
    std::uint64_t power = 1;
    for (unsigned e = 0; e < times; ++e) {
      power *= p;
      for (std::size_t i = 0; i < before; ++i) all.push_back(all[i] * power);
    }
  };
  std::uint64_t rest = len;
  for (std::uint64_t p = 2; p <= rest / p; p += p == 2 ? 1 : 2) {
    unsigned times = 0;
    for (; rest % p == 0; rest /= p) ++times;
    if (times != 0) take(p, times);
  }
  if (rest > 1) take(rest, 1);
  std::erase_if(all, [&](std::uint64_t d) { return d < lo || d > hi; });
  // A comparator of our own keeps the sort instantiated in this unit: for
  // the plain one a static libc++ links its prebuilt copy, which brings a
  // stack protector runtime of its own, with a fixed canary.
  std::sort(all.begin(), all.end(), [](std::uint64_t a, std::uint64_t b) { return a < b; });
  return all;
}

}  // namespace

// See distinct.hpp. A chunk is its own key when the key is at most 4/3 of
// its size, so the set stays within twice the packet (last_slots); other
// chunk sizes use indices.
bool chunks_distinct(ByteView packet, std::size_t s, StopToken stop) {
  const std::size_t n = packet.size() / s;
  if (more_chunks_than_values(n, s)) return false;
  // Equal first chunks are the usual way a size fails (runs of one value).
  if (n >= 2 && std::memcmp(packet.data(), packet.data() + s, s) == 0) return false;
  if (s <= 8 && n <= kFewChunks) return distinct_few(packet, s);
  switch (s) {
    case 1:
      return distinct_bits<1>(packet);
    case 2:
      return distinct_bits<2>(packet);
    case 3:
    case 4:
    case 6:
    case 7:
    case 8:
      return chunk_sets::values_distinct(packet, s, stop);
    default:
      return n < 0xFFFFFFFFu ? distinct_indices<std::uint32_t>(packet, s, stop)
                             : distinct_indices<std::uint64_t>(packet, s, stop);
  }
}

// See header.
std::uint64_t chunk_size_min(ByteView packet, std::uint64_t min_size, StopToken stop) {
  const std::uint64_t len = packet.size();
  if (len == 0) return 0;
  const std::uint64_t half = len / 2;
  if (min_size > half) return len;
  if (min_size == 0) fail(std::string(messages::kRemainderByZero));
  for (const std::uint64_t s : divisors_between(len, min_size, half))
    if (chunks_distinct(packet, std::size_t(s), stop)) return s;
  return len;
}

}  // namespace kelvora
