// CPU feature detection; see cpu.hpp.
#include "cpu.hpp"

#include <cstddef>

#include "platform.hpp"

#if defined(__aarch64__) && defined(__linux__)
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
  bool avx2 = false;
  bool avx512bw = false;
  bool avx512vl = false;
  bool avx512vbmi = false;
  bool armv8_sha2 = false;
};

const Features& features() {
  static const Features detected = [] {
    Features f;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    f.avx2 = __builtin_cpu_supports("avx2");
    const bool avx512f = __builtin_cpu_supports("avx512f");
    f.avx512bw = avx512f && __builtin_cpu_supports("avx512bw");
    f.avx512vl = avx512f && __builtin_cpu_supports("avx512vl");
    f.avx512vbmi = f.avx512bw && __builtin_cpu_supports("avx512vbmi");
#elif defined(_M_X64) && KELVORA_MSVC
    // CPUID for the instructions, XGETBV for the operating system's saving
    // of the registers they use (XCR0: YMM for AVX2; opmask and ZMM too for
    // AVX-512).
    int r[4];
    __cpuid(r, 0);
    const int max_leaf = r[0];
    __cpuid(r, 1);
    const bool osxsave = (r[2] >> 27 & 1) != 0, avx = (r[2] >> 28 & 1) != 0;
    const unsigned long long xcr0 = osxsave ? _xgetbv(0) : 0;
    const bool ymm = avx && (xcr0 & 0x06) == 0x06;
    const bool zmm = ymm && (xcr0 & 0xE0) == 0xE0;
    if (max_leaf >= 7) {
      __cpuidex(r, 7, 0);
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
bool has_avx2() { return features().avx2; }
bool has_avx512bw() { return features().avx512bw; }
bool has_avx512vl() { return features().avx512vl; }
bool has_avx512vbmi() { return features().avx512vbmi; }
bool has_armv8_sha2() { return features().armv8_sha2; }

}  // namespace kelvora::cpu
