// Range conditions over a salted order-preserving map.
//
// Values are binary32. ordered_key() turns a value into an unsigned 32-bit key
// in IEEE total order (-NaN < -inf < ... < -0.0 < +0.0 < ... < +inf < +NaN).
// The salted map sends keys 0 .. 0xFFFFFFFE strictly increasingly into
// 0 .. 0xFFFFFFFFFFFFFFFE; each split point of its recursive descent is drawn
// from HMAC-SHA256 keyed with the salt over a 28-byte big-endian node message.
// The key 0xFFFFFFFF (the positive NaN with bits 0x7FFFFFFF) has no image.
//
// Prepared bounds are the images of a lower and an upper bound; the branch
// value folds whether a test value's image lies between them (inclusive) into
// a 64-bit value that the involution mixes into its seed.
#pragma once

#include <cstdint>
#include <optional>

#include "bytes.hpp"

namespace kelvora {

struct PreparedBounds {
  std::uint64_t lo;
  std::uint64_t hi;
};

inline constexpr std::uint64_t kBranchInside = 0xDEADBEEFDEADBEEFull;

std::uint32_t ordered_key(float value);

// One node of the map's descent: domain [dlo, dhi], range [rlo, rhi], and
// the number of steps taken before it.
struct MapNode {
  std::uint32_t dlo;
  std::uint32_t dhi;
  std::uint64_t rlo;
  std::uint64_t rhi;
  std::uint32_t depth;
};

// The outcome of one step for key x: either the image, or the child node to
// continue with.
struct MapStep {
  bool done;
  std::uint64_t image;  // when done
  MapNode next;         // when not done
};

// One step of the descent for key x at `node` with split draw u (the first 8
// bytes of the node's HMAC tag, big-endian). The node message and its HMAC
// are the caller's; this is the arithmetic alone, exposed for tests.
MapStep map_step(const MapNode& node, std::uint64_t u, std::uint32_t x);

// Image of a key under the map keyed by `salt`; nullopt for 0xFFFFFFFF.
std::optional<std::uint64_t> map_key(ByteView salt, std::uint32_t key);

// Image of a value's ordered key. The one value without an image is an
// internal failure: "called `Option::unwrap()` on a `None` value".
std::uint64_t map_value(ByteView salt, float value);

// Maps the lower bound, then the upper bound.
PreparedBounds prepare_bounds(ByteView salt, float low, float high);

// SHA-256(lo BE | hi BE | salt), first 8 bytes read little-endian, XOR
// (lo AND hi), XOR kBranchInside when lo <= image(test_value) <= hi.
std::uint64_t branch_value(PreparedBounds bounds, ByteView salt, float test_value);

// The branch value for a test value whose image lies outside the bounds (the
// same without the kBranchInside term); no value is mapped.
std::uint64_t branch_value_outside(PreparedBounds bounds, ByteView salt);

}  // namespace kelvora
