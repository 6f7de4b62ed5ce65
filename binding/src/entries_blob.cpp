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
// object. The call's argument tuple keeps every argument alive, and `utf8`
// the encodings of str arguments.
#include <cstddef>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <utility>

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

// The unsigned integer kind, or nothing (no exception left set).
std::optional<std::uint64_t> try_u64(PyObject* obj) {
  try {
    return as_u64(obj);
  } catch (const PythonError&) {
    drop_exception();
    return std::nullopt;
  }
}

// The byte sequence kind, or nothing (no exception left set).
std::optional<Bytes> try_byte_sequence(PyObject* obj) {
  try {
    return as_byte_sequence(obj);
  } catch (const PythonError&) {
    drop_exception();
    return std::nullopt;
  }
}

// A list of at most `capacity` elements, stored inline when the capacity is
// at most N (the common case allocates nothing). Elements are constructed in
// place and destroyed with the list.
template <class T, std::size_t N>
class SmallList {
 public:
  explicit SmallList(std::size_t capacity)
      : data_(capacity <= N ? reinterpret_cast<T*>(inline_)
                            : static_cast<T*>(::operator new(capacity * sizeof(T)))) {}
  SmallList(const SmallList&) = delete;
  SmallList& operator=(const SmallList&) = delete;
  ~SmallList() {
    std::destroy_n(data_, size_);
    if (data_ != reinterpret_cast<T*>(inline_)) ::operator delete(data_);
  }
  // Room is the caller's promise: never more than `capacity` elements.
  template <class... Args>
  T& emplace_back(Args&&... args) {
    T* p = std::construct_at(data_ + size_, std::forward<Args>(args)...);
    ++size_;  // only once constructed: a throwing constructor adds nothing
    return *p;
  }
  T& operator[](std::size_t i) { return data_[i]; }
  std::size_t size() const { return size_; }
  std::span<const T> span() const { return {data_, size_}; }

 private:
  alignas(T) std::byte inline_[N * sizeof(T)];
  T* data_;
  std::size_t size_ = 0;
};

constexpr std::size_t kInlineFields = 8;

struct Fields {
  explicit Fields(std::size_t n) : field(n), utf8(n), array(n) {}
  SmallList<BlobField, kInlineFields> field;
  SmallList<PyRef, kInlineFields> utf8;  // UTF-8 encodings of str arguments
  SmallList<std::pair<std::size_t, PyObject*>, kInlineFields> array;  // field index, array
  bool ran_python = false;  // a conversion ran Python code
};

// Appends the field of one argument.
void add_field(Fields& f, PyObject* obj) {
  // A bytes, str or int object is never a NumPy array (their instance layouts
  // exclude each other), so testing those first keeps the order of the rules
  // and spares them the array test. None of these three runs Python code.
  if (PyBytes_Check(obj)) {
    f.field.emplace_back(BlobField::borrowed(as_bytes(obj)));
    return;
  }
  if (PyUnicode_Check(obj)) {
    PyObject* utf8 = f.utf8.emplace_back(checked(PyUnicode_AsUTF8String(obj))).get();
    f.field.emplace_back(BlobField::borrowed(as_bytes(utf8)));
    return;
  }
  if (PyLong_Check(obj)) {
    if (auto value = try_u64(obj)) {
      f.field.emplace_back(BlobField::integer(*value));
      return;
    }
  } else if (is_byte_array(obj)) {
    ByteView view;
    if (!contiguous_view(obj, view)) raise(PyExc_ValueError, kArrayNotContiguous);
    f.array.emplace_back(f.field.size(), obj);
    f.field.emplace_back(BlobField::borrowed(view));
    return;
  } else if (PyIndex_Check(obj)) {
    f.ran_python = true;  // __index__
    if (auto value = try_u64(obj)) {
      f.field.emplace_back(BlobField::integer(*value));
      return;
    }
  }
  if (Py_TYPE(obj) == &PyByteArray_Type) {
    // An exact bytearray iterates to its own bytes: read them in one go. The
    // copy is needed anyway, as a later argument's conversion may resize it.
    const auto* p = reinterpret_cast<const std::uint8_t*>(PyByteArray_AsString(obj));
    f.field.emplace_back(BlobField::owned(Bytes(p, p + PyByteArray_Size(obj))));
    return;
  }
  f.ran_python = true;  // iteration, items' __index__
  if (auto bytes = try_byte_sequence(obj)) {
    f.field.emplace_back(BlobField::owned(std::move(*bytes)));
    return;
  }
  raise(PyExc_TypeError, kUnsupportedField);
}

}  // namespace

PyObject* entry_package_blob(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_guarded([&]() -> PyRef {
    const Bound b = bind(sig::package_blob, args, kwargs);
    const std::size_t n = b.args ? std::size_t(PyTuple_Size(b.args)) : 0;
    Fields f(n);
    for (std::size_t i = 0; i < n; ++i) add_field(f, PyTuple_GetItem(b.args, Py_ssize_t(i)));
    // Converting a later field may have run Python code (__index__, __iter__)
    // that reshaped or reallocated an earlier array; if so, array memory is
    // taken again now, when no more Python code runs before the blob is written.
    for (std::size_t k = 0; f.ran_python && k < f.array.size(); ++k) {
      const auto [index, array] = f.array[k];
      ByteView view;
      if (!is_byte_array(array) || !contiguous_view(array, view))
        raise(PyExc_ValueError, kArrayNotContiguous);
      f.field[index] = BlobField::borrowed(view);
    }
    const std::span<const BlobField> fields = f.field.span();
    const std::size_t size = blob_size(fields);
    return bytes_filled(size, [&](std::uint8_t* out) { write_blob(fields, {out, size}); });
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
