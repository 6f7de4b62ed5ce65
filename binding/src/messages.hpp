// The binding's texts that callers match letter for letter (the core's are in
// core/src/messages.hpp).
//
// Why they read as they do: other implementations of this module raise the
// same texts (PyO3's and Rust's type names included) and callers compare them.
#pragma once

#include <string_view>

namespace kelvora::py::messages {

// An array whose memory is not contiguous, in its three forms: the TypeError
// of an array argument the core reads in place, the ValueError of gen_key's
// seed and of package_blob's array fields (a prefix before the same text),
// and the error name in the internal failure of an item of an array sequence
// ("called `Result::unwrap()` on an `Err` value: NotContiguousError").
#define KELVORA_NOT_CONTIGUOUS "The given array is not contiguous"
inline constexpr std::string_view kNotContiguous = KELVORA_NOT_CONTIGUOUS;
inline constexpr std::string_view kSeedNotContiguous =
    "Seed array not contiguous: " KELVORA_NOT_CONTIGUOUS;
inline constexpr std::string_view kFieldNotContiguous =
    "numpy array not contiguous: " KELVORA_NOT_CONTIGUOUS;
#undef KELVORA_NOT_CONTIGUOUS
inline constexpr std::string_view kNotContiguousError = "NotContiguousError";

// Conversion failures: "'<type>' object cannot be converted to '<target>'"
// with these target names, and a str where a sequence is due.
inline constexpr std::string_view kCannotConvert = "' object cannot be converted to '";
inline constexpr const char* kTargetArray = "PyArray<T, D>";
inline constexpr const char* kTargetString = "PyString";
inline constexpr const char* kTargetBytes = "PyBytes";
inline constexpr const char* kTargetSequence = "Sequence";
inline constexpr std::string_view kStrNotSequence = "Can't extract `str` to `Vec`";

// The prefixes of the involution family's ValueErrors.
inline constexpr std::string_view kInvolutePrefix = "Involute error: ";
inline constexpr std::string_view kCyclePrefix = "Cycle error: ";

// Argument checks of gen_key and package_blob.
inline constexpr std::string_view kSeedLength = "master_seed must be exactly 32 bytes long";
inline constexpr std::string_view kUnsupportedField =
    "Unsupported field type; expected bytes-like, numpy.uint8 array, str, or non-negative int";

}  // namespace kelvora::py::messages
