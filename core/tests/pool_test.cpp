// Worker pool: coverage of every index over swept shapes and thread counts,
// failure order, inline nesting, concurrent callers, fork.
#include "parallel/pool.hpp"

#include <gtest/gtest.h>

#include "platform.hpp"

#if KELVORA_POSIX
#include <pthread.h>
#include <signal.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <csignal>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "failure.hpp"

namespace {
// While set, operator new fails on this thread (std::thread allocates its
// state with it before it asks the system for a thread).
thread_local bool t_new_fails = false;
}  // namespace

// Out of line: inlined, the compiler would see malloc() and free() meet
// operator new and delete.
[[gnu::noinline]] void* operator new(std::size_t n) {
  if (t_new_fails) throw std::bad_alloc();
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace kelvora::parallel {
namespace {

// Runs a loop over [begin, end) and checks that every index was visited
// exactly once, by sub-ranges inside the range.
void expect_each_index_once(std::size_t begin, std::size_t end, std::size_t grain) {
  std::vector<std::atomic<int>> hits(end + 1);
  std::atomic<bool> bad_range{false};
  parallel_for({}, begin, end, grain, [&](std::size_t lo, std::size_t hi) {
    if (lo >= hi || lo < begin || hi > end) bad_range = true;
    for (std::size_t i = lo; i < hi; ++i) hits[i].fetch_add(1, std::memory_order_relaxed);
  });
  EXPECT_FALSE(bad_range) << begin << ".." << end << " grain " << grain;
  for (std::size_t i = 0; i <= end; ++i)
    ASSERT_EQ(hits[i].load(), (i >= begin && i < end) ? 1 : 0)
        << "index " << i << " of " << begin << ".." << end << " grain " << grain;
}

// Waits up to ten seconds for `flag`; true when it was set.
bool wait_for(const std::atomic<bool>& flag) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!flag.load()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::yield();
  }
  return true;
}

class PoolShapes : public ::testing::TestWithParam<std::size_t> {};

// Every index once, so a loop writing each index's own value gives the serial
// result; empty ranges (length 0 below) and reversed ones run nothing.
TEST_P(PoolShapes, EveryIndexExactlyOnce) {
  set_thread_count_for_testing(GetParam());
  ASSERT_EQ(thread_count(), GetParam());
  for (std::size_t begin : {0u, 1u, 7u, 1000u})
    for (std::size_t len : {0u, 1u, 2u, 3u, 5u, 8u, 15u, 16u, 17u, 63u, 64u, 65u, 100u, 1000u,
                            4097u, 100000u})
      for (std::size_t grain : {0u, 1u, 2u, 7u, 64u, 1000u})
        expect_each_index_once(begin, begin + len, grain);
  parallel_for({}, 9, 3, 1, [](std::size_t, std::size_t) { ADD_FAILURE() << "reversed range ran"; });
}

TEST_P(PoolShapes, LowerOfTwoPlantedFailuresWins) {
  set_thread_count_for_testing(GetParam());
  const std::size_t n = 50000;
  for (auto [first, second] : {std::pair<std::size_t, std::size_t>{0, n - 1}, {123, 124},
                               {4999, 40000}, {n - 2, n - 1}, {17, 30000}}) {
    for (std::size_t grain : {1u, 16u, 4096u}) {
      std::vector<std::atomic<int>> hits(n);
      try {
        parallel_for({}, 0, n, grain, [&](std::size_t lo, std::size_t hi) {
          for (std::size_t i = lo; i < hi; ++i) {
            if (i == first || i == second) fail("planted at " + std::to_string(i));
            hits[i].fetch_add(1, std::memory_order_relaxed);
          }
        });
        ADD_FAILURE() << "no failure raised";
      } catch (const InternalFailure& f) {
        EXPECT_EQ(f.message(), "planted at " + std::to_string(first));
      }
      // Every index below the reported failure ran; blocks never run twice.
      for (std::size_t i = 0; i < n; ++i) {
        if (i < first) {
          ASSERT_EQ(hits[i].load(), 1) << i;
        }
        ASSERT_LE(hits[i].load(), 1) << i;
      }
    }
  }
}

TEST_P(PoolShapes, BadAllocTravelsBack) {
  set_thread_count_for_testing(GetParam());
  EXPECT_THROW(parallel_for({}, 0, 100000, 10,
                            [](std::size_t lo, std::size_t hi) {
                              if (lo <= 77777 && 77777 < hi) throw std::bad_alloc();
                            }),
               std::bad_alloc);
  // The pool is still usable afterwards.
  expect_each_index_once(0, 10000, 1);
}

TEST_P(PoolShapes, NestedLoopsRunInlineOnTheCallingThread) {
  set_thread_count_for_testing(GetParam());
  std::atomic<int> mismatches{0};
  std::vector<std::atomic<int>> hits(64 * 100);
  parallel_for({}, 0, 64, 1, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t outer = lo; outer < hi; ++outer) {
      const auto me = std::this_thread::get_id();
      int calls = 0;
      parallel_for({}, 0, 100, 1, [&](std::size_t a, std::size_t b) {
        ++calls;
        if (std::this_thread::get_id() != me || a != 0 || b != 100) ++mismatches;
        for (std::size_t i = a; i < b; ++i) hits[outer * 100 + i].fetch_add(1);
      });
      if (calls != 1) ++mismatches;
    }
  });
  EXPECT_EQ(mismatches.load(), 0);
  for (auto& h : hits) ASSERT_EQ(h.load(), 1);
}

TEST_P(PoolShapes, EachTaskOnceWithTheLowestFailure) {
  set_thread_count_for_testing(GetParam());
  for (std::size_t n : {0u, 1u, 2u, 3u, 17u, 300u}) {
    std::vector<std::atomic<int>> hits(n);
    parallel_tasks({}, n, [&](std::size_t i) { hits[i].fetch_add(1); });
    for (auto& h : hits) ASSERT_EQ(h.load(), 1) << n;
  }
  try {
    parallel_tasks({}, 50, [](std::size_t i) {
      if (i == 7 || i == 31) fail("task " + std::to_string(i));
    });
    ADD_FAILURE() << "no failure";
  } catch (const InternalFailure& f) {
    EXPECT_EQ(f.message(), "task 7");
  }
}

INSTANTIATE_TEST_SUITE_P(Threads, PoolShapes, ::testing::Values(1, 2, 3, 4, 8));

// The failure reported is the lowest failing block's, not the first to
// happen: block 0 fails only once block 40 has failed on another thread (and
// some time after, for that failure to be recorded).
TEST(Pool, LowestFailingBlockWinsOverTheFirstToFail) {
  set_thread_count_for_testing(4);
  std::atomic<bool> higher_failed{false};
  try {
    parallel_for({}, 0, 64, 1, [&](std::size_t lo, std::size_t) {
      if (lo == 40) {
        higher_failed = true;
        fail("block 40");
      }
      if (lo == 0) {
        if (wait_for(higher_failed)) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        fail("block 0");
      }
    });
    ADD_FAILURE() << "no failure raised";
  } catch (const InternalFailure& f) {
    EXPECT_EQ(f.message(), "block 0");
  }
}

// The first block waits for a block on another thread: a loop that ran on
// one thread alone would time out.
TEST(Pool, WorkersShareALoop) {
  set_thread_count_for_testing(4);
  std::atomic<bool> other{false}, first_known{false};
  std::thread::id first;
  bool shared = false;
  parallel_for({}, 0, 32, 1, [&](std::size_t lo, std::size_t) {
    if (lo == 0) {
      first = std::this_thread::get_id();
      first_known = true;
      shared = wait_for(other);
    } else if (wait_for(first_known) && std::this_thread::get_id() != first) {
      other = true;
    }
  });
  EXPECT_TRUE(shared);
}

// Two long tasks at the head of many short ones run side by side: each
// waits for the other to start.
TEST(Pool, LongTasksAreNotQueuedBehindEachOther) {
  set_thread_count_for_testing(2);
  std::atomic<bool> started[2] = {false, false};
  std::atomic<int> met{0};
  parallel_tasks({}, 40, [&](std::size_t i) {
    if (i >= 2) return;
    started[i] = true;
    if (wait_for(started[1 - i])) ++met;
  });
  EXPECT_EQ(met.load(), 2);
}

TEST(Pool, ConcurrentCallersEachGetTheirWholeRange) {
  set_thread_count_for_testing(4);
  std::vector<std::thread> callers;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t)
    callers.emplace_back([&, t] {
      for (int round = 0; round < 50; ++round) {
        const std::size_t n = 20000 + std::size_t(t) * 1000;
        std::vector<std::uint32_t> out(n, 0);
        parallel_for({}, 0, n, 64, [&](std::size_t lo, std::size_t hi) {
          for (std::size_t i = lo; i < hi; ++i) out[i] += std::uint32_t(i + 1);
        });
        for (std::size_t i = 0; i < n; ++i)
          if (out[i] != i + 1) ++wrong;
      }
    });
  for (auto& c : callers) c.join();
  EXPECT_EQ(wrong.load(), 0);
}

// Another thread's loop, whose first block holds the pool until release()
// (ten seconds at most); release() is true when the block was still holding.
struct PoolHeld {
  std::atomic<bool> holding{false}, released{false}, in_time{false};
  std::thread loop{[this] {
    parallel_for({}, 0, 64, 1, [this](std::size_t lo, std::size_t) {
      if (lo != 0) return;
      holding = true;
      in_time = wait_for(released);
    });
  }};
  bool release() {
    released = true;
    loop.join();
    return in_time;
  }
};

// A loop started while another thread's loop has the pool runs at once, all
// of it on its own thread.
TEST(Pool, ACallerFindingThePoolBusyRunsInline) {
  set_thread_count_for_testing(4);
  PoolHeld held;
  ASSERT_TRUE(wait_for(held.holding));
  const auto me = std::this_thread::get_id();
  std::atomic<int> elsewhere{0};
  parallel_for({}, 0, 1000, 1, [&](std::size_t, std::size_t) {
    if (std::this_thread::get_id() != me) ++elsewhere;
  });
  EXPECT_TRUE(held.release()) << "the second loop waited for the first";
  EXPECT_EQ(elsewhere.load(), 0);
}

#if KELVORA_POSIX
// Starting a worker can fail with something other than std::system_error
// (here std::bad_alloc for the thread's state): the failure reaches the
// caller, whose signal mask is as it was, and the pool grows later.
TEST(Pool, FailedWorkerStartLeavesTheCallersSignalMask) {
  set_thread_count_for_testing(2);
  expect_each_index_once(0, 1000, 1);  // the pool exists, with one worker
  sigset_t before, after;
  sigemptyset(&before);
  sigaddset(&before, SIGUSR1);
  ASSERT_EQ(pthread_sigmask(SIG_SETMASK, &before, nullptr), 0);
  set_thread_count_for_testing(8);
  t_new_fails = true;
  EXPECT_THROW(parallel_for({}, 0, 1000, 1, [](std::size_t, std::size_t) {}), std::bad_alloc);
  t_new_fails = false;
  ASSERT_EQ(pthread_sigmask(SIG_SETMASK, nullptr, &after), 0);
  for (int sig = 1; sig < NSIG; ++sig)
    EXPECT_EQ(sigismember(&after, sig), sigismember(&before, sig)) << "signal " << sig;
  expect_each_index_once(0, 100000, 16);
  sigemptyset(&before);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}
#endif

#if KELVORA_POSIX
// How this process is emulated, or "" on its own machine: under user-mode
// emulation (qemu-user) uname() names the emulated machine, while the kernel
// still reports its own architecture in /proc/sys/kernel/arch.
std::string user_mode_emulation() {
  std::ifstream arch("/proc/sys/kernel/arch");
  std::string kernel;
  utsname u{};
  if (!(arch >> kernel) || uname(&u) != 0 || kernel == u.machine) return "";
  return std::string(u.machine) + " emulated in user mode on an " + kernel + " kernel";
}

// In a forked child: one loop over every index, then the process's exit
// status says whether each index was visited once (0) or not (2).
[[noreturn]] void run_a_loop_and_exit() {
  std::vector<std::atomic<int>> hits(100000);
  parallel_for({}, 0, 100000, 16, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t i = lo; i < hi; ++i) hits[i].fetch_add(1);
  });
  for (auto& h : hits)
    if (h.load() != 1) _exit(2);
  _exit(0);
}

// The child of fork() has none of the parent's workers; its first loop must
// rebuild the pool, and the parent's pool must keep working.
TEST(Pool, ForkedChildRebuildsThePool) {
  // qemu-user fails an assertion of its translator (the child exits with
  // status 127) when a child forked from a threaded process starts threads.
  if (const std::string emulated = user_mode_emulation(); !emulated.empty())
    GTEST_SKIP() << "fork under qemu-user (" << emulated << ") cannot start threads in the child";
  set_thread_count_for_testing(4);
  expect_each_index_once(0, 100000, 16);  // the parent's pool is running
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) run_a_loop_and_exit();
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  expect_each_index_once(0, 100000, 16);
}

// fork() while another thread's loop holds the pool: the fork does not wait
// for that loop (whose caller may be waiting for the forking thread), and the
// child's loops run on a pool and mutex of their own.
TEST(Pool, ForkDuringAnotherThreadsLoop) {
  if (const std::string emulated = user_mode_emulation(); !emulated.empty())
    GTEST_SKIP() << "fork under qemu-user (" << emulated << ") cannot start threads in the child";
  set_thread_count_for_testing(4);
  PoolHeld held;
  ASSERT_TRUE(wait_for(held.holding));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) run_a_loop_and_exit();
  EXPECT_TRUE(held.release());
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

pid_t g_handler_child = -1;
std::atomic<bool> g_handler_forked{false};

// fork() from a signal handler on a loop's caller, while the workers hold
// blocks (as a Python handler run from the loop's poll does): the child's
// loop cannot finish without them and fails at once, instead of waiting for
// ever; the parent's loop ends as usual.
TEST(Pool, ForkFromASignalHandlerDuringALoop) {
  if (const std::string emulated = user_mode_emulation(); !emulated.empty())
    GTEST_SKIP() << "fork under qemu-user (" << emulated << ") cannot start threads in the child";
  set_thread_count_for_testing(4);
  expect_each_index_once(0, 100000, 16);  // the workers are running
  struct sigaction handler {}, old {};
  handler.sa_handler = [](int) {
    g_handler_child = fork();
    if (g_handler_child != 0) g_handler_forked = true;
  };
  ASSERT_EQ(sigaction(SIGUSR1, &handler, &old), 0);
  g_handler_forked = false;
  const pid_t parent = getpid();
  const pthread_t caller = pthread_self();
  std::atomic<bool> worker_started{false}, signalled{false};
  std::string failure = "none";
  try {
    parallel_for({}, 0, 4, 1, [&](std::size_t, std::size_t) {
      if (pthread_equal(pthread_self(), caller)) {
        wait_for(worker_started);
        return;
      }
      worker_started = true;
      if (!signalled.exchange(true)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the caller waits by then
        pthread_kill(caller, SIGUSR1);
      }
      wait_for(g_handler_forked);
    });
  } catch (const InternalFailure& f) {
    failure = f.message();
  }
  if (getpid() != parent)
    _exit(failure == "fork() during a parallel loop: the child has lost the blocks of its "
                     "parent's workers" ? 0 : 1);
  sigaction(SIGUSR1, &old, nullptr);
  EXPECT_EQ(failure, "none");
  ASSERT_TRUE(g_handler_forked.load());
  int status = 0;
  for (int i = 0; i < 1000 && waitpid(g_handler_child, &status, WNOHANG) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (kill(g_handler_child, SIGKILL) == 0) waitpid(g_handler_child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "the child's loop never ended";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
#endif

}  // namespace
}  // namespace kelvora::parallel
