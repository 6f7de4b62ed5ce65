// The process-wide fork-join pool and its parallel loop.
//
// parallel_for(stop, begin, end, grain, body) calls body(lo, hi) on disjoint
// half-open sub-ranges that together cover [begin, end) exactly once. The
// calling thread takes a share of the work and returns only when every share
// is done. Ranges of at most one grain, and calls made from inside a loop (on
// a worker or on the caller while it runs its share), run inline on the
// current thread. The pool is started on first use, sized to the processors
// available to the process (its affinity mask).
//
// The range is cut into blocks of at least one grain, a few per thread, which
// the threads claim one at a time, so a thread slowed by other load takes
// fewer blocks, and the caller never waits for a worker that has not woken up
// (it takes the blocks itself). Handing a loop over allocates nothing: the
// body travels as a function pointer and a context pointer.
//
// A body that throws: every block still runs to completion or to its own
// failure (blocks above an already failed one may be skipped); then the
// failure of the lowest failed block, which is the lowest failing index when
// bodies walk their sub-range upwards, is rethrown on the calling thread.
// Any exception type travels, InternalFailure and std::bad_alloc included.
// Bodies must write each element at its own index, so results never depend
// on the number of threads.
//
// Stopping (stop.hpp): every block starts with a checkpoint of the loop's
// token, so once a stop is requested the blocks not yet started are skipped
// and Stopped is rethrown on the calling thread, after the running blocks
// have ended; a loop whose stop came during its last blocks throws it too.
// Loops that run inline are cut into the same blocks, each after a
// checkpoint, when their token can stop. While the caller waits for the
// workers' last blocks, it sleeps in slices of the token's poll period and
// runs the poll between them; a caller without a poll sleeps until the loop
// is done. Nobody spins for longer than a few tens of microseconds.
//
// Several callers at once (Python threads, the interpreter lock released):
// one loop runs on the pool at a time, and a loop started while the pool is
// busy runs inline on its own thread, cut into blocks, instead of waiting.
// Queueing behind the busy pool would serialise the callers, and splitting
// the workers among them gains nothing on a few cores, while costing a
// hand-off of its own: the callers already keep every processor busy between
// them, the pool's workers filling in for callers that wait (bench/README.md
// has the measurements).
//
// Process life: the workers are never joined or destroyed. At exit they are
// blocked waiting for work and simply end with the process, so exit cannot
// hang on them. In the child of fork() the pool is forgotten (its threads do
// not exist there) and rebuilt by the child's first parallel loop; the parent
// keeps its pool. A fork made by the caller of a loop while the loop runs (a
// signal handler, a poll) leaves the child's copy of the loop without the
// workers that held some of its blocks: the child's caller finishes the loop
// if none did, else the loop fails there with the internal failure "fork()
// during a parallel loop: the child has lost the blocks of its parent's
// workers", never waiting for them. Workers block every signal, so signals
// reach the application's own threads. The operating system's part is in
// threads.hpp.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

#include "parallel/stop.hpp"

namespace kelvora::parallel {

using RangeFn = void (*)(void* ctx, std::size_t lo, std::size_t hi);

// Type-erased core of parallel_for.
void run(StopToken stop, std::size_t begin, std::size_t end, std::size_t grain, RangeFn fn,
         void* ctx);

template <class Body>
void parallel_for(StopToken stop, std::size_t begin, std::size_t end, std::size_t grain,
                  Body&& body) {
  using B = std::remove_reference_t<Body>;
  run(stop, begin, end, grain,
      [](void* ctx, std::size_t lo, std::size_t hi) { (*static_cast<B*>(ctx))(lo, hi); },
      const_cast<void*>(static_cast<const void*>(&body)));
}

// Type-erased core of parallel_tasks.
void run_each(StopToken stop, std::size_t n, RangeFn fn, void* ctx);

// Runs task(i) for every i in [0, n) as a block of its own, claimed in index
// order: for a few uneven tasks (such as one long serial job next to many
// short ones), where parallel_for's blocks could put several long tasks on
// one thread. n must stay below 65536. Failures as for parallel_for.
template <class Task>
void parallel_tasks(StopToken stop, std::size_t n, Task&& task) {
  using T = std::remove_reference_t<Task>;
  run_each(stop, n,
           [](void* ctx, std::size_t lo, std::size_t hi) {
             for (std::size_t i = lo; i < hi; ++i) (*static_cast<T*>(ctx))(i);
           },
           const_cast<void*>(static_cast<const void*>(&task)));
}

// Number of threads that take part in a loop (workers plus the caller).
std::size_t thread_count();

// Test hook: resize the pool (1 = everything inline, 0 = back to the default
// size). Not a user option.
void set_thread_count_for_testing(std::size_t n);

}  // namespace kelvora::parallel
