// Internal: the column-range drivers of the data mapping, shared by the
// public operations and the tests (which run them on every back end).
//
// A driver takes a half-open column range and walks it in tiles of adjacent
// columns. For each tile it first reads every argument row once, in a
// contiguous run of the tile's width, computing the per-column sums and
// keeping what the back end's sweep reads again (the source rows of the
// mapping, the step values of the restore) in one scratch block per driver
// call; then the sweep runs the equations, leaving the results in the
// scratch, and store_row writes each result byte once.
// The scratch rows sit a little more than a tile apart: argument rows are
// often a power of two apart, and rows that far apart share cache sets.
#pragma once

#include <cstddef>
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

// How many rows ahead a gather fetches the argument rows into the
// second-level cache (besides each row's next tile, mapping_kernels::Ahead):
// the row operations work through row i while row i + kAheadRows comes in,
// and a sweep fetches the next tile's first kAheadRows rows. Argument rows
// are often a power of two apart (the rows of one 2-D array, on huge pages),
// and then every row's part of a tile falls into the same cache sets: much
// further ahead, the rows in flight would evict each other before they are
// read.
inline constexpr std::size_t kAheadRows = 4;

// Results at least this large are written around the caches (store_row's
// streaming): they do not fit the caches anyway, and streaming spares the
// read of every line before it is written.
inline constexpr std::size_t kStreamBytes = std::size_t(8) << 20;

struct MapJob {
  const std::uint8_t* pub;       // 256 entries at least
  const std::uint8_t* priv;      // 256 entries at least
  std::size_t identity;          // < n
  const std::uint8_t* const* rows;  // n rows
  std::size_t n;                 // >= 2
  std::uint8_t* out;             // indexed by column
  bool stream = false;           // write `out` around the caches
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
  bool stream = false;               // write `out` around the caches
};

// What the gather of row i fetches, for the tile of width w at column col
// in a range that ends at column end: soon, the same columns of row
// i + kAheadRows, or, near the bottom, the row itself (the next tile's first
// rows are the sweep's to fetch); later, the next tile's columns of row i,
// or, in the last tile, the row itself.
inline mapping_kernels::Ahead row_ahead(const std::uint8_t* const* rows, std::size_t n,
                                        std::size_t i, std::size_t col, std::size_t w,
                                        std::size_t end) {
  const std::uint8_t* soon = (i + kAheadRows < n ? rows[i + kAheadRows] : rows[i]) + col;
  const std::uint8_t* later = rows[i] + (col + w < end ? std::min(col + w, end - w) : col);
  return {soon, later};
}

// Restores columns [lo, hi) into out[i][lo .. hi) for every row i.
void restore_columns(const mapping_kernels::Ops& ops, const RestoreJob& job, std::size_t lo,
                     std::size_t hi);

}  // namespace kelvora::mapping::detail
