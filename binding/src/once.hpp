// Once: process-wide state made exactly once, by whichever thread asks first,
// whether or not threads hold an interpreter lock.
//
// The first caller of run() runs make(); threads that arrive meanwhile wait
// until it is done, with their thread state released: make() may run Python
// code (an import), which lets other threads run, and a thread that waited
// holding the interpreter lock would keep make() from ever taking it back; on
// a free-threaded interpreter an attached thread that waits would stall the
// garbage collector's stop-the-world pause that make() may need. A make() that
// throws leaves the state unmade, and the next caller tries again. make()
// must not ask the same Once again.
//
// The state belongs to the interpreter it was made in: reset() forgets it
// once that interpreter has ended (module.cpp), with no thread left in run().
#pragma once

#include <Python.h>

#include <atomic>

namespace kelvora::py {

class Once {
 public:
  constexpr Once() = default;
  Once(const Once&) = delete;
  Once& operator=(const Once&) = delete;

  bool done() const { return state_.load(std::memory_order_acquire) == kDone; }

  template <class Make>
  void run(Make&& make) {
    if (done()) [[likely]] return;
    while (!claim()) {
      if (done()) return;
    }
    try {
      make();
    } catch (...) {
      finish(kUnmade);
      throw;
    }
    finish(kDone);
  }

  void reset() noexcept { state_.store(kUnmade, std::memory_order_release); }

 private:
  enum State : int { kUnmade, kMaking, kDone };

  // True when this thread is to make the state; false once another thread
  // has finished making it, or has given up (the caller then asks again).
  bool claim() {
    int state = kUnmade;
    if (state_.compare_exchange_strong(state, kMaking, std::memory_order_acquire)) return true;
    if (state == kMaking) {
      PyThreadState* const thread = PyEval_SaveThread();
      state_.wait(kMaking, std::memory_order_acquire);
      PyEval_RestoreThread(thread);
    }
    return false;
  }

  void finish(State state) {
    state_.store(state, std::memory_order_release);
    state_.notify_all();
  }

  std::atomic<int> state_{kUnmade};
};

}  // namespace kelvora::py
