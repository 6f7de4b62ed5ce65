// Sets of distinct keys in groups of one cache line, for the distinctness
// test of chunk sizes.
//
// A GroupSet holds nonzero keys of 32 or 64 bits in `groups` groups of one
// cache line each (16 or 8 keys). Keys arrive already mixed (uniform bits),
// so a key's home group is its value scaled to the group count (the high
// word of key * groups: any count will do, and the groups follow the order
// of the keys). A key is looked for in its home group and, while a group is
// full, in the next ones (wrapping round); it goes into the first empty slot
// of the first group that has one. Keys are never removed. The key zero,
// which marks an empty slot, is a flag beside the slots.
//
// insert(set, keys, n) adds keys[0 .. n) in order and returns false at the
// first key already in the set (the later keys are not added); true when all
// were new. Groups a few keys ahead are prefetched, so a set larger than the
// caches costs little more than one in them. The caller zeroes the slots of
// a new set and keeps at least one slot empty. Back ends, one signature each,
// with their capability predicates (backends.hpp):
//   insert_portable  slot by slot; everywhere
//   insert_avx512    the whole group compared at once; the new key goes
//                    into lane 0 with the others moved up one lane (the
//                    groups fill in order, so the group is full exactly
//                    when its last lane is taken), and the group is stored
//                    whole, so a later load of it is forwarded from the store
// insert_active<Key>() picks the first available, once per process, portable
// last.
#pragma once

#include <cstddef>
#include <cstdint>

#include "backends.hpp"
#include "cpu.hpp"
#include "platform.hpp"

namespace kelvora::key_groups {

template <class Key>
struct GroupSet {
  static constexpr std::size_t kGroupKeys = 64 / sizeof(Key);
  Key* slots;  // groups * kGroupKeys, aligned to 64 bytes
  std::size_t groups;
  bool has_zero;
};

template <class Key>
inline std::size_t home_group(Key key, std::size_t groups) {
  if constexpr (sizeof(Key) == 4) {
    return std::size_t((std::uint64_t(key) * groups) >> 32);
  } else {
    std::uint64_t high;
    mul_64x64_128(key, groups, &high);
    return std::size_t(high);
  }
}

inline constexpr std::size_t kPrefetchAhead = 16;  // keys

template <class Key>
using InsertFn = bool (*)(GroupSet<Key>& set, const Key* keys, std::size_t n);

bool insert_portable(GroupSet<std::uint32_t>& set, const std::uint32_t* keys, std::size_t n);
bool insert_portable(GroupSet<std::uint64_t>& set, const std::uint64_t* keys, std::size_t n);

// Call only when avx512_available().
bool insert_avx512(GroupSet<std::uint32_t>& set, const std::uint32_t* keys, std::size_t n);
bool insert_avx512(GroupSet<std::uint64_t>& set, const std::uint64_t* keys, std::size_t n);
inline bool avx512_available() { return KELVORA_BUILD_AVX512 && cpu::has_avx512bw(); }

template <class Key>
InsertFn<Key> insert_active();
extern template InsertFn<std::uint32_t> insert_active();
extern template InsertFn<std::uint64_t> insert_active();

}  // namespace kelvora::key_groups
