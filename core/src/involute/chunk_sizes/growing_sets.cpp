// Growing group tables; see growing_sets.hpp.
#include "involute/chunk_sizes/growing_sets.hpp"

namespace kelvora::chunk_sets {

// See header.
template <class Key>
GroupTable<Key>::GroupTable(std::size_t most, std::size_t chunk_bytes)
    : growth_(most, (last_slots(most, chunk_bytes, sizeof(Key)) + kGroupKeys - 1) / kGroupKeys *
                        kGroupKeys),
      insert_(key_groups::insert_active<Key>()),
      table_(growth_.first() / kGroupKeys, {}),
      set_{table_.data()->slot, table_.size(), false} {}

// See header. The old keys go through the back end in runs, as new ones do.
template <class Key>
void GroupTable<Key>::grow(StopToken stop) {
  constexpr std::size_t kRun = 512;
  constexpr std::size_t kGroupsPerCheck = kSlotsPerCheck / kGroupKeys;
  const ZeroedTable<Group> old =
      std::exchange(table_, ZeroedTable<Group>(growth_.next(set_.groups * kGroupKeys) / kGroupKeys, stop));
  set_.slots = table_.data()->slot;
  set_.groups = table_.size();
  Key run[kRun];
  std::size_t m = 0;
  for (std::size_t g = 0; g < old.size(); ++g) {
    if (g % kGroupsPerCheck == 0) stop.checkpoint();
    for (const Key key : old[g].slot) {
      if (key != 0) run[m++] = key;
      if (m == kRun) insert_(set_, run, std::exchange(m, 0));
    }
  }
  insert_(set_, run, m);
}

template class GroupTable<std::uint32_t>;
template class GroupTable<std::uint64_t>;

}  // namespace kelvora::chunk_sets
