// The core's texts that callers and other implementations match letter for
// letter: the internal failures (raised in Python as PanicException), the
// involution's errors and the packet readers' errors. Composite texts are
// built by the small functions here, so each wording stands whole in one
// place.
//
// Why they read as they do: other implementations of this scheme raise the same
// texts (Rust's panic wording included) and callers compare them exactly.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kelvora::messages {

// --- internal failures -------------------------------------------------------

inline std::string assertion_failed(std::string_view condition) {
  return "assertion failed: " + std::string(condition);
}
inline std::string assertion_equal(std::string_view what, std::string_view left,
                                   std::string_view right) {
  std::string m = "assertion `left == right` failed: ";
  m.append(what).append("\n  left: ").append(left).append("\n right: ").append(right);
  return m;
}
inline std::string index_out_of_bounds(std::uint64_t len, std::uint64_t index) {
  return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
         std::to_string(index);
}
inline std::string unwrap_err(std::string_view error_name) {
  return "called `Result::unwrap()` on an `Err` value: " + std::string(error_name);
}
inline constexpr std::string_view kUnwrapNone = "called `Option::unwrap()` on a `None` value";
inline constexpr std::string_view kRemainderByZero =
    "attempt to calculate the remainder with a divisor of zero";
inline constexpr std::string_view kOsRandom = "OS RNG unavailable: OsRng";

// Cycling's key check (the `what` of an equality assertion).
inline constexpr std::string_view kKeysNotPermutations = "Keys must be permutations from the same set";

// The data mapping's checks.
inline constexpr std::string_view kTooFewParties = "At least two parties must be present";
inline std::string unequal_lengths(std::uint64_t len0, std::uint64_t i, std::uint64_t len_i) {
  return "all inner vectors must have equal length; data_sequences[0].len() = " +
         std::to_string(len0) + ", but data_sequences[" + std::to_string(i) +
         "].len() = " + std::to_string(len_i);
}
inline constexpr std::string_view kKeyLengths =
    "All private keys should be the same length as the public key";
inline constexpr std::string_view kSequenceCount =
    "There should be the same number of data sequences as private keys";

// --- the involution's errors -------------------------------------------------

inline std::string length_not_multiple(std::uint64_t length, std::uint64_t chunk_size) {
  return "Packet length (" + std::to_string(length) + ") is not a multiple of chunk size (" +
         std::to_string(chunk_size) + ").";
}
inline constexpr std::string_view kDuplicateCrumbs =
    "Duplicate crumbs detected after operations, cannot create a unique pattern";

// --- the packet readers' errors ----------------------------------------------

inline std::string payload_length(std::uint64_t declared, std::uint64_t available) {
  return "declared payload length " + std::to_string(declared) + " exceeds available bytes " +
         std::to_string(available);
}
inline std::string truncated(std::string_view label) {
  return "packet truncated while reading " + std::string(label);
}
inline std::string identity_length(std::uint64_t found) {
  return "expected 8-byte identity field, found " + std::to_string(found) + " bytes";
}
inline std::string utf8_failed(std::string_view detail) {
  return "utf-8 decoding failed: " + std::string(detail);
}
inline std::string utf8_incomplete(std::uint64_t index) {
  return "incomplete utf-8 byte sequence from index " + std::to_string(index);
}
inline std::string utf8_invalid(std::uint64_t length, std::uint64_t index) {
  return "invalid utf-8 sequence of " + std::to_string(length) + " bytes from index " +
         std::to_string(index);
}

}  // namespace kelvora::messages
