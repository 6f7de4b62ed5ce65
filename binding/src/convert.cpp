// Argument and result conversions; see convert.hpp.
#include "convert.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "failure.hpp"
#include "messages.hpp"
#include "numpy_api.hpp"

namespace kelvora::py {
namespace {

[[noreturn]] void cannot_convert(PyObject* obj, const char* target) {
  // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on
  // "'" + std::string.
  std::string message = "'";
  message += type_name(obj);
  message += messages::kCannotConvert;
  message += target;
  message += '\'';
  raise(PyExc_TypeError, message);
}

// Rejects str and non-sequences for the two sequence kinds, then iterates.
PyRef sequence_iterator(PyObject* obj) {
  if (PyUnicode_Check(obj)) raise(PyExc_TypeError, messages::kStrNotSequence);
  if (!PySequence_Check(obj)) cannot_convert(obj, messages::kTargetSequence);
  return checked(PyObject_GetIter(obj));
}

// Room to reserve for a sequence. Its length is only a hint: a __len__ can
// claim anything, so beyond an exact list or tuple the room is capped at
// `most`, and the vector grows as items come; a failing size is ignored.
std::size_t size_hint(PyObject* obj, std::size_t most) {
  const Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) {
    PyErr_Clear();
    return 0;
  }
  return PyList_CheckExact(obj) || PyTuple_CheckExact(obj) ? std::size_t(n)
                                                            : std::min(std::size_t(n), most);
}

// Next item of an iterator; an empty PyRef at the end; throws on error.
PyRef next_item(PyObject* iterator) {
  PyRef item = PyRef::steal(PyIter_Next(iterator));
  if (!item && PyErr_Occurred()) throw PythonError{};
  return item;
}

}  // namespace

std::string type_name(PyObject* obj) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)),
                                                   "__qualname__"));
  PyRef utf8 = name && PyUnicode_Check(name.get())
                   ? PyRef::steal(PyUnicode_AsUTF8String(name.get()))
                   : PyRef();
  if (!utf8) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return std::string(PyBytes_AsString(utf8.get()), std::size_t(PyBytes_Size(utf8.get())));
}

PyObject* as_byte_array(PyObject* obj) {
  if (!is_byte_array(obj)) cannot_convert(obj, messages::kTargetArray);
  return obj;
}

ByteView require_contiguous(PyObject* array) {
  ByteView view;
  if (!contiguous_view(array, view)) raise(PyExc_TypeError, messages::kNotContiguous);
  return view;
}

std::uint64_t as_u64(PyObject* obj) {
  if (PyLong_Check(obj)) return u64_of_int(obj);
  return u64_of_int(checked(PyNumber_Index(obj)).get());
}

float to_binary32(double value) {
  constexpr double kMax = std::numeric_limits<float>::max();
  // Halfway between FLT_MAX and 2^128: from here on, rounding goes to infinity.
  constexpr double kOverflow = 0x1.ffffffp127;
  if (std::isnan(value)) {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
    const std::uint32_t sign = std::uint32_t(bits >> 63) << 31;
    const std::uint32_t fraction = std::uint32_t(bits >> 29) & 0x7FFFFFu;
    return std::bit_cast<float>(sign | 0x7F800000u | 0x400000u | fraction);
  }
  const double magnitude = std::fabs(value);
  const float sign = value < 0 ? -1.0f : 1.0f;
  if (magnitude >= kOverflow) return sign * std::numeric_limits<float>::infinity();
  if (magnitude > kMax) return sign * std::numeric_limits<float>::max();
  return static_cast<float>(value);
}

float as_f32(PyObject* obj) {
  double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) throw PythonError{};
  return to_binary32(v);
}

std::string as_text(PyObject* obj) {
  if (!PyUnicode_Check(obj)) cannot_convert(obj, messages::kTargetString);
  PyRef utf8 = checked(PyUnicode_AsUTF8String(obj));
  return std::string(PyBytes_AsString(utf8.get()), std::size_t(PyBytes_Size(utf8.get())));
}

void not_bytes(PyObject* obj) {
  PyErr_Clear();  // PyBytes_AsStringAndSize's own words give way to ours
  cannot_convert(obj, messages::kTargetBytes);
}

std::vector<PyRef> as_array_sequence(PyObject* obj) {
  PyRef iterator = sequence_iterator(obj);
  std::vector<PyRef> items;
  items.reserve(size_hint(obj, 1024));
  while (PyRef item = next_item(iterator.get())) {
    as_byte_array(item.get());
    items.push_back(std::move(item));
  }
  return items;
}

std::vector<ByteView> item_views(const std::vector<PyRef>& items) {
  std::vector<ByteView> views(items.size());
  for (std::size_t i = 0; i < items.size(); ++i)
    if (!contiguous_view(items[i].get(), views[i])) fail_unwrap(messages::kNotContiguousError);
  return views;
}

Bytes as_byte_sequence(PyObject* obj) {
  PyRef iterator = sequence_iterator(obj);
  Bytes out;
  out.reserve(size_hint(obj, 1 << 16));
  while (PyRef item = next_item(iterator.get())) {
    PyRef index = checked(PyNumber_Index(item.get()));
    long v = PyLong_AsLong(index.get());
    if (v == -1 && PyErr_Occurred()) throw PythonError{};
    if (v < 0 || v > 255) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    out.push_back(std::uint8_t(v));
  }
  return out;
}

void result_not_created() {
  PyErr_PrintEx(0);
  fail("Python API call failed");
}

PyRef bytes_result(ByteView data) {
  return result(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                          Py_ssize_t(data.size())));
}

PyRef int_result(std::uint64_t value) { return result(PyLong_FromUnsignedLongLong(value)); }

PyRef str_result(std::string_view utf8) {
  return result(PyUnicode_FromStringAndSize(utf8.data(), Py_ssize_t(utf8.size())));
}

PyRef tuple_result(std::initializer_list<PyRef*> items) {
  PyRef tuple = result(PyTuple_New(Py_ssize_t(items.size())));
  Py_ssize_t i = 0;
  for (PyRef* item : items) PyTuple_SetItem(tuple.get(), i++, item->release());
  return tuple;
}

}  // namespace kelvora::py
