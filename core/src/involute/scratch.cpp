// Scratch arrays; see scratch.hpp.
#include "involute/scratch.hpp"

#include "huge_pages.hpp"

namespace kelvora::involution {

// See header.
void* allocate_scratch(std::size_t bytes) {
  void* p = nullptr;
  if (bytes >= kHugePageSize && bytes <= std::size_t(-1) - kHugePageSize) {
    const std::size_t rounded = (bytes + kHugePageSize - 1) / kHugePageSize * kHugePageSize;
    p = std::aligned_alloc(kHugePageSize, rounded);
    if (p != nullptr) advise_huge_pages(p, rounded);
  } else {
    p = std::malloc(bytes == 0 ? 1 : bytes);
  }
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace kelvora::involution
