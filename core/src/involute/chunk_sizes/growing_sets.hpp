// Sets of distinct keys that grow as they fill, for the distinctness test of
// chunk sizes.
//
// One growth rule serves both sets (SetGrowth). A set meant for at most
// `most` keys has a last table that holds them all with slots to spare
// (last_slots). It starts at 256 slots, or at its last size when that is at
// most sixteen times more, and grows sixteenfold each time it is half full,
// up to the last size. Each table before the last is at most a sixteenth of
// it, so a set never takes more than 17/16 of its last table, and growing
// rehashes few keys. The key zero marks an empty slot; it is held as a flag
// beside the slots.
//
//   KeySet<Key>      open addressing with linear probing. A key's slot is its
//                    hash (the caller's) scaled to the capacity, which keeps
//                    any capacity usable and the slots in the order of the
//                    hashes, so a rehash walks the new table forwards. The
//                    caller decides equality, so the keys may be chunk
//                    indices whose bytes are compared.
//   GroupTable<Key>  keys already mixed, in groups of one cache line, put in
//                    a run at a time by the group set's back end
//                    (key_groups.hpp).
//
// Growing checks the stop token between slices of the new table as its pages
// are first written and of the old one as it is rehashed, and all_distinct()
// between runs of keys: each step a few milliseconds of work at most, so a stop is
// never held back by a set.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "huge_pages.hpp"
#include "involute/chunk_sizes/key_groups.hpp"
#include "parallel/stop.hpp"
#include "platform.hpp"

namespace kelvora::chunk_sets {

// Slots of the last table for `most` keys of `key_bytes` bytes, standing for
// chunks of `chunk_bytes` bytes: half full when the set then stays within 1.9
// times the chunks' bytes (17/16 of the table), else as full as that allows,
// but never more than 3/4 full.
inline std::size_t last_slots(std::size_t most, std::size_t chunk_bytes, std::size_t key_bytes) {
  // most * chunk_bytes is at most the packet's length, so it fits; the bound
  // needs no exactness.
  const double within = double(most * chunk_bytes) * (1.9 * 16 / 17) / double(key_bytes);
  const std::size_t fullest = most + most / 3 + 1, emptiest = 2 * most + 1;
  return within <= double(fullest) ? fullest
         : within >= double(emptiest) ? emptiest
                                      : std::size_t(within);
}

// The sizes a set's table takes, in slots.
class SetGrowth {
 public:
  static constexpr std::size_t kFirstSlots = 256;

  // At most `most` keys, in a last table of `last` > most slots.
  SetGrowth(std::size_t most, std::size_t last) : most_(most), last_(last) {}

  std::size_t last() const { return last_; }
  std::size_t first() const { return last_ <= 16 * kFirstSlots ? last_ : kFirstSlots; }
  std::size_t next(std::size_t slots) const { return 256 * slots <= last_ ? 16 * slots : last_; }
  // Keys a table takes before it must grow: the last takes every key to come.
  std::size_t room(std::size_t slots) const { return slots == last_ ? most_ : slots / 2; }

 private:
  std::size_t most_;
  std::size_t last_;
};

// n zeroed values of T on a cache-line boundary. A table of 256 KiB or more
// is mapped from the system (map_zeroed), whose pages are zero already and
// go back to it when the table is dropped, as on a stop or when the set
// grows: the sets of one search never take more than their tables. One of
// 2 MiB or more lies on huge pages (huge_pages.hpp): few page faults and TLB
// misses as it is reached at random. The first write to a page is what makes
// the kernel back it with memory (for a huge page, 2 MiB zeroed, or memory
// compacted first): a mapped table has each of its pages written here, a
// slice at a time with a check of the stop token before each, so that the
// inserts between two checks never meet that cost.
template <class T>
class ZeroedTable {
 public:
  static constexpr std::size_t kMappedFrom = std::size_t(256) << 10;

  ZeroedTable(std::size_t n, StopToken stop) : size_(n) {
    constexpr std::size_t kSliceBytes = std::size_t(2) << 20, kPageBytes = 4096;
    if (n > (std::size_t(-1) - kHugePageSize) / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = bytes_for(n);
    if (bytes >= kMappedFrom) {
      const bool huge = bytes >= kHugePageSize;
      data_.reset(static_cast<T*>(map_zeroed(bytes, huge ? kHugePageSize : 64)));
      if (data_ == nullptr) throw std::bad_alloc();
      if (huge) advise_huge_pages(data_.get(), bytes);
      auto* const p = reinterpret_cast<std::uint8_t*>(data_.get());
      for (std::size_t at = 0; at < bytes; at += kPageBytes) {
        if (at % kSliceBytes == 0 && at != 0) stop.checkpoint();
        p[at] = 0;
      }
    } else {
      data_.reset(static_cast<T*>(aligned_allocate(64, bytes)));
      if (data_ == nullptr) throw std::bad_alloc();
      std::memset(data_.get(), 0, bytes);
    }
  }

  T* data() const { return data_.get(); }
  std::size_t size() const { return size_; }
  T& operator[](std::size_t i) const { return data_[i]; }

 private:
  struct Release {
    std::size_t bytes;
    void operator()(T* p) const noexcept {
      if (bytes >= kMappedFrom) unmap_zeroed(p, bytes);
      else aligned_release(p);
    }
  };
  // The table's bytes: whole cache lines.
  static std::size_t bytes_for(std::size_t n) { return (n * sizeof(T) + 63) / 64 * 64; }

  std::size_t size_;  // before data_, whose release needs it
  std::unique_ptr<T[], Release> data_{nullptr, Release{bytes_for(size_)}};
};

// Old slots rehashed between two checks of the stop token.
inline constexpr std::size_t kSlotsPerCheck = std::size_t(1) << 16;

template <class Key>
class KeySet {
 public:
  explicit KeySet(SetGrowth growth)
      : growth_(growth), keys_(growth.first(), {}) {}

  // Keys the table takes before it must grow.
  std::size_t room() const { return growth_.room(keys_.size()) - held_; }

  // Inserts the keys key_of(k).second, whose hashes are key_of(k).first, for k
  // in [begin, n) until the set must grow; returns the next k, or n + 1 when
  // a key was already there (equal() decides, given a stored key and the new
  // one). Keys are walked with their slots prefetched a few keys ahead.
  template <class KeyOf, class Equal>
  std::size_t insert_run(std::size_t begin, std::size_t n, KeyOf&& key_of, Equal&& equal) {
    Key* const keys = keys_.data();
    const std::size_t capacity = keys_.size();
    const std::size_t end = std::min(n, begin + room());
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
    held_ += end - begin;
    return end;
  }

  // Room is used up: the next table, with the keys rehashed into it
  // (hash_of(key) gives a key's hash again).
  template <class HashOf>
  void grow(HashOf&& hash_of, StopToken stop) {
    ZeroedTable<Key> old = std::exchange(keys_, ZeroedTable<Key>(growth_.next(keys_.size()), stop));
    Key* const keys = keys_.data();
    const std::size_t capacity = keys_.size();
    // Occupied slots are found 64 at a time through a bit mask: a branch per
    // slot would be mispredicted on every other one.
    for (std::size_t base = 0; base < old.size(); base += 64) {
      if (base % kSlotsPerCheck == 0) stop.checkpoint();
      const std::size_t m = std::min<std::size_t>(64, old.size() - base);
      std::uint64_t live = 0;
      for (std::size_t i = 0; i < m; ++i) live |= std::uint64_t(old[base + i] != 0) << i;
      for (; live != 0; live &= live - 1) {
        const Key key = old[base + unsigned(std::countr_zero(live))];
        std::size_t i = slot(hash_of(key), capacity);
        while (keys[i] != 0) i = i + 1 == capacity ? 0 : i + 1;
        keys[i] = key;
      }
    }
  }

 private:
  static constexpr std::size_t kPrefetchDistance = 16;

  static std::size_t slot(std::uint64_t hash, std::size_t capacity) {
    std::uint64_t high;
    mul_64x64_128(hash, capacity, &high);
    return std::size_t(high);
  }

  SetGrowth growth_;
  ZeroedTable<Key> keys_;
  std::size_t held_ = 0;  // keys inserted, the zero key included
  bool has_zero_ = false;
};

// True when the keys of chunks [0, n) of s bytes are pairwise distinct;
// key_of(k) gives (hash, key) of chunk k, hash_of(key) the hash again, and
// equal(stored, key) decides. Checks `stop` between runs of keys: fewer for
// longer chunks, whose keys cost a hash of their bytes.
template <class Key, class KeyOf, class HashOf, class Equal>
bool all_distinct(std::size_t n, std::size_t s, KeyOf&& key_of, HashOf&& hash_of, Equal&& equal,
                  StopToken stop) {
  const std::size_t per_check = std::max<std::size_t>(1, std::min<std::size_t>(1 << 14, (1 << 22) / s));
  KeySet<Key> set(SetGrowth(n, last_slots(n, s, sizeof(Key))));
  for (std::size_t k = 0;;) {
    stop.checkpoint();
    const std::size_t limit = n - k > per_check ? k + per_check : n;
    const std::size_t next = set.insert_run(k, limit, key_of, equal);
    if (next > limit) return false;  // a key was already there
    if (next == n) return true;
    if (next < limit) set.grow(hash_of, stop);  // room used up
    k = next;
  }
}

// A group set (key_groups.hpp) with its table, growing by the rule above.
template <class Key>
class GroupTable {
 public:
  static constexpr std::size_t kGroupKeys = key_groups::GroupSet<Key>::kGroupKeys;

  // At most `most` keys standing for chunks of `chunk_bytes` bytes.
  GroupTable(std::size_t most, std::size_t chunk_bytes);

  // Keys the table takes before it must grow, and whether it is the last.
  std::size_t room() const { return growth_.room(set_.groups * kGroupKeys) - held_; }
  bool at_last() const { return set_.groups * kGroupKeys == growth_.last(); }

  // Adds keys[0 .. m), m <= room(); false at the first key already there.
  bool insert(const Key* keys, std::size_t m) {
    held_ += m;
    return insert_(set_, keys, m);
  }

  // The next table, with the keys rehashed into it.
  void grow(StopToken stop);

 private:
  struct alignas(64) Group {
    Key slot[kGroupKeys];
  };
  SetGrowth growth_;
  key_groups::InsertFn<Key> insert_;
  ZeroedTable<Group> table_;
  key_groups::GroupSet<Key> set_;
  std::size_t held_ = 0;  // keys inserted, the zero key included
};

extern template class GroupTable<std::uint32_t>;
extern template class GroupTable<std::uint64_t>;

}  // namespace kelvora::chunk_sets
