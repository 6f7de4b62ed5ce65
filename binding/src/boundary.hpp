// The failure boundary between CPython and the core.
//
// Every entry runs its body through run_guarded(). Inside, a Python exception
// that is already set travels as PythonError; core error values are turned
// into ValueError by value_or_raise(); an InternalFailure is reported on stderr
// and raised as PanicException (a BaseException subclass, created on first
// use); std::bad_alloc becomes MemoryError; anything else is a PanicException
// too. Nothing escapes into CPython. (Core work stopped by a signal handler's
// exception ends with that exception, set by run_unlocked: unlocked.hpp.)
//
// PanicException is also the module's attribute of that name, through the
// module's __getattr__ (so it stays out of __all__ and is still created on
// first use): pickle finds the class by its qualified name
// kelvora_core_py.PanicException, and the exception crosses process
// boundaries (process pools, Dask workers) as itself.
#pragma once

#include <Python.h>

#include <expected>
#include <string_view>

#include "pyref.hpp"

namespace kelvora::py {

// Thrown when a Python exception is set and the call must unwind.
struct PythonError {};

// Sets `type` with `message` and throws PythonError.
[[noreturn]] void raise(PyObject* type, std::string_view message);

// Takes ownership of the result of a CPython call that returns a new
// reference; NULL (an exception is set) throws PythonError.
PyRef checked(PyObject* result);

// The pending Python exception as one normalized object (carrying its
// traceback), taken off the error indicator; empty when none is set.
PyRef take_exception();
// Sets `exception` (from take_exception) pending again; nothing when empty.
void restore_exception(PyRef exception);

// Translates the exception being handled into a Python exception. Called
// only from run_guarded's catch clause.
void translate_current_exception() noexcept;

// Forgets the PanicException class, once the interpreter that made it has
// ended (module.cpp); the next failure makes a new one.
void forget_panic_exception() noexcept;

// The module's __getattr__(name): PanicException, created on first use, or
// AttributeError "module 'kelvora_core_py' has no attribute '<name>'".
PyObject* module_getattr(PyObject* module, PyObject* name);

template <class Body>
PyObject* run_guarded(Body&& body) noexcept {
  try {
    return body().release();
  } catch (const PythonError&) {
    return nullptr;
  } catch (...) {
    translate_current_exception();
    return nullptr;
  }
}

// Sets ValueError(prefix + message) and throws PythonError: the one error
// path behind both value_or_raise overloads, kept out of line.
[[noreturn, gnu::cold]] void raise_value_error(std::string_view prefix, std::string_view message);

// The value of a core result, or ValueError(prefix + the error's message).
template <class T, class E>
T value_or_raise(std::expected<T, E>&& result, std::string_view prefix) {
  if (!result) [[unlikely]] raise_value_error(prefix, result.error().message());
  return std::move(*result);
}

// A core result without a value: nothing on success, otherwise
// ValueError(prefix + the error's message).
template <class E>
void value_or_raise(std::expected<void, E>&& result, std::string_view prefix) {
  if (!result) [[unlikely]] raise_value_error(prefix, result.error().message());
}

}  // namespace kelvora::py
