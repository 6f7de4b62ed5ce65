// Data mapping; see mapping.hpp (contract) and tiles.hpp (drivers).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "failure.hpp"
#include "messages.hpp"
#include "huge_pages.hpp"
#include "mapping/mapping.hpp"
#include "mapping/tiles.hpp"
#include "parallel/pool.hpp"

namespace kelvora::mapping {

namespace detail {

std::size_t tile_width(std::size_t n) {
  constexpr std::size_t kScratchBytes = 256 * 1024;
  const std::size_t w = kScratchBytes / std::max<std::size_t>(n, 1);
  return std::clamp<std::size_t>(w & ~std::size_t(63), 64, kMaxTile);
}

std::size_t column_grain(std::size_t n) {
  // A share reads at least about 256 KiB, so handing it out costs little.
  constexpr std::size_t kShareBytes = 256 * 1024;
  const std::size_t tile = tile_width(n);
  const std::size_t cols = kShareBytes / std::max<std::size_t>(n, 1);
  return std::max(tile, (cols + tile - 1) / tile * tile);
}

std::size_t common_length(std::span<const ByteView> sequences) {
  const std::size_t len0 = sequences[0].size();
  for (std::size_t i = 0; i < sequences.size(); ++i) {
    if (sequences[i].size() != len0) {
      fail(messages::unequal_lengths(len0, i, sequences[i].size()));
    }
  }
  return len0;
}

void map_columns(const mapping_kernels::Ops& ops, const MapJob& job, std::size_t lo,
                 std::size_t hi) {
  alignas(64) std::uint8_t sum[kMaxTile];  // S_0 of each column, then its mapped byte
  const std::size_t tile = std::min(tile_width(job.n), hi - lo);
  const std::size_t stride = scratch_stride(tile);
  const std::size_t n = job.n, d = job.identity;
  // What the sweep reads of rows 0 .. d: c_0, then e_k = p_k + c_k (kernels.hpp).
  const std::unique_ptr<std::uint8_t[]> kept(new std::uint8_t[(d + 1) * stride]);

  for (std::size_t j = lo; j < hi; j += tile) {
    const std::size_t w = std::min(tile, hi - j);
    std::memcpy(sum, job.rows[0] + j, w);
    std::memcpy(kept.get(), job.rows[0] + j, w);
    for (std::size_t i = 1; i <= d; ++i) {
      ops.accumulate_prefix(sum, job.rows[i] + j, kept.get() + i * stride, w,
                            row_ahead(job.rows, n, i, j, w, hi));
    }
    for (std::size_t i = d + 1; i < n; ++i)
      ops.accumulate(sum, job.rows[i] + j, w, row_ahead(job.rows, n, i, j, w, hi));
    const std::size_t next = j + w;
    mapping_kernels::Prefetch prefetch(job.rows, std::min(n, kAheadRows), next,
                                       std::min(tile, hi - next));
    ops.map_sweep({job.pub, job.priv, d, kept.get(), stride, sum, sum, w, &prefetch});
    ops.store_row(job.out + j, sum, w, job.stream);
  }
  if (job.stream) ops.finish_stores();
}

}  // namespace detail

// See mapping.hpp.
std::size_t check_map_arguments(std::uint64_t identity, std::span<const ByteView> sequences) {
  const std::uint64_t num_funcs = sequences.size();
  if (num_funcs < 2) fail(std::string(messages::kTooFewParties));
  KV_ASSERT(identity < num_funcs);
  return detail::common_length(sequences);
}

// See mapping.hpp.
std::uint8_t map_column(ByteView pub, ByteView priv, std::uint64_t identity,
                        std::uint64_t num_funcs, ByteView column) {
  KV_ASSERT(identity < num_funcs);
  KV_ASSERT(column.size() == num_funcs);
  std::uint8_t s = 0;  // S_0, then S_{k+1} after column[k] is taken off
  for (std::uint8_t c : column) s = std::uint8_t(s + c);

  s = std::uint8_t(s - column[0]);
  const std::uint8_t z0 = std::uint8_t(column[0] - checked_at(pub, s));
  if (identity == 0) return checked_at(priv, z0);

  s = std::uint8_t(s - column[1]);
  std::uint8_t z = std::uint8_t(z0 + column[1] - s);
  std::uint8_t t = z;
  for (std::uint64_t k = 2; k <= identity; ++k) {
    s = std::uint8_t(s - column[k]);
    z = std::uint8_t(z0 + column[k] - checked_at(pub, t) - s);
    t = std::uint8_t(t + z);
  }
  return checked_at(priv, z);
}

// See mapping.hpp.
void map_sequences_into(ByteView pub, ByteView priv, std::uint64_t identity,
                        std::span<const ByteView> sequences, std::span<std::uint8_t> out,
                        StopToken stop) {
  const std::size_t len = check_map_arguments(identity, sequences);
  KV_ASSERT(out.size() == len);
  if (len == 0) return;
  const std::size_t n = sequences.size();
  const std::size_t grain = detail::column_grain(n);

  if (pub.size() < kTableSize || priv.size() < kTableSize) {
    // A lookup may fall past a short table: go column by column, checking
    // every lookup. Each share stops at its first failing column, and the
    // pool reports the lowest share's failure, so the lowest column wins.
    parallel::parallel_for(stop, 0, len, grain, [&](std::size_t lo, std::size_t hi) {
      Bytes column(n);
      for (std::size_t j = lo; j < hi; ++j) {
        for (std::size_t i = 0; i < n; ++i) column[i] = sequences[i][j];
        out[j] = map_column(pub, priv, identity, n, column);
      }
    });
    return;
  }

  advise_huge_pages(out.data(), out.size());
  std::vector<const std::uint8_t*> rows(n);
  for (std::size_t i = 0; i < n; ++i) rows[i] = sequences[i].data();
  const detail::MapJob job{pub.data(), priv.data(), std::size_t(identity), rows.data(), n,
                           out.data(), len >= detail::kStreamBytes};
  const mapping_kernels::Ops& ops = mapping_kernels::active();
  parallel::parallel_for(stop, 0, len, grain, [&](std::size_t lo, std::size_t hi) {
    detail::map_columns(ops, job, lo, hi);
  });
}

// See mapping.hpp.
Bytes map_sequences(ByteView pub, ByteView priv, std::uint64_t identity,
                    std::span<const ByteView> sequences) {
  Bytes out(check_map_arguments(identity, sequences));
  map_sequences_into(pub, priv, identity, sequences, out);
  return out;
}

}  // namespace kelvora::mapping
