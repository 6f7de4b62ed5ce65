// Which vector back ends this build compiles, and the one dispatch shape.
//
// Every accelerated seam has the same shape: back ends with one signature,
// named by suffix (_portable, _shani, _avx2, _avx512, _armv8, _neon...), each with a
// capability predicate beside it in the seam's header, and one dispatcher
// that takes the first available back end of a chain, fastest first, with
// the portable one last (first_available). The CPU's features are read once,
// in cpu.cpp; a predicate combines them with the build's choice below.
//
// A back end is compiled when the target has its instruction set and the
// build does not leave it out with -DKELVORA_NO_<ISA> (KELVORA_NO_SHANI,
// KELVORA_NO_AVX2, KELVORA_NO_AVX512, KELVORA_NO_SSE2 on x86-64;
// KELVORA_NO_ARMV8_SHA2, KELVORA_NO_NEON on aarch64): KELVORA_BUILD_<ISA>
// is then 1, else 0. A back end left out compiles a stub that fails loudly if
// reached (its predicate is false, so a dispatcher never picks it). Included
// by the ISA units: macros, one declaration and one template only.
#pragma once

#include <cstddef>

#if (defined(__x86_64__) || defined(_M_X64)) && !defined(KELVORA_NO_SHANI)
#define KELVORA_BUILD_SHANI 1
#else
#define KELVORA_BUILD_SHANI 0
#endif

#if (defined(__x86_64__) || defined(_M_X64)) && !defined(KELVORA_NO_AVX2)
#define KELVORA_BUILD_AVX2 1
#else
#define KELVORA_BUILD_AVX2 0
#endif

#if (defined(__x86_64__) || defined(_M_X64)) && !defined(KELVORA_NO_AVX512)
#define KELVORA_BUILD_AVX512 1
#else
#define KELVORA_BUILD_AVX512 0
#endif

#if (defined(__x86_64__) || defined(_M_X64)) && !defined(KELVORA_NO_SSE2)  // SSE2: every x86-64
#define KELVORA_BUILD_SSE2 1
#else
#define KELVORA_BUILD_SSE2 0
#endif

#if (defined(__aarch64__) || defined(_M_ARM64)) && !defined(KELVORA_NO_ARMV8_SHA2)
#define KELVORA_BUILD_ARMV8_SHA2 1
#else
#define KELVORA_BUILD_ARMV8_SHA2 0
#endif

#if (defined(__aarch64__) || defined(_M_ARM64)) && !defined(KELVORA_NO_NEON)  // NEON: every aarch64
#define KELVORA_BUILD_NEON 1
#else
#define KELVORA_BUILD_NEON 0
#endif

namespace kelvora {

// The internal failure of a stub: `back_end` was called, but this build left
// it out.
[[noreturn]] void fail_unbuilt(const char* back_end);

// One link of a dispatcher's chain: a back end and its capability predicate.
template <class Fn>
struct Candidate {
  bool (*available)();
  Fn back_end;
};

// The back end of the first candidate whose predicate holds, else `portable`.
template <class Fn, std::size_t N>
Fn first_available(const Candidate<Fn> (&chain)[N], Fn portable) {
  for (const Candidate<Fn>& c : chain)
    if (c.available()) return c.back_end;
  return portable;
}

}  // namespace kelvora
