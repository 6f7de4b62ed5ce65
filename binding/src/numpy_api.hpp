// The few NumPy C-API entries the module uses, reached without NumPy's headers
// (which do not build under the limited API) and without NumPy at build time.
//
// The table is fetched on first use from the `_ARRAY_API` capsule of
// numpy._core.multiarray (NumPy 2 and later) or numpy.core.multiarray
// (earlier), chosen by numpy.lib.NumpyVersion(numpy.__version__).major, and
// kept for the life of the interpreter. Any failure to reach it is an internal
// failure whose message begins "Failed to access NumPy array API capsule".
#pragma once

#include <Python.h>

#include "once.hpp"

namespace kelvora::py::numpy {

// Leading fields of NumPy's array object; their layout is the same in NumPy
// 1.x and 2.x (tagPyArrayObject_fields in ndarraytypes.h).
struct ArrayFields {
  PyObject ob_base;
  char* data;
  int nd;
  Py_ssize_t* dimensions;
  Py_ssize_t* strides;
  PyObject* base;
  PyObject* descr;
  int flags;
};

inline constexpr int kCContiguous = 0x0001;  // NPY_ARRAY_C_CONTIGUOUS
inline constexpr int kFContiguous = 0x0002;  // NPY_ARRAY_F_CONTIGUOUS
inline constexpr int kOwnData = 0x0004;      // NPY_ARRAY_OWNDATA: the array frees its memory

struct Api {
  PyTypeObject* array_type;                         // table slot 2: PyArray_Type
  PyObject* ubyte_descr;                            // PyArray_DescrFromType(NPY_UBYTE), kept
  unsigned char (*equiv_types)(PyObject*, PyObject*);  // table slot 182: PyArray_EquivTypes
};

namespace detail {
extern Once g_made;  // whether g_api holds the table
extern Api g_api;
const Api& fetch_api();  // a failed fetch is retried next time
}  // namespace detail

// The table, fetched on first use, once however many threads ask at once.
inline const Api& api() {
  if (!detail::g_made.done()) [[unlikely]] return detail::fetch_api();
  return detail::g_api;
}

// Forgets the table, once the interpreter it was fetched in has ended
// (module.cpp); the next use fetches it again.
inline void forget_api() noexcept {
  detail::g_made.reset();
  detail::g_api = {};
}

inline ArrayFields* fields(PyObject* array) { return reinterpret_cast<ArrayFields*>(array); }

}  // namespace kelvora::py::numpy
