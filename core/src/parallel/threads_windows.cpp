// The worker pool's waits and processors on Windows; see threads.hpp. The
// address waits are the system's own: MinGW's C++ library (GCC 12) builds
// std::atomic::wait from a shared table of condition variables that can lose
// a wake-up.
#if defined(_WIN32)

#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <chrono>

#include "parallel/threads.hpp"

namespace kelvora::parallel::threads {

// See header.
void wait(const std::atomic<std::uint32_t>& word, std::uint32_t old,
          Clock::time_point deadline) noexcept {
  DWORD timeout_ms = INFINITE;
  if (deadline != Clock::time_point::max()) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return;
    // Rounded up: a wait that ends before the deadline would spin.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    timeout_ms = ms < 0x7FFFFFFF ? DWORD(ms) : 0x7FFFFFFF;
  }
  WaitOnAddress(const_cast<std::atomic<std::uint32_t>*>(&word), &old, sizeof old, timeout_ms);
}

// See header.
void wake_all(std::atomic<std::uint32_t>& word) noexcept { WakeByAddressAll(&word); }

// See header.
std::size_t available_processors() noexcept { return processor_count(); }

}  // namespace kelvora::parallel::threads

#endif
