// Core work without the interpreter lock; see unlocked.hpp.
#include "unlocked.hpp"

#include "platform.hpp"

#if KELVORA_POSIX
#include <unistd.h>
#else
#include <windows.h>
#endif
// glibc ends a thread by unwinding its stack (see take_lock).
#if KELVORA_POSIX && defined(__GLIBCXX__)
#define KELVORA_FORCED_UNWIND 1
#include <cxxabi.h>
#else
#define KELVORA_FORCED_UNWIND 0
#endif

#include <atomic>

#include "pyref.hpp"

namespace kelvora::py {
namespace {

#if KELVORA_POSIX
using ProcessId = pid_t;
ProcessId process_id() { return getpid(); }
#else
using ProcessId = int;
ProcessId process_id() { return 0; }  // no fork: the module lives in one process
#endif

// The main thread's identifier (threading.main_thread().ident) in the process
// `g_main_pid`: after fork() the child's main thread is the one that forked.
// Threads that find them unset may all set them at once (without an
// interpreter lock), each to the same values: the identifier is published
// with the process id that says it is valid.
std::atomic<ProcessId> g_main_pid{ProcessId(-1)};
std::atomic<unsigned long> g_main_ident{0};

bool on_main_thread() {
  const ProcessId pid = process_id();
  if (pid != g_main_pid.load(std::memory_order_acquire)) {
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
    g_main_pid.store(pid, std::memory_order_release);
  }
  return PyThread_get_thread_ident() == g_main_ident.load(std::memory_order_relaxed);
}

// Set by the interpreter's exit hook (see watch_interpreter_exit), with the
// identifier of the thread that runs it, the one that shuts the interpreter down.
std::atomic<bool> g_exiting{false};
std::atomic<unsigned long> g_exiting_thread{0};

[[noreturn]] void stay() {
#if KELVORA_POSIX
  for (;;) pause();
#else
  for (;;) Sleep(INFINITE);
#endif
}

// Takes the interpreter lock back. While the interpreter is being finalized,
// CPython ends the threads that ask for the lock with pthread_exit(), which
// glibc carries out by unwinding their stacks; this thread's frames would then
// release Python references without the lock. Such a thread stays here
// instead until the process ends, as newer interpreters do themselves. With
// libstdc++ the unwinding itself is caught; other C++ runtimes (libc++) cannot
// tell it from an exception, so there a thread other than the one shutting
// down stops asking for the lock once the exit hook has run, which comes
// before the interpreter ends any thread.
void take_lock(PyThreadState* state) {
#if KELVORA_FORCED_UNWIND
  try {
    PyEval_RestoreThread(state);
  } catch (abi::__forced_unwind&) {
    stay();
  }
#else
  if (g_exiting.load(std::memory_order_acquire) &&
      PyThread_get_thread_ident() != g_exiting_thread.load(std::memory_order_relaxed))
    stay();
  PyEval_RestoreThread(state);
#endif
}

PyObject* note_exit(PyObject*, PyObject*) {
  g_exiting_thread.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
  g_exiting.store(true, std::memory_order_release);
  Py_RETURN_NONE;
}

}  // namespace

void forget_main_thread() noexcept {
  g_main_pid.store(ProcessId(-1), std::memory_order_relaxed);
  g_exiting.store(false, std::memory_order_relaxed);
}

bool watch_interpreter_exit() {
  static PyMethodDef def = {"_note_exit", note_exit, METH_NOARGS, nullptr};
  PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
  PyRef hook = PyRef::steal(PyCFunction_New(&def, nullptr));
  PyRef done = atexit && hook
                   ? PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()))
                   : PyRef();
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
