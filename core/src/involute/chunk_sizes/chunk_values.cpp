// Chunks of three to eight bytes (other than five, whose 8-byte keys would
// take a set past twice the packet) as their own keys; see distinct.hpp.
//
// A chunk's key is the little-endian value of its bytes, mixed by a keyed
// bijection, so equal chunks keep equal keys and different chunks different
// ones. Fewer than kPartsFrom chunks, whose set stays in the caches, take one
// walk through a KeySet, which costs less per key there than the group set's
// back end with its run of mixed keys. More chunks go through group tables
// (growing_sets.hpp), split into parts on the worker pool.
#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <utility>

#include "failure.hpp"
#include "hash_key.hpp"
#include "involute/chunk_sizes/distinct.hpp"
#include "involute/chunk_sizes/growing_sets.hpp"
#include "parallel/pool.hpp"

namespace kelvora::chunk_sets {
namespace {

constexpr std::size_t kPartsFrom = std::size_t(1) << 16;  // chunks, for parts on the pool
constexpr std::size_t kPrefixChunks = 4096;  // checked alone before the parts

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

// How a walk over the chunks' keys ended.
enum class Walk { kDistinct, kRepeated, kFull };

// Walks the chunks' mixed keys through a group table for at most `most` keys;
// kFull when more come. The keys of a run of chunks are laid out first, so
// that the back end can prefetch the groups of the keys ahead.
//
// The walk takes only the keys whose top `part_bits` bits are `part` (all of
// them when part_bits is 0), each held rotated by those bits so that its home
// group comes from the bits below. It gives up when another part has found a
// repeat (`repeated`), and checks `stop` as it does that: when the table
// grows and every kRunsPerCheck runs.
template <class Key, std::size_t S>
Walk walk_values(ByteView packet, unsigned part_bits, std::size_t part, std::size_t most,
                 const std::atomic<bool>& repeated, StopToken stop) {
  constexpr std::size_t kRun = 512;
  constexpr std::size_t kRunsPerCheck = 16;
  constexpr unsigned kBits = 8 * sizeof(Key);
  const std::size_t n = packet.size() / S;
  const std::uint8_t* const base = packet.data();
  const std::uint64_t seed = process_hash_key();
  GroupTable<Key> set(most, S);
  auto given_up = [&] {
    stop.checkpoint();
    return repeated.load(std::memory_order_relaxed);
  };
  Key run[kRun];
  for (std::size_t k = 0, runs = 1; k < n; ++runs) {
    if (set.room() == 0) {
      if (set.at_last()) return Walk::kFull;
      if (given_up()) return Walk::kRepeated;
      set.grow(stop);
    }
    // At most room() keys of the part among the next chunks.
    const std::size_t take = std::min({kRun, n - k, set.room()});
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
    if (!set.insert(run, m)) return Walk::kRepeated;
    k += take;
    if (runs % kRunsPerCheck == 0 && given_up()) return Walk::kRepeated;
  }
  return Walk::kDistinct;
}

// Many chunks are split by the top bits of their mixed keys into as many
// parts as there are threads (a power of two, at most 8), and each thread
// walks every chunk, keeping the keys of its own part: equal keys fall in the
// same part. Each part's table has room for its share and a margin of a few
// deviations; should a part hold more (the mix cannot be steered without its
// key), one walk over all keys decides.
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
    return all_distinct<Key>(n, S, key_of, hash_of,
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

}  // namespace

// See header.
bool values_distinct(ByteView packet, std::size_t s, StopToken stop) {
  switch (s) {
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
      KV_ASSERT(false);
      return false;
  }
}

}  // namespace kelvora::chunk_sets
