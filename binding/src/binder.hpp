// Declarative argument binding with CPython's wording.
//
// Each Python function is declared once: its name and, per parameter, the
// parameter's name, the converter that turns the argument into a native value
// (convert.hpp) and the member of the function's argument struct that
// receives it. From that one declaration come the function's text signature
// (module.cpp), the binding of a call's arguments to the parameters and their
// conversions:
//
//   struct Args { PyObject* packet; std::uint64_t chunk_size; };
//   constexpr auto kDecl = declare("f", KELVORA_PARAM(Args, packet, as_byte_array),
//                                  KELVORA_PARAM(Args, chunk_size, as_u64));
//   PyRef f(const Args& args);            // the native work and the result
//   const Function f_function = function<kDecl, f>();
//
// Every parameter is required and may be given by position or by keyword; a
// variadic declaration (package_blob) takes any number of positionals, which
// its body receives as they are, and no keywords.
//
// A call arrives by the build's calling convention: a vector of arguments
// with a tuple of keyword names (METH_FASTCALL | METH_KEYWORDS) where the C
// API offers it, that is the full API or the limited API of CPython 3.10 and
// later; otherwise (the limited API of 3.9) a tuple and a dict. The binder
// matches either to the parameters, or raises the TypeError CPython would
// word for the mistake (a keyword name that is not a str, possible from C,
// gives "keywords must be strings"). Keyword names are compared with the
// parameter names interned once per function (by identity, then by value).
// The arguments are then converted in parameter order; a conversion's plain
// TypeError is prefixed with "argument '<name>': ".
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "boundary.hpp"
#include "once.hpp"
#include "pyref.hpp"

#if !defined(Py_LIMITED_API) || Py_LIMITED_API + 0 >= 0x030A0000
#define KELVORA_FASTCALL 1
#else
#define KELVORA_FASTCALL 0
#endif

namespace kelvora::py {

inline constexpr std::size_t kMaxParams = 6;

// The parameter names of one function as interned str objects, made on the
// first call that passes a keyword.
class KeywordNames {
 public:
  const std::array<PyObject*, kMaxParams>& get(const char* const* names, std::size_t count);
  // Once the interpreter that made them has ended (module.cpp).
  void forget() noexcept;

 private:
  Once made_;
  std::array<PyObject*, kMaxParams> objects_{};
};

// What the binder and the module table need of a declaration.
struct Signature {
  const char* name;
  const char* const* params;
  std::size_t count;
  bool variadic;
  KeywordNames* keywords;  // null for a variadic signature
};

// One call's arguments, as the build's calling convention delivers them.
struct CallArgs {
#if KELVORA_FASTCALL
  PyObject* const* args;  // the positionals, then the keyword values
  Py_ssize_t nargs;
  PyObject* kwnames;  // a tuple, or null
#else
  PyObject* args;    // a tuple
  PyObject* kwargs;  // a dict, or null
#endif
};

// The positional arguments of a call (borrowed: the caller holds them).
class Positional {
 public:
  Positional() = default;
#if KELVORA_FASTCALL
  Positional(PyObject* const* items, std::size_t size) : items_(items), size_(size) {}
  PyObject* operator[](std::size_t i) const { return items_[i]; }
#else
  Positional(PyObject* tuple, std::size_t size) : tuple_(tuple), size_(size) {}
  PyObject* operator[](std::size_t i) const { return PyTuple_GetItem(tuple_, Py_ssize_t(i)); }
#endif
  std::size_t size() const { return size_; }

 private:
#if KELVORA_FASTCALL
  PyObject* const* items_ = nullptr;
#else
  PyObject* tuple_ = nullptr;
#endif
  std::size_t size_ = 0;
};

// The arguments matched to the parameters (borrowed references).
struct Bound {
  std::array<PyObject*, kMaxParams> slot{};
  Positional positional;
#if !KELVORA_FASTCALL
  // Strong references to the keyword values, held until the call returns: a
  // conversion may run Python code (__index__, __float__, iteration) that
  // empties a keyword dict its C caller still owns, and the arguments (with
  // the memory views taken of them) must outlive that. The vector convention
  // needs none: its caller holds every argument for the call.
  std::array<PyRef, kMaxParams> held;
#endif
};

Bound bind(const Signature& sig, const CallArgs& call);

// Rewrites a pending TypeError (exactly TypeError, not a subclass) as
// "argument '<name>': <message>", keeping its cause. Other exceptions pass.
void prefix_type_error(const char* name);

// --- declarations -----------------------------------------------------------

template <class Args, class T>
struct Param {
  const char* name;
  T (*convert)(PyObject*);
  T Args::*slot;
};

template <class Args, class T>
constexpr Param<Args, T> param(const char* name, T (*convert)(PyObject*), T Args::*slot) {
  return {name, convert, slot};
}

// The parameter named as the member of Args that receives it.
#define KELVORA_PARAM(Args, name, convert) ::kelvora::py::param(#name, convert, &Args::name)

template <class A, class... T>
struct Declaration {
  using Args = A;
  static constexpr std::size_t kCount = sizeof...(T);
  static_assert(kCount <= kMaxParams);
  const char* name;
  std::tuple<Param<A, T>...> params;
  std::array<const char*, kCount> names;
};

template <class A, class... T>
constexpr Declaration<A, T...> declare(const char* name, Param<A, T>... params) {
  return {name, {params...}, {params.name...}};
}

struct VariadicDeclaration {
  const char* name;
};

constexpr VariadicDeclaration declare_variadic(const char* name) { return {name}; }

// --- entries ----------------------------------------------------------------

#if KELVORA_FASTCALL
inline constexpr int kCallFlags = METH_FASTCALL | METH_KEYWORDS;
using Entry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
#else
inline constexpr int kCallFlags = METH_VARARGS | METH_KEYWORDS;
using Entry = PyObject* (*)(PyObject*, PyObject*, PyObject*);
#endif

// One Python function: its signature and its entry, which CPython calls by
// the build's convention (kCallFlags).
struct Function {
  Signature signature;
  Entry entry;
};

namespace detail {

template <const auto& Decl>
inline KeywordNames keyword_names;

template <const auto& Decl>
constexpr Signature signature_of() {
  using D = std::remove_cvref_t<decltype(Decl)>;
  if constexpr (std::is_same_v<D, VariadicDeclaration>)
    return {Decl.name, nullptr, 0, true, nullptr};
  else
    return {Decl.name, Decl.names.data(), D::kCount, false, &keyword_names<Decl>};
}

template <class Args, class T>
void convert_one(const Param<Args, T>& p, PyObject* obj, Args& out) {
  try {
    out.*p.slot = p.convert(obj);
  } catch (const PythonError&) {
    prefix_type_error(p.name);
    throw;
  }
}

// The bound arguments converted in parameter order.
template <const auto& Decl>
auto convert_all(const Bound& bound) {
  using D = std::remove_cvref_t<decltype(Decl)>;
  typename D::Args out{};
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (convert_one(std::get<I>(Decl.params), bound.slot[I], out), ...);
  }(std::make_index_sequence<D::kCount>{});
  return out;
}

template <const auto& Decl, auto Body>
PyObject* run_call(const CallArgs& call) noexcept {
  return run_guarded([&]() -> PyRef {
    static constexpr Signature sig = signature_of<Decl>();
    const Bound bound = bind(sig, call);
    if constexpr (sig.variadic)
      return Body(bound.positional);
    else
      return Body(convert_all<Decl>(bound));
  });
}

#if KELVORA_FASTCALL
template <const auto& Decl, auto Body>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_call<Decl, Body>({args, nargs, kwnames});
}
#else
template <const auto& Decl, auto Body>
PyObject* entry(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_call<Decl, Body>({args, kwargs});
}
#endif

}  // namespace detail

// The function declared by Decl whose work is Body: PyRef Body(const Args&),
// or PyRef Body(const Positional&) for a variadic declaration.
template <const auto& Decl, auto Body>
constexpr Function function() {
  return {detail::signature_of<Decl>(), detail::entry<Decl, Body>};
}

}  // namespace kelvora::py
