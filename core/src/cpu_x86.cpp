// CPU features on x86-64, under every operating system: CPUID for the
// instructions, XGETBV for the operating system's saving of the registers
// they use (XCR0: YMM for AVX2; opmask and ZMM too for AVX-512). macOS turns
// the AVX-512 state on lazily, so its XCR0 shows no ZMM and AVX-512 stays
// unused there. See cpu.hpp.
#if defined(__x86_64__) || defined(_M_X64)

#include <cstdint>

#include "cpu.hpp"

#if !KELVORA_MSVC
#include <cpuid.h>
#endif

namespace kelvora::cpu {
namespace {

// CPUID leaf `leaf`, subleaf 0: EAX, EBX, ECX, EDX. The compiler's own CPU
// checks are not used: not every compiler's runtime fills them in (zig's
// leaves them empty) and MSVC has none.
void cpuid(unsigned leaf, unsigned r[4]) {
#if KELVORA_MSVC
  int regs[4];
  __cpuidex(regs, int(leaf), 0);
  for (int i = 0; i < 4; ++i) r[i] = unsigned(regs[i]);
#else
  __cpuid_count(leaf, 0, r[0], r[1], r[2], r[3]);
#endif
}

// XCR0: the register state the operating system saves. Read only when
// CPUID reports OSXSAVE.
std::uint64_t xcr0() {
#if KELVORA_MSVC
  return _xgetbv(0);
#else
  unsigned lo, hi;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return std::uint64_t(hi) << 32 | lo;
#endif
}

}  // namespace

// See header.
Features query_features() {
  Features f;
  unsigned r[4];
  cpuid(0, r);
  const unsigned max_leaf = r[0];
  cpuid(1, r);
  const bool ssse3 = (r[2] >> 9 & 1) != 0, sse41 = (r[2] >> 19 & 1) != 0;
  const bool osxsave = (r[2] >> 27 & 1) != 0, avx = (r[2] >> 28 & 1) != 0;
  const std::uint64_t saved = osxsave ? xcr0() : 0;
  const bool ymm = avx && (saved & 0x06) == 0x06;
  const bool zmm = ymm && (saved & 0xE0) == 0xE0;
  if (max_leaf >= 7) {
    cpuid(7, r);
    f.shani = ssse3 && sse41 && (r[1] >> 29 & 1) != 0;
    f.avx2 = ymm && (r[1] >> 5 & 1) != 0;
    const bool avx512f = zmm && (r[1] >> 16 & 1) != 0;
    f.avx512bw = avx512f && (r[1] >> 30 & 1) != 0;
    f.avx512vl = avx512f && (r[1] >> 31 & 1) != 0;
    f.avx512vbmi = f.avx512bw && (r[2] >> 1 & 1) != 0;
  }
  return f;
}

}  // namespace kelvora::cpu

#endif
