// Core work without the interpreter lock; see unlocked.hpp.
//
// Process-wide state, each piece safe without the interpreter lock (which a
// free-threaded interpreter does not have):
//   g_main_known, g_main_ident  atomics; whoever refreshes them stores the
//                             same value (the process's main thread), the
//                             identifier before the flag that publishes it
//   g_exit_*, g_asking        atomics (see take_lock)
//   the loans' table          lent_arrays.cpp: with the lock held, and not
//                             used where there is no lock
#include "unlocked.hpp"

#include <atomic>
#include <chrono>
#include <thread>

#include "os_threads.hpp"
#include "platform.hpp"
#include "pyref.hpp"

namespace kelvora::py {
namespace {

// The main thread's identifier (threading.main_thread().ident), once known.
// A forked child forgets it: its main thread is the one that forked.
std::atomic<bool> g_main_known{false};
std::atomic<unsigned long> g_main_ident{0};

void forget_main_ident() { g_main_known.store(false, std::memory_order_relaxed); }

bool on_main_thread() {
  if (!g_main_known.load(std::memory_order_acquire)) {
    [[maybe_unused]] static const bool watching_forks =
        (at_fork_child(forget_main_ident), true);
    PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
    PyRef main = threading ? PyRef::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr))
                           : PyRef();
    PyRef ident = main ? PyRef::steal(PyObject_GetAttrString(main.get(), "ident")) : PyRef();
    const unsigned long value = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
    if (!ident || PyErr_Occurred()) {
      // Not known now: such a call is not stopped by signals, and the next
      // one asks again.
      PyErr_Clear();
      return false;
    }
    g_main_ident.store(value, std::memory_order_relaxed);
    g_main_known.store(true, std::memory_order_release);
  }
  return PyThread_get_thread_ident() == g_main_ident.load(std::memory_order_relaxed);
}

// Where the interpreter's ending of a thread cannot be caught here
// (os_threads.hpp), a thread asks for the lock only while the interpreter can
// still take it back: until the atexit functions have all run, after which
// CPython marks itself finalizing and Py_IsInitialized() false. The one step
// nothing reports is the end of the last atexit function: a thread asking
// just before it would wait for the lock and be ended once the interpreter is
// finalizing. When this module's exit hook is that last function (no atexit
// function was registered before the import, so it runs last), the hook
// closes the gap: it sets g_exit_over, then lets every thread already asking
// (g_asking) take the lock before the interpreter goes on; threads asking
// later park. The thread that runs the hook, the one that finalizes, is never
// ended, so it always asks.
std::atomic<bool> g_hook_runs_last{false};
std::atomic<bool> g_exit_over{false};
std::atomic<unsigned long> g_exit_thread{0};
std::atomic<int> g_asking{0};

bool interpreter_takes_threads_back() {
  if (PyThread_get_thread_ident() == g_exit_thread.load()) return true;
  return !g_exit_over.load() && Py_IsInitialized();
}

// Takes the interpreter lock back, or parks the thread for good where the
// finalizing interpreter would end it instead: its frames would otherwise be
// unwound (releasing Python references without the lock) or, where that
// unwinding cannot be caught, crash the process.
void take_lock(PyThreadState* state) {
  if constexpr (!kThreadEndIsCaught) {
    g_asking.fetch_add(1);
    if (!interpreter_takes_threads_back()) {
      g_asking.fetch_sub(1);
      park_thread();
    }
  }
  try {
    PyEval_RestoreThread(state);
  } catch (...) {  // the forced unwinding of the thread's end: it never leaves here
    park_thread();
  }
  if constexpr (!kThreadEndIsCaught) g_asking.fetch_sub(1);
}

PyObject* note_exit(PyObject*, PyObject*) {
  g_exit_thread.store(PyThread_get_thread_ident());
  if (!g_hook_runs_last.load()) Py_RETURN_NONE;
  g_exit_over.store(true);
  Py_BEGIN_ALLOW_THREADS
  while (g_asking.load() != 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
  Py_END_ALLOW_THREADS
  Py_RETURN_NONE;
}

}  // namespace

void forget_main_thread() noexcept {
  forget_main_ident();
  g_hook_runs_last.store(false);
  g_exit_over.store(false);
  g_exit_thread.store(0);
}

bool watch_interpreter_exit() {
  if constexpr (kThreadEndIsCaught) return true;
  static PyMethodDef def = {"_note_exit", note_exit, METH_NOARGS, nullptr};
  PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return false;
  // atexit runs its functions last registered first.
  PyRef before = PyRef::steal(PyObject_CallMethod(atexit.get(), "_ncallbacks", nullptr));
  const long count = before ? PyLong_AsLong(before.get()) : -1;
  PyErr_Clear();  // not known: taken as some
  g_hook_runs_last.store(count == 0);
  PyRef hook = PyRef::steal(PyCFunction_New(&def, nullptr));
  PyRef done =
      hook ? PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get())) : PyRef();
  return bool(done);
}

UnlockedCall::UnlockedCall()
    : main_thread_(on_main_thread()),
      source_(main_thread_ ? StopSource(&UnlockedCall::poll, this) : StopSource()) {
  state_ = PyEval_SaveThread();
}

UnlockedCall::~UnlockedCall() {
  if (state_ != nullptr) take_lock(state_);
  Py_XDECREF(type_);
  Py_XDECREF(value_);
  Py_XDECREF(traceback_);
}

void UnlockedCall::relock() {
  take_lock(std::exchange(state_, nullptr));
  if (type_ == nullptr) return;
  PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                std::exchange(traceback_, nullptr));
  throw PythonError{};
}

bool UnlockedCall::poll(void* self_pointer) {
  auto* self = static_cast<UnlockedCall*>(self_pointer);
  if (self->type_ != nullptr) return true;
  take_lock(self->state_);
  if (PyErr_CheckSignals() != 0) PyErr_Fetch(&self->type_, &self->value_, &self->traceback_);
  self->state_ = PyEval_SaveThread();
  return self->type_ != nullptr;
}

}  // namespace kelvora::py
