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
// a 64-bit value that the involution mixes into its seed. The map's own
// steps are in order_map.hpp.
#pragma once

#include <cstdint>

#include "bytes.hpp"

namespace kelvora {

struct PreparedBounds {
  std::uint64_t lo;
  std::uint64_t hi;
};

inline constexpr std::uint64_t kBranchInside = 0xDEADBEEFDEADBEEFull;

std::uint32_t ordered_key(float value);

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
