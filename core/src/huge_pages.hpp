// Transparent huge pages for large buffers.
//
// advise_huge_pages(data, bytes) asks the kernel to back the whole 2 MiB pages
// inside [data, data + bytes) with huge pages. It pays for a buffer nothing
// has touched yet: a large result or scratch array then costs a few page
// faults instead of one per 4 KiB, and fewer TLB misses when it is reached at
// random. Advice only: the bytes are unaffected, and where the kernel lacks
// the feature nothing happens.
//
// Several buffers about to be written in full (the rows of one result) often
// lie end to end in memory, consecutive heap blocks a few bytes apart: the
// allocator's bookkeeping and the next object's header sit between them.
// advise_huge_page_runs advises each such run of buffers of 2 MiB or more
// (at most a 4 KiB page apart) as one buffer, and returns the 2 MiB pages
// that straddle a seam inside a run and are not backed yet. The kernel never
// gives those a huge page when they are first written, because the header
// between the buffers was written, and its 4 KiB page mapped, before: each
// would cost 512 page faults. collapse_huge_page(page) backs one such page
// with a huge page at once, keeping every byte already there (the headers'
// included). Both are advice only, like advise_huge_pages.
//
// Linux takes the advice (huge_pages_linux.cpp); elsewhere every function
// here does nothing and advise_huge_page_runs returns no page
// (huge_pages_none.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kelvora {

inline constexpr std::size_t kHugePageSize = std::size_t(2) << 20;

// Whether this system takes the advice at all.
extern const bool kHugePageAdvice;

void advise_huge_pages(void* data, std::size_t bytes) noexcept;

// The seam pages worth collapsing, by address; empty where the kernel cannot
// collapse pages (and on systems without huge-page advice).
std::vector<std::uintptr_t> advise_huge_page_runs(
    std::span<const std::span<std::uint8_t>> buffers);

void collapse_huge_page(std::uintptr_t page) noexcept;

}  // namespace kelvora
