// Internal: whether the chunks of one size are pairwise distinct, the test
// the chunk-size search (chunks.hpp) runs for each candidate size. Tests
// reach it here.
//
// chunks_distinct(packet, s) is true when the L / s chunks of size s (s
// divides L) are pairwise distinct; it stops at the first repeated chunk. It
// answers without reading the packet when there are more chunks than values
// a chunk can take (256^s), and after one comparison when the first two
// chunks are equal. Otherwise, by chunk size:
//   at most 16 chunks of at most 8 bytes   compared pair by pair
//   1 or 2 bytes                           a bit per value
//   3, 4, 6, 7, 8 bytes                    the chunks are their own keys, in
//                                          a set (values_distinct,
//                                          chunk_values.cpp)
//   5 bytes and longer chunks              chunk indices in a set, placed by
//                                          a hash of the chunk's bytes
// Every set grows as it fills and stays within twice the packet's size
// (growing_sets.hpp). Throws Stopped once `stop` is stopped.
#pragma once

#include <cstddef>

#include "bytes.hpp"
#include "parallel/stop.hpp"

namespace kelvora {

bool chunks_distinct(ByteView packet, std::size_t s, StopToken stop = {});

namespace chunk_sets {

// Chunks of s = 3, 4, 6, 7 or 8 bytes, more than 16 of them.
bool values_distinct(ByteView packet, std::size_t s, StopToken stop);

}  // namespace chunk_sets
}  // namespace kelvora
