// The fields of package_blob; see blob_fields.hpp.
#include "blob_fields.hpp"

#include <optional>

#include "blob/utf8.hpp"
#include "convert.hpp"
#include "messages.hpp"
#include "numpy_api.hpp"

namespace kelvora::py {
namespace {

// A rule that does not apply leaves no trace: its exception is dropped. An
// interrupt or exit (a BaseException that is not an Exception) says nothing
// about the argument, so it still ends the call.
void drop_exception() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError{};
  PyErr_Clear();
}

}  // namespace

// The rules that the type switch of add_exact_type reaches are inlined into
// it (always_inline): a call to package_blob spends most of its time there.

// Rule 1.
[[gnu::always_inline]] inline bool BlobFields::array_rule(PyObject* arg) {
  if (!is_byte_array(arg)) return false;
  ByteView view;
  if (!contiguous_view(arg, view)) raise(PyExc_ValueError, messages::kFieldNotContiguous);
  array_fields_.emplace_back(field_.size());
  array_.emplace_back(arg);
  field_.emplace_back(BlobField::borrowed(view));
  return true;
}

// Rule 2.
[[gnu::always_inline]] inline void BlobFields::bytes_rule(PyObject* arg) {
  field_.emplace_back(BlobField::borrowed(as_bytes(arg)));
}

// Rule 3. A str of at most kShortTextChars characters is encoded into text_
// without a bytes object (the limited API offers a str's characters as UCS-4
// but its UTF-8 only as a new bytes object). Longer texts, texts past that
// room, and texts holding a surrogate (which UTF-8 cannot hold) go through
// PyUnicode_AsUTF8String, which also reports the surrogate as it always has.
void BlobFields::text_rule(PyObject* arg) {
  const Py_ssize_t n = PyUnicode_GetLength(arg);
  if (n < 0) throw PythonError{};
  if (std::size_t(n) <= kShortTextChars && 4 * std::size_t(n) <= text_.size() - text_used_) {
    Py_UCS4 chars[kShortTextChars];
    if (PyUnicode_AsUCS4(arg, chars, Py_ssize_t(kShortTextChars), 0) == nullptr) throw PythonError{};
    const std::span<std::uint8_t> room = std::span(text_).subspan(text_used_);
    if (const auto size = encode_utf8(std::span(chars, std::size_t(n)), room)) {
      field_.emplace_back(BlobField::borrowed(room.first(*size)));
      text_used_ += *size;
      return;
    }
  }
  PyObject* utf8 = utf8_.emplace_back(checked(PyUnicode_AsUTF8String(arg))).get();
  field_.emplace_back(BlobField::borrowed(as_bytes(utf8)));
}

// Rule 4, for an int (or subclass) when `is_int`; any other object is read
// through its __index__.
[[gnu::always_inline]] inline bool BlobFields::integer_rule(PyObject* arg, bool is_int) {
  if (!is_int) before_python_code();
  try {
    field_.emplace_back(BlobField::integer(is_int ? u64_of_int(arg) : as_u64(arg)));
    return true;
  } catch (const PythonError&) {
    drop_exception();
    return false;
  }
}

// Rule 5.
bool BlobFields::sequence_rule(PyObject* arg) {
  if (Py_TYPE(arg) == &PyByteArray_Type) {
    // An exact bytearray iterates to its own bytes: read them in one go. The
    // copy is needed anyway, as a later argument's conversion may resize it.
    const auto* p = reinterpret_cast<const std::uint8_t*>(PyByteArray_AsString(arg));
    field_.emplace_back(BlobField::owned(Bytes(p, p + PyByteArray_Size(arg))));
    return true;
  }
  before_python_code();  // iteration, the items' __index__
  try {
    field_.emplace_back(BlobField::owned(as_byte_sequence(arg)));
    return true;
  } catch (const PythonError&) {
    drop_exception();
    return false;
  }
}

// The common exact types, each recognised by one comparison of its type (the
// general tests are calls under the limited API). False, with no exception
// set, when the argument is of none of them or its rule does not apply.
[[gnu::always_inline]] inline bool BlobFields::add_exact_type(PyObject* arg) {
  PyTypeObject* const type = Py_TYPE(arg);
  if (type == &PyBytes_Type) {
    bytes_rule(arg);
    return true;
  }
  if (type == &PyUnicode_Type) {
    text_rule(arg);
    return true;
  }
  if (type == &PyLong_Type) return integer_rule(arg, true);
  // Looking up NumPy's table only past the types above keeps the three of
  // them working where NumPy cannot be loaded, as the general rules do.
  return type == numpy::api().array_type && array_rule(arg);
}

void BlobFields::add_by_rules(PyObject* arg) {
  // A bytes, str or int object is never a NumPy array (their instance layouts
  // exclude each other), so testing those first keeps the order of the rules
  // and spares them the array test.
  if (PyBytes_Check(arg)) return bytes_rule(arg);
  if (PyUnicode_Check(arg)) return text_rule(arg);
  if (PyLong_Check(arg)) {
    if (integer_rule(arg, true)) return;
  } else if (array_rule(arg) || (PyIndex_Check(arg) && integer_rule(arg, false))) {
    return;
  }
  if (sequence_rule(arg)) return;
  raise(PyExc_TypeError, messages::kUnsupportedField);
}

[[gnu::always_inline]] inline void BlobFields::add(PyObject* arg) {
  if (!add_exact_type(arg)) add_by_rules(arg);
}

// See header.
BlobFields::BlobFields(const Positional& args)
    : field_(args.size()), utf8_(args.size()), array_fields_(args.size()), array_(args.size()) {
  for (std::size_t i = 0; i < args.size(); ++i) add(args[i]);
}

// See header.
void BlobFields::before_python_code() {
  for (std::size_t k = 0; k < array_fields_.size(); ++k) {
    BlobField& field = field_[array_fields_[k]];
    const ByteView bytes = field.bytes();
    field = BlobField::owned(Bytes(bytes.begin(), bytes.end()));
  }
  array_fields_.clear();
  array_.clear();
}

}  // namespace kelvora::py
