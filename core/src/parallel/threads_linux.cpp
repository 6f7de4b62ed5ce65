// The worker pool's waits and processors on Linux; see threads.hpp.
#if defined(__linux__)

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

#include "parallel/threads.hpp"

namespace kelvora::parallel::threads {

// See header.
void wait(const std::atomic<std::uint32_t>& word, std::uint32_t old,
          Clock::time_point deadline) noexcept {
  timespec left{};
  const timespec* timeout = nullptr;
  if (deadline != Clock::time_point::max()) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
    if (ns.count() <= 0) return;
    left.tv_sec = std::time_t(ns.count() / 1000000000);
    left.tv_nsec = long(ns.count() % 1000000000);
    timeout = &left;
  }
  ::syscall(SYS_futex, &word, FUTEX_WAIT_PRIVATE, old, timeout, nullptr, 0);
}

// See header.
void wake_all(std::atomic<std::uint32_t>& word) noexcept {
  ::syscall(SYS_futex, &word, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

// See header.
std::size_t available_processors() noexcept {
  for (std::size_t cpus = 1024; cpus <= (std::size_t(1) << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) break;
    const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(bytes, set);
    const int rc = sched_getaffinity(0, bytes, set);
    const int count = rc == 0 ? CPU_COUNT_S(bytes, set) : 0;
    CPU_FREE(set);
    if (rc == 0) return count > 0 ? std::size_t(count) : 1;
    if (errno != EINVAL) break;  // EINVAL: the mask is wider than `cpus`
  }
  return processor_count();
}

}  // namespace kelvora::parallel::threads

#endif
