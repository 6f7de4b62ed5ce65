// Systems whose kernel has no getrandom in a vDSO; see vdso_random.hpp.
#if !defined(__linux__)

#include <cerrno>

#include "keys/vdso_random.hpp"

namespace kelvora::vdso_random {

// See header.
bool usable() { return false; }

// See header.
long read(std::uint8_t*, std::size_t) { return -ENOSYS; }

}  // namespace kelvora::vdso_random

#endif
