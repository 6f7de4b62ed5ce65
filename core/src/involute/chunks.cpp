#include "involute/chunks.hpp"

#include <bit>
#include <chrono>
#include <cstring>
#include <memory>

#include "failure.hpp"

namespace kelvora {
namespace {

// Per-process random seed for the set's hash, so crafted packets cannot force
// collisions; the result depends only on byte equality.
std::uint64_t process_seed() {
  static const std::uint64_t seed = [] {
    std::uint64_t x = std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
    x ^= std::uint64_t(reinterpret_cast<std::uintptr_t>(&x));
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return (x ^ (x >> 31)) | 1;
  }();
  return seed;
}

inline std::uint64_t mix(std::uint64_t h, std::uint64_t v) {
  __extension__ using u128 = unsigned __int128;
  const u128 p = static_cast<u128>(h ^ v) * 0x9E3779B97F4A7C15ull;
  return std::uint64_t(p) ^ std::uint64_t(p >> 64);
}

// Little-endian load of n <= 8 bytes, zero-extended.
inline std::uint64_t load_partial(const std::uint8_t* p, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v |= std::uint64_t(p[i]) << (8 * i);
  return v;
}

inline std::uint64_t hash_chunk(const std::uint8_t* p, std::size_t s, std::uint64_t seed) {
  std::uint64_t h = seed;
  std::size_t i = 0;
  for (; i + 8 <= s; i += 8) h = mix(h, load64_le(p + i));
  if (i < s) h = mix(h, load_partial(p + i, s - i));
  return mix(h, s);
}

// Open-addressing set with power-of-two capacity of at least twice the count.
struct SlotTable {
  explicit SlotTable(std::size_t count) {
    capacity = std::bit_ceil(count * 2 < 16 ? std::size_t(16) : count * 2);
    shift = 64 - unsigned(std::countr_zero(capacity));
  }
  std::size_t capacity;
  unsigned shift;
  std::size_t slot(std::uint64_t h) const { return std::size_t((h * 0x9E3779B97F4A7C15ull) >> shift); }
};

// Chunks of at most 8 bytes are their own keys: a chunk's value plus one, so
// that zero marks an empty slot (keys of up to 56 bits cannot overflow; for
// 8-byte chunks the value 2^64-1 is tracked beside the table).
bool distinct_small(ByteView packet, std::size_t s) {
  const std::size_t n = packet.size() / s;
  SlotTable t(n);
  auto keys = std::make_unique<std::uint64_t[]>(t.capacity);  // zeroed
  const std::uint64_t seed = process_seed();
  bool saw_max = false;
  for (std::size_t k = 0; k < n; ++k) {
    const std::uint64_t v = s == 8 ? load64_le(packet.data() + k * 8)
                                   : load_partial(packet.data() + k * s, s);
    if (v == ~std::uint64_t(0)) {
      if (saw_max) return false;
      saw_max = true;
      continue;
    }
    const std::uint64_t key = v + 1;
    std::size_t i = t.slot(key ^ seed);
    while (keys[i] != 0) {
      if (keys[i] == key) return false;
      i = (i + 1) & (t.capacity - 1);
    }
    keys[i] = key;
  }
  return true;
}

// Longer chunks: the table holds chunk index + 1 and the hash; bytes are
// compared only when hashes match.
bool distinct_large(ByteView packet, std::size_t s) {
  const std::size_t n = packet.size() / s;
  SlotTable t(n);
  auto index = std::make_unique<std::uint64_t[]>(t.capacity);  // zeroed
  auto hashes = std::make_unique<std::uint64_t[]>(t.capacity);
  const std::uint64_t seed = process_seed();
  const std::uint8_t* base = packet.data();
  for (std::size_t k = 0; k < n; ++k) {
    const std::uint8_t* chunk = base + k * s;
    const std::uint64_t h = hash_chunk(chunk, s, seed);
    std::size_t i = t.slot(h);
    while (index[i] != 0) {
      if (hashes[i] == h && std::memcmp(base + (index[i] - 1) * s, chunk, s) == 0) return false;
      i = (i + 1) & (t.capacity - 1);
    }
    index[i] = k + 1;
    hashes[i] = h;
  }
  return true;
}

}  // namespace

bool chunks_distinct(ByteView packet, std::size_t s) {
  return s <= 8 ? distinct_small(packet, s) : distinct_large(packet, s);
}

std::uint64_t chunk_size_min(ByteView packet, std::uint64_t min_size) {
  const std::uint64_t len = packet.size();
  if (len == 0) return 0;
  const std::uint64_t half = len / 2;
  for (std::uint64_t s = min_size; s <= half; ++s) {
    if (s == 0) fail("attempt to calculate the remainder with a divisor of zero");
    if (len % s == 0 && chunks_distinct(packet, std::size_t(s))) return s;
  }
  return len;
}

}  // namespace kelvora
