// The arrange stage of the involution, and the plain or re-coding copy; see
// stages.hpp.
#include <algorithm>
#include <cstring>

#include "failure.hpp"
#include "huge_pages.hpp"
#include "lookup/byte_lookup.hpp"
#include "platform.hpp"
#include "involute/stages.hpp"
#include "parallel/pool.hpp"

namespace kelvora::involution {
namespace {

constexpr std::size_t kCopySpan = 64 * 1024;  // bytes per copy task, at least

}  // namespace

// See header.
void arrange(ByteView packet, std::size_t chunk_size, const std::uint64_t* order,
             std::span<std::uint8_t> out, StopToken stop) {
  KV_ASSERT(chunk_size != 0 && out.size() == packet.size() && packet.size() % chunk_size == 0);
  const std::size_t s = chunk_size;
  const std::size_t n = packet.size() / s;
  const std::uint8_t* in = packet.data();
  std::uint8_t* dst = out.data();
  advise_huge_pages(dst, out.size());
  const std::size_t grain = std::max<std::size_t>(1, kCopySpan / s);
  with_fixed_size(s, [&](auto fixed) {
    constexpr std::size_t kSize = decltype(fixed)::value;
    parallel::parallel_for(stop, 0, n, grain, [&](std::size_t lo, std::size_t hi) {
      // Both reads are at random: fetch order[order[k]] well ahead, and the
      // chunk it names once that has arrived.
      constexpr std::size_t kFar = 32, kNear = 16;
      for (std::size_t k = lo; k < hi; ++k) {
        if (k + kFar < hi) KELVORA_PREFETCH(order + order[k + kFar]);
        if (k + kNear < hi) KELVORA_PREFETCH(in + order[order[k + kNear]] * s);
        copy_fixed<kSize>(dst + k * s, in + order[order[k]] * s, s);
      }
    });
  });
}

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
