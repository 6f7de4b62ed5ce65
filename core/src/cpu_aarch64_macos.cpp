// CPU features on aarch64 macOS: the kernel's hw.optional.arm names. See
// cpu.hpp.
#if defined(__aarch64__) && defined(__APPLE__)

#include <sys/sysctl.h>

#include <cstddef>

#include "cpu.hpp"

namespace kelvora::cpu {

// See header.
Features query_features() {
  Features f;
  int present = 0;
  std::size_t size = sizeof present;
  f.armv8_sha2 = sysctlbyname("hw.optional.arm.FEAT_SHA256", &present, &size, nullptr, 0) == 0 &&
                 present != 0;
  return f;
}

}  // namespace kelvora::cpu

#endif
