// Portable re-coding and the back-end choice; see recode.hpp.
#include "involute/recode.hpp"

#include "cpu.hpp"

namespace kelvora::recode {

// See header.
void recode_portable(const std::uint8_t* table, const std::uint8_t* in, std::uint8_t* out,
                     std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out[i] = table[in[i]];
}

// See header.
bool avx512_vbmi_available() {
#if (defined(__x86_64__) || defined(_M_X64)) && !defined(KELVORA_NO_AVX512)
  return cpu::has_avx512vbmi();
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
