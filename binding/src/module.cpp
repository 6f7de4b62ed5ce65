// The kelvora_core_py module: creation, the function table and __all__.
//
// In Python terms:
//   import kelvora_core_py            # one module object per process
//   kelvora_core_py.__all__ == [names of the thirteen functions, in order]
//   each function f: f.__text_signature__ == "(params...)", f.__doc__ is None
//   kelvora_core_py.__version__ == the package's version (not in __all__)
//   kelvora_core_py.PanicException    # through the module's __getattr__
// The signatures are listed in entries.hpp.
#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "entries.hpp"
#include "lent_arrays.hpp"
#include "numpy_api.hpp"
#include "once.hpp"
#include "unlocked.hpp"

namespace kelvora::py {
namespace {

// "<name>(<params>)\n--\n\n": CPython exposes the parenthesised part as
// __text_signature__ and leaves __doc__ empty.
std::string text_signature(const Signature& s) {
  std::string doc = std::string(s.name) + "(";
  if (s.variadic) doc += "*args";
  for (std::size_t i = 0; i < s.count; ++i) {
    if (i) doc += ", ";
    doc += s.params[i];
  }
  return doc + ")\n--\n\n";
}

#define KELVORA_FUNCTION_ADDRESS(name) &name##_function,
constexpr std::array kFunctions = {KELVORA_FUNCTIONS(KELVORA_FUNCTION_ADDRESS)};
#undef KELVORA_FUNCTION_ADDRESS

struct FunctionTable {
  std::array<std::string, kFunctions.size()> docs;
  std::array<PyMethodDef, kFunctions.size()> defs{};

  FunctionTable() {
    for (std::size_t i = 0; i < kFunctions.size(); ++i) {
      const Function& f = *kFunctions[i];
      docs[i] = text_signature(f.signature);
      defs[i] = PyMethodDef{f.signature.name,
                            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f.entry)),
                            kCallFlags, docs[i].c_str()};
    }
  }
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "kelvora_core_py", "Create the Python module", 0,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> owner_interpreter{-1};
Once module_made;
PyObject* the_module = nullptr;  // made once per interpreter

// Called by Py_FinalizeEx once the interpreter is gone (Py_AtExit): the module
// object, the NumPy table, the PanicException class, the loans of calls that
// never ended and the interned parameter names all belonged to it, so they are forgotten (not released: no
// Python call is allowed any more), and a later Py_Initialize in the same
// process imports the module afresh.
void forget_interpreter() {
  the_module = nullptr;
  module_made.reset();
  numpy::forget_api();
  forget_panic_exception();
  forget_main_thread();
  forget_loans();
  for (const Function* f : kFunctions)
    if (f->signature.keywords != nullptr) f->signature.keywords->forget();
  owner_interpreter.store(-1);
}

// Adds every function to the module and to its __all__, in table order.
bool add_functions(PyObject* module) {
  static FunctionTable table;  // never freed: the functions point into it
  PyRef name = PyRef::steal(PyModule_GetNameObject(module));
  if (!name) return false;
  for (PyMethodDef& def : table.defs) {
    PyRef fn = PyRef::steal(PyCMethod_New(&def, module, name.get(), nullptr));
    if (!fn) return false;
    PyRef fn_name = PyRef::steal(PyObject_GetAttrString(fn.get(), "__name__"));
    if (!fn_name) return false;
    if (!PyUnicode_Check(fn_name.get())) {
      PyErr_SetString(PyExc_TypeError, "function __name__ must be a str");
      return false;
    }
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
      PyErr_Clear();
      all = PyRef::steal(PyList_New(0));
      if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (PyList_Append(all.get(), fn_name.get()) < 0) return false;
    if (PyObject_SetAttr(module, fn_name.get(), fn.get()) < 0) return false;
  }
  // Module attributes beyond the functions (PanicException): not in __all__.
  static PyMethodDef getattr_def = {"__getattr__", module_getattr, METH_O, nullptr};
  PyRef getattr = PyRef::steal(PyCMethod_New(&getattr_def, module, name.get(), nullptr));
  return getattr && PyObject_SetAttrString(module, "__getattr__", getattr.get()) == 0;
}

// The module object with its functions; throws PythonError when CPython
// cannot make it.
PyObject* make_module() {
  PyRef module = checked(PyModule_Create2(&module_def, 3));
#ifdef Py_GIL_DISABLED
  // Safe without the interpreter lock: the module's process-wide state is made
  // once (Once), and a call touches nothing else shared.
  if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) throw PythonError{};
#endif
  if (!add_functions(module.get()) ||
      PyModule_AddStringConstant(module.get(), "__version__", KELVORA_VERSION) < 0 ||
      !watch_interpreter_exit())
    throw PythonError{};
  // Py_AtExit takes at most 32 functions per interpreter; without a place in
  // it the module is still kept, and only a second Py_Initialize would suffer.
  (void)Py_AtExit(forget_interpreter);
  return module.release();
}

PyObject* init_module() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return nullptr;
  }
  std::int64_t expected = -1;
  if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "kelvora_core_py supports a single interpreter per process and is "
                    "already loaded in another one");
    return nullptr;
  }
  return run_guarded([] {
    module_made.run([] { the_module = make_module(); });
    return PyRef::borrow(the_module);
  });
}

}  // namespace
}  // namespace kelvora::py

PyMODINIT_FUNC PyInit_kelvora_core_py(void) { return kelvora::py::init_module(); }
