// The failure boundary; see boundary.hpp.
#include "boundary.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "failure.hpp"
#include "once.hpp"

namespace kelvora::py {
namespace {

constexpr const char* kPanicDoc =
    "Raised when native code called from Python fails unrecoverably.\n\n"
    "Like SystemExit, this exception derives from BaseException rather than\n"
    "Exception, so that an ordinary `except Exception` clause does not catch it\n"
    "and it usually propagates to the top and ends the interpreter.";

constexpr const char* kGenericPanic = "native code failed without a message";

// Made on first use, once however many threads ask at once; never freed, but
// forgotten when its interpreter ends.
Once g_panic_made;
PyObject* g_panic_type = nullptr;

PyObject* panic_exception_type() {
  g_panic_made.run([] {
    g_panic_type = PyErr_NewExceptionWithDoc("kelvora_core_py.PanicException", kPanicDoc,
                                             PyExc_BaseException, nullptr);
    if (g_panic_type == nullptr) {
      std::fputs("kelvora_core_py: cannot create PanicException\n", stderr);
      std::abort();
    }
  });
  return g_panic_type;
}

// Sets PanicException(message). When the message cannot be made into a str
// (memory is short, and assertion messages can run to megabytes), the
// MemoryError of that attempt stands instead: reporting a failure never ends
// the process.
void raise_panic(std::string_view message) noexcept {
  if (message.empty()) message = kGenericPanic;
  PyObject* const type = panic_exception_type();
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), Py_ssize_t(message.size()), "replace");
  if (text == nullptr) {
    if (!PyErr_Occurred()) PyErr_NoMemory();
    return;
  }
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

}  // namespace

void forget_panic_exception() noexcept {
  g_panic_made.reset();
  g_panic_type = nullptr;
}

PyObject* module_getattr(PyObject*, PyObject* name) {
  if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "PanicException") == 0) {
    PyObject* type = panic_exception_type();
    Py_INCREF(type);
    return type;
  }
  PyErr_Format(PyExc_AttributeError, "module 'kelvora_core_py' has no attribute '%S'", name);
  return nullptr;
}

void raise(PyObject* type, std::string_view message) {
  PyObject* text = PyUnicode_FromStringAndSize(message.data(), Py_ssize_t(message.size()));
  if (text != nullptr) {
    PyErr_SetObject(type, text);
    Py_DECREF(text);
  }
  throw PythonError{};
}

void raise_value_error(std::string_view prefix, std::string_view message) {
  std::string text(prefix);
  text += message;
  raise(PyExc_ValueError, text);
}

// PyErr_GetRaisedException replaces the deprecated PyErr_Fetch from 3.12 on.
#if (defined(Py_LIMITED_API) ? Py_LIMITED_API + 0 : PY_VERSION_HEX) >= 0x030C0000
PyRef take_exception() { return PyRef::steal(PyErr_GetRaisedException()); }

void restore_exception(PyRef exception) {
  if (exception) PyErr_SetRaisedException(exception.release());
}
#else
PyRef take_exception() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return {};
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type = PyRef::steal(type), owned_traceback = PyRef::steal(traceback);
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  return PyRef::steal(value);
}

void restore_exception(PyRef exception) {
  if (!exception) return;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception.get()));
  Py_INCREF(type);
  PyObject* traceback = PyException_GetTraceback(exception.get());
  PyErr_Restore(type, exception.release(), traceback);
}
#endif

PyRef checked(PyObject* result) {
  if (result == nullptr) throw PythonError{};
  return PyRef::steal(result);
}

void translate_current_exception() noexcept {
  try {
    try {
      throw;
    } catch (const InternalFailure& failure) {
      std::fprintf(stderr, "kelvora_core_py: internal failure at %s:%u: %s\n",
                   failure.where().file_name(), unsigned(failure.where().line()),
                   failure.message().c_str());
      raise_panic(failure.message());
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "kelvora_core_py: internal failure: %s\n", e.what());
      raise_panic(e.what());
    } catch (...) {
      std::fprintf(stderr, "kelvora_core_py: internal failure without a message\n");
      raise_panic({});
    }
  } catch (...) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
}

}  // namespace kelvora::py
