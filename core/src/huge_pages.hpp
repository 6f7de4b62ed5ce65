// Transparent huge pages for large buffers.
//
// advise_huge_pages(data, bytes) asks the kernel to back the whole 2 MiB pages
// inside [data, data + bytes) with huge pages. It pays for a buffer nothing
// has touched yet: a large result or scratch array then costs a few page
// faults instead of one per 4 KiB, and fewer TLB misses when it is reached at
// random. Advice only: the bytes are unaffected, and where the kernel lacks
// the feature nothing happens.
#pragma once

#include <cstddef>

namespace kelvora {

inline constexpr std::size_t kHugePageSize = std::size_t(2) << 20;

void advise_huge_pages(void* data, std::size_t bytes) noexcept;

}  // namespace kelvora
