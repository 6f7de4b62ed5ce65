// Systems without huge-page advice: every request is a no-op; see
// huge_pages.hpp.
#if !defined(__linux__)

#include "huge_pages.hpp"

namespace kelvora {

const bool kHugePageAdvice = false;

// See header.
void advise_huge_pages(void*, std::size_t) noexcept {}

// See header.
std::vector<std::uintptr_t> advise_huge_page_runs(std::span<const std::span<std::uint8_t>>) {
  return {};
}

// See header.
void collapse_huge_page(std::uintptr_t) noexcept {}

}  // namespace kelvora

#endif
