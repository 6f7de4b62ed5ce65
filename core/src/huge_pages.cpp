// Huge-page advice; see huge_pages.hpp.
#include "huge_pages.hpp"

#include "platform.hpp"

#if KELVORA_POSIX
#include <sys/mman.h>
#endif

#include <cstdint>

namespace kelvora {

// See header.
void advise_huge_pages(void* data, std::size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
  constexpr std::uintptr_t kMask = kHugePageSize - 1;
  const std::uintptr_t begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + kMask) & ~kMask;
  const std::uintptr_t last = (begin + bytes) & ~kMask;
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

}  // namespace kelvora
