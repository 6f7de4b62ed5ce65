// Chunk size selection; see chunks.hpp.
#include "involute/chunk_sizes/chunks.hpp"
#include "platform.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "failure.hpp"
#include "hash_key.hpp"
#include "involute/chunk_sizes/key_groups.hpp"
#include "messages.hpp"
#include "parallel/pool.hpp"

namespace kelvora {
namespace {

constexpr std::size_t kPartsFrom = std::size_t(1) << 16;  // chunks, for parts on the pool
constexpr std::size_t kFewChunks = 16;  // of at most 8 bytes: compared pair by pair
constexpr std::size_t kPrefixChunks = 4096;  // checked alone before the parts

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

// The key of the chunk of S <= 8 bytes at p, the little-endian value of its
// bytes, read with loads of fixed size.
template <class Key, std::size_t S>
inline Key chunk_key(const std::uint8_t* p) {
  if constexpr (S == 8) {
    return Key(load64_le(p));
  } else if constexpr (S == 4) {
    return Key(load32_le(p));
  } else if constexpr (S > 4) {
    std::uint64_t high = 0;
    for (std::size_t i = 4; i < S; ++i) high |= std::uint64_t(p[i]) << (8 * (i - 4));
    return Key(load32_le(p) | high << 32);
  } else {
    Key v = 0;
    for (std::size_t i = 0; i < S; ++i) v |= Key(Key(p[i]) << (8 * i));
    return v;
  }
}

// A keyed bijection: equal chunks keep equal keys and different chunks
// different ones, while the bits spread evenly (odd multipliers are
// invertible modulo 2^32 and 2^64).
template <class Key>
inline Key mix_key(Key key, std::uint64_t seed) {
  if constexpr (sizeof(Key) == 4) {
    return Key((key ^ Key(seed)) * 0x9E3779B1u);
  } else {
    return (key ^ seed) * 0x9E3779B97F4A7C15ull;
  }
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
    const std::uint32_t v = chunk_key<std::uint32_t, S>(packet.data() + k);
    const std::uint64_t bit = std::uint64_t(1) << (v % 64);
    if ((seen[v / 64] & bit) != 0) return false;
    seen[v / 64] |= bit;
  }
  return true;
}

// How a walk over the chunks' keys ended.
enum class Walk { kDistinct, kRepeated, kFull };

// Chunks of three to eight bytes (other than 5, whose 8-byte keys would take
// the set past twice the packet) are their own keys, mixed, in a set of
// cache-line groups (key_groups.hpp). It grows as KeySet does, sixteenfold at
// half full up to the last size, which holds `most` keys; kFull when more
// come. The mixed keys of a run of chunks are laid out first, so that the set
// can prefetch the groups of the keys ahead.
//
// The walk takes only the keys whose top `part_bits` bits are `part` (all of
// them when part_bits is 0), each held rotated by those bits so that its home
// group comes from the bits below. It gives up when another part has found a
// repeat (`repeated`), and checks `stop` as it does that: when the set grows
// and every 16 runs.
template <class Key, std::size_t S>
Walk walk_values(ByteView packet, unsigned part_bits, std::size_t part, std::size_t most,
                 const std::atomic<bool>& repeated, StopToken stop) {
  using key_groups::GroupSet;
  constexpr std::size_t kGroup = GroupSet<Key>::kGroupKeys;
  constexpr std::size_t kRun = 512;
  constexpr std::size_t kFirstGroups = 256 / kGroup;  // slots, as KeySet
  constexpr unsigned kBits = 8 * sizeof(Key);
  struct alignas(64) Group {
    Key slot[kGroup];
  };
  const std::size_t n = packet.size() / S;
  const std::uint8_t* const base = packet.data();
  const std::uint64_t seed = process_hash_key();
  const auto insert = key_groups::insert_active<Key>();
  const std::size_t last = (last_capacity<Key>(most, S) + kGroup - 1) / kGroup;
  std::vector<Group> table(last <= 16 * kFirstGroups ? last : kFirstGroups);
  GroupSet<Key> set{table.data()->slot, table.size(), false};
  // Keys the table takes before it must grow.
  auto room_of = [&](std::size_t groups) { return groups == last ? most : groups * kGroup / 2; };
  std::size_t room = room_of(set.groups), held = 0;
  Key run[kRun];
  for (std::size_t k = 0; k < n;) {
    if (held == room) {
      if (set.groups == last) return Walk::kFull;
      stop.checkpoint();
      if (repeated.load(std::memory_order_relaxed)) return Walk::kRepeated;
      // The next table, with the keys rehashed into it.
      std::vector<Group> old = std::exchange(
          table, std::vector<Group>(256 * set.groups <= last ? 16 * set.groups : last));
      set.slots = table.data()->slot;
      set.groups = table.size();
      room = room_of(set.groups);
      std::size_t m = 0;
      for (const Group& g : old) {
        for (const Key key : g.slot) {
          if (key != 0) run[m++] = key;
          if (m == kRun) insert(set, run, std::exchange(m, 0));
        }
      }
      insert(set, run, m);
    }
    // At most room - held keys of the part among the next chunks.
    const std::size_t take = std::min({kRun, n - k, room - held});
    std::size_t m = 0;
    if (part_bits == 0) {
      for (std::size_t i = 0; i < take; ++i) run[i] = mix_key(chunk_key<Key, S>(base + (k + i) * S), seed);
      m = take;
    } else {
      for (std::size_t i = 0; i < take; ++i) {
        const Key key = mix_key(chunk_key<Key, S>(base + (k + i) * S), seed);
        run[m] = std::rotl(key, int(part_bits));
        m += (key >> (kBits - part_bits)) == part;
      }
    }
    if (!insert(set, run, m)) return Walk::kRepeated;
    k += take;
    held += m;
    if (k % (16 * kRun) == 0) {
      stop.checkpoint();
      if (repeated.load(std::memory_order_relaxed)) return Walk::kRepeated;
    }
  }
  return Walk::kDistinct;
}

// Many chunks are split by the top bits of their mixed keys into as many
// parts as there are threads (a power of two, at most 8), and each thread
// walks every chunk, keeping the keys of its own part: equal keys fall in the
// same part. Each part's set has room for its share and a margin of a few
// deviations; should a part hold more (the mix cannot be steered without its
// key), one walk over all keys decides. Fewer chunks than that, whose set
// stays in the caches, take one inline walk through a KeySet, which costs
// less per key there than the groups' back end with its run of mixed keys.
template <class Key, std::size_t S>
bool distinct_values(ByteView packet, StopToken stop) {
  const std::size_t n = packet.size() / S;
  if (n < kPartsFrom) {
    const std::uint8_t* const base = packet.data();
    const std::uint64_t seed = process_hash_key();
    auto hash_of = [seed](Key key) { return (std::uint64_t(key) ^ seed) * 0x9E3779B97F4A7C15ull; };
    auto key_of = [&](std::size_t k) {
      const Key key = chunk_key<Key, S>(base + k * S);
      return std::pair{hash_of(key), key};
    };
    return distinct_keys<Key>(n, S, key_of, hash_of,
                              [](Key stored, Key key) { return stored == key; }, stop);
  }
  // A repeat usually comes early (runs of one value): the first chunks are
  // checked on their own before the pool is asked.
  if (!distinct_values<Key, S>(packet.first(kPrefixChunks * S), stop)) return false;
  std::atomic<bool> repeated{false};
  const std::size_t threads = parallel::thread_count();
  if (threads >= 2) {
    const std::size_t parts = std::bit_floor(std::min<std::size_t>(threads, 8));
    const unsigned bits = unsigned(std::countr_zero(parts));
    const std::size_t share = n / parts;
    const std::size_t most = std::min(n, share + 4 * std::size_t(std::sqrt(double(share))) + 256);
    std::array<Walk, 8> ends{};
    parallel::parallel_for(stop, 0, parts, 1, [&](std::size_t lo, std::size_t hi) {
      for (std::size_t p = lo; p < hi; ++p) {
        if (repeated.load(std::memory_order_relaxed)) return;
        ends[p] = walk_values<Key, S>(packet, bits, p, most, repeated, stop);
        if (ends[p] == Walk::kRepeated) repeated.store(true, std::memory_order_relaxed);
      }
    });
    if (repeated.load()) return false;
    if (std::find(ends.begin(), ends.begin() + std::ptrdiff_t(parts), Walk::kFull) ==
        ends.begin() + std::ptrdiff_t(parts))
      return true;
  }
  return walk_values<Key, S>(packet, 0, 0, n, repeated, stop) == Walk::kDistinct;
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
  // A comparator of our own keeps the sort instantiated here: with the plain
  // one libc++ calls its prebuilt copy, and zig's static libc++ then brings
  // in a stack protector runtime with a fixed canary in place of the C
  // library's (seen in the aarch64 wheel).
  std::sort(all.begin(), all.end(), [](std::uint64_t a, std::uint64_t b) { return a < b; });
  return all;
}

}  // namespace

// A chunk is its own key when the key is at most 4/3 of its size, so the
// set stays within twice the packet (see last_capacity); other chunk sizes
// use indices.
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
  for (const std::uint64_t s : divisors_between(len, min_size, half))
    if (chunks_distinct(packet, std::size_t(s), stop)) return s;
  return len;
}

}  // namespace kelvora
