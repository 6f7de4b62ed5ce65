// What the worker pool asks of the operating system, one file per system:
// threads_linux.cpp (futex, affinity mask), threads_macos.cpp (the address
// waits its C++ library uses, processor count), threads_windows.cpp
// (WaitOnAddress, processor count). The pool's signal masks and fork handler
// go through platform.hpp.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <thread>

namespace kelvora::parallel::threads {

using Clock = std::chrono::steady_clock;

// Sleeps while `word` holds `old`, until wake_all(word) or `deadline`
// (Clock's maximum: no deadline); may also return early. The caller checks
// the word again.
void wait(const std::atomic<std::uint32_t>& word, std::uint32_t old,
          Clock::time_point deadline) noexcept;

// Wakes every thread asleep in wait(word, ...).
void wake_all(std::atomic<std::uint32_t>& word) noexcept;

// The processors this process may run on (its affinity mask where the system
// has one), at least 1.
std::size_t available_processors() noexcept;

// The words waited on are handed to the system by address.
static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

// The processors of the machine, at least 1.
inline std::size_t processor_count() noexcept {
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? n : 1;
}

}  // namespace kelvora::parallel::threads
