// The random source on POSIX systems: its sources in order; see os_random.hpp.
#if !defined(_WIN32)

#include "keys/os_random.hpp"
#include "keys/os_random_sources.hpp"
#include "keys/vdso_random.hpp"

namespace kelvora {

// See os_random_sources.hpp.
bool os_random::fill_from_vdso(std::span<std::uint8_t> out) {
  return read_in_full(out, [](std::uint8_t* p, std::size_t n) -> long {
    const long got = vdso_random::read(p, n);
    if (got >= 0) return got;
    errno = int(-got);
    return -1;
  });
}

// See header. A vDSO that fails leaves the request to the system call, as
// other threads' states may still serve; a system call that fails hands
// getrandom's requests to /dev/urandom for good.
void fill_os_random(std::span<std::uint8_t> out) {
  if (os_random::getrandom_usable()) {
    if (os_random::fill_from_vdso(out) || os_random::fill_from_getrandom(out)) return;
    os_random::refuse_getrandom();
  }
  if (!os_random::fill_from_urandom(out)) fail_os_random();
}

}  // namespace kelvora

#endif
