// The CPU features the vector back ends ask for, detected once per process.
//
// The only place the CPU is asked. Each answer covers the operating system's
// support for the register state as well (CPUID and XGETBV, read once), and
// is false on other architectures. Whether a back end is built at all is
// backends.hpp's; these only say what the machine can run, and each back
// end's capability predicate combines the two.
#pragma once

namespace kelvora::cpu {

bool has_shani();       // SHA, with SSSE3 and SSE4.1
bool has_avx2();
bool has_avx512bw();    // AVX-512 F and BW
bool has_avx512vl();    // AVX-512 F and VL
bool has_avx512vbmi();  // AVX-512 F, BW and VBMI
bool has_armv8_sha2();  // the ARMv8 SHA-256 instructions (NEON is part of every aarch64 CPU)

}  // namespace kelvora::cpu
