// The arrange stage of the involution, and the plain or re-coding copy; see
// stages.hpp.
#include <algorithm>
#include <cstring>

#include "failure.hpp"
#include "huge_pages.hpp"
#include "lookup/byte_lookup.hpp"
#include "platform.hpp"
#include "involute/pipeline/stages.hpp"
#include "parallel/pool.hpp"

namespace kelvora::involution {
namespace {

constexpr std::size_t kCopySpan = 64 * 1024;  // bytes per copy task, at least
// Chunks of at most kSortedCopyChunk bytes, at least kSortedCopyFrom of them,
// are arranged through a copy in crumb order.
constexpr std::size_t kSortedCopyChunk = 8;
constexpr std::size_t kSortedCopyFrom = std::size_t(1) << 20;

// The loops below take every pointer as a parameter: held by a lambda's
// reference they would be read again after each chunk's store, which may
// alias them, and the compilers differ in how much of that they remove.

// Chunks [lo, hi) of `out`: chunk k is chunk from[order[k]]. Both reads are
// at random; the chunk is fetched ahead while order runs sequentially.
template <std::size_t kSize, class Index>
void gather_range(const std::uint8_t* from, std::size_t s, const Index* order, std::uint8_t* out,
                  std::size_t lo, std::size_t hi) {
  // Far enough ahead to hide a miss to memory, near enough that the fetched
  // chunks are still in cache when their turn comes (bench/README.md).
  constexpr std::size_t kAhead = 64;
  for (std::size_t k = lo; k < hi; ++k) {
    if (k + kAhead < hi) KELVORA_PREFETCH(from + order[k + kAhead] * s);
    copy_fixed<kSize>(out + k * s, from + order[k] * s, s);
  }
}

// Chunks [lo, hi) of `out`: chunk k is chunk in[order[order[k]]]. Both reads
// are at random: order[order[k]] is fetched well ahead, and the chunk it
// names once that has arrived.
template <std::size_t kSize, class Index>
void arrange_range(const std::uint8_t* in, std::size_t s, const Index* order, std::uint8_t* out,
                   std::size_t lo, std::size_t hi) {
  constexpr std::size_t kFar = 32, kNear = 16;
  for (std::size_t k = lo; k < hi; ++k) {
    if (k + kFar < hi) KELVORA_PREFETCH(order + order[k + kFar]);
    if (k + kNear < hi) KELVORA_PREFETCH(in + order[order[k + kNear]] * s);
    copy_fixed<kSize>(out + k * s, in + order[order[k]] * s, s);
  }
}

// Chunk k of `out` is chunk from[order[k]], for k in [0, n), on the pool.
template <std::size_t kSize, class Index>
void gather(const std::uint8_t* from, std::size_t s, const Index* order, std::size_t n,
            std::uint8_t* out, StopToken stop) {
  const std::size_t grain = std::max<std::size_t>(1, kCopySpan / s);
  parallel::parallel_for(stop, 0, n, grain, [&](std::size_t lo, std::size_t hi) {
    gather_range<kSize>(from, s, order, out, lo, hi);
  });
}

}  // namespace

// See header. Chunk k of the result is chunk order[order[k]]. With many
// short chunks, order itself is too large for the caches and reading
// order[order[k]] stalls on it: the chunks are then gathered into crumb
// order first (sorted[j] = chunk order[j]), and the result is gathered from
// that copy (chunk k = sorted[order[k]]), two passes whose reads of order are
// sequential.
template <class Index>
void arrange(ByteView packet, std::size_t chunk_size, const Index* order,
             std::span<std::uint8_t> out, StopToken stop, std::span<std::uint8_t> spare) {
  KV_ASSERT(chunk_size != 0 && out.size() == packet.size() && packet.size() % chunk_size == 0);
  const std::size_t s = chunk_size;
  const std::size_t n = packet.size() / s;
  const std::uint8_t* in = packet.data();
  std::uint8_t* dst = out.data();
  advise_huge_pages(dst, out.size());
  with_fixed_size(s, [&](auto fixed) {
    constexpr std::size_t kSize = decltype(fixed)::value;
    if (s <= kSortedCopyChunk && n >= kSortedCopyFrom) {
      Scratch<std::uint8_t> own;
      std::uint8_t* sorted = spare.data();
      if (spare.size() < packet.size()) {
        own = make_scratch<std::uint8_t>(packet.size());
        sorted = own.get();
      }
      gather<kSize>(in, s, order, n, sorted, stop);
      gather<kSize>(sorted, s, order, n, dst, stop);
      return;
    }
    const std::size_t grain = std::max<std::size_t>(1, kCopySpan / s);
    parallel::parallel_for(stop, 0, n, grain, [&](std::size_t lo, std::size_t hi) {
      arrange_range<kSize>(in, s, order, dst, lo, hi);
    });
  });
}

template void arrange(ByteView, std::size_t, const std::uint32_t*, std::span<std::uint8_t>,
                      StopToken, std::span<std::uint8_t>);
template void arrange(ByteView, std::size_t, const std::uint64_t*, std::span<std::uint8_t>,
                      StopToken, std::span<std::uint8_t>);

// See header.
void copy_bytes(ByteView data, std::span<std::uint8_t> out, const std::uint8_t* table,
                StopToken stop) {
  KV_ASSERT(out.size() == data.size());
  const auto lookup = byte_lookup::active();
  parallel::parallel_for(stop, 0, data.size(), 4 * kCopySpan, [&](std::size_t lo, std::size_t hi) {
    if (table == nullptr) {
      std::memcpy(out.data() + lo, data.data() + lo, hi - lo);
    } else {
      lookup(table, data.data() + lo, out.data() + lo, hi - lo);
    }
  });
}

}  // namespace kelvora::involution
