// Windows has neither fork() nor signal masks; pages come from VirtualAlloc.
// See platform.hpp.
#if defined(_WIN32)

#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform.hpp"

namespace kelvora {

// See header.
void at_fork_child(void (*)()) noexcept {}

// See header.
void with_signals_blocked(void (*fn)(void*), void* context) { fn(context); }

// See header. Committed pages read as zero until written.
void* map_zeroed(std::size_t bytes, std::size_t) noexcept {
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

// See header.
void unmap_zeroed(void* p, std::size_t) noexcept {
  if (p != nullptr) VirtualFree(p, 0, MEM_RELEASE);
}

}  // namespace kelvora

#endif
