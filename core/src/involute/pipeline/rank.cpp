// The rank stage of the involution: the chunk order by crumb; see
// stages.hpp.
//
// The records carry the first four crumb bytes as their key. A radix
// distribution on the key's top bits (the first pass made by the crumb
// stage, within each stripe), then on the next bits per bucket, leaves groups
// of a few records, which a comparison sort finishes. Records with equal keys
// are then ordered by their full crumbs, hashed again for just those chunks;
// with uniform keys that is rare, except for equal chunks, which have equal
// crumbs and are reported.
#include <algorithm>
#include <atomic>
#include <utility>
#include <vector>

#include "failure.hpp"
#include "involute/pipeline/stages.hpp"
#include "parallel/pool.hpp"

namespace kelvora::involution {
namespace {

template <class Record>
void insertion_sort(typename Record::T* first, typename Record::T* last) {
  for (auto* i = first + 1; i < last; ++i) {
    const auto x = *i;
    auto* j = i;
    for (; j > first && Record::less(x, j[-1]); --j) *j = j[-1];
    *j = x;
  }
}

// Sorts the m records of one first-level bucket into `out`: by the next key
// bits (shift2, mask2) into groups, then within the groups. The records come
// from `parts` segments, segment(i) giving [begin, end). `group` has room for
// mask2 + 1 counters.
template <class Record, class Segment>
void sort_bucket(Segment&& segment, std::size_t parts, typename Record::T* __restrict out,
                 std::size_t m, unsigned shift2, std::uint32_t mask2, std::uint32_t* __restrict group,
                 bool few) {
  KV_ASSERT(m <= 0xFFFFFFFFu);
  std::fill(group, group + mask2 + 1, 0u);
  for (std::size_t i = 0; i < parts; ++i) {
    const auto [begin, end] = segment(i);
    for (auto* r = begin; r < end; ++r) ++group[(Record::key(*r) >> shift2) & mask2];
  }
  // Counts to starts, the running sum kept out of memory.
  std::uint32_t sum = 0;
  for (std::uint32_t g = 0; g <= mask2; ++g) {
    const std::uint32_t c = group[g];
    group[g] = sum;
    sum += c;
  }
  // group[g] is where group g starts; it advances to the group's end.
  for (std::size_t i = 0; i < parts; ++i) {
    const auto [begin, end] = segment(i);
    for (auto* r = begin; r < end; ++r) out[group[(Record::key(*r) >> shift2) & mask2]++] = *r;
  }
  if (few) {
    // Groups of a few records: one insertion pass over the bucket, which
    // never moves a record out of its group.
    insertion_sort<Record>(out, out + m);
    return;
  }
  std::uint32_t from = 0;
  for (std::uint32_t g = 0; g <= mask2; ++g) {
    if (group[g] - from > 1) std::sort(out + from, out + group[g], Record::less);
    from = group[g];
  }
}

}  // namespace

// See header.
template <class Record>
std::expected<ChunkOrder<typename Record::Index>, InvolutionError> rank(
    const ChunkHasher& chunks, CrumbRecords<Record> crumbs, const Sha256Digest& seed,
    Scratch<typename Record::T>* spare, ChunkOrder<typename Record::Index> room) {
  using T = typename Record::T;
  using Index = typename Record::Index;
  const std::size_t n = chunks.chunks();
  const SortPlan plan = crumbs.plan;
  Scratch<T>& a = crumbs.records;
  ChunkOrder<Index> order = room ? std::move(room) : make_scratch<Index>(n);
  std::atomic<bool> duplicate{false};
  // rec[0 .. m) is sorted by key and holds whole runs of equal keys: order
  // each run by the full crumbs, which also finds equal crumbs (equal crumbs
  // always have equal keys), then write the indices to to[0 .. m).
  auto finish = [&](T* rec, std::size_t m, Index* to,
                    std::vector<std::pair<Sha256Digest, std::uint64_t>>& run) {
    for (std::size_t i = 0; i + 1 < m; ++i) {
      const std::uint32_t key = Record::key(rec[i]);
      if (Record::key(rec[i + 1]) != key) continue;
      std::size_t end = i + 2;
      while (end < m && Record::key(rec[end]) == key) ++end;
      if (duplicate.load(std::memory_order_relaxed)) return;
      run.clear();
      for (std::size_t r = i; r < end; ++r) {
        run.emplace_back(chunks.crumb(std::size_t(Record::index(rec[r])), seed), Record::index(rec[r]));
        // Equal chunks are the usual cause: catch them before hashing the rest.
        if (r == i + 1 && run[0].first == run[1].first) break;
      }
      std::sort(run.begin(), run.end());
      if (std::adjacent_find(run.begin(), run.end(), [](const auto& x, const auto& y) {
            return x.first == y.first;
          }) != run.end()) {
        duplicate.store(true, std::memory_order_relaxed);
        return;
      }
      for (std::size_t r = i; r < end; ++r) rec[r] = Record::make(key, run[r - i].second);
      i = end - 1;
    }
    for (std::size_t r = 0; r < m; ++r) to[r] = Index(Record::index(rec[r]));
  };

  if (plan.serial) {
    std::sort(a.get(), a.get() + n, Record::less);
    std::vector<std::pair<Sha256Digest, std::uint64_t>> run;
    finish(a.get(), n, order.get(), run);
  } else {
    // Bucket j of the whole sort gathers segment j of every stripe; each
    // thread sorts a bucket in a buffer of its own, which stays in cache.
    const unsigned b1 = plan.top_bits, b2 = plan.next_bits;
    const std::size_t buckets = std::size_t(1) << b1;
    const std::vector<std::size_t>& segments = crumbs.segments;
    std::vector<std::size_t> start(buckets + 1, 0);
    for (std::size_t t = 0; t < chunks.stripes(); ++t) {
      std::size_t from = chunks.stripe_begin(t);
      for (std::size_t j = 0; j < buckets; ++j) {
        start[j + 1] += segments[(t << b1) + j] - from;
        from = segments[(t << b1) + j];
      }
    }
    std::size_t largest = 0;
    for (std::size_t j = 0; j < buckets; ++j) largest = std::max(largest, start[j + 1]);
    for (std::size_t j = 0; j < buckets; ++j) start[j + 1] += start[j];
    const unsigned shift2 = 32 - b1 - b2;
    const std::uint32_t mask2 = (std::uint32_t(1) << b2) - 1;
    const bool few = (n >> (b1 + b2)) <= 8;
    parallel::parallel_for(chunks.stop(), 0, buckets, 1, [&](std::size_t lo, std::size_t hi) {
      std::vector<std::uint32_t> group(std::size_t(mask2) + 1);
      std::vector<std::pair<Sha256Digest, std::uint64_t>> run;
      const Scratch<T> sorted = make_scratch<T>(largest);
      for (std::size_t j = lo; j < hi; ++j) {
        auto segment = [&](std::size_t t) {
          const std::size_t end = segments[(t << b1) + j];
          const std::size_t from = j == 0 ? chunks.stripe_begin(t) : segments[(t << b1) + j - 1];
          return std::pair<const T*, const T*>(a.get() + from, a.get() + end);
        };
        const std::size_t m = start[j + 1] - start[j];
        sort_bucket<Record>(segment, chunks.stripes(), sorted.get(), m, shift2, mask2, group.data(),
                            few);
        finish(sorted.get(), m, order.get() + start[j], run);
      }
    });
  }
  if (duplicate.load()) return std::unexpected(InvolutionError{DuplicateCrumbs{}});
  if (spare != nullptr) *spare = std::move(a);
  return order;
}

template std::expected<ChunkOrder<std::uint32_t>, InvolutionError> rank(
    const ChunkHasher&, CrumbRecords<NarrowRecord>, const Sha256Digest&, Scratch<NarrowRecord::T>*,
    ChunkOrder<std::uint32_t>);
template std::expected<ChunkOrder<std::uint64_t>, InvolutionError> rank(
    const ChunkHasher&, CrumbRecords<WideRecord>, const Sha256Digest&, Scratch<WideRecord::T>*,
    ChunkOrder<std::uint64_t>);

// See header.
NarrowRoom make_narrow_room(std::size_t chunks) {
  KV_ASSERT(chunks <= (std::uint64_t(1) << 32));
  return {make_scratch<NarrowRecord::T>(chunks), make_scratch<std::uint32_t>(chunks)};
}

// See header.
std::expected<ChunkOrder<std::uint32_t>, InvolutionError> crumbs_and_rank(
    ChunkHasher& chunks, const Sha256Digest& seed) {
  KV_ASSERT(chunks.chunks() <= (std::uint64_t(1) << 32));
  return rank(chunks, chunks.records<NarrowRecord>(seed), seed);
}

// See header.
std::expected<void, InvolutionError> crumbs_rank_arrange(ChunkHasher& chunks,
                                                         const Sha256Digest& seed,
                                                         std::span<std::uint8_t> out,
                                                         NarrowRoom room) {
  // The records' array, its pages already faulted in, is the arrangement's
  // scratch once ranked: fresh scratch would cost the kernel clearing it.
  auto arrange_by = [&](auto record, auto records_room,
                        auto order_room) -> std::expected<void, InvolutionError> {
    using Record = decltype(record);
    Scratch<typename Record::T> spare;
    const auto order = rank(chunks, chunks.records<Record>(seed, std::move(records_room)), seed,
                            &spare, std::move(order_room));
    if (!order) return std::unexpected(order.error());
    arrange(chunks.packet(), chunks.chunk_size(), order->get(), out, chunks.stop(),
            scratch_bytes(spare, chunks.chunks()));
    return {};
  };
  if (chunks.chunks() > (std::uint64_t(1) << 32))
    return arrange_by(WideRecord{}, Scratch<WideRecord::T>{}, ChunkOrder<std::uint64_t>{});
  return arrange_by(NarrowRecord{}, std::move(room.records), std::move(room.order));
}

}  // namespace kelvora::involution
