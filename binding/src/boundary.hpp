// The failure boundary between CPython and the core.
//
// Every entry runs its body through run_guarded(). Inside, a Python exception
// that is already set travels as PythonError; core error values are turned
// into ValueError by raise_error(); an InternalFailure is reported on stderr
// and raised as PanicException (a BaseException subclass, created on first
// use); std::bad_alloc becomes MemoryError; anything else is a PanicException
// too. Nothing escapes into CPython.
#pragma once

#include <Python.h>

#include <expected>
#include <string>
#include <string_view>

#include "pyref.hpp"

namespace kelvora::py {

// Thrown when a Python exception is set and the call must unwind.
struct PythonError {};

[[noreturn]] void throw_python_error();
// Sets `type` with `message` and throws PythonError.
[[noreturn]] void raise(PyObject* type, std::string_view message);

// Takes ownership of the result of a CPython call that returns a new
// reference; NULL (an exception is set) throws PythonError.
PyRef checked(PyObject* result);

// Translates the exception being handled into a Python exception. Called
// only from run_guarded's catch clause.
void translate_current_exception() noexcept;

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

// The value of a core result, or ValueError(prefix + the error's message).
template <class T, class E>
T value_or_raise(std::expected<T, E>&& result, std::string_view prefix) {
  if (!result) {
    std::string message(prefix);
    message += result.error().message();
    raise(PyExc_ValueError, message);
  }
  return std::move(*result);
}

}  // namespace kelvora::py
