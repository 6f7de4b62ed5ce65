// CPU features on aarch64 Windows: the system's processor feature flags. See
// cpu.hpp.
#if defined(_M_ARM64)

#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "cpu.hpp"

namespace kelvora::cpu {

// See header.
Features query_features() {
  Features f;
  f.armv8_sha2 = IsProcessorFeaturePresent(PF_ARM_V8_CRYPTO_INSTRUCTIONS_AVAILABLE) != 0;
  return f;
}

}  // namespace kelvora::cpu

#endif
