// Stop tokens: a stopped loop skips the blocks it has not started, on the
// pool and inline; the poll runs on the caller's thread only, also while it
// waits for the workers; every long operation ends with Stopped once its
// token is stopped, its serial steps included; the chunk-size search polls as
// it goes.
#include "parallel/stop.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "blob/blob.hpp"
#include "involute/chunk_sizes/chunks.hpp"
#include "involute/chunk_sizes/distinct.hpp"
#include "involute/pipeline/cycle.hpp"
#include "involute/pipeline/involute.hpp"
#include "involute/pipeline/stages.hpp"
#include "mapping/mapping.hpp"
#include "packets.hpp"
#include "parallel/pool.hpp"
#include "platform.hpp"

#if KELVORA_POSIX
#include <time.h>
#endif

namespace kelvora {
namespace {

using parallel::parallel_for;
using parallel::parallel_tasks;
using parallel::set_thread_count_for_testing;

class StopShapes : public ::testing::TestWithParam<std::size_t> {};

// The body that reaches block b of 8 asks for the stop: blocks that started run to their end,
// the others are skipped, and Stopped reaches the caller. Blocks above the stopping one that
// start before the stop wait for it, so that however the threads are scheduled, at most one
// block per other thread runs beside the stopping one.
TEST_P(StopShapes, StoppedLoopSkipsTheBlocksNotStarted) {
  const std::size_t threads = GetParam();
  set_thread_count_for_testing(threads);
  const std::size_t n = 8 * 1000, block = n / 8;  // one grain: a block on every thread count
  for (std::size_t stop_at : {0u, 3u, 7u}) {
    StopSource source;
    std::vector<std::atomic<int>> hits(n);
    EXPECT_THROW(parallel_for(source.token(), 0, n, block, [&](std::size_t lo, std::size_t hi) {
                   if (lo / block > stop_at) {
                     const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
                     while (!source.stop_requested() && std::chrono::steady_clock::now() < deadline)
                       std::this_thread::yield();
                   }
                   for (std::size_t i = lo; i < hi; ++i) hits[i].fetch_add(1);
                   if (lo / block == stop_at) source.request_stop();
                 }),
                 Stopped)
        << "stop at block " << stop_at;
    std::size_t ran = 0;
    for (std::size_t b = 0; b < 8; ++b) {
      const int first = hits[b * block].load();
      for (std::size_t i = b * block; i < (b + 1) * block; ++i) ASSERT_EQ(hits[i].load(), first);
      ASSERT_LE(first, 1);
      ran += std::size_t(first);
    }
    // The stopping block, some of those below it (claimed before it), and at
    // most one above it on each other thread.
    EXPECT_EQ(hits[stop_at * block].load(), 1) << "stop at block " << stop_at;
    EXPECT_LE(ran, std::min<std::size_t>(8, stop_at + threads)) << "stop at block " << stop_at;
  }
  // A stopped token stops a loop before its first block, and parallel_tasks too.
  StopSource stopped;
  stopped.request_stop();
  EXPECT_THROW(parallel_for(stopped.token(), 0, n, 1,
                            [](std::size_t, std::size_t) { ADD_FAILURE() << "a block ran"; }),
               Stopped);
  EXPECT_THROW(parallel_tasks(stopped.token(), 40,
                              [](std::size_t) { ADD_FAILURE() << "a task ran"; }),
               Stopped);
}

INSTANTIATE_TEST_SUITE_P(Threads, StopShapes, ::testing::Values(1, 2, 4));

// Polls, each with the thread it ran on.
struct PollLog {
  std::mutex mutex;
  std::vector<std::thread::id> threads;
  int stop_after = -1;  // request the stop at this poll (counted from 0)

  static bool poll(void* self) {
    auto* log = static_cast<PollLog*>(self);
    const std::lock_guard<std::mutex> guard(log->mutex);
    log->threads.push_back(std::this_thread::get_id());
    return int(log->threads.size()) - 1 == log->stop_after;
  }
};

// The caller's own block ends at once; the worker's lasts ten poll periods,
// during which the caller sleeps, waking for its polls: one per period at
// most, whatever the load.
TEST(Stop, CallerPollsWhileItWaitsAndOnlyThere) {
  set_thread_count_for_testing(2);
  PollLog log;
  const auto start = std::chrono::steady_clock::now();
  StopSource source(&PollLog::poll, &log);
  const auto caller = std::this_thread::get_id();
  std::atomic<int> started{0};
  parallel_for(source.token(), 0, 2, 1, [&](std::size_t, std::size_t) {
    ++started;
    if (std::this_thread::get_id() == caller) {
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (started.load() < 2 && std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(10 * StopSource::kPollPeriod);
    }
  });
  ASSERT_EQ(started.load(), 2);
  const auto periods = (std::chrono::steady_clock::now() - start) / StopSource::kPollPeriod;
  const std::lock_guard<std::mutex> guard(log.mutex);
  EXPECT_GE(log.threads.size(), 3u);
  EXPECT_LE(log.threads.size(), std::size_t(periods) + 1);
  for (const auto& id : log.threads) EXPECT_EQ(id, caller);
}

// A poll that asks for the stop ends a loop running inline (the pool busy
// or a single thread): it is cut into blocks with a checkpoint before each.
TEST(Stop, PollStopsAnInlineLoop) {
  set_thread_count_for_testing(1);
  PollLog log;
  log.stop_after = 1;
  StopSource source(&PollLog::poll, &log);
  std::atomic<int> blocks{0};
  EXPECT_THROW(parallel_for(source.token(), 0, 64, 1,
                            [&](std::size_t, std::size_t) {
                              ++blocks;
                              std::this_thread::sleep_for(StopSource::kPollPeriod / 2);
                            }),
               Stopped);
  EXPECT_LT(blocks.load(), 64);
  EXPECT_EQ(log.threads.size(), 2u);  // no poll after the one that stopped
}

#if KELVORA_POSIX
double thread_cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}
#endif

// The chunk-size search checks its token every few milliseconds of work, in
// its walks over the chunks and as its sets grow, so the caller's poll runs
// about once a poll period: never three periods of the thread's CPU time
// apart (a poll falls due after a period of wall time, which is at least as
// long). 64 MiB of distinct 4-byte chunks, walked in two parts.
TEST(Stop, ChunkSizeSearchPollsAsItWalks) {
#if !KELVORA_POSIX || defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "needs a POSIX clock of the thread's CPU time, which sanitizers inflate";
#else
  set_thread_count_for_testing(2);
  Bytes packet(std::size_t(64) << 20);
  for (std::size_t k = 0; k < packet.size() / 4; ++k)
    store32_le(&packet[4 * k], std::uint32_t(k) * 2654435761u);
  struct Gaps {
    double last = thread_cpu_seconds(), widest = 0;
    static bool poll(void* self) {
      auto* g = static_cast<Gaps*>(self);
      const double now = thread_cpu_seconds();
      g->widest = std::max(g->widest, now - std::exchange(g->last, now));
      return false;
    }
  } gaps;
  StopSource source(&Gaps::poll, &gaps);
  EXPECT_EQ(chunk_size(packet, source.token()), 4u);
  Gaps::poll(&gaps);  // the stretch after the last poll, too
  EXPECT_LT(gaps.widest, 3 * std::chrono::duration<double>(StopSource::kPollPeriod).count());
  set_thread_count_for_testing(0);
#endif
}

// Every long operation honours a stopped token: on the pool, inline, and in
// its serial steps (seed digest, chunk walk, blob pieces).
TEST(Stop, EveryOperationStops) {
  const std::size_t s = 64, n = 1 << 16;  // 4 MiB
  const Bytes packet = test::distinct_packet(n, s, 1);
  const Bytes salt(16, 7), key(256, 0);
  Bytes table(256);
  for (std::size_t i = 0; i < 256; ++i) table[i] = std::uint8_t(255 - i);
  Bytes out(packet.size());
  const std::vector<ByteView> rows(4, ByteView(packet));
  std::vector<Bytes> restored(4, Bytes(packet.size()));
  const std::vector<std::span<std::uint8_t>> restored_rows(restored.begin(), restored.end());
  const std::vector<BlobField> fields{BlobField::borrowed(packet), BlobField::borrowed(packet)};
  Bytes blob(blob_size(fields));
  involution::ByteCounts counts{};
  counts[3] = 8 << 20;

  for (std::size_t threads : {1u, 4u}) {
    set_thread_count_for_testing(threads);
    StopSource source;
    source.request_stop();
    const StopToken stop = source.token();
    EXPECT_THROW((void)involute_into(packet, salt, s, out, stop), Stopped);
    EXPECT_THROW((void)involute_if_into(packet, salt, s, {{0, ~0ull}, 0.5f}, out, stop), Stopped);
    EXPECT_THROW((void)cycle_into(packet, salt, salt, table, table, s, out, stop), Stopped);
    EXPECT_THROW((void)chunk_size(packet, stop), Stopped);
    EXPECT_THROW(mapping::map_sequences_into(table, table, 3, rows, out, stop), Stopped);
    EXPECT_THROW(mapping::restore_sequences_into(table, std::vector<ByteView>(4, ByteView(table)),
                                                 rows, restored_rows, stop),
                 Stopped);
    EXPECT_THROW(write_blob(fields, blob, stop), Stopped);
    EXPECT_THROW((void)involution::seed_digest(counts, 0, stop), Stopped);
    EXPECT_THROW((void)chunks_distinct(packet, 4, stop), Stopped);
  }
  set_thread_count_for_testing(0);
}

}  // namespace
}  // namespace kelvora
