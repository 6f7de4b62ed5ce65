// Declarative argument binding with CPython's wording.
//
// Each Python function declares its parameters once as a Signature: every
// parameter is required and may be given by position or by keyword; a
// variadic signature (package_blob) takes any number of positionals and no
// keywords. bind() matches a call's positional tuple and keyword dict to the
// slots, or raises the TypeError CPython would word for that mistake (a
// keyword name that is not a str, possible from C, gives "keywords must be
// strings").
// convert() runs one slot's conversion and prefixes a plain TypeError with
// "argument '<name>': ".
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>

#include "boundary.hpp"

namespace kelvora::py {

inline constexpr std::size_t kMaxParams = 6;

struct Signature {
  const char* name;
  std::array<const char*, kMaxParams> params{};
  std::size_t count = 0;
  bool variadic = false;  // a single *args parameter

  constexpr Signature(const char* fn, std::initializer_list<const char*> names) : name(fn) {
    for (const char* p : names) params[count++] = p;
  }
  constexpr Signature(const char* fn, bool var) : name(fn), variadic(var) {}
};

// Strong references to the call's arguments, held until the call returns: a
// conversion may run Python code (__index__, __float__, iteration) that
// empties a keyword dict its C caller still owns, and the arguments (with the
// memory views taken of them) must outlive that.
struct Bound {
  std::array<PyRef, kMaxParams> slot;
  PyRef args;  // the positional tuple (variadic signatures)
  PyObject* operator[](std::size_t i) const { return slot[i].get(); }
};

Bound bind(const Signature& sig, PyObject* args, PyObject* kwargs);

// Rewrites a pending TypeError (exactly TypeError, not a subclass) as
// "argument '<name>': <message>", keeping its cause. Other exceptions pass.
void prefix_type_error(const char* name);

template <class Convert>
auto convert(const Signature& sig, const Bound& bound, std::size_t i, Convert&& conv)
    -> decltype(conv(bound[i])) {
  try {
    return conv(bound[i]);
  } catch (const PythonError&) {
    prefix_type_error(sig.params[i]);
    throw;
  }
}

}  // namespace kelvora::py
