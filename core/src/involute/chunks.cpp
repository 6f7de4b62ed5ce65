// Chunk size selection; see chunks.hpp.
#include "involute/chunks.hpp"
#include "platform.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "failure.hpp"
#include "hash_key.hpp"
#include "messages.hpp"

namespace kelvora {
namespace {

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

// Open-addressing set of nonzero keys with linear probing; zero marks an
// empty slot, so the key zero is a flag beside the slots. It starts small and
// grows as it fills, sixteenfold at half full, up to the last capacity, which
// must hold every key to come with one slot to spare. Each table before the
// last is at most a sixteenth of it, so the set never holds more than 17/16 of
// the last table, and growing rehashes few keys.
//
// A slot is the high word of the key's hash times the capacity, which keeps
// any capacity usable and keeps the slots in the order of the hashes, so a
// rehash walks the new table forwards.
template <class Key>
class KeySet {
 public:
  explicit KeySet(std::size_t last_capacity) : last_capacity_(last_capacity) {
    allocate(last_capacity_ <= 16 * kFirstCapacity ? last_capacity_ : kFirstCapacity);
  }

  // Inserts the keys key_of(k) for k in [begin, n) until the set must grow;
  // returns the next k, or n + 1 when a key was already there (equal()
  // decides, given a stored key and the new one). Keys are walked with their
  // table slots prefetched a few keys ahead.
  template <class KeyOf, class Equal>
  std::size_t insert_run(std::size_t begin, std::size_t n, KeyOf&& key_of, Equal&& equal) {
    Key* const keys = keys_.get();
    const std::size_t capacity = capacity_;
    const std::size_t end = std::min(n, begin + room_);
    // Slots of the keys ahead, computed once when they are prefetched; the
    // first few keys of a run have theirs computed when they come.
    std::size_t ahead[kPrefetchDistance];
    for (std::size_t k = begin; k < end; ++k) {
      std::size_t i = k < begin + kPrefetchDistance ? slot(key_of(k).first, capacity)
                                                    : ahead[k % kPrefetchDistance];
      if (k + kPrefetchDistance < end) {
        const std::size_t next = slot(key_of(k + kPrefetchDistance).first, capacity);
        KELVORA_PREFETCH(&keys[next], 1);
        ahead[k % kPrefetchDistance] = next;
      }
      const Key key = key_of(k).second;
      if (key == 0) {
        if (std::exchange(has_zero_, true)) return n + 1;
        continue;
      }
      while (keys[i] != 0) {
        if (equal(keys[i], key)) return n + 1;
        i = i + 1 == capacity ? 0 : i + 1;
      }
      keys[i] = key;
    }
    room_ -= end - begin;
    return end;
  }

  // Room is used up: the next table, with the keys rehashed into it.
  template <class HashOf>
  void grow(HashOf&& hash_of) {
    const std::size_t old_capacity = capacity_;
    std::unique_ptr<Key[]> old = allocate(
        256 * old_capacity <= last_capacity_ ? 16 * old_capacity : last_capacity_);
    Key* const keys = keys_.get();
    const std::size_t capacity = capacity_;
    std::size_t held = 0;
    // Occupied slots are found 64 at a time through a bit mask: a branch per
    // slot would be mispredicted on every other one.
    for (std::size_t base = 0; base < old_capacity; base += 64) {
      const std::size_t m = std::min<std::size_t>(64, old_capacity - base);
      std::uint64_t live = 0;
      for (std::size_t i = 0; i < m; ++i) live |= std::uint64_t(old[base + i] != 0) << i;
      for (; live != 0; live &= live - 1) {
        const Key key = old[base + unsigned(std::countr_zero(live))];
        std::size_t i = slot(hash_of(key), capacity);
        while (keys[i] != 0) i = i + 1 == capacity ? 0 : i + 1;
        keys[i] = key;
        ++held;
      }
    }
    room_ -= held;
  }

 private:
  static constexpr std::size_t kFirstCapacity = 256;
  static constexpr std::size_t kPrefetchDistance = 16;

  static std::size_t slot(std::uint64_t hash, std::size_t capacity) {
    std::uint64_t high;
    mul_64x64_128(hash, capacity, &high);
    return std::size_t(high);
  }

  // A new empty table of `capacity`; returns the old one.
  std::unique_ptr<Key[]> allocate(std::size_t capacity) {
    capacity_ = capacity;
    // Half full, or for the last table as many keys as it was sized for.
    room_ = capacity == last_capacity_ ? capacity - 1 : capacity / 2;
    return std::exchange(keys_, std::make_unique<Key[]>(capacity));
  }

  std::size_t last_capacity_;
  std::size_t capacity_ = 0;
  std::size_t room_ = 0;  // keys the table takes before it must grow
  std::unique_ptr<Key[]> keys_;  // zeroed
  bool has_zero_ = false;
};

// Slots of the last table for the keys of n chunks of s bytes: half full when
// the set then stays within 1.9 times the packet (17/16 of the table, see
// KeySet), else as full as that allows, but never more than 3/4 full.
template <class Key>
std::size_t last_capacity(std::size_t n, std::size_t s) {
  // n * s is the packet's length, so it fits; the bound needs no exactness.
  const double within = double(n * s) * (1.9 * 16 / 17) / double(sizeof(Key));
  const std::size_t fullest = n + n / 3 + 1, emptiest = 2 * n + 1;
  return within <= double(fullest) ? fullest
         : within >= double(emptiest) ? emptiest
                                      : std::size_t(within);
}

// Walks chunks [0, n) of s bytes through a set; key_of(k) gives (hash, key)
// of chunk k, hash_of(key) the hash again. Checks `stop` between runs of
// at most kKeysPerCheckpoint keys.
template <class Key, class KeyOf, class HashOf, class Equal>
bool distinct_keys(std::size_t n, std::size_t s, KeyOf&& key_of, HashOf&& hash_of,
                   Equal&& equal, StopToken stop) {
  constexpr std::size_t kKeysPerCheckpoint = std::size_t(1) << 18;
  KeySet<Key> set(last_capacity<Key>(n, s));
  for (std::size_t k = 0;;) {
    stop.checkpoint();
    const std::size_t limit = n - k > kKeysPerCheckpoint ? k + kKeysPerCheckpoint : n;
    const std::size_t next = set.insert_run(k, limit, key_of, equal);
    if (next > limit) return false;  // a key was already there
    if (next == n) return true;
    if (next < limit) set.grow(hash_of);  // room used up
    k = next;
  }
}

// Chunks of at most 8 bytes are their own keys: the chunk's S bytes as a
// little-endian value, in the smallest unsigned type that holds them. S is a
// constant, so the walk reads each key with one fixed-size load.
template <class Key, std::size_t S>
bool distinct_values(ByteView packet, StopToken stop) {
  const std::uint8_t* base = packet.data();
  const std::uint64_t seed = process_hash_key();
  auto hash_of = [seed](Key key) { return (std::uint64_t(key) ^ seed) * 0x9E3779B97F4A7C15ull; };
  auto key_of = [&](std::size_t k) {
    const std::uint8_t* p = base + k * S;
    const Key key = S == 8 ? Key(load64_le(p)) : S == 4 ? Key(load32_le(p)) : Key(load_partial(p, S));
    return std::pair{hash_of(key), key};
  };
  return distinct_keys<Key>(packet.size() / S, S, key_of, hash_of,
                            [](Key stored, Key key) { return stored == key; }, stop);
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
  return distinct_keys<Key>(n, s, key_of, hash_of, [&](Key stored, Key key) {
    return std::memcmp(base + (stored - 1) * s, base + (key - 1) * s, s) == 0;
  }, stop);
}

}  // namespace

// A chunk is its own key when the key is at most 4/3 of its size, so the set
// stays within twice the packet (see last_capacity); other chunk sizes use
// indices.
bool chunks_distinct(ByteView packet, std::size_t s, StopToken stop) {
  const std::size_t n = packet.size() / s;
  // More chunks than values a chunk can take: some two are equal.
  if (s < 8 && n > std::size_t(1) << (8 * s)) return false;
  switch (s) {
    case 1:
      return distinct_values<std::uint8_t, 1>(packet, stop);
    case 2:
      return distinct_values<std::uint16_t, 2>(packet, stop);
    case 3:
      return distinct_values<std::uint32_t, 3>(packet, stop);
    case 4:
      return distinct_values<std::uint32_t, 4>(packet, stop);
    case 6:
      return distinct_values<std::uint64_t, 6>(packet, stop);
    case 7:
      return distinct_values<std::uint64_t, 7>(packet, stop);
    case 8:
      return distinct_values<std::uint64_t, 8>(packet, stop);
    default:
      return n < 0xFFFFFFFFu ? distinct_indices<std::uint32_t>(packet, s, stop)
                             : distinct_indices<std::uint64_t>(packet, s, stop);
  }
}

std::uint64_t chunk_size_min(ByteView packet, std::uint64_t min_size, StopToken stop) {
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
    if (s >= min_size && s <= half && chunks_distinct(packet, std::size_t(s), stop)) return s;
  return len;
}

}  // namespace kelvora
