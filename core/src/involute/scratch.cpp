// Scratch arrays; see scratch.hpp.
#include "involute/scratch.hpp"

#include <sys/mman.h>

#include <cstdint>

namespace kelvora::involution {
namespace {

constexpr std::size_t kHugePage = std::size_t(2) << 20;

}  // namespace

// See header.
void* allocate_scratch(std::size_t bytes) {
  void* p = nullptr;
  if (bytes >= kHugePage && bytes <= std::size_t(-1) - kHugePage) {
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    p = std::aligned_alloc(kHugePage, rounded);
    if (p != nullptr) madvise(p, rounded, MADV_HUGEPAGE);
  } else {
    p = std::malloc(bytes == 0 ? 1 : bytes);
  }
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

// See header.
void advise_huge_pages(void* data, std::size_t bytes) noexcept {
  const std::uintptr_t begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + kHugePage - 1) & ~std::uintptr_t(kHugePage - 1);
  const std::uintptr_t last = (begin + bytes) & ~std::uintptr_t(kHugePage - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace kelvora::involution
