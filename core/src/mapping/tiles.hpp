// Internal: the column-range drivers of the data mapping, shared by the
// public operations and the tests (which run them on every back end).
//
// A driver takes a half-open column range and walks it in tiles of adjacent
// columns. For each tile it first reads every argument row once, in a
// contiguous run of the tile's width, computing the per-column sums and
// keeping what the back end's sweep reads again (the source rows of the
// mapping, the step values of the restore) in one scratch block per driver
// call; then the sweep runs the equations and writes each result byte once.
// The scratch rows sit a little more than a tile apart: argument rows are
// often a power of two apart, and rows that far apart share cache sets.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <span>

#include "bytes.hpp"
#include "mapping/kernels.hpp"
#include "mapping/mapping.hpp"

namespace kelvora::mapping::detail {

// Widest tile: bounds the stack buffers of a driver.
inline constexpr std::size_t kMaxTile = 4096;

// Columns per tile for n rows: the tile's n scratch rows together fill about
// 256 KiB, between 64 and kMaxTile columns, a multiple of 64.
std::size_t tile_width(std::size_t n);

// Distance between the scratch rows of a tile of the given width: wide
// tiles get a cache line of padding, so that their rows fall into different
// cache sets; narrow ones (few columns in all) take no more room than their
// bytes, so the scratch never outgrows the data.
inline std::size_t scratch_stride(std::size_t tile) { return tile >= 1024 ? tile + 64 : tile; }

// Smallest share of columns the pool hands out for n rows.
std::size_t column_grain(std::size_t n);

// Checks that every sequence has the length of sequence 0; returns it.
std::size_t common_length(std::span<const ByteView> sequences);

// Walks the cache lines of the next tile's argument rows, row by row, and
// asks for them in the second-level cache a few at a time. The drivers do
// this between slices of a tile's sweep, which is compute-bound, so that the
// next tile's gather, which is memory-bound, finds its rows in cache.
class NextTile {
 public:
  NextTile(const std::uint8_t* const* rows, std::size_t n, std::size_t col, std::size_t w)
      : rows_(rows), n_(w ? n : 0), col_(col), w_(w) {}
  std::size_t lines() const { return n_ * ((w_ + 63) / 64); }
  void fetch(std::size_t lines) {
    for (; lines > 0 && row_ < n_; --lines) {
      __builtin_prefetch(rows_[row_] + col_ + x_, 0, 2);
      x_ += 64;
      if (x_ >= w_) {
        x_ = 0;
        ++row_;
      }
    }
  }

 private:
  const std::uint8_t* const* rows_;
  std::size_t n_, col_, w_, row_ = 0, x_ = 0;
};

// Runs sweep(x, width) over [0, w) in slices, spreading the next tile's
// prefetches evenly between them. A burst of more than a few prefetches
// stalls the sweep's own loads, so with many rows only the first part of the
// next tile is asked for; the hardware prefetchers follow the rest.
template <class Sweep>
void sweep_in_slices(std::size_t w, NextTile next, Sweep&& sweep) {
  constexpr std::size_t kSlice = 256;
  constexpr std::size_t kBurst = 16;
  const std::size_t slices = (w + kSlice - 1) / kSlice;
  const std::size_t per_slice =
      slices ? std::min(kBurst, (next.lines() + slices - 1) / slices) : 0;
  for (std::size_t x = 0; x < w; x += kSlice) {
    next.fetch(per_slice);
    sweep(x, std::min(kSlice, w - x));
  }
}

struct MapJob {
  const std::uint8_t* pub;       // 256 entries at least
  const std::uint8_t* priv;      // 256 entries at least
  std::size_t identity;          // < n
  const std::uint8_t* const* rows;  // n rows
  std::size_t n;                 // >= 2
  std::uint8_t* out;             // indexed by column
};

// Maps columns [lo, hi) into job.out[lo .. hi).
void map_columns(const mapping_kernels::Ops& ops, const MapJob& job, std::size_t lo,
                 std::size_t hi);

struct RestoreJob {
  const std::uint8_t* pub;           // exactly 256 entries
  const InvertedTable* inverted;     // n tables
  const std::uint8_t* const* rows;   // n mapped rows
  std::uint8_t* const* out;          // n restored rows
  std::size_t n;                     // >= 2
};

// Restores columns [lo, hi) into out[i][lo .. hi) for every row i.
void restore_columns(const mapping_kernels::Ops& ops, const RestoreJob& job, std::size_t lo,
                     std::size_t hi);

}  // namespace kelvora::mapping::detail
