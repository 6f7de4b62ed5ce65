// Which vector back ends this build compiles.
//
// Every accelerated seam has the same shape: back ends with one signature,
// named by suffix (_portable, _shani, _avx2, _avx512...), each with a
// capability predicate beside it, and one dispatcher that reads them in a
// chain, fastest first, and falls back to the portable back end last. The
// CPU's features are read once, in cpu.cpp.
//
// A back end is compiled when the target has its instruction set and the
// build does not leave it out with -DKELVORA_NO_<ISA> (KELVORA_NO_SHANI,
// KELVORA_NO_AVX2, KELVORA_NO_AVX512, KELVORA_NO_SSE2). Otherwise its unit
// compiles a stub: the predicate is false, and the entry, if reached anyway,
// fails loudly. Included by the ISA units: macros and one declaration only.
#pragma once

#if defined(__x86_64__)
#if !defined(KELVORA_NO_SHANI)
#define KELVORA_BUILD_SHANI 1
#endif
#if !defined(KELVORA_NO_AVX2)
#define KELVORA_BUILD_AVX2 1
#endif
#if !defined(KELVORA_NO_AVX512)
#define KELVORA_BUILD_AVX512 1
#endif
#if defined(__SSE2__) && !defined(KELVORA_NO_SSE2)
#define KELVORA_BUILD_SSE2 1
#endif
#endif

namespace kelvora {

// The internal failure of a stub: `back_end` was called, but this build left
// it out.
[[noreturn]] void fail_unbuilt(const char* back_end);

}  // namespace kelvora
