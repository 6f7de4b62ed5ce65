// CPU features on aarch64 Linux: the kernel's hardware capabilities in the
// auxiliary vector. See cpu.hpp.
#if defined(__aarch64__) && defined(__linux__)

#include <sys/auxv.h>

#include "cpu.hpp"

namespace kelvora::cpu {

// See header.
Features query_features() {
  Features f;
  f.armv8_sha2 = (getauxval(AT_HWCAP) & (1ul << 6)) != 0;  // HWCAP_SHA2
  return f;
}

}  // namespace kelvora::cpu

#endif
