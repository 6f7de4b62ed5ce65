// Argument kinds (Python object -> native value) and result kinds (native
// value -> new Python object).
//
// Argument conversions take a borrowed object, and either return the native
// value or set a Python exception and throw PythonError. Views of arrays and
// bytes objects borrow the argument's memory for the rest of the call: the
// binder's references (or the PyRefs of sequence items) keep the objects
// alive. A conversion may run Python code (__index__, __float__, iteration)
// that changes or frees an array converted before, so entries take array
// views after the last conversion and run nothing that can call into Python
// (not even a container's creation, which can collect garbage) before the
// core's last read of them. Long calls read them without the interpreter lock
// (unlocked.hpp): other threads, and on the main thread the signal handlers
// run meanwhile, and the caller's rule is not to modify the arrays then.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "boundary.hpp"
#include "bytes.hpp"
#include "numpy_api.hpp"
#include "pyref.hpp"

namespace kelvora::py {

// --- argument kinds ---------------------------------------------------------

// True for a one-dimensional NumPy array whose element type is equivalent to
// uint8. Fetches the NumPy table on first use (which may fail internally).
inline bool is_byte_array(PyObject* obj) {
  const numpy::Api& np = numpy::api();
  if (!PyObject_TypeCheck(obj, np.array_type)) return false;
  const numpy::ArrayFields* a = numpy::fields(obj);
  return a->nd == 1 && (a->descr == np.ubyte_descr || np.equiv_types(a->descr, np.ubyte_descr));
}

// The byte array kind: `obj` itself once it passes is_byte_array(), else
// TypeError "'<type>' object cannot be converted to 'PyArray<T, D>'".
PyObject* as_byte_array(PyObject* obj);

// Sets `view` to the memory of a byte array and returns true; returns false
// when the array is neither C- nor F-contiguous or has no data pointer.
inline bool contiguous_view(PyObject* array, ByteView& view) {
  const numpy::ArrayFields* a = numpy::fields(array);
  if (!(a->flags & (numpy::kCContiguous | numpy::kFContiguous)) || a->data == nullptr) return false;
  view = ByteView(reinterpret_cast<const std::uint8_t*>(a->data), std::size_t(a->dimensions[0]));
  return true;
}

// The memory of a byte array argument, or TypeError
// "The given array is not contiguous".
ByteView require_contiguous(PyObject* array);

// Unsigned 64-bit integer: int subclasses directly, others through __index__.
std::uint64_t as_u64(PyObject* obj);

// The value of an int (or subclass) as an unsigned 64-bit integer, or the
// interpreter's OverflowError.
inline std::uint64_t u64_of_int(PyObject* int_obj) {
  const unsigned long long v = PyLong_AsUnsignedLongLong(int_obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
  return v;
}

// Single float: PyFloat_AsDouble, then rounded to binary32.
float as_f32(PyObject* obj);

// Double to binary32: round to nearest even, overflow to infinity, a NaN
// keeps its sign and top 23 fraction bits and becomes quiet.
float to_binary32(double value);

// Text: the UTF-8 encoding of a str (or subclass).
std::string as_text(PyObject* obj);

// Bytes object: a view of a bytes object's (or subclass's) bytes.
[[noreturn, gnu::cold]] void not_bytes(PyObject* obj);
inline ByteView as_bytes(PyObject* obj) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(obj, &data, &size) != 0) [[unlikely]] not_bytes(obj);
  return ByteView(reinterpret_cast<const std::uint8_t*>(data), std::size_t(size));
}

// Array sequence: any non-str sequence whose items are byte arrays; the items
// are returned (owned references) in order.
std::vector<PyRef> as_array_sequence(PyObject* obj);

// The memory of each item, in order; a non-contiguous item is the internal
// failure "called `Result::unwrap()` on an `Err` value: NotContiguousError".
std::vector<ByteView> item_views(const std::vector<PyRef>& items);

// Byte sequence: any non-str sequence whose items are integers 0 to 255.
Bytes as_byte_sequence(PyObject* obj);

// The qualified name of obj's type, or "<failed to extract type name>".
std::string type_name(PyObject* obj);

// --- result kinds -----------------------------------------------------------

// Each result builder returns a new reference; if CPython cannot create the
// object, its exception is printed and cleared and the call ends as the
// internal failure "Python API call failed". The failure is out of line, so
// the common path carries none of its frame (nor a stack protector's check).
[[noreturn, gnu::cold, gnu::noinline]] void result_not_created();
inline PyRef result(PyObject* created) {
  if (created == nullptr) [[unlikely]] result_not_created();
  return PyRef::steal(created);
}

PyRef bytes_result(ByteView data);

// A bytes object of `size` bytes filled in place by fill(std::uint8_t* out):
// results are written once, straight into the object that is returned.
template <class Fill>
PyRef bytes_filled(std::size_t size, Fill&& fill) {
  PyRef out = result(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(size)));
  fill(reinterpret_cast<std::uint8_t*>(PyBytes_AsString(out.get())));
  return out;
}

PyRef int_result(std::uint64_t value);
PyRef str_result(std::string_view utf8);
// A tuple holding the given new references, in order.
PyRef tuple_result(std::initializer_list<PyRef*> items);

}  // namespace kelvora::py
