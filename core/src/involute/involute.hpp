// Packet involution: a self-inverse rearrangement of a packet's chunks.
//
// A packet of L bytes is cut into n = L / s chunks of s bytes (chunk k is
// bytes [k*s, (k+1)*s)). Under a salt S and a 64-bit branch value h:
//   D        = SHA-256 of the L + 8 bytes made of the packet and h (big-endian),
//              sorted in ascending order (the seed digest)
//   crumb(k) = SHA-256(chunk k | S | D), each byte XORed with the byte of D at
//              the same position
//   order    = the chunk indices sorted by crumb (32 bytes, lexicographic)
//   result   : chunk k of the result is chunk order[order[k]] of the packet
// D and the crumbs depend only on the chunks' contents, never on their
// positions, and the result's crumb ranks are the inverse of the packet's, so
// the same call applied to its result restores the packet.
//
// The branch value comes from a range condition (conditions.hpp): the
// conditional form takes prepared bounds and a test value; the plain form uses
// the bounds of -1.0 and 1.0 prepared with the salt and the test value +0.0,
// which always lies between them.
//
// Checks, in this order: chunk size 0 (the result is a copy of the packet,
// nothing is hashed), L not a multiple of s (LengthNotMultiple), empty packet
// (empty result), branch value (a test value without an image is an internal
// failure), two chunks with equal crumbs (DuplicateCrumbs; equal chunks always
// have equal crumbs). On failure no result exists; inputs are never written.
//
// Work: one serial SHA-256 pass over L + 8 bytes for D, hashed from the byte
// counts (the sorted copy is never built), overlapped with the hashing of the
// chunks' whole 64-byte blocks, which do not depend on D; then one SHA-256
// finish per chunk (sixteen chunks at a time with AVX-512, sha256_x16.hpp),
// a radix sort of 8-byte records (first four crumb bytes,
// index), crumbs compared in full only where those four bytes tie, and the
// chunk copy. Every per-chunk step runs on the worker pool; the result never
// depends on the number of threads. Memory beyond the result: 16 bytes per
// chunk for the sort, plus 32 bytes per chunk while D is being hashed when
// s >= 64.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "bytes.hpp"
#include "involute/conditions.hpp"
#include "involute/scratch.hpp"
#include "primitives/sha256.hpp"

namespace kelvora {

// The packet length is not a multiple of the chunk size.
struct LengthNotMultiple {
  std::uint64_t length;
  std::uint64_t chunk_size;
  friend bool operator==(const LengthNotMultiple&, const LengthNotMultiple&) = default;
};

// Two chunks have equal crumbs.
struct DuplicateCrumbs {
  friend bool operator==(const DuplicateCrumbs&, const DuplicateCrumbs&) = default;
};

struct InvolutionError {
  std::variant<LengthNotMultiple, DuplicateCrumbs> kind;

  // "Packet length ({L}) is not a multiple of chunk size ({s})." or
  // "Duplicate crumbs detected after operations, cannot create a unique pattern"
  std::string message() const;
  friend bool operator==(const InvolutionError&, const InvolutionError&) = default;
};

// A range condition: prepared bounds and the value tested against them.
struct Condition {
  PreparedBounds bounds;
  float test_value;
};

// The plain form (involute_packet).
std::expected<Bytes, InvolutionError> involute(ByteView packet, ByteView salt,
                                               std::uint64_t chunk_size);
// The conditional form (cond_involute_packet).
std::expected<Bytes, InvolutionError> involute_if(ByteView packet, ByteView salt,
                                                  std::uint64_t chunk_size,
                                                  const Condition& condition);

// The same, writing the result into `out`, which holds exactly packet.size()
// bytes and does not overlap the packet. On failure `out` holds nothing of
// meaning.
std::expected<void, InvolutionError> involute_into(ByteView packet, ByteView salt,
                                                   std::uint64_t chunk_size,
                                                   std::span<std::uint8_t> out);
std::expected<void, InvolutionError> involute_if_into(ByteView packet, ByteView salt,
                                                      std::uint64_t chunk_size,
                                                      const Condition& condition,
                                                      std::span<std::uint8_t> out);

// The steps of the involution, shared with cycling and open to tests.
namespace involution {

using ByteCounts = std::array<std::uint64_t, 256>;
// order[j]: the index of the chunk whose crumb is j-th smallest (n entries).
using ChunkOrder = Scratch<std::uint64_t>;

// How often each byte value occurs in `data` (counted on the pool).
ByteCounts count_bytes(ByteView data);

// D: SHA-256 of the bytes counted in `counts` together with the 8 bytes of
// `branch` (big-endian), all in ascending order.
Sha256Digest seed_digest(ByteCounts counts, std::uint64_t branch);

// The branch value of the plain form, from its prepared bounds: the same as
// branch_value(bounds, salt, +0.0f), whose test value lies between the images
// of -1.0 and 1.0 because the map is increasing; it is not mapped again.
std::uint64_t always_true_branch(PreparedBounds bounds, ByteView salt);

// Ranks the chunks of a packet (chunk size s > 0 dividing its length) by
// crumb. Separate steps so that a caller can overlap the hashing of the
// chunks' whole blocks with the hashing of D.
class ChunkRanker {
 public:
  ChunkRanker(ByteView packet, std::size_t chunk_size, ByteView salt);

  // Number of prefix tasks: the chunks' whole 64-byte blocks, hashed ahead
  // of D in stripes. 0 when s < 64. start_prefixes() must come first.
  std::size_t prefix_tasks() const;
  void start_prefixes();
  void hash_prefixes(std::size_t task);

  // Time spent in the phases of rank(), in seconds (for benchmarks).
  struct Timings {
    double crumbs = 0, sort = 0;
  };

  // Chunk indices in ascending crumb order, or DuplicateCrumbs. `wide`
  // forces the records for more than 2^32 chunks (for tests).
  std::expected<ChunkOrder, InvolutionError> rank(const Sha256Digest& seed, bool wide = false,
                                                  Timings* timings = nullptr);

  // The full crumb of chunk k.
  Sha256Digest crumb(std::size_t k, const Sha256Digest& seed) const;

 private:
  std::size_t stripe_begin(std::size_t t) const;
  template <class Record>
  std::expected<ChunkOrder, InvolutionError> rank_with(const Sha256Digest& seed, Timings* timings);
  template <class Record, std::size_t kRest>
  void hash_records(const Sha256Digest& seed, typename Record::T* records, std::size_t* segments,
                    unsigned top_bits);

  ByteView packet_;
  ByteView salt_;
  std::size_t s_;
  bool x16_;                 // sixteen chunks at a time (sha256_x16.hpp)
  std::size_t n_;
  std::size_t whole_;        // whole 64-byte blocks per chunk, hashed in place
  std::size_t rest_;         // chunk bytes copied into the tail
  Bytes tail_;               // rest bytes | salt | D | padding | bit length
  std::size_t stripes_;      // per-chunk work is cut into these stripes
  Scratch<Sha256State> prefix_;  // state after the whole blocks, when hashed ahead
};

// The result: chunk k of `out` is chunk order[order[k]] of the packet.
void arrange(ByteView packet, std::size_t chunk_size, const std::uint64_t* order,
             std::span<std::uint8_t> out);

// Copies `data` into `out` (same size), sending every byte through `table`
// (256 entries) when one is given; with a table, `out` may be `data` itself.
void copy_bytes(ByteView data, std::span<std::uint8_t> out, const std::uint8_t* table = nullptr);

}  // namespace involution
}  // namespace kelvora
