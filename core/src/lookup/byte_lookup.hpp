// Byte lookup through a 256-entry table: out[i] = table[in[i]].
//
// The one kernel family behind cycling's re-coding and the data mapping's
// inverted private tables. `in` and `out` may be the same buffer; otherwise
// they must not overlap. Back ends, one signature, each with its capability
// predicate (backends.hpp):
//   lookup_portable    one load per byte; everywhere
//   lookup_avx2        16 in-lane shuffles per 32 bytes (byte_lookup_avx2.hpp)
//   lookup_avx512vbmi  two two-register byte permutes and a blend per 64
//                      bytes (byte_lookup_avx512.hpp)
//   lookup_neon        four four-register table lookups per 16 bytes
//                      (byte_lookup_neon.hpp)
// active() picks the first available, once per process, portable last. The
// register-level lookups in the three headers serve the mapping's sweeps too.
#pragma once

#include <cstddef>
#include <cstdint>

#include "backends.hpp"
#include "cpu.hpp"

namespace kelvora::byte_lookup {

using LookupFn = void (*)(const std::uint8_t* table, const std::uint8_t* in, std::uint8_t* out,
                          std::size_t n);

void lookup_portable(const std::uint8_t* table, const std::uint8_t* in, std::uint8_t* out,
                     std::size_t n);

// Call only when avx2_available().
void lookup_avx2(const std::uint8_t* table, const std::uint8_t* in, std::uint8_t* out,
                 std::size_t n);
inline bool avx2_available() { return KELVORA_BUILD_AVX2 && cpu::has_avx2(); }

// Call only when avx512vbmi_available().
void lookup_avx512vbmi(const std::uint8_t* table, const std::uint8_t* in, std::uint8_t* out,
                       std::size_t n);
inline bool avx512vbmi_available() { return KELVORA_BUILD_AVX512 && cpu::has_avx512vbmi(); }

// Call only when neon_available(). NEON is part of every aarch64 CPU: no CPU
// check.
void lookup_neon(const std::uint8_t* table, const std::uint8_t* in, std::uint8_t* out,
                 std::size_t n);
inline bool neon_available() { return KELVORA_BUILD_NEON; }

LookupFn active();

}  // namespace kelvora::byte_lookup
