// CPU feature detection; see cpu.hpp.
#include "cpu.hpp"

#include <cstddef>
#include <cstdint>

#include "platform.hpp"

#if (defined(__x86_64__) || defined(_M_X64)) && !KELVORA_MSVC
#include <cpuid.h>
#elif defined(__aarch64__) && defined(__linux__)
#include <sys/auxv.h>
#elif defined(__aarch64__) && defined(__APPLE__)
#include <sys/sysctl.h>
#elif defined(_M_ARM64)
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

namespace kelvora::cpu {
namespace {

struct Features {
  bool shani = false;
  bool avx2 = false;
  bool avx512bw = false;
  bool avx512vl = false;
  bool avx512vbmi = false;
  bool armv8_sha2 = false;
};

#if defined(__x86_64__) || defined(_M_X64)
// CPUID leaf `leaf`, subleaf 0: EAX, EBX, ECX, EDX. The compiler's own CPU
// checks are not used: not every compiler's runtime fills them in (zig's
// leaves them empty) and MSVC has none.
void x86_cpuid(unsigned leaf, unsigned r[4]) {
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
std::uint64_t x86_xcr0() {
#if KELVORA_MSVC
  return _xgetbv(0);
#else
  unsigned lo, hi;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return std::uint64_t(hi) << 32 | lo;
#endif
}
#endif

const Features& features() {
  static const Features detected = [] {
    Features f;
#if defined(__x86_64__) || defined(_M_X64)
    // CPUID for the instructions, XGETBV for the operating system's saving
    // of the registers they use (XCR0: YMM for AVX2; opmask and ZMM too for
    // AVX-512).
    unsigned r[4];
    x86_cpuid(0, r);
    const unsigned max_leaf = r[0];
    x86_cpuid(1, r);
    const bool ssse3 = (r[2] >> 9 & 1) != 0, sse41 = (r[2] >> 19 & 1) != 0;
    const bool osxsave = (r[2] >> 27 & 1) != 0, avx = (r[2] >> 28 & 1) != 0;
    const std::uint64_t xcr0 = osxsave ? x86_xcr0() : 0;
    const bool ymm = avx && (xcr0 & 0x06) == 0x06;
    const bool zmm = ymm && (xcr0 & 0xE0) == 0xE0;
    if (max_leaf >= 7) {
      x86_cpuid(7, r);
      f.shani = ssse3 && sse41 && (r[1] >> 29 & 1) != 0;
      f.avx2 = ymm && (r[1] >> 5 & 1) != 0;
      const bool avx512f = zmm && (r[1] >> 16 & 1) != 0;
      f.avx512bw = avx512f && (r[1] >> 30 & 1) != 0;
      f.avx512vl = avx512f && (r[1] >> 31 & 1) != 0;
      f.avx512vbmi = f.avx512bw && (r[2] >> 1 & 1) != 0;
    }
#elif defined(__aarch64__) && defined(__linux__)
    f.armv8_sha2 = (getauxval(AT_HWCAP) & (1ul << 6)) != 0;  // HWCAP_SHA2
#elif defined(__aarch64__) && defined(__APPLE__)
    int present = 0;
    std::size_t size = sizeof present;
    f.armv8_sha2 = sysctlbyname("hw.optional.arm.FEAT_SHA256", &present, &size, nullptr, 0) == 0 &&
                   present != 0;
#elif defined(_M_ARM64)
    f.armv8_sha2 = IsProcessorFeaturePresent(PF_ARM_V8_CRYPTO_INSTRUCTIONS_AVAILABLE) != 0;
#endif
    return f;
  }();
  return detected;
}

}  // namespace

// See header.
bool has_shani() { return features().shani; }
bool has_avx2() { return features().avx2; }
bool has_avx512bw() { return features().avx512bw; }
bool has_avx512vl() { return features().avx512vl; }
bool has_avx512vbmi() { return features().avx512vbmi; }
bool has_armv8_sha2() { return features().armv8_sha2; }

}  // namespace kelvora::cpu
