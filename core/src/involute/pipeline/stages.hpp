// Internal: the stages of the involution, in the order a packet passes them.
// The public forms (involute.hpp) and cycling (cycle.hpp) run them after
// their shared opening (opening.hpp); tests and benchmarks reach each stage
// here.
//
//   seed     count_bytes, seed_digest: D, hashed from the packet's byte counts
//            (the sorted copy is never built)                        seed.cpp
//   crumbs   ChunkHasher: every chunk's SHA-256(chunk | salt | D), kept as a
//            record of the first four crumb bytes (XOR D) and the chunk's
//            index; the chunks' whole 64-byte blocks do not depend on D and
//            can be hashed ahead of it, while D is hashed       crumbs.cpp
//   rank     rank: the records sorted by key, each bucket in a buffer of
//            its thread, ties broken by the full crumb, equal crumbs
//            reported; the chunk order (32-bit indices below 2^32
//            chunks)                                                rank.cpp
//   arrange  arrange: chunk k of the result is chunk order[order[k]];
//            many short chunks pass through a copy in crumb order, so
//            order is read in sequence                          arrange.cpp
//
// Every per-chunk step runs on the worker pool and writes each element at its
// own index, so no result depends on the number of threads. Each stage takes
// the operation's stop token (parallel/stop.hpp) for its loops and long
// serial steps; the crumb and rank stages take it from the ChunkHasher.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <span>
#include <type_traits>
#include <vector>

#include "bytes.hpp"
#include "involute/conditions/conditions.hpp"
#include "involute/pipeline/involute.hpp"
#include "involute/pipeline/scratch.hpp"
#include "parallel/stop.hpp"
#include "primitives/sha256.hpp"

namespace kelvora::involution {

// First element of part i when n elements are cut into `parts` near-equal
// parts, the remainder going one each to the first parts.
inline std::size_t part_begin(std::size_t n, std::size_t parts, std::size_t i) {
  return (n / parts) * i + std::min(i, n % parts);
}

// --- seed --------------------------------------------------------------------

using ByteCounts = std::array<std::uint64_t, 256>;

// How often each byte value occurs in `data` (counted on the pool).
ByteCounts count_bytes(ByteView data, StopToken stop = {});

// D: SHA-256 of the bytes counted in `counts` together with the 8 bytes of
// `branch` (big-endian), all in ascending order.
Sha256Digest seed_digest(ByteCounts counts, std::uint64_t branch, StopToken stop = {});

// The branch value of the plain form, from its prepared bounds: the same as
// branch_value(bounds, salt, +0.0f), whose test value lies between the images
// of -1.0 and 1.0 because the map is increasing; it is not mapped again.
std::uint64_t always_true_branch(PreparedBounds bounds, ByteView salt);

// --- crumbs ------------------------------------------------------------------

// The records the rank stage sorts: the first four crumb bytes (big-endian)
// as the key and the chunk index, ordered by both, so equal keys keep a fixed
// order. Narrow records serve up to 2^32 chunks in one 64-bit word; wide ones
// any count. `less` is a function object, not a function, so that the sorts
// that take it inline the comparison whatever the compiler. The choice is the pipeline's (by chunk count); tests run both.
struct NarrowRecord {
  using T = std::uint64_t;
  using Index = std::uint32_t;
  static T make(std::uint32_t key, std::uint64_t index) { return std::uint64_t(key) << 32 | index; }
  static std::uint32_t key(T r) { return std::uint32_t(r >> 32); }
  static std::uint64_t index(T r) { return r & 0xFFFFFFFFu; }
  static constexpr auto less = [](T a, T b) { return a < b; };
};

struct WideRecord {
  using Index = std::uint64_t;
  struct T {
    std::uint32_t key;
    std::uint64_t index;
  };
  static T make(std::uint32_t key, std::uint64_t index) { return T{key, index}; }
  static std::uint32_t key(const T& r) { return r.key; }
  static std::uint64_t index(const T& r) { return r.index; }
  static constexpr auto less = [](const T& a, const T& b) {
    return a.key != b.key ? a.key < b.key : a.index < b.index;
  };
};

// How n records are sorted: up to kSerialRecords by one std::sort on the
// calling thread; more are distributed on the top `top_bits` key bits (within
// each stripe, while the crumbs are hashed and the stripe is still in cache),
// then each bucket on the next `next_bits`, then the small groups left.
struct SortPlan {
  static constexpr std::size_t kSerialRecords = 4096;
  bool serial;
  unsigned top_bits;
  unsigned next_bits;

  static SortPlan for_records(std::size_t n);
};

// The crumb stage's output: one record per chunk. Serially sorted plans keep
// the records in chunk order. Otherwise each stripe's records are laid out
// within the stripe by their top key bits, and segments[(t << top_bits) + j]
// is the end of bucket j within stripe t (its start is the end of bucket
// j - 1, or the stripe's start).
template <class Record>
struct CrumbRecords {
  SortPlan plan;
  Scratch<typename Record::T> records;
  std::vector<std::size_t> segments;
};

// Hashes the crumbs of a packet whose length is a multiple of the chunk size
// s > 0. The whole 64-byte blocks of every chunk may be hashed ahead of D
// (start_prefixes, then hash_prefixes(t) for every t < prefix_tasks(), in any
// order and on any threads); records() hashes whatever is left.
class ChunkHasher {
 public:
  ChunkHasher(ByteView packet, std::size_t chunk_size, ByteView salt, StopToken stop = {});

  ByteView packet() const { return packet_; }
  StopToken stop() const { return stop_; }
  std::size_t chunk_size() const { return s_; }
  std::size_t chunks() const { return n_; }
  // Chunk work is cut into stripes [stripe_begin(t), stripe_begin(t + 1)).
  std::size_t stripes() const { return stripes_; }
  std::size_t stripe_begin(std::size_t t) const;

  // Number of prefix tasks: 0 when chunks are shorter than a block.
  std::size_t prefix_tasks() const;
  void start_prefixes();
  void hash_prefixes(std::size_t task);

  // Every chunk's record under the seed digest D, laid out for `plan`; in
  // `room` (n records) when given.
  template <class Record>
  CrumbRecords<Record> records(const Sha256Digest& seed, Scratch<typename Record::T> room = {});

  // The full crumb of chunk k.
  Sha256Digest crumb(std::size_t k, const Sha256Digest& seed) const;

 private:
  template <class Record, std::size_t kRest>
  void hash_records(const Sha256Digest& seed, CrumbRecords<Record>& out);

  ByteView packet_;
  ByteView salt_;
  StopToken stop_;
  std::size_t s_;
  bool x16_;                     // sixteen chunks at a time (sha256_x16.hpp)
  std::size_t n_;
  std::size_t whole_;            // whole 64-byte blocks per chunk, hashed in place
  std::size_t rest_;             // chunk bytes copied into the tail
  Bytes tail_;                   // rest bytes | salt | D | padding
  std::size_t stripes_;
  Scratch<Sha256State> prefix_;  // state after the whole blocks, when hashed ahead
};

extern template CrumbRecords<NarrowRecord> ChunkHasher::records(const Sha256Digest&,
                                                                 Scratch<NarrowRecord::T>);
extern template CrumbRecords<WideRecord> ChunkHasher::records(const Sha256Digest&,
                                                              Scratch<WideRecord::T>);

// --- rank --------------------------------------------------------------------

// order[j]: the index of the chunk whose crumb is j-th smallest (n entries),
// 32-bit for narrow records, 64-bit for wide ones.
template <class Index>
using ChunkOrder = Scratch<Index>;

// Sorts the records by key, orders runs of equal keys by the full crumbs
// (equal crumbs always have equal keys), and returns the chunk order, or
// DuplicateCrumbs when two crumbs are equal; the order is written into
// `room` (n entries) when given. When `spare` is given, the records' array is
// handed over to it at the end, as scratch whose pages are already in memory.
template <class Record>
std::expected<ChunkOrder<typename Record::Index>, InvolutionError> rank(
    const ChunkHasher& chunks, CrumbRecords<Record> crumbs, const Sha256Digest& seed,
    Scratch<typename Record::T>* spare = nullptr, ChunkOrder<typename Record::Index> room = {});

extern template std::expected<ChunkOrder<std::uint32_t>, InvolutionError> rank(
    const ChunkHasher&, CrumbRecords<NarrowRecord>, const Sha256Digest&,
    Scratch<NarrowRecord::T>*, ChunkOrder<std::uint32_t>);
extern template std::expected<ChunkOrder<std::uint64_t>, InvolutionError> rank(
    const ChunkHasher&, CrumbRecords<WideRecord>, const Sha256Digest&, Scratch<WideRecord::T>*,
    ChunkOrder<std::uint64_t>);

// The crumb and rank stages, for fewer than 2^32 chunks.
std::expected<ChunkOrder<std::uint32_t>, InvolutionError> crumbs_and_rank(
    ChunkHasher& chunks, const Sha256Digest& seed);

// --- arrange -----------------------------------------------------------------

// The result: chunk k of `out` is chunk order[order[k]] of the packet.
// `spare`, when it holds at least the packet's size, is scratch the
// arrangement may use instead of allocating its own.
template <class Index>
void arrange(ByteView packet, std::size_t chunk_size, const Index* order,
             std::span<std::uint8_t> out, StopToken stop = {},
             std::span<std::uint8_t> spare = {});
extern template void arrange(ByteView, std::size_t, const std::uint32_t*, std::span<std::uint8_t>,
                             StopToken, std::span<std::uint8_t>);
extern template void arrange(ByteView, std::size_t, const std::uint64_t*, std::span<std::uint8_t>,
                             StopToken, std::span<std::uint8_t>);

// Room for the crumb and rank stages of fewer than 2^32 chunks: the records
// and the chunk order. Made before the seed digest, its pages can be faulted
// in by the threads the digest leaves idle.
struct NarrowRoom {
  Scratch<NarrowRecord::T> records;
  ChunkOrder<std::uint32_t> order;
};
NarrowRoom make_narrow_room(std::size_t chunks);

// The crumb, rank and arrange stages, with the records the chunk count
// needs: the result of the hasher's packet into `out`, or DuplicateCrumbs.
// `room`, when made for the hasher's chunk count, is used for the stages'
// scratch.
std::expected<void, InvolutionError> crumbs_rank_arrange(ChunkHasher& chunks,
                                                         const Sha256Digest& seed,
                                                         std::span<std::uint8_t> out,
                                                         NarrowRoom room = {});

// Copies `data` into `out` (same size), sending every byte through `table`
// (256 entries) when one is given; with a table, `out` may be `data` itself.
void copy_bytes(ByteView data, std::span<std::uint8_t> out, const std::uint8_t* table = nullptr,
                StopToken stop = {});

// Fixed-size copies for the common small sizes, so the hot loops do not call
// memcpy with a run-time length: with_fixed_size(size, f) calls
// f(std::integral_constant<size_t, N>) with N = size for the sizes that get
// their own loop, N = 0 (size known at run time) otherwise, and
// copy_fixed<N>(dst, src, size) copies.
template <std::size_t kSize>
inline void copy_fixed(std::uint8_t* dst, const std::uint8_t* src, std::size_t size) {
  if constexpr (kSize != 0) {
    std::memcpy(dst, src, kSize);
  } else {
    std::memcpy(dst, src, size);
  }
}

template <class F>
void with_fixed_size(std::size_t size, F&& f) {
  switch (size) {
    case 4: return f(std::integral_constant<std::size_t, 4>{});
    case 8: return f(std::integral_constant<std::size_t, 8>{});
    case 16: return f(std::integral_constant<std::size_t, 16>{});
    case 32: return f(std::integral_constant<std::size_t, 32>{});
    case 64: return f(std::integral_constant<std::size_t, 64>{});
    default: return f(std::integral_constant<std::size_t, 0>{});
  }
}

}  // namespace kelvora::involution
