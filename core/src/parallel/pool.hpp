// The process-wide fork-join pool and its parallel loop.
//
// parallel_for(begin, end, grain, body) calls body(lo, hi) on disjoint
// half-open sub-ranges that together cover [begin, end) exactly once. The
// calling thread takes a share of the work and returns only when every share
// is done. Ranges of at most one grain, and calls made from inside a worker,
// run inline on the current thread. The pool is started on first use, sized to
// the processors available to the process.
//
// A body that throws: every share still runs to completion or to its own
// failure; then the failure of the share with the lowest index is rethrown on
// the calling thread. Bodies must write each element at its own index, so
// results never depend on the number of threads.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

namespace kelvora::parallel {

using RangeFn = void (*)(void* ctx, std::size_t lo, std::size_t hi);

// Type-erased core of parallel_for.
void run(std::size_t begin, std::size_t end, std::size_t grain, RangeFn fn, void* ctx);

template <class Body>
void parallel_for(std::size_t begin, std::size_t end, std::size_t grain, Body&& body) {
  using B = std::remove_reference_t<Body>;
  run(begin, end, grain,
      [](void* ctx, std::size_t lo, std::size_t hi) { (*static_cast<B*>(ctx))(lo, hi); },
      const_cast<void*>(static_cast<const void*>(&body)));
}

// Number of threads that take part in a loop (workers plus the caller).
std::size_t thread_count();

// Test hook: resize the pool (1 = everything inline). Not a user option.
void set_thread_count_for_testing(std::size_t n);

}  // namespace kelvora::parallel
