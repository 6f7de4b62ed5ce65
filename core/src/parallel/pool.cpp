// The worker pool behind parallel_for; see pool.hpp.
//
// Hand-off: the caller publishes a Loop, bumps `generation_` and wakes the
// workers; every started worker acknowledges every loop by decrementing
// `pending_`, taking blocks only if its id is below the loop's participant
// count. The caller runs blocks too, then waits for `pending_` to reach zero,
// so no worker can still be reading a Loop once its caller returns. Waiting
// spins briefly (loops of one call come in quick succession) and then sleeps
// on the atomic (a futex on Linux).
#include "parallel/pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <exception>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>

namespace kelvora::parallel {
namespace {

constexpr std::size_t kBlocksPerThread = 8;  // claims per thread, for balance under load
constexpr std::size_t kMaxThreads = 256;
constexpr int kSpinRounds = 1000;  // pauses before sleeping (some tens of microseconds)

// Set on workers, and on a caller while it runs its own share: a loop started
// there runs inline instead of handing work to the busy pool.
thread_local bool t_in_loop = false;

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

struct Loop {
  RangeFn fn;
  void* ctx;
  std::size_t begin, end, block, nblocks;
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> failed_block{std::numeric_limits<std::size_t>::max()};
  std::mutex failure_mutex;
  std::exception_ptr failure;  // of failed_block, guarded by failure_mutex

  // Claims and runs blocks until none is left.
  void work() noexcept {
    for (;;) {
      const std::size_t b = next.fetch_add(1, std::memory_order_relaxed);
      if (b >= nblocks) return;
      // A block above a failed one cannot change which failure is reported.
      if (b > failed_block.load(std::memory_order_relaxed)) continue;
      const std::size_t lo = begin + b * block;
      const std::size_t hi = std::min(end, lo + block);
      try {
        fn(ctx, lo, hi);
      } catch (...) {
        std::lock_guard<std::mutex> guard(failure_mutex);
        if (b < failed_block.load(std::memory_order_relaxed)) {
          failed_block.store(b, std::memory_order_relaxed);
          failure = std::current_exception();
        }
      }
    }
  }
};

class Pool {
 public:
  // Starts workers until there are `n` (fewer if the system refuses threads).
  void grow(std::size_t n) {
    // Workers inherit a mask that blocks every signal.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
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
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  }

  std::size_t workers() const { return started_; }

  // Runs `loop` with the caller and up to `helpers` workers.
  void run(Loop& loop, std::size_t helpers) {
    loop_ = &loop;
    helpers_ = std::uint32_t(std::min(helpers, started_));
    pending_.store(std::uint32_t(started_), std::memory_order_relaxed);
    generation_.fetch_add(1, std::memory_order_release);
    generation_.notify_all();

    loop.work();

    for (int i = 0;; ++i) {
      const std::uint32_t left = pending_.load(std::memory_order_acquire);
      if (left == 0) break;
      if (i < kSpinRounds) {
        cpu_relax();
      } else {
        pending_.wait(left, std::memory_order_acquire);
      }
    }
    loop_ = nullptr;
  }

 private:
  void worker_main(std::uint32_t id, std::uint32_t seen) {
    t_in_loop = true;
    for (;;) {
      std::uint32_t now;
      for (int i = 0;; ++i) {
        now = generation_.load(std::memory_order_acquire);
        if (now != seen) break;
        if (i < kSpinRounds) {
          cpu_relax();
        } else {
          generation_.wait(seen, std::memory_order_acquire);
        }
      }
      seen = now;
      if (id < helpers_) loop_->work();
      if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) pending_.notify_one();
    }
  }

  std::atomic<std::uint32_t> generation_{0};
  std::atomic<std::uint32_t> pending_{0};
  // Written by the caller before the generation bump, read by workers after.
  Loop* loop_ = nullptr;
  std::uint32_t helpers_ = 0;
  std::size_t started_ = 0;  // only changed under g_mutex
};

// Held for the whole of a loop on the pool, and while the pool is created or
// resized. Never destroyed (trivially destructible in practice, but exit must
// not depend on it).
std::mutex& pool_mutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

Pool* g_pool = nullptr;              // leaked on purpose; guarded by pool_mutex()
std::atomic<std::size_t> g_threads{0};  // 0: not determined yet
bool g_locked_for_fork = false;

std::size_t available_processors() {
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
  const unsigned hw = std::thread::hardware_concurrency();
  return std::clamp<std::size_t>(hw, 1, kMaxThreads);
}

// fork(): the parent waits for a running loop to end before forking, so the
// child never sees the pool in the middle of one. The child forgets the pool.
void before_fork() {
  if (t_in_loop) return;  // forking from inside a loop body: nothing to wait for
  pool_mutex().lock();
  g_locked_for_fork = true;
}
void after_fork_parent() {
  if (!g_locked_for_fork) return;
  g_locked_for_fork = false;
  pool_mutex().unlock();
}
void after_fork_child() {
  g_pool = nullptr;  // its workers exist only in the parent
  if (!g_locked_for_fork) return;
  g_locked_for_fork = false;
  pool_mutex().unlock();  // locked by this same thread in before_fork()
}

// The pool with at least `workers` workers; call with pool_mutex() held.
Pool& pool_with(std::size_t workers) {
  static const bool registered = [] {
    pthread_atfork(before_fork, after_fork_parent, after_fork_child);
    return true;
  }();
  (void)registered;
  if (g_pool == nullptr) g_pool = new Pool;
  if (g_pool->workers() < workers) g_pool->grow(workers);
  return *g_pool;
}

struct InLoop {
  InLoop() { t_in_loop = true; }
  ~InLoop() { t_in_loop = false; }
};

}  // namespace

// See header.
void run(std::size_t begin, std::size_t end, std::size_t grain, RangeFn fn, void* ctx) {
  if (begin >= end) return;
  const std::size_t len = end - begin;
  grain = std::max<std::size_t>(grain, 1);
  if (len <= grain || t_in_loop) return fn(ctx, begin, end);
  const std::size_t threads = thread_count();
  if (threads <= 1) return fn(ctx, begin, end);

  std::unique_lock<std::mutex> lock(pool_mutex(), std::try_to_lock);
  if (!lock.owns_lock()) return fn(ctx, begin, end);  // another thread's loop has the pool
  Pool& pool = pool_with(threads - 1);
  if (pool.workers() == 0) {
    lock.unlock();
    return fn(ctx, begin, end);
  }

  const std::size_t target = threads * kBlocksPerThread;
  const std::size_t block = std::max(grain, len / target + (len % target != 0));
  Loop loop;
  loop.fn = fn;
  loop.ctx = ctx;
  loop.begin = begin;
  loop.end = end;
  loop.block = block;
  loop.nblocks = len / block + (len % block != 0);
  {
    InLoop inside;
    pool.run(loop, threads - 1);
  }
  lock.unlock();
  if (loop.failure) std::rethrow_exception(loop.failure);
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
