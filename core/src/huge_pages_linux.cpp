// Huge-page advice on Linux (transparent huge pages); see huge_pages.hpp.
#if defined(__linux__)

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <utility>

#include "huge_pages.hpp"

// Collapsing pages in place came with Linux 6.1; the value is the kernel's,
// for C libraries whose headers predate it. Older kernels refuse it.
#if !defined(MADV_COLLAPSE)
#define MADV_COLLAPSE 25
#endif

namespace kelvora {

namespace {

constexpr std::uintptr_t kMask = kHugePageSize - 1;

// Buffers at most this far apart count as one run.
constexpr std::uintptr_t kSeamGap = 4096;

std::uintptr_t round_up(std::uintptr_t a) { return (a + kMask) & ~kMask; }
std::uintptr_t round_down(std::uintptr_t a) { return a & ~kMask; }

}  // namespace

const bool kHugePageAdvice = true;

// See header.
void advise_huge_pages(void* data, std::size_t bytes) noexcept {
  const std::uintptr_t begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = round_up(begin);
  const std::uintptr_t last = round_down(begin + bytes);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

// See header.
std::vector<std::uintptr_t> advise_huge_page_runs(
    std::span<const std::span<std::uint8_t>> buffers) {
  std::vector<std::uintptr_t> seams;
  using Span = std::pair<std::uintptr_t, std::uintptr_t>;
  std::vector<Span> spans;
  spans.reserve(buffers.size());
  for (const auto& b : buffers) {
    const auto begin = reinterpret_cast<std::uintptr_t>(b.data());
    // Smaller buffers hold no whole huge page: a seam every 2 MiB or more
    // often would make most of the run's huge pages seam pages, each
    // collapse costing about as much as the page faults it spares.
    if (b.size() >= kHugePageSize) spans.emplace_back(begin, begin + b.size());
  }
  std::sort(spans.begin(), spans.end());
  const long page = sysconf(_SC_PAGESIZE);
  for (std::size_t i = 0; i < spans.size();) {
    // One run: spans[i .. k), each within kSeamGap of the one before.
    std::size_t k = i + 1;
    while (k < spans.size() && spans[k].first >= spans[k - 1].second &&
           spans[k].first - spans[k - 1].second <= kSeamGap)
      ++k;
    const std::uintptr_t first = round_up(spans[i].first);
    const std::uintptr_t last = round_down(spans[k - 1].second);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    for (std::size_t j = i + 1; j < k && page > 0; ++j) {
      // The huge page holding the seam before spans[j], if the run covers it
      // whole and it is not backed yet: its page farthest from the seam,
      // which only the buffers' own writes would map, is not resident.
      const std::uintptr_t seam = spans[j].first;
      const std::uintptr_t huge = round_down(seam);
      if (huge < first || huge + kHugePageSize > last) continue;
      if (!seams.empty() && seams.back() == huge) continue;
      const std::uintptr_t probe =
          seam - huge >= kHugePageSize / 2 ? huge : huge + kHugePageSize - std::uintptr_t(page);
      unsigned char resident = 0;
      if (mincore(reinterpret_cast<void*>(probe), std::size_t(page), &resident) == 0 &&
          (resident & 1) == 0)
        seams.push_back(huge);
    }
    i = k;
  }
  return seams;
}

// See header.
void collapse_huge_page(std::uintptr_t page) noexcept {
  madvise(reinterpret_cast<void*>(page), kHugePageSize, MADV_COLLAPSE);
}

}  // namespace kelvora

#endif
