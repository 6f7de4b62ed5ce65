// The random source on Windows: BCryptGenRandom; see os_random.hpp.
#if defined(_WIN32)

#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <algorithm>

#include "keys/os_random.hpp"

namespace kelvora {

// See header. The system-preferred generator needs no algorithm handle; a
// request is at most a ULONG of bytes.
void fill_os_random(std::span<std::uint8_t> out) {
  for (std::size_t done = 0; done < out.size();) {
    const ULONG n = ULONG(std::min<std::size_t>(out.size() - done, 1u << 30));
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, out.data() + done, n,
                                        BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
      fail_os_random();
    done += n;
  }
}

}  // namespace kelvora

#endif
