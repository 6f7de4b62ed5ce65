// Argument binding; see binder.hpp.
#include "binder.hpp"

#include <string>

namespace kelvora::py {
namespace {

[[noreturn]] void too_many_positional(const Signature& sig, Py_ssize_t given) {
  raise(PyExc_TypeError, std::string(sig.name) + "() takes " + std::to_string(sig.count) +
                             " positional arguments but " + std::to_string(given) +
                             (given == 1 ? " was given" : " were given"));
}

[[noreturn]] void given_twice(const Signature& sig, const char* param) {
  raise(PyExc_TypeError, std::string(sig.name) + "() got multiple values for argument '" +
                             param + "'");
}

[[noreturn]] void unexpected_keyword(const Signature& sig, PyObject* key) {
  PyRef text = checked(
      PyUnicode_FromFormat("%s() got an unexpected keyword argument '%U'", sig.name, key));
  PyErr_SetObject(PyExc_TypeError, text.get());
  throw PythonError{};
}

[[noreturn]] void missing_required(const Signature& sig, const Bound& bound) {
  std::size_t missing = 0;
  for (std::size_t i = 0; i < sig.count; ++i) missing += !bound.slot[i];
  std::string list;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (bound.slot[i]) continue;
    if (listed > 0) list += missing == 2 ? " and " : (listed + 1 == missing ? ", and " : ", ");
    list += '\'';
    list += sig.params[i];
    list += '\'';
    ++listed;
  }
  raise(PyExc_TypeError, std::string(sig.name) + "() missing " + std::to_string(missing) +
                             (missing == 1 ? " required positional argument: "
                                           : " required positional arguments: ") +
                             list);
}

// The keyword arguments into their slots. Out of line: the common call has
// none, and its binding carries none of this loop's frame.
[[gnu::noinline]] void bind_keywords(const Signature& sig, PyObject* kwargs, Bound& bound) {
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "keywords must be strings");
    std::size_t i = 0;
    while (i < sig.count && PyUnicode_CompareWithASCIIString(key, sig.params[i]) != 0) ++i;
    if (i == sig.count) unexpected_keyword(sig, key);
    if (bound.slot[i]) given_twice(sig, sig.params[i]);
    bound.slot[i] = PyRef::borrow(value);
  }
}

}  // namespace

Bound bind(const Signature& sig, PyObject* args, PyObject* kwargs) {
  Bound bound;
  bound.args = PyRef::borrow(args);
  const Py_ssize_t given = args ? PyTuple_Size(args) : 0;
  if (!sig.variadic) {
    if (given > Py_ssize_t(sig.count)) too_many_positional(sig, given);
    for (Py_ssize_t i = 0; i < given; ++i)
      bound.slot[std::size_t(i)] = PyRef::borrow(PyTuple_GetItem(args, i));
  }
  if (kwargs != nullptr) bind_keywords(sig, kwargs, bound);
  for (std::size_t i = 0; i < sig.count; ++i)
    if (!bound.slot[i]) missing_required(sig, bound);
  return bound;
}

void prefix_type_error(const char* name) {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef old_type = PyRef::steal(type), old_value = PyRef::steal(value),
        old_traceback = PyRef::steal(traceback);
  PyRef text = PyRef::steal(PyUnicode_FromFormat("argument '%s': %S", name, old_value.get()));
  if (!text) return;
  PyRef error = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
  if (!error) return;
  if (old_value) PyException_SetCause(error.get(), PyException_GetCause(old_value.get()));
  PyErr_SetObject(PyExc_TypeError, error.get());
}

}  // namespace kelvora::py
