// Capability check of the sixteen-lane back end; see sha256_x16.hpp.
#include "involute/sha256_x16.hpp"

#include "cpu.hpp"

namespace kelvora::sha256_x16 {

// See header.
bool avx512_available() {
#if (defined(__x86_64__) || defined(_M_X64)) && !defined(KELVORA_NO_AVX512)
  return cpu::has_avx512bw();
#else
  return false;
#endif
}

}  // namespace kelvora::sha256_x16
