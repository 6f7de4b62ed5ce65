// The worker pool behind parallel_for; see pool.hpp.
//
// Hand-off: the pool holds one loop slot. The caller fills it, publishes the
// loop in `claim_` (generation, block count, next block) and bumps
// `generation_` to wake sleeping workers. Every thread, the caller included,
// claims blocks by compare-and-swap on `claim_` and counts each finished
// block in the loop's `done` word; the caller returns once it reaches the
// block count. A worker that wakes late finds every block claimed and goes
// back to sleep, so no one ever waits for a thread that has not started. A
// successful claim names a block of the loop still in the slot: the slot is
// refilled only after all its blocks are done, and the block count travels in
// the claimed word itself. Waiting spins briefly (the loops of one call follow
// each other closely), then sleeps on the word it waits for (threads.hpp):
// workers on `generation_`, the caller on `done`, in slices of its token's
// poll period when it has a poll. A thread wakes sleepers only when it knows
// of some: workers count themselves in `sleepers_`, the caller marks `done`.
#include "parallel/pool.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <limits>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "cpu.hpp"
#include "failure.hpp"
#include "parallel/threads.hpp"
#include "platform.hpp"

namespace kelvora::parallel {
namespace {

constexpr std::size_t kBlocksPerThread = 8;  // claims per thread, for balance under load
constexpr std::size_t kMaxThreads = 256;     // so a loop has at most 2049 blocks
constexpr int kSpinRounds = 1000;            // pauses before sleeping (some tens of microseconds)
constexpr int kYieldRounds = 4;              // then a worker yields: others run meanwhile

// A loop's `done` word: its finished blocks (at most 65535), and two marks.
constexpr std::uint32_t kDoneCount = 0xFFFF;
constexpr std::uint32_t kCallerAsleep = 1u << 30;  // wake the caller after the last block
constexpr std::uint32_t kForked = 1u << 31;        // the process forked during the loop

// Set on workers, and on a caller while it runs its own share: a loop started
// there runs inline instead of handing work to the busy pool.
thread_local bool t_in_loop = false;

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

// Round i of a wait: true after a pause (or, for a worker, a yield), false
// once it is time to sleep. A caller does not yield: on a loaded machine the
// processor it gives up may not come back before its loop is done, while a
// thread woken from its sleep runs soon.
inline bool spin(int i, int yields) {
  if (i < kSpinRounds) {
    cpu::relax();
    return true;
  }
  if (i < kSpinRounds + yields) {
    std::this_thread::yield();
    return true;
  }
  return false;
}

// claim_ word: generation << 32 | block count << 16 | next block.
inline std::uint32_t next_of(std::uint64_t w) { return std::uint32_t(w & 0xFFFF); }
inline std::uint32_t count_of(std::uint64_t w) { return std::uint32_t((w >> 16) & 0xFFFF); }

class Pool {
 public:
  // Starts workers until there are `n` (fewer if the system refuses threads),
  // each with every signal blocked.
  void grow(std::size_t n) {
    with_signals_blocked([&] {
      for (; started_ < n; ++started_) {
        try {
          std::thread(&Pool::worker_main, this, std::uint32_t(started_),
                      generation_.load(std::memory_order_relaxed))
              .detach();
        } catch (const std::system_error&) {
          break;
        }
      }
    });
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
    // Sequentially consistent, against a worker that counts itself asleep
    // and then reads the generation: one of the two sees the other.
    generation_.store(gen, std::memory_order_seq_cst);
    if (sleepers_.load(std::memory_order_seq_cst) != 0) threads::wake_all(generation_);

    work();
    if (!wait_done(nblocks))
      fail("fork() during a parallel loop: the child has lost the blocks of its parent's workers");
    return loop_.failure;
  }

  // In the child of fork(), on the thread that forked: a loop running on this
  // pool has no workers any more. Atomics only (this may run in a signal
  // handler).
  void orphan() noexcept { loop_.done.fetch_or(kForked, std::memory_order_relaxed); }

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
      const std::uint32_t before = loop_.done.fetch_add(1, std::memory_order_acq_rel);
      if ((before & kDoneCount) + 1 == nblocks && (before & kCallerAsleep) != 0)
        threads::wake_all(loop_.done);
      w = claim_.load(std::memory_order_acquire);
    }
  }

  // The caller, its own blocks done: spins a little, then sleeps until the
  // workers' last blocks are done, in slices of the poll period when the
  // token polls on this thread. False when they never will be: the process
  // has forked meanwhile (from the poll, or a signal handler) and this is the
  // child, where the workers that hold them do not exist.
  bool wait_done(std::uint32_t nblocks) {
    for (int i = 0;; ++i) {
      std::uint32_t done = loop_.done.load(std::memory_order_acquire);
      if ((done & kDoneCount) == nblocks) return true;
      if ((done & kForked) != 0) return false;
      if (spin(i, 0)) continue;
      if ((done & kCallerAsleep) == 0) {
        loop_.done.compare_exchange_weak(done, done | kCallerAsleep, std::memory_order_acq_rel);
      } else {
        threads::wait(loop_.done, done, loop_.stop.poll_while_waiting());
      }
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

  // Spins, then sleeps, until the generation is no longer `seen`.
  std::uint32_t next_generation(std::uint32_t seen) {
    for (int i = 0;; ++i) {
      const std::uint32_t now = generation_.load(std::memory_order_acquire);
      if (now != seen) return now;
      if (spin(i, kYieldRounds)) continue;
      sleepers_.fetch_add(1, std::memory_order_seq_cst);
      if (generation_.load(std::memory_order_seq_cst) == seen)
        threads::wait(generation_, seen, threads::Clock::time_point::max());
      sleepers_.fetch_sub(1, std::memory_order_relaxed);
    }
  }

  void worker_main(std::uint32_t id, std::uint32_t seen) {
    t_in_loop = true;
    for (;;) {
      seen = next_generation(seen);
      if (id < helpers_.load(std::memory_order_relaxed)) work();
    }
  }

  std::atomic<std::uint64_t> claim_{0};
  std::atomic<std::uint32_t> generation_{0};
  std::atomic<std::uint32_t> sleepers_{0};  // workers asleep on generation_, or about to be
  std::atomic<std::uint32_t> helpers_{0};   // workers that may take blocks
  Loop loop_;
  std::size_t started_ = 0;  // only changed under the pool lock
};

// The pool lock: held for the whole of a loop on the pool, and while the pool
// is created or resized; only ever tried, so a caller that finds it held runs
// its loop inline. The word holds 0 when free, else one more than the number
// of forks the process had been through when it was taken: the child of
// fork() frees it (the thread holding it may not exist there), and a holder
// from before the fork, if that is the thread that forked, cannot free it
// again once a thread of the child has it.
std::atomic<std::uint32_t> g_pool_owner{0};
std::atomic<std::uint32_t> g_forks{0};

class PoolLock {
 public:
  bool try_lock() {
    std::uint32_t free = 0;
    const std::uint32_t mine = g_forks.load(std::memory_order_relaxed) + 1;
    if (g_pool_owner.compare_exchange_strong(free, mine, std::memory_order_acquire)) mine_ = mine;
    return mine_ != 0;
  }
  void unlock() {
    std::uint32_t mine = std::exchange(mine_, 0);
    if (mine != 0) g_pool_owner.compare_exchange_strong(mine, 0, std::memory_order_release);
  }
  ~PoolLock() { unlock(); }

 private:
  std::uint32_t mine_ = 0;  // what this holder put in the word; 0: not held
};

Pool* g_pool = nullptr;                 // leaked on purpose; guarded by the pool lock
std::atomic<std::size_t> g_threads{0};  // 0: not determined yet

// fork(): the child forgets the pool, whose workers exist only in the parent,
// and frees the pool lock, which a loop running in another thread of the
// parent may hold. A loop running on the forking thread itself (the fork came
// from a poll or a signal handler) learns that its workers are gone. The
// parent does not wait for a running loop: its caller may itself be waiting
// for the forking thread (for the interpreter lock, in a poll).
void forget_pool_in_child() {
  if (g_pool != nullptr) g_pool->orphan();
  g_pool = nullptr;
  g_forks.fetch_add(1, std::memory_order_relaxed);
  g_pool_owner.store(0, std::memory_order_relaxed);
}

// The pool with at least `workers` workers; call with the pool lock held.
Pool& pool_with(std::size_t workers) {
  [[maybe_unused]] static const bool registered = (at_fork_child(forget_pool_in_child), true);
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
  PoolLock lock;
  // Another thread's loop has the pool.
  if (!lock.try_lock()) return run_inline(stop, begin, end, block, fn, ctx);
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
    n = std::min(threads::available_processors(), kMaxThreads);
    std::size_t expected = 0;
    if (!g_threads.compare_exchange_strong(expected, n, std::memory_order_relaxed)) n = expected;
  }
  return n;
}

// See header.
void set_thread_count_for_testing(std::size_t n) {
  PoolLock lock;
  while (!lock.try_lock()) std::this_thread::yield();
  g_threads.store(n == 0 ? 0 : std::min(n, kMaxThreads), std::memory_order_relaxed);
}

}  // namespace kelvora::parallel
