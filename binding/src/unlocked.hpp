// Core work without the interpreter lock, and signals while it runs.
//
// run_unlocked(work, reading(arrays...), body) runs body(StopToken), the core
// work of one call, and returns what body returns (a value, or its exception
// once the lock is back). When `work`, the bytes the core reads, is
// kUnlockedWork or more, the interpreter lock is released while body runs, so
// other Python threads run meanwhile and several calls run at once. Below
// that the lock is kept and the token never stops: releasing costs little (a
// release and re-take pair is about 30 ns), but a thread that let the lock go
// must win it back, which takes up to the switch interval (5 ms) while
// another thread runs Python code, far longer than the small call itself.
//
// Without the lock, body must not touch any Python object. Everything it
// reads was taken before: views of array and bytes memory, whose objects the
// binder's strong references keep alive, and native copies. The arrays it
// reads are named to run_unlocked (reading(...)), which lends their memory to
// the call while the lock is released (lent_arrays.hpp), so that another
// thread's resize or __setstate__ cannot free it. The rule for callers is the
// one hashlib states: do not write into an array from another thread while a
// call reads it.
//
// Signals: CPython runs signal handlers on the main thread only. A call on the
// main thread gives body a token whose poll takes the lock back about every
// 20 ms of work (StopSource::kPollPeriod) and runs the pending handlers
// (PyErr_CheckSignals). When a handler raises (KeyboardInterrupt, or anything
// else), the work stops at its next block boundary, everything is freed, and
// that exception ends the call, whatever the work did. Calls on other threads
// are never stopped and never poll; they sleep while they wait.
#pragma once

#include <Python.h>

#include <cstddef>
#include <exception>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "boundary.hpp"
#include "lent_arrays.hpp"
#include "parallel/stop.hpp"

namespace kelvora::py {

inline constexpr std::size_t kUnlockedWork = 64 * 1024;

// The lock released for one call (constructed and destroyed with it held),
// with the call's stop source.
class UnlockedCall {
 public:
  UnlockedCall();  // releases the lock
  ~UnlockedCall();
  UnlockedCall(const UnlockedCall&) = delete;
  UnlockedCall& operator=(const UnlockedCall&) = delete;

  StopToken token() { return source_.token(); }

  // Takes the lock back; then, if a signal handler raised while the lock was
  // released, sets its exception and throws PythonError.
  void relock();

 private:
  static bool poll(void* self);  // StopSource::Poll, on the main thread

  PyThreadState* state_ = nullptr;  // while the lock is released
  bool main_thread_;
  StopSource source_;
  // The exception a signal handler raised, kept while the lock is released.
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// The arrays a call's core reads, for run_unlocked: byte arrays (PyObject*),
// the items of array sequences (std::vector<PyRef>) and spans of arrays, each
// borrowed from the caller, which keeps them alive for the call.
template <class... Arrays>
struct ArraysRead {
  std::tuple<const Arrays&...> arrays;
};

template <class... Arrays>
ArraysRead<Arrays...> reading(const Arrays&... arrays) {
  return {{arrays...}};
}

template <class... Arrays, class Body>
auto run_unlocked(std::size_t work, const ArraysRead<Arrays...>& read, Body&& body)
    -> decltype(body(StopToken{})) {
  using R = decltype(body(StopToken{}));
  if (work < kUnlockedWork) return body(StopToken{});
  LentArrays lent(std::apply(  // repaid last, once the lock is back
      [](const auto&... arrays) { return (std::size_t(0) + ... + LentArrays::count(arrays)); },
      read.arrays));
  std::apply([&](const auto&... arrays) { (lent.add(arrays), ...); }, read.arrays);
  std::exception_ptr failure;
  std::optional<std::conditional_t<std::is_void_v<R>, bool, R>> value;
  {
    UnlockedCall call;
    try {
      if constexpr (std::is_void_v<R>) {
        body(call.token());
        value.emplace(true);
      } else {
        value.emplace(body(call.token()));
      }
    } catch (...) {
      failure = std::current_exception();
    }
    call.relock();
  }
  if (failure) std::rethrow_exception(failure);
  if constexpr (!std::is_void_v<R>) return std::move(*value);
}

// For core work that reads no array memory.
template <class Body>
auto run_unlocked(std::size_t work, Body&& body) -> decltype(body(StopToken{})) {
  return run_unlocked(work, reading(), std::forward<Body>(body));
}

// Forgets which thread is the main thread and that an interpreter was
// shutting down, once the interpreter has ended (module.cpp).
void forget_main_thread() noexcept;

// At import: registers, where the C++ runtime needs it, the hook that notes
// when the interpreter shuts down (see take_lock in unlocked.cpp). False with
// a Python error set.
bool watch_interpreter_exit();

}  // namespace kelvora::py
