// Internal: the opening of every involution, shared by the involution
// (involute.cpp) and cycling (cycle.cpp), which differ only in what they ask
// of it. Its checks run in this order, each only when the ones before pass:
//
//   chunk size 0     the result is the packet (sent through the call's byte
//                    table, when it has one), written to `out`: done
//   L % s != 0       LengthNotMultiple
//   L == 0           done: the result is empty
//   branch values    the caller's branches(), asked for only now (a test
//                    value without an image fails here)
//   n > 256^s        DuplicateCrumbs: two chunks are equal, known before
//                    anything is allocated
//
// Then the seed digests, hashed from the packet's byte counts beside the
// chunks' whole blocks (which do not depend on them): D of the packet under
// the first branch value and, with a byte table, D of the packet sent
// through it under the second. The re-coded packet holds T of every byte of
// the packet, wherever the chunks go, so its counts follow from the packet's.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>

#include "involute/pipeline/stages.hpp"

namespace kelvora::involution {

struct OpeningCall {
  ByteView packet;
  ByteView salt;
  std::uint64_t chunk_size;
  std::span<std::uint8_t> out;  // the result: packet.size() bytes
  const std::uint8_t* table;    // cycling's byte table (256 entries), or null
  // The involution's own: the result's pages and the later stages' scratch
  // faulted in beside the seed digest, when the chunks leave threads idle.
  bool fault_in;
  StopToken stop;
};

// The branch values: the first for the packet, the second for the packet
// sent through the table.
struct Branches {
  std::uint64_t first;
  std::uint64_t second;
};

struct Opening {
  ChunkHasher chunks;         // the packet's, its whole blocks hashed
  Sha256Digest seed;          // D of the packet
  Sha256Digest recoded_seed;  // with a table, D of the packet sent through it
  NarrowRoom room;            // with fault_in, when it was made
};

// The checks before the branch values: an error, or whether the call is
// done.
std::expected<bool, InvolutionError> done_before_branches(const OpeningCall& call);

// The rest, once the branch values are known.
std::expected<Opening, InvolutionError> open_with(const OpeningCall& call, Branches branches);

// The whole opening: nothing when the call is done, its result in `out`.
template <class BranchesFn>
std::expected<std::optional<Opening>, InvolutionError> open_packet(const OpeningCall& call,
                                                                   BranchesFn&& branches) {
  const auto done = done_before_branches(call);
  if (!done) return std::unexpected(done.error());
  if (*done) return std::nullopt;
  auto opening = open_with(call, branches());
  if (!opening) return std::unexpected(opening.error());
  return std::move(*opening);
}

}  // namespace kelvora::involution
