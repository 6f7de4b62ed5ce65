// Portable group sets and the back-end choice; see key_groups.hpp.
#include "involute/chunk_sizes/key_groups.hpp"

namespace kelvora::key_groups {
namespace {

template <class Key>
bool insert_slots(GroupSet<Key>& set, const Key* keys, std::size_t n) {
  constexpr std::size_t kGroup = GroupSet<Key>::kGroupKeys;
  Key* const slots = set.slots;
  const std::size_t groups = set.groups;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kPrefetchAhead < n)
      KELVORA_PREFETCH(slots + kGroup * home_group(keys[i + kPrefetchAhead], groups), 1);
    const Key key = keys[i];
    if (key == 0) {
      if (set.has_zero) return false;
      set.has_zero = true;
      continue;
    }
    for (std::size_t g = home_group(key, groups);; g = g + 1 == groups ? 0 : g + 1) {
      Key* group = slots + g * kGroup;
      std::size_t j = 0;
      for (; j < kGroup && group[j] != 0; ++j)
        if (group[j] == key) return false;
      if (j < kGroup) {
        group[j] = key;
        break;
      }
    }
  }
  return true;
}

}  // namespace

// See header.
bool insert_portable(GroupSet<std::uint32_t>& set, const std::uint32_t* keys, std::size_t n) {
  return insert_slots(set, keys, n);
}
bool insert_portable(GroupSet<std::uint64_t>& set, const std::uint64_t* keys, std::size_t n) {
  return insert_slots(set, keys, n);
}

// See header.
template <class Key>
InsertFn<Key> insert_active() {
  static const InsertFn<Key> chosen = first_available<InsertFn<Key>>(
      {{avx512_available, insert_avx512}}, insert_portable);
  return chosen;
}

template InsertFn<std::uint32_t> insert_active();
template InsertFn<std::uint64_t> insert_active();

}  // namespace kelvora::key_groups
