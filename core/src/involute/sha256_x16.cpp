// Capability check of the sixteen-lane back end; see sha256_x16.hpp.
#include "involute/sha256_x16.hpp"

namespace kelvora::sha256_x16 {

// See header. The compiler's CPU check includes the operating system's
// support for the AVX-512 register state.
bool avx512_available() {
#if (defined(__x86_64__) || defined(_M_X64)) && !defined(KELVORA_NO_AVX512)
  static const bool yes = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
  }();
  return yes;
#else
  return false;
#endif
}

}  // namespace kelvora::sha256_x16
