// Portable re-coding and the back-end choice; see recode.hpp.
#include "involute/recode.hpp"

namespace kelvora::recode {

// See header.
void recode_portable(const std::uint8_t* table, const std::uint8_t* in, std::uint8_t* out,
                     std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out[i] = table[in[i]];
}

// See header.
bool avx512_vbmi_available() {
#if (defined(__x86_64__) || defined(_M_X64)) && !defined(KELVORA_NO_AVX512)
  static const bool yes = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vbmi");
  }();
  return yes;
#else
  return false;
#endif
}

// See header.
RecodeFn active() {
  static const RecodeFn chosen = avx512_vbmi_available() ? recode_avx512 : recode_portable;
  return chosen;
}

}  // namespace kelvora::recode
