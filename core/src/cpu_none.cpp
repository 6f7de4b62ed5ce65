// Targets without a file of their own (cpu.hpp lists them): no vector back
// end runs, the portable code serves every call.
#if !(defined(__x86_64__) || defined(_M_X64)) && !(defined(__aarch64__) && defined(__linux__)) && \
    !(defined(__aarch64__) && defined(__APPLE__)) && !defined(_M_ARM64)

#include "cpu.hpp"

namespace kelvora::cpu {

// See header.
Features query_features() { return {}; }

}  // namespace kelvora::cpu

#endif
