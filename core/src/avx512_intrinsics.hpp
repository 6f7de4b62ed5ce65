// The x86 intrinsics, for the AVX-512 back-end units, which include this
// header only when KELVORA_BUILD_AVX512 is set.
//
// GCC 12's AVX-512 headers trip -Wuninitialized and -Wmaybe-uninitialized on
// their own placeholder values (__Y in the unmasked intrinsics); both stay off
// for the rest of the including unit.
#pragma once

#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
