// Packet cycling: moving a packet from one salt and byte key to another.
//
// cycle(packet, old salt, new salt, old key, new key, s):
//   1. key check: the two keys, each sorted ascending, must be equal (same
//      length, same bytes with the same multiplicities). Otherwise an internal
//      failure with the message
//        "assertion `left == right` failed: Keys must be permutations from the same set
//          left: [<sorted old key>]
//         right: [<sorted new key>]"
//      (byte values in decimal, separated by ", "). This runs first, whatever
//      the packet and chunk size.
//   2. p1 = the plain involution of the packet under the old salt;
//   3. T = 256 zero bytes, then T[old key[i]] = new key[i] for i = 0, 1, ...
//      in the keys' given order (the last position wins; values missing from
//      the old key map to 0);
//   4. p2[j] = T[p1[j]] for every byte;
//   5. result = the plain involution of p2 under the new salt.
// Errors of steps 2 and 5 are the involution's (involute.hpp). For keys that
// are permutations of all 256 values, equal keys and equal salts give back the
// packet, and cycling A to B then B to C equals cycling A to C.
//
// Work: the seed digest of step 5 is derived from the packet's byte counts
// through T, so both seed digests are hashed side by side, overlapped with the
// chunk hashing of step 2; step 4 re-codes a vector at a time (byte_lookup.hpp).
#pragma once

#include <cstdint>
#include <expected>
#include <span>

#include "bytes.hpp"
#include "involute/pipeline/involute.hpp"

namespace kelvora {

std::expected<Bytes, InvolutionError> cycle(ByteView packet, ByteView old_salt, ByteView new_salt,
                                            ByteView old_key, ByteView new_key,
                                            std::uint64_t chunk_size);

// The same, writing the result into `out`: packet.size() bytes, not
// overlapping any input. Stops early, throwing Stopped, once `stop` is
// stopped.
std::expected<void, InvolutionError> cycle_into(ByteView packet, ByteView old_salt,
                                                ByteView new_salt, ByteView old_key,
                                                ByteView new_key, std::uint64_t chunk_size,
                                                std::span<std::uint8_t> out,
                                                StopToken stop = {});

}  // namespace kelvora
