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
// Work: one SHA-256 pass over L + 8 bytes for D and one SHA-256 per chunk,
// a sort of the chunks by crumb and the chunk copy, in stages (stages.hpp)
// that run on the worker pool; the result never depends on the number of
// threads. The work stops early, throwing Stopped, once `stop` is stopped
// (parallel/stop.hpp). Memory beyond the result: 12 bytes per chunk for the
// sort (8 once sorted), plus 32 bytes per chunk while D is being hashed when
// s >= 64, plus a copy of the packet when a million chunks or more of at most
// 8 bytes are arranged; never more than twice the packet and result.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "bytes.hpp"
#include "involute/conditions/conditions.hpp"
#include "parallel/stop.hpp"

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
                                                   std::span<std::uint8_t> out,
                                                   StopToken stop = {});
std::expected<void, InvolutionError> involute_if_into(ByteView packet, ByteView salt,
                                                      std::uint64_t chunk_size,
                                                      const Condition& condition,
                                                      std::span<std::uint8_t> out,
                                                      StopToken stop = {});

}  // namespace kelvora
