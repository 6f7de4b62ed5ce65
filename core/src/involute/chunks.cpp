// Chunk size selection; see chunks.hpp.
#include "involute/chunks.hpp"
#include "platform.hpp"

#include <bit>
#include <chrono>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "failure.hpp"
#include "messages.hpp"

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
  std::uint64_t high;
  const std::uint64_t low = mul_64x64_128(h ^ v, 0x9E3779B97F4A7C15ull, &high);
  return low ^ high;
}

// Little-endian load of n <= 8 bytes, zero-extended.
inline std::uint64_t load_partial(const std::uint8_t* p, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v |= std::uint64_t(p[i]) << (8 * i);
  return v;
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
  if (i < s) a = mix(a, load_partial(p + i, s - i));
  return mix(mix(a, b), mix(c, d) ^ s);
}

// Open-addressing set of 64-bit keys with power-of-two capacity of at least
// twice the number of keys. Zero marks an empty slot, so the key zero is
// tracked by a flag beside the slots.
template <class Key>
class KeySet {
 public:
  explicit KeySet(std::size_t count)
      : capacity_(std::bit_ceil(count * 2 < 16 ? std::size_t(16) : count * 2)),
        shift_(64 - unsigned(std::countr_zero(capacity_))),
        keys_(std::make_unique<Key[]>(capacity_)) {}

  std::size_t slot(std::uint64_t hash) const {
    return std::size_t((hash * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  void prefetch(std::uint64_t hash) const { KELVORA_PREFETCH(&keys_[slot(hash)], 1); }

  // Inserts the key at the slot chain of `hash`; false if an equal key is
  // already there (equal() decides, given the stored key).
  template <class Equal>
  bool insert(std::uint64_t hash, Key key, Equal&& equal) {
    if (key == 0) return !std::exchange(has_zero_, true);
    std::size_t i = slot(hash);
    while (keys_[i] != 0) {
      if (equal(keys_[i])) return false;
      i = (i + 1) & (capacity_ - 1);
    }
    keys_[i] = key;
    return true;
  }

 private:
  std::size_t capacity_;
  unsigned shift_;
  std::unique_ptr<Key[]> keys_;  // zeroed
  bool has_zero_ = false;
};

// Most packets with repeated chunks repeat early (all zeros, say): a first
// pass over the leading chunks in a small set keeps that case cheap before
// the set for all chunks is allocated.
constexpr std::size_t kProbeChunks = 256;
constexpr std::size_t kPrefetchDistance = 24;

// Walks chunks [0, n) through `set`; key_of(k) gives (hash, key) of chunk k.
template <class Key, class KeyOf, class Equal>
bool insert_all(KeySet<Key>& set, std::size_t n, KeyOf&& key_of, Equal&& equal) {
  for (std::size_t k = 0; k < n; ++k) {
    if (k + kPrefetchDistance < n) set.prefetch(key_of(k + kPrefetchDistance).first);
    const auto [hash, key] = key_of(k);
    if (!set.insert(hash, key, [&](Key stored) { return equal(stored, key); }))
      return false;
  }
  return true;
}

template <class Key, class KeyOf, class Equal>
bool distinct_keys(std::size_t n, KeyOf&& key_of, Equal&& equal) {
  if (n > kProbeChunks) {
    KeySet<Key> probe(kProbeChunks);
    if (!insert_all(probe, kProbeChunks, key_of, equal)) return false;
  }
  KeySet<Key> set(n);
  return insert_all(set, n, key_of, equal);
}

// Chunks of at most 8 bytes are their own keys: the chunk's bytes as a
// little-endian value. Keys of up to 4 bytes use half the memory.
template <class Key>
bool distinct_values(ByteView packet, std::size_t s) {
  const std::uint8_t* base = packet.data();
  const std::uint64_t seed = process_seed();
  auto key_of = [&](std::size_t k) {
    const Key key = s == 8   ? Key(load64_le(base + k * 8))
                    : s == 4 ? Key(load32_le(base + k * 4))
                             : Key(load_partial(base + k * s, s));
    return std::pair{std::uint64_t(key) ^ seed, key};
  };
  return distinct_keys<Key>(packet.size() / s, key_of, [](Key stored, Key key) { return stored == key; });
}

// Longer chunks: the set holds chunk index + 1, placed by the chunk's hash;
// bytes are compared on a probe that meets another chunk.
bool distinct_large(ByteView packet, std::size_t s) {
  const std::size_t n = packet.size() / s;
  const std::uint8_t* base = packet.data();
  const std::uint64_t seed = process_seed();
  auto key_of = [&](std::size_t k) { return std::pair{hash_chunk(base + k * s, s, seed), k + 1}; };
  return distinct_keys<std::uint64_t>(n, key_of, [&](std::uint64_t stored, std::uint64_t key) {
    return std::memcmp(base + (stored - 1) * s, base + (key - 1) * s, s) == 0;
  });
}

}  // namespace

bool chunks_distinct(ByteView packet, std::size_t s) {
  if (s <= 4) return distinct_values<std::uint32_t>(packet, s);
  if (s <= 8) return distinct_values<std::uint64_t>(packet, s);
  return distinct_large(packet, s);
}

std::uint64_t chunk_size_min(ByteView packet, std::uint64_t min_size) {
  const std::uint64_t len = packet.size();
  if (len == 0) return 0;
  const std::uint64_t half = len / 2;
  if (min_size > half) return len;
  if (min_size == 0) fail(std::string(messages::kRemainderByZero));
  // The candidates are the divisors of L in [min_size, L/2], smallest first;
  // they come in pairs (d, L/d) found by trial division up to sqrt(L).
  std::vector<std::uint64_t> small, large;
  for (std::uint64_t d = 1; d * d <= len; ++d) {
    if (len % d != 0) continue;
    small.push_back(d);
    if (d * d != len) large.push_back(len / d);
  }
  small.insert(small.end(), large.rbegin(), large.rend());
  for (std::uint64_t s : small)
    if (s >= min_size && s <= half && chunks_distinct(packet, std::size_t(s))) return s;
  return len;
}

}  // namespace kelvora
