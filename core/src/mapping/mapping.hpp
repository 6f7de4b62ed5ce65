// Data mapping of a group of n parties, and its inversion.
//
// The group's data is n byte sequences of one common length L, read in place
// (each a ByteView borrowed for the call). Column j is byte j of every
// sequence, in party order: c_0 .. c_{n-1}. All byte arithmetic wraps modulo
// 256, and every table index is a byte value 0 .. 255.
//
// Mapping, one party (identity d, public table P, private table Q), per column:
//   S_k = c_k + .. + c_{n-1}            (suffix sums, S_n = 0)
//   z_0 = c_0 - P[S_1]
//   z_1 = z_0 + c_1 - S_2               (no lookup in P)
//   z_k = z_0 + c_k - P[z_1 + .. + z_{k-1}] - S_{k+1}   for 2 <= k <= d
//   result = Q[z_d]
// Only the steps up to the party's own identity are computed. The n mapped
// sequences, in identity order, together with all private tables, give the
// source sequences back: z_i = Q_i^-1[m_i] for every party, then the
// equations above are solved from the last party down:
//   c_k = z_k + S_{k+1} + P[z_1 + .. + z_{k-1}] - z_0   for k = n-1 .. 2
//   c_1 = z_1 + S_2 - z_0
//   c_0 = z_0 + P[S_1]
//
// Failures are internal (InternalFailure), with these messages, in this order:
//   map:     "At least two parties must be present" (n < 2);
//            "assertion failed: identity < num_funcs" (identity >= n);
//            "all inner vectors must have equal length; data_sequences[0].len() = {L0},
//             but data_sequences[{i}].len() = {Li}" (first i whose length differs);
//            "index out of bounds: the len is {len} but the index is {index}" for a
//             lookup past the end of a table shorter than 256 entries, the
//             lowest failing column reporting (lookups in a column: P[S_1], then
//             P[T] once per step, then Q[z_d]).
//   restore: "assertion `left == right` failed: There should be the same number of
//             data sequences as private keys\n  left: {n}\n right: {keys}";
//            the index message with len 0, index 0 when there is no sequence;
//            the equal-length message above;
//            and, only when L >= 1: "assertion `left == right` failed: All private
//             keys should be the same length as the public key\n  left: {len P}\n
//             right: 256" when P has not exactly 256 entries, then the index
//             message with len 1, index 1 for a single party.
// With L = 0 neither call reads a table.
//
// Tables: entries past 255 are never read. Restoring inverts each private
// table once per call (invert_table); a private table that is not a
// permutation is no error, the restored data then simply differs.
//
// Threads: the columns are split over the process-wide pool; every result byte
// is written at its own column's position, so the result never depends on the
// number of threads. Nothing is allocated per column. The column passes stop
// early, throwing Stopped, once their stop token is stopped.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "bytes.hpp"
#include "parallel/stop.hpp"

namespace kelvora::mapping {

inline constexpr std::size_t kTableSize = 256;
using InvertedTable = std::array<std::uint8_t, kTableSize>;

// ---- mapping -------------------------------------------------------------

// Runs the party-count, identity and equal-length checks; returns L.
std::size_t check_map_arguments(std::uint64_t identity, std::span<const ByteView> sequences);

// The mapped sequence of party `identity`: L bytes, byte j for column j.
Bytes map_sequences(ByteView pub, ByteView priv, std::uint64_t identity,
                    std::span<const ByteView> sequences);

// As map_sequences, writing into `out`, which must hold exactly L bytes (the
// value check_map_arguments returns). Lets the caller own the result buffer.
void map_sequences_into(ByteView pub, ByteView priv, std::uint64_t identity,
                        std::span<const ByteView> sequences, std::span<std::uint8_t> out,
                        StopToken stop = {});

// One column (its num_funcs bytes in party order), with every lookup
// bounds-checked in the order stated above. Asserts identity < num_funcs.
std::uint8_t map_column(ByteView pub, ByteView priv, std::uint64_t identity,
                        std::uint64_t num_funcs, ByteView column);

// ---- restoring -----------------------------------------------------------

// Runs the count, emptiness and equal-length checks; returns L.
std::size_t check_restore_arguments(std::span<const ByteView> priv_keys,
                                    std::span<const ByteView> sequences);

// The n source sequences, from the n mapped sequences in identity order and
// the n private tables.
std::vector<Bytes> restore_sequences(ByteView pub, std::span<const ByteView> priv_keys,
                                     std::span<const ByteView> sequences);

// As restore_sequences, writing row i into rows[i]; there must be n rows of
// exactly L bytes each, and each is written once.
void restore_sequences_into(ByteView pub, std::span<const ByteView> priv_keys,
                            std::span<const ByteView> sequences,
                            std::span<const std::span<std::uint8_t>> rows, StopToken stop = {});

// inverted[table[k]] = k mod 256 for k = 0 .. len-1 in order; unreached
// entries stay 0, the last position of a repeated value wins.
InvertedTable invert_table(ByteView table);

// Restores one column: z_i = inverted[i][mapped[i]], then the equations
// above. `restored` must hold n bytes. A single party fails with the index
// message (len 1, index 1); lookups in `pub` are bounds-checked.
void invert_column(ByteView mapped, ByteView pub, std::span<const InvertedTable> inverted,
                   std::span<std::uint8_t> restored);

}  // namespace kelvora::mapping
