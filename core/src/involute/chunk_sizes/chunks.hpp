// Chunk size selection.
//
// A packet of length L with chunk size s (s > 0, L a multiple of s) is cut
// into L / s chunks; chunk k is bytes [k*s, (k+1)*s). A chunk size is usable
// when the chunks are pairwise distinct, which the involution needs.
//
// chunk_size_min(packet, m) returns the smallest usable s in [m, L/2], or L
// when there is none (also when m > L/2), or 0 for an empty packet. A minimum
// of 0 with a non-empty packet is an internal failure ("attempt to calculate
// the remainder with a divisor of zero"). chunk_size(packet) uses m = 4.
// Each candidate's chunks are tested with chunks_distinct (distinct.hpp).
// The search stops early, throwing Stopped, once `stop` is stopped: every
// step between its checks is a few milliseconds of work at most.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bytes.hpp"
#include "parallel/stop.hpp"

namespace kelvora {

inline constexpr std::uint64_t kDefaultMinChunkSize = 4;

std::uint64_t chunk_size_min(ByteView packet, std::uint64_t min_size, StopToken stop = {});
inline std::uint64_t chunk_size(ByteView packet, StopToken stop = {}) {
  return chunk_size_min(packet, kDefaultMinChunkSize, stop);
}

// True when n chunks of s bytes cannot all differ: there are more of them
// than values a chunk can take (256^s).
inline bool more_chunks_than_values(std::size_t n, std::size_t s) {
  return s < 8 && n > std::size_t(1) << (8 * s);
}

}  // namespace kelvora
