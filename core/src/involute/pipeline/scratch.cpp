// Scratch arrays; see scratch.hpp.
#include "involute/pipeline/scratch.hpp"

#include "huge_pages.hpp"
#include "platform.hpp"

namespace kelvora::involution {

// See header.
void* allocate_scratch(std::size_t bytes) {
  void* p = nullptr;
  if (bytes >= kHugePageSize && bytes <= std::size_t(-1) - kHugePageSize) {
    const std::size_t rounded = (bytes + kHugePageSize - 1) / kHugePageSize * kHugePageSize;
    p = aligned_allocate(kHugePageSize, rounded);
    if (p != nullptr) advise_huge_pages(p, rounded);
  } else if (bytes < kHugePageSize) {
    // Whole alignment units, at least one: aligned_allocate takes no other size.
    constexpr std::size_t kAlign = alignof(std::max_align_t);
    p = aligned_allocate(kAlign, (bytes / kAlign + 1) * kAlign);
  }
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace kelvora::involution
