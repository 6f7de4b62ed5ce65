// The NumPy table, fetched on first use; see numpy_api.hpp.
#include "numpy_api.hpp"

#include <string>

#include "boundary.hpp"
#include "failure.hpp"
#include "pyref.hpp"

namespace kelvora::py::numpy {
namespace {

constexpr int kNpyUbyte = 2;            // NPY_UBYTE
constexpr int kSlotArrayType = 2;       // PyArray_Type
constexpr int kSlotDescrFromType = 45;  // PyArray_DescrFromType
constexpr int kSlotEquivTypes = 182;    // PyArray_EquivTypes

// Clears the pending Python error and fails with its text appended.
[[noreturn]] void fail_capsule(const char* what) {
  std::string message = "Failed to access NumPy array API capsule: ";
  message += what;
  PyRef v = take_exception();
  if (v) {
    PyRef text = PyRef::steal(PyObject_Str(v.get()));
    PyRef utf8 = text ? PyRef::steal(PyUnicode_AsUTF8String(text.get())) : PyRef();
    if (utf8) {
      message += ": ";
      message += PyBytes_AsString(utf8.get());
    }
  }
  PyErr_Clear();
  fail(std::move(message));
}

PyRef attr(PyObject* o, const char* name, const char* what) {
  PyObject* r = PyObject_GetAttrString(o, name);
  if (r == nullptr) fail_capsule(what);
  return PyRef::steal(r);
}

Api load() {
  PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!numpy) fail_capsule("cannot import numpy");
  PyRef version = attr(numpy.get(), "__version__", "cannot read numpy.__version__");
  PyRef lib = attr(numpy.get(), "lib", "cannot read numpy.lib");
  PyRef numpy_version = attr(lib.get(), "NumpyVersion", "cannot read numpy.lib.NumpyVersion");
  PyRef parsed =
      PyRef::steal(PyObject_CallFunctionObjArgs(numpy_version.get(), version.get(), nullptr));
  if (!parsed) fail_capsule("cannot parse the NumPy version");
  PyRef major_obj = attr(parsed.get(), "major", "cannot read the NumPy major version");
  long major = PyLong_AsLong(major_obj.get());
  if (major == -1 && PyErr_Occurred()) fail_capsule("bad NumPy major version");

  const char* module_name = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
  PyRef multiarray = PyRef::steal(PyImport_ImportModule(module_name));
  if (!multiarray) fail_capsule("cannot import the multiarray module");
  PyRef capsule = attr(multiarray.get(), "_ARRAY_API", "no _ARRAY_API attribute");
  if (!PyCapsule_IsValid(capsule.get(), nullptr)) {
    PyErr_Clear();
    fail_capsule("_ARRAY_API is not a capsule");
  }
  void** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (table == nullptr) fail_capsule("_ARRAY_API holds a null pointer");

  Api api{};
  api.array_type = static_cast<PyTypeObject*>(table[kSlotArrayType]);
  using DescrFromType = PyObject* (*)(int);
  api.ubyte_descr = reinterpret_cast<DescrFromType>(table[kSlotDescrFromType])(kNpyUbyte);
  if (api.ubyte_descr == nullptr) fail_capsule("no uint8 descriptor");
  api.equiv_types = reinterpret_cast<decltype(api.equiv_types)>(table[kSlotEquivTypes]);
  // The capsule's table lives as long as NumPy, which is never unloaded; the
  // array type and the descriptor are held for the life of the interpreter.
  Py_INCREF(reinterpret_cast<PyObject*>(api.array_type));
  return api;
}

}  // namespace

namespace detail {

Once g_made;
Api g_api{};  // written once, by the thread that fetches it

const Api& fetch_api() {
  g_made.run([] { g_api = load(); });
  return g_api;
}

}  // namespace detail

}  // namespace kelvora::py::numpy
