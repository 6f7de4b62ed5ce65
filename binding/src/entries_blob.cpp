// package_blob, unpack_setup_packet, unpack_encrypted_packet
//
// package_blob(*args) in Python terms:
//
//   fields = []
//   for arg in args:                        # first rule that applies decides
//       if 1-D uint8 ndarray:  arg must be contiguous; its bytes
//       elif bytes:            its bytes
//       elif str:              arg.encode("utf-8")
//       elif fits u64 via int/__index__:    an integer field
//       elif sequence of ints 0..255:       bytes(arg)
//       else: TypeError(kUnsupportedField)
//   return blob(fields)
//
// Arrays, bytes and str encodings are not copied into the fields: the fields
// borrow them and the blob is written once, straight into the returned bytes
// object. The call's argument tuple keeps every argument alive, and `keep`
// the UTF-8 encodings.
#include <optional>
#include <vector>

#include "blob/blob.hpp"
#include "blob/packets.hpp"
#include "convert.hpp"
#include "entries.hpp"

namespace kelvora::py {
namespace {

constexpr std::string_view kUnsupportedField =
    "Unsupported field type; expected bytes-like, numpy.uint8 array, str, or non-negative int";
constexpr std::string_view kArrayNotContiguous =
    "numpy array not contiguous: The given array is not contiguous";

// A rule that does not apply leaves no trace: its exception is dropped. An
// interrupt or exit (a BaseException that is not an Exception) says nothing
// about the argument, so it still ends the call.
void drop_exception() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError{};
  PyErr_Clear();
}

std::optional<std::uint64_t> try_u64(PyObject* obj) {
  // PyIndex_Check spares the common non-integers an exception round trip.
  if (!PyLong_Check(obj) && !PyIndex_Check(obj)) return std::nullopt;
  try {
    return as_u64(obj);
  } catch (const PythonError&) {
    drop_exception();
    return std::nullopt;
  }
}

std::optional<Bytes> try_byte_sequence(PyObject* obj) {
  // An exact bytearray iterates to its own bytes; read them in one go. The copy
  // is needed anyway: a later argument's conversion may run Python code that
  // resizes it.
  if (Py_TYPE(obj) == &PyByteArray_Type) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(PyByteArray_AsString(obj));
    return Bytes(p, p + PyByteArray_Size(obj));
  }
  try {
    return as_byte_sequence(obj);
  } catch (const PythonError&) {
    drop_exception();
    return std::nullopt;
  }
}

struct Fields {
  std::vector<BlobField> fields;
  std::vector<PyRef> keep;                              // UTF-8 encodings of str fields
  std::vector<std::pair<std::size_t, PyObject*>> arrays;  // field index, array
};

void add_field(Fields& out, PyObject* obj) {
  if (is_byte_array(obj)) {
    ByteView view;
    if (!contiguous_view(obj, view)) raise(PyExc_ValueError, kArrayNotContiguous);
    out.arrays.emplace_back(out.fields.size(), obj);
    out.fields.push_back(BlobField::borrowed({}));  // memory taken once all fields are known
  } else if (PyBytes_Check(obj)) {
    out.fields.push_back(BlobField::borrowed(as_bytes(obj)));
  } else if (PyUnicode_Check(obj)) {
    PyRef utf8 = checked(PyUnicode_AsUTF8String(obj));
    out.fields.push_back(BlobField::borrowed(as_bytes(utf8.get())));
    out.keep.push_back(std::move(utf8));
  } else if (auto value = try_u64(obj)) {
    out.fields.push_back(BlobField::integer(*value));
  } else if (auto bytes = try_byte_sequence(obj)) {
    out.fields.push_back(BlobField::owned(std::move(*bytes)));
  } else {
    raise(PyExc_TypeError, kUnsupportedField);
  }
}

}  // namespace

PyObject* entry_package_blob(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_guarded([&]() -> PyRef {
    const Bound b = bind(sig::package_blob, args, kwargs);
    const Py_ssize_t n = b.args ? PyTuple_Size(b.args) : 0;
    Fields f;
    f.fields.reserve(std::size_t(n));
    for (Py_ssize_t i = 0; i < n; ++i) add_field(f, PyTuple_GetItem(b.args, i));
    // Converting a later field may have run Python code (__index__, __iter__)
    // that reshaped or reallocated an earlier array, so array memory is taken
    // only now, when no more Python code runs before the blob is written.
    for (const auto& [index, array] : f.arrays) {
      ByteView view;
      if (!is_byte_array(array) || !contiguous_view(array, view))
        raise(PyExc_ValueError, kArrayNotContiguous);
      f.fields[index] = BlobField::borrowed(view);
    }
    const std::size_t size = blob_size(f.fields);
    return bytes_filled(size, [&](std::uint8_t* out) { write_blob(f.fields, {out, size}); });
  });
}

PyObject* entry_unpack_setup_packet(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_guarded([&] {
    const Signature& s = sig::unpack_setup_packet;
    const Bound b = bind(s, args, kwargs);
    const ByteView data = convert(s, b, 0, as_bytes);
    const SetupPacket p = value_or_raise(read_setup_packet(data), "");
    PyRef public_key = bytes_result(p.public_key);
    PyRef packet = bytes_result(p.packet);
    PyRef mode = str_result(p.mode);
    PyRef identity = int_result(p.identity);
    return tuple_result({&public_key, &packet, &mode, &identity});
  });
}

PyObject* entry_unpack_encrypted_packet(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_guarded([&] {
    const Signature& s = sig::unpack_encrypted_packet;
    const Bound b = bind(s, args, kwargs);
    const ByteView data = convert(s, b, 0, as_bytes);
    const EncryptedPacket p = value_or_raise(read_encrypted_packet(data), "");
    PyRef public_key = bytes_result(p.public_key);
    PyRef private_key = bytes_result(p.private_key);
    PyRef packet = bytes_result(p.packet);
    PyRef mode = str_result(p.mode);
    PyRef identity = int_result(p.identity);
    return tuple_result({&public_key, &private_key, &packet, &mode, &identity});
  });
}

}  // namespace kelvora::py
