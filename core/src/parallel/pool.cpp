// The worker pool behind parallel_for; see pool.hpp.
//
// Hand-off: the pool holds one loop slot. The caller fills it, publishes the
// loop in `claim_` (generation, block count, next block) and bumps
// `generation_` to wake sleeping workers. Every thread, the caller included,
// claims blocks by compare-and-swap on `claim_` and counts each finished
// block in `done`; the caller returns once `done` reaches the block count.
// A worker that wakes late finds every block claimed and goes back to sleep,
// so no one ever waits for a thread that has not started. A successful claim
// names a block of the loop still in the slot: the slot is refilled only
// after all its blocks are done, and the block count travels in the claimed
// word itself. Waiting spins briefly (the loops of one call follow each other
// closely), then sleeps: workers on the generation atomic (a futex on Linux,
// WaitOnAddress on Windows), the caller on a condition variable that the
// last block's thread signals, in slices of its token's poll period when it
// has a poll.
#include "parallel/pool.hpp"

#include "platform.hpp"

#if KELVORA_POSIX
#include <pthread.h>
#include <signal.h>
#else
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif
#if defined(__linux__)
#include <sched.h>
#endif
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <limits>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "failure.hpp"

namespace kelvora::parallel {
namespace {

constexpr std::size_t kBlocksPerThread = 8;  // claims per thread, for balance under load
constexpr std::size_t kMaxThreads = 256;     // so a loop has at most 2049 blocks
constexpr int kSpinRounds = 1000;            // pauses before sleeping (some tens of microseconds)

// Set on workers, and on a caller while it runs its own share: a loop started
// there runs inline instead of handing work to the busy pool.
thread_local bool t_in_loop = false;

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64)
  _mm_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Sleeping on an atomic and waking its sleepers. Windows has the address
// wait itself; MinGW's C++ library (GCC 12) builds std::atomic::wait there
// from a shared table of condition variables that can lose a wake-up.
template <class T>
void sleep_while(const std::atomic<T>& a, T old) {
#if KELVORA_WINDOWS
  static_assert(sizeof(std::atomic<T>) == sizeof(T) && std::atomic<T>::is_always_lock_free);
  WaitOnAddress(const_cast<std::atomic<T>*>(&a), &old, sizeof(T), INFINITE);
#else
  a.wait(old, std::memory_order_acquire);
#endif
}
template <class T>
void wake_all(std::atomic<T>& a) {
#if KELVORA_WINDOWS
  WakeByAddressAll(&a);
#else
  a.notify_all();
#endif
}
template <class T>
void wake_one(std::atomic<T>& a) {
#if KELVORA_WINDOWS
  WakeByAddressSingle(&a);
#else
  a.notify_one();
#endif
}

// Spins, then sleeps, until `a` no longer holds `old`; returns the new value.
template <class T>
T wait_change(const std::atomic<T>& a, T old) {
  for (int i = 0;; ++i) {
    const T now = a.load(std::memory_order_acquire);
    if (now != old) return now;
    if (i < kSpinRounds) {
      cpu_relax();
    } else {
      sleep_while(a, old);
    }
  }
}

#if KELVORA_POSIX
// Blocks every signal on the calling thread for the scope, so that threads
// started meanwhile inherit that mask; the old mask comes back however the
// scope ends (std::thread may throw more than std::system_error).
class BlockAllSignals {
 public:
  BlockAllSignals() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old_);
  }
  ~BlockAllSignals() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
  BlockAllSignals(const BlockAllSignals&) = delete;
  BlockAllSignals& operator=(const BlockAllSignals&) = delete;

 private:
  sigset_t old_;
};
#endif

struct Loop {
  RangeFn fn = nullptr;
  void* ctx = nullptr;
  StopToken stop;
  std::size_t begin = 0, end = 0, block = 1;
  std::atomic<std::uint32_t> done{0};
  std::atomic<std::size_t> failed_block{std::numeric_limits<std::size_t>::max()};
  std::mutex failure_mutex;
  std::exception_ptr failure;  // of failed_block, guarded by failure_mutex
};

// claim_ word: generation << 32 | block count << 16 | next block.
inline std::uint32_t next_of(std::uint64_t w) { return std::uint32_t(w & 0xFFFF); }
inline std::uint32_t count_of(std::uint64_t w) { return std::uint32_t((w >> 16) & 0xFFFF); }

class Pool {
 public:
  // Starts workers until there are `n` (fewer if the system refuses threads).
  void grow(std::size_t n) {
#if KELVORA_POSIX
    const BlockAllSignals workers_inherit_this;
#endif
    while (started_ < n) {
      try {
        std::thread(&Pool::worker_main, this, std::uint32_t(started_),
                    generation_.load(std::memory_order_relaxed))
            .detach();
      } catch (const std::system_error&) {
        break;
      }
      ++started_;
    }
  }

  std::size_t workers() const { return started_; }

  // Runs blocks of `block` indices over [begin, end) with the caller and up
  // to `helpers` workers; returns the failure of the lowest failed block.
  std::exception_ptr run(StopToken stop, RangeFn fn, void* ctx, std::size_t begin,
                         std::size_t end, std::size_t block, std::size_t helpers) {
    const std::uint32_t nblocks = std::uint32_t((end - begin + block - 1) / block);
    loop_.fn = fn;
    loop_.ctx = ctx;
    loop_.stop = stop;
    loop_.begin = begin;
    loop_.end = end;
    loop_.block = block;
    loop_.done.store(0, std::memory_order_relaxed);
    loop_.failed_block.store(std::numeric_limits<std::size_t>::max(), std::memory_order_relaxed);
    loop_.failure = nullptr;
    helpers_.store(std::uint32_t(helpers), std::memory_order_relaxed);
    const std::uint32_t gen = generation_.load(std::memory_order_relaxed) + 1;
    claim_.store(std::uint64_t(gen) << 32 | std::uint64_t(nblocks) << 16, std::memory_order_release);
    generation_.store(gen, std::memory_order_release);
    wake_all(generation_);

    work();
    wait_done(nblocks);
    return loop_.failure;
  }

 private:
  // Claims and runs blocks of whatever loop is published until none is left.
  void work() noexcept {
    std::uint64_t w = claim_.load(std::memory_order_acquire);
    for (;;) {
      const std::uint32_t b = next_of(w), nblocks = count_of(w);
      if (b >= nblocks) return;
      if (!claim_.compare_exchange_weak(w, w + 1, std::memory_order_acq_rel,
                                        std::memory_order_acquire))
        continue;
      run_block(b);
      if (loop_.done.fetch_add(1, std::memory_order_acq_rel) + 1 == nblocks) {
        const std::lock_guard<std::mutex> guard(done_mutex_);
        done_signal_.notify_one();
      }
      w = claim_.load(std::memory_order_acquire);
    }
  }

  // The caller, its own blocks done: spins a little, then sleeps until the
  // workers' last blocks are done, in slices of the poll period when the
  // token polls on this thread.
  void wait_done(std::uint32_t nblocks) {
    auto all_done = [&] { return loop_.done.load(std::memory_order_acquire) == nblocks; };
    for (int i = 0; i < kSpinRounds; ++i) {
      if (all_done()) return;
      cpu_relax();
    }
    for (;;) {
      const StopSource::Clock::time_point next_poll = loop_.stop.poll_while_waiting();
      std::unique_lock<std::mutex> lock(done_mutex_);
      if (next_poll == StopSource::Clock::time_point::max()) {
        done_signal_.wait(lock, all_done);
        return;
      }
      if (done_signal_.wait_until(lock, next_poll, all_done)) return;
    }
  }

  void run_block(std::size_t b) noexcept {
    // A block above a failed one cannot change which failure is reported.
    if (b > loop_.failed_block.load(std::memory_order_relaxed)) return;
    const std::size_t lo = loop_.begin + b * loop_.block;
    const std::size_t hi = std::min(loop_.end, lo + loop_.block);
    try {
      loop_.stop.checkpoint();
      loop_.fn(loop_.ctx, lo, hi);
    } catch (...) {
      std::lock_guard<std::mutex> guard(loop_.failure_mutex);
      if (b < loop_.failed_block.load(std::memory_order_relaxed)) {
        loop_.failed_block.store(b, std::memory_order_relaxed);
        loop_.failure = std::current_exception();
      }
    }
  }

  void worker_main(std::uint32_t id, std::uint32_t seen) {
    t_in_loop = true;
    for (;;) {
      seen = wait_change(generation_, seen);
      if (id < helpers_.load(std::memory_order_relaxed)) work();
    }
  }

  std::atomic<std::uint64_t> claim_{0};
  std::atomic<std::uint32_t> generation_{0};
  std::atomic<std::uint32_t> helpers_{0};  // workers that may take blocks
  Loop loop_;
  std::mutex done_mutex_;
  std::condition_variable done_signal_;  // the loop's last block is done
  std::size_t started_ = 0;  // only changed under pool_mutex()
};

// Held for the whole of a loop on the pool, and while the pool is created or
// resized. Never destroyed (exit must not depend on it); the child of fork()
// makes a new one, as another thread may hold this one at the fork.
std::mutex* g_pool_mutex = new std::mutex;
std::mutex& pool_mutex() { return *g_pool_mutex; }

Pool* g_pool = nullptr;              // leaked on purpose; guarded by pool_mutex()
std::atomic<std::size_t> g_threads{0};  // 0: not determined yet

std::size_t available_processors() {
#if defined(__linux__)
  for (std::size_t cpus = 1024; cpus <= (std::size_t(1) << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) break;
    const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(bytes, set);
    const int rc = sched_getaffinity(0, bytes, set);
    const int count = rc == 0 ? CPU_COUNT_S(bytes, set) : 0;
    CPU_FREE(set);
    if (rc == 0) return std::clamp<std::size_t>(std::size_t(count), 1, kMaxThreads);
    if (errno != EINVAL) break;  // EINVAL: the mask is wider than `cpus`
  }
#endif
  const unsigned hw = std::thread::hardware_concurrency();
  return std::clamp<std::size_t>(hw, 1, kMaxThreads);
}

#if KELVORA_POSIX
// fork(): the child forgets the pool, whose workers exist only in the parent,
// and the pool's mutex, which a loop running in another thread of the parent
// may hold. The parent does not wait for such a loop: its caller may itself
// be waiting for the forking thread (for the interpreter lock, in a poll).
void after_fork_child() {
  g_pool = nullptr;
  g_pool_mutex = new std::mutex;
}
#endif

// The pool with at least `workers` workers; call with pool_mutex() held.
Pool& pool_with(std::size_t workers) {
#if KELVORA_POSIX
  static const bool registered = [] {
    pthread_atfork(nullptr, nullptr, after_fork_child);
    return true;
  }();
  (void)registered;
#endif
  if (g_pool == nullptr) g_pool = new Pool;
  if (g_pool->workers() < workers) g_pool->grow(workers);
  return *g_pool;
}

struct InLoop {
  InLoop() { t_in_loop = true; }
  ~InLoop() { t_in_loop = false; }
};

// Runs [begin, end) on the current thread: in one piece when the token
// cannot stop, else block by block, each after a checkpoint.
void run_inline(StopToken stop, std::size_t begin, std::size_t end, std::size_t block,
                RangeFn fn, void* ctx) {
  if (!stop) return fn(ctx, begin, end);
  for (std::size_t lo = begin; lo < end; lo += std::min(block, end - lo)) {
    stop.checkpoint();
    fn(ctx, lo, lo + std::min(block, end - lo));
  }
  if (stop.stop_requested()) throw Stopped{};
}

// Runs blocks of `block` indices over [begin, end) on the pool, or inline
// where a hand-off cannot help.
void run_blocks(StopToken stop, std::size_t begin, std::size_t end, std::size_t block,
                RangeFn fn, void* ctx) {
  const std::size_t threads = thread_count();
  if (end - begin <= block || t_in_loop || threads <= 1)
    return run_inline(stop, begin, end, block, fn, ctx);
  std::unique_lock<std::mutex> lock(pool_mutex(), std::try_to_lock);
  // Another thread's loop has the pool.
  if (!lock.owns_lock()) return run_inline(stop, begin, end, block, fn, ctx);
  Pool& pool = pool_with(threads - 1);
  if (pool.workers() == 0) {
    lock.unlock();
    return run_inline(stop, begin, end, block, fn, ctx);
  }
  std::exception_ptr failure;
  {
    InLoop inside;
    failure = pool.run(stop, fn, ctx, begin, end, block, threads - 1);
  }
  lock.unlock();
  if (failure) std::rethrow_exception(failure);
  if (stop.stop_requested()) throw Stopped{};
}

}  // namespace

// See header.
void run(StopToken stop, std::size_t begin, std::size_t end, std::size_t grain, RangeFn fn,
         void* ctx) {
  if (begin >= end) return;
  const std::size_t len = end - begin;
  const std::size_t target = thread_count() * kBlocksPerThread;
  const std::size_t block = std::max({grain, std::size_t(1), len / target + (len % target != 0)});
  run_blocks(stop, begin, end, block, fn, ctx);
}

// See header.
void run_each(StopToken stop, std::size_t n, RangeFn fn, void* ctx) {
  if (n == 0) return;
  if (n > 0xFFFF) fail("parallel_tasks: too many tasks (" + std::to_string(n) + ")");
  run_blocks(stop, 0, n, 1, fn, ctx);
}

// See header.
std::size_t thread_count() {
  std::size_t n = g_threads.load(std::memory_order_relaxed);
  if (n == 0) {
    n = available_processors();
    std::size_t expected = 0;
    if (!g_threads.compare_exchange_strong(expected, n, std::memory_order_relaxed)) n = expected;
  }
  return n;
}

// See header.
void set_thread_count_for_testing(std::size_t n) {
  std::lock_guard<std::mutex> lock(pool_mutex());
  g_threads.store(n == 0 ? 0 : std::min(n, kMaxThreads), std::memory_order_relaxed);
}

}  // namespace kelvora::parallel
