// Argument binding; see binder.hpp.
#include "binder.hpp"

#include <string>

namespace kelvora::py {
namespace {

[[noreturn]] void too_many_positional(const Signature& sig, std::size_t given) {
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

// The parameter named by a keyword that is not one of the interned names: a
// str equal to a name, or an error.
[[gnu::noinline]] std::size_t parameter_by_value(const Signature& sig, PyObject* key) {
  if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "keywords must be strings");
  for (std::size_t i = 0; i < sig.count; ++i)
    if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) return i;
  unexpected_keyword(sig, key);
}

// The slot of the parameter named `key`, still empty, or an error.
std::size_t keyword_slot(const Signature& sig, const std::array<PyObject*, kMaxParams>& names,
                         const Bound& bound, PyObject* key) {
  std::size_t i = 0;
  while (i < sig.count && names[i] != key) ++i;
  if (i == sig.count) i = parameter_by_value(sig, key);
  if (bound.slot[i]) given_twice(sig, sig.params[i]);
  return i;
}

// The keyword arguments into their slots. Out of line: the common call has
// none, and its binding carries none of this loop's frame.
[[gnu::noinline]] void bind_keywords(const Signature& sig, const CallArgs& call, Bound& bound) {
  if (sig.variadic) {
#if KELVORA_FASTCALL
    unexpected_keyword(sig, PyTuple_GetItem(call.kwnames, 0));
#else
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0;
    PyDict_Next(call.kwargs, &pos, &key, &value);
    if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "keywords must be strings");
    unexpected_keyword(sig, key);
#endif
  }
  const auto& names = sig.keywords->get(sig.params, sig.count);
#if KELVORA_FASTCALL
  const Py_ssize_t count = PyTuple_Size(call.kwnames);
  for (Py_ssize_t k = 0; k < count; ++k) {
    const std::size_t i = keyword_slot(sig, names, bound, PyTuple_GetItem(call.kwnames, k));
    bound.slot[i] = call.args[call.nargs + k];
  }
#else
  PyObject *key = nullptr, *value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(call.kwargs, &pos, &key, &value)) {
    const std::size_t i = keyword_slot(sig, names, bound, key);
    bound.held[i] = PyRef::borrow(value);
    bound.slot[i] = value;
  }
#endif
}

}  // namespace

const std::array<PyObject*, kMaxParams>& KeywordNames::get(const char* const* names,
                                                          std::size_t count) {
  made_.run([&] {
    std::array<PyRef, kMaxParams> made;
    for (std::size_t i = 0; i < count; ++i) made[i] = checked(PyUnicode_InternFromString(names[i]));
    for (std::size_t i = 0; i < count; ++i) objects_[i] = made[i].release();
  });
  return objects_;
}

void KeywordNames::forget() noexcept {
  made_.reset();
  objects_ = {};
}

Bound bind(const Signature& sig, const CallArgs& call) {
  Bound bound;
#if KELVORA_FASTCALL
  const std::size_t given = std::size_t(call.nargs);
  const bool keywords = call.kwnames != nullptr && PyTuple_Size(call.kwnames) > 0;
#else
  const std::size_t given = call.args ? std::size_t(PyTuple_Size(call.args)) : 0;
  const bool keywords = call.kwargs != nullptr && PyDict_Size(call.kwargs) > 0;
#endif
  bound.positional = Positional(call.args, given);
  if (!sig.variadic) {
    if (given > sig.count) too_many_positional(sig, given);
    for (std::size_t i = 0; i < given; ++i) bound.slot[i] = bound.positional[i];
  }
  if (keywords) bind_keywords(sig, call, bound);
  for (std::size_t i = 0; i < sig.count; ++i)
    if (!bound.slot[i]) missing_required(sig, bound);
  return bound;
}

void prefix_type_error(const char* name) {
  PyRef exception = take_exception();
  if (!exception || Py_TYPE(exception.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    restore_exception(std::move(exception));
    return;
  }
  PyRef text = PyRef::steal(PyUnicode_FromFormat("argument '%s': %S", name, exception.get()));
  if (!text) return;
  PyRef error = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
  if (!error) return;
  PyException_SetCause(error.get(), PyException_GetCause(exception.get()));
  PyErr_SetObject(PyExc_TypeError, error.get());
}

}  // namespace kelvora::py
