// Restoring mapped data; see mapping.hpp (contract) and tiles.hpp (drivers).
#include <algorithm>
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

void restore_columns(const mapping_kernels::Ops& ops, const RestoreJob& job, std::size_t lo,
                     std::size_t hi) {
  alignas(64) std::uint8_t inner[kMaxTile];  // z_1 + .. + z_{n-2} of each column
  const std::size_t tile = std::min(tile_width(job.n), hi - lo);
  const std::size_t stride = scratch_stride(tile);
  const std::size_t n = job.n;
  // Every party's step values z_i over the tile, turned into c_i by the sweep.
  const std::unique_ptr<std::uint8_t[]> steps(new std::uint8_t[n * stride]);

  for (std::size_t j = lo; j < hi; j += tile) {
    const std::size_t w = std::min(tile, hi - j);
    std::memset(inner, 0, w);
    for (std::size_t i = 0; i < n; ++i) {
      ops.lookup_accumulate(job.inverted[i].data(), job.rows[i] + j, steps.get() + i * stride,
                            i >= 1 && i + 2 <= n ? inner : nullptr, w,
                            row_ahead(job.rows, n, i, j, w, hi));
    }
    const std::size_t next = j + w;
    mapping_kernels::Prefetch prefetch(job.rows, std::min(n, kAheadRows), next,
                                       std::min(tile, hi - next));
    ops.restore_sweep({job.pub, steps.get(), stride, n, inner, w, &prefetch});
    for (std::size_t i = 0; i < n; ++i)
      ops.store_row(job.out[i] + j, steps.get() + i * stride, w, job.stream);
  }
  if (job.stream) ops.finish_stores();
}

}  // namespace detail

namespace {

// invert_table, into a zeroed table of the caller's: no copy of it is left
// anywhere else.
void invert_into(ByteView table, InvertedTable& inverted) {
  for (std::size_t k = 0; k < table.size(); ++k) inverted[table[k]] = std::uint8_t(k);
}

// The per-column checks, made once: every column would fail alike.
void check_columns(ByteView pub, std::size_t n) {
  if (pub.size() != kTableSize) {
    fail_equal(messages::kKeyLengths,
               std::to_string(pub.size()), std::to_string(kTableSize));
  }
  if (n == 1) fail_index(1, 1);
}

}  // namespace

// See mapping.hpp.
std::size_t check_restore_arguments(std::span<const ByteView> priv_keys,
                                    std::span<const ByteView> sequences) {
  if (sequences.size() != priv_keys.size()) {
    fail_equal(messages::kSequenceCount,
               std::to_string(sequences.size()), std::to_string(priv_keys.size()));
  }
  if (sequences.empty()) fail_index(0, 0);
  return detail::common_length(sequences);
}

// See mapping.hpp.
InvertedTable invert_table(ByteView table) {
  InvertedTable inverted{};
  invert_into(table, inverted);
  return inverted;
}

// See mapping.hpp.
void invert_column(ByteView mapped, ByteView pub, std::span<const InvertedTable> inverted,
                   std::span<std::uint8_t> restored) {
  const std::size_t n = mapped.size();
  KV_ASSERT(inverted.size() == n && restored.size() == n);
  if (n < 2) fail_index(n, 1);
  std::uint8_t* z = restored.data();  // z_i, turned into c_i from the last row up
  for (std::size_t i = 0; i < n; ++i) z[i] = inverted[i][mapped[i]];

  std::uint8_t t = 0;
  for (std::size_t i = 1; i + 1 < n; ++i) t = std::uint8_t(t + z[i]);
  std::uint8_t s = 0;
  for (std::size_t k = n - 1; k >= 2; --k) {
    const std::uint8_t c = std::uint8_t(z[k] + s + checked_at(pub, t) - z[0]);
    z[k] = c;
    s = std::uint8_t(s + c);
    t = std::uint8_t(t - z[k - 1]);
  }
  z[1] = std::uint8_t(z[1] + s - z[0]);
  s = std::uint8_t(s + z[1]);
  z[0] = std::uint8_t(z[0] + checked_at(pub, s));
}

// See mapping.hpp.
void restore_sequences_into(ByteView pub, std::span<const ByteView> priv_keys,
                            std::span<const ByteView> sequences,
                            std::span<const std::span<std::uint8_t>> rows, StopToken stop) {
  const std::size_t len = check_restore_arguments(priv_keys, sequences);
  const std::size_t n = sequences.size();
  KV_ASSERT(rows.size() == n);
  for (const auto& row : rows) KV_ASSERT(row.size() == len);

  std::vector<InvertedTable> inverted(n);  // zeroed
  // They are the private tables, read the other way round.
  WipeOnExit wipe_inverted(inverted.data(), n * sizeof(InvertedTable));
  for (std::size_t i = 0; i < n; ++i) invert_into(priv_keys[i], inverted[i]);
  if (len == 0) return;
  check_columns(pub, n);

  std::vector<const std::uint8_t*> in(n);
  std::vector<std::uint8_t*> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    in[i] = sequences[i].data();
    out[i] = rows[i].data();
  }
  // The result rows are written in full: huge pages spare most of their page
  // faults, including the pages across the seams between rows that lie end
  // to end (collapsed here, both cores taking turns).
  const std::vector<std::uintptr_t> seams = advise_huge_page_runs(rows);
  parallel::parallel_for(stop, 0, seams.size(), 1, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t i = lo; i < hi; ++i) collapse_huge_page(seams[i]);
  });
  const detail::RestoreJob job{pub.data(), inverted.data(), in.data(),
                               out.data(), n,               n * len >= detail::kStreamBytes};
  const mapping_kernels::Ops& ops = mapping_kernels::active();
  parallel::parallel_for(stop, 0, len, detail::column_grain(n), [&](std::size_t lo, std::size_t hi) {
    detail::restore_columns(ops, job, lo, hi);
  });
}

// See mapping.hpp.
std::vector<Bytes> restore_sequences(ByteView pub, std::span<const ByteView> priv_keys,
                                     std::span<const ByteView> sequences) {
  const std::size_t len = check_restore_arguments(priv_keys, sequences);
  std::vector<Bytes> result(sequences.size(), Bytes(len));
  std::vector<std::span<std::uint8_t>> rows(result.begin(), result.end());
  restore_sequences_into(pub, priv_keys, sequences, rows);
  return result;
}

}  // namespace kelvora::mapping
