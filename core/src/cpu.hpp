// The CPU features the vector back ends ask for, detected once per process.
//
// The only place the CPU is asked. Each answer covers the operating system's
// support for the register state as well, and is false on other
// architectures. Whether a back end is built at all is backends.hpp's; these
// only say what the machine can run, and each back end's capability
// predicate combines the two.
//
// query_features() fills the struct; one small file per (architecture, OS)
// pair defines it, the only place that asks the CPU or the system:
//   cpu_x86.cpp            x86-64, every OS: CPUID and XGETBV
//   cpu_aarch64_linux.cpp  the auxiliary vector's hardware capabilities
//   cpu_aarch64_macos.cpp  sysctlbyname
//   cpu_aarch64_windows.cpp  IsProcessorFeaturePresent
//   cpu_none.cpp           any other target: no feature
// cpu.cpp keeps its answer for the process.
#pragma once

#include "platform.hpp"

namespace kelvora::cpu {

bool has_shani();       // SHA, with SSSE3 and SSE4.1
bool has_avx2();
bool has_avx512bw();    // AVX-512 F and BW
bool has_avx512vl();    // AVX-512 F and VL
bool has_avx512vbmi();  // AVX-512 F, BW and VBMI
bool has_armv8_sha2();  // the ARMv8 SHA-256 instructions (NEON is part of every aarch64 CPU)

struct Features {
  bool shani = false;
  bool avx2 = false;
  bool avx512bw = false;
  bool avx512vl = false;
  bool avx512vbmi = false;
  bool armv8_sha2 = false;
};

Features query_features();

// A pause inside a spin-wait loop: it lets the other hardware thread of the
// core run and saves power; nothing on other architectures.
KELVORA_ALWAYS_INLINE void relax() {
#if KELVORA_MSVC && (defined(_M_X64) || defined(_M_IX86))
  _mm_pause();
#elif KELVORA_MSVC && defined(_M_ARM64)
  __yield();
#elif defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ volatile("yield");
#endif
}

}  // namespace kelvora::cpu
