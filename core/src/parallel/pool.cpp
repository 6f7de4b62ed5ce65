// Provisional serial implementation: every loop runs inline on the caller.
// Replaced by the worker pool; the contract in pool.hpp is what callers use.
#include "parallel/pool.hpp"

namespace kelvora::parallel {

void run(std::size_t begin, std::size_t end, std::size_t, RangeFn fn, void* ctx) {
  if (begin < end) fn(ctx, begin, end);
}
std::size_t thread_count() { return 1; }
void set_thread_count_for_testing(std::size_t) {}

}  // namespace kelvora::parallel
