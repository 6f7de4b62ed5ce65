// The worker pool's waits and processors on macOS; see threads.hpp. The
// address waits are the kernel's ulock calls, on which the system's C++
// library builds std::atomic::wait.
#if defined(__APPLE__)

#include <chrono>
#include <cstdint>

#include "parallel/threads.hpp"

extern "C" int __ulock_wait(std::uint32_t operation, void* address, std::uint64_t value,
                            std::uint32_t timeout_us);
extern "C" int __ulock_wake(std::uint32_t operation, void* address, std::uint64_t wake_value);

namespace kelvora::parallel::threads {
namespace {

constexpr std::uint32_t kCompareAndWait = 1;      // UL_COMPARE_AND_WAIT: a 32-bit word
constexpr std::uint32_t kWakeAll = 0x00000100;    // ULF_WAKE_ALL
constexpr std::uint32_t kNoErrno = 0x01000000;    // ULF_NO_ERRNO

}  // namespace

// See header. A timeout of 0 waits without one; longer waits are cut into
// slices the call can take.
void wait(const std::atomic<std::uint32_t>& word, std::uint32_t old,
          Clock::time_point deadline) noexcept {
  std::uint32_t timeout_us = 0;
  if (deadline != Clock::time_point::max()) {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
    if (us.count() <= 0) return;
    timeout_us = us.count() < 1000000000 ? std::uint32_t(us.count()) : 1000000000u;
  }
  __ulock_wait(kCompareAndWait | kNoErrno, const_cast<std::atomic<std::uint32_t>*>(&word), old,
               timeout_us);
}

// See header.
void wake_all(std::atomic<std::uint32_t>& word) noexcept {
  __ulock_wake(kCompareAndWait | kWakeAll | kNoErrno, &word, 0);
}

// See header.
std::size_t available_processors() noexcept { return processor_count(); }

}  // namespace kelvora::parallel::threads

#endif
