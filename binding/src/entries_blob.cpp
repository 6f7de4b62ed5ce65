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
// object. The call's argument tuple keeps every argument alive; a short str is
// encoded into a buffer on the stack, a longer one into a bytes object that
// `utf8` keeps.
#include <array>
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
#include "numpy_api.hpp"

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

// Room for the UTF-8 encodings of short str arguments: a typical mode text
// needs no bytes object of its own.
struct TextBuffer {
  static constexpr std::size_t kMaxChars = 64;  // longer texts get a bytes object
  std::array<std::uint8_t, 4 * kMaxChars> bytes;  // left uninitialised: written before read
  std::size_t used = 0;
};

struct Fields {
  explicit Fields(std::size_t n) : field(n), utf8(n), array(n) {}
  SmallList<BlobField, kInlineFields> field;
  SmallList<PyRef, kInlineFields> utf8;  // UTF-8 encodings of longer str arguments
  SmallList<std::pair<std::size_t, PyObject*>, kInlineFields> array;  // field index, array
  TextBuffer text;
  bool ran_python = false;  // a conversion ran Python code
};

// The UTF-8 encoding of a str of at most TextBuffer::kMaxChars characters,
// appended to `text` without creating a bytes object (the limited API offers
// a str's characters as UCS-4 but its UTF-8 only as a new bytes object).
// Nothing when the str is longer, the buffer lacks room, or a character is a
// surrogate, which UTF-8 cannot hold: PyUnicode_AsUTF8String then decides,
// and reports the surrogate as it always has.
std::optional<ByteView> encode_short_text(PyObject* str, TextBuffer& text) {
  const Py_ssize_t n = PyUnicode_GetLength(str);
  if (n < 0) throw PythonError{};
  if (std::size_t(n) > TextBuffer::kMaxChars || 4 * std::size_t(n) > text.bytes.size() - text.used)
    return std::nullopt;
  Py_UCS4 chars[TextBuffer::kMaxChars];
  if (PyUnicode_AsUCS4(str, chars, Py_ssize_t(TextBuffer::kMaxChars), 0) == nullptr)
    throw PythonError{};
  std::uint8_t* const start = text.bytes.data() + text.used;
  std::uint8_t* out = start;
  for (Py_ssize_t i = 0; i < n; ++i) {
    const Py_UCS4 c = chars[i];
    if (c < 0x80) {
      *out++ = std::uint8_t(c);
    } else if (c < 0x800) {
      *out++ = std::uint8_t(0xC0 | c >> 6);
      *out++ = std::uint8_t(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      if (c >= 0xD800 && c <= 0xDFFF) return std::nullopt;
      *out++ = std::uint8_t(0xE0 | c >> 12);
      *out++ = std::uint8_t(0x80 | (c >> 6 & 0x3F));
      *out++ = std::uint8_t(0x80 | (c & 0x3F));
    } else {
      *out++ = std::uint8_t(0xF0 | c >> 18);
      *out++ = std::uint8_t(0x80 | (c >> 12 & 0x3F));
      *out++ = std::uint8_t(0x80 | (c >> 6 & 0x3F));
      *out++ = std::uint8_t(0x80 | (c & 0x3F));
    }
  }
  text.used += std::size_t(out - start);
  return ByteView(start, std::size_t(out - start));
}

// Appends the field of a str (or subclass).
void add_text(Fields& f, PyObject* str) {
  if (auto short_text = encode_short_text(str, f.text)) {
    f.field.emplace_back(BlobField::borrowed(*short_text));
    return;
  }
  PyObject* utf8 = f.utf8.emplace_back(checked(PyUnicode_AsUTF8String(str))).get();
  f.field.emplace_back(BlobField::borrowed(as_bytes(utf8)));
}

// The field of an argument of one of the common exact types, which the rules
// below would give it too: an array that is plainly a contiguous uint8 vector,
// bytes, str, or an int that fits. Each is recognised by one comparison of its
// type, where the general tests are calls under the limited API. False, with
// no exception left set, for everything else, which the general rules decide.
bool add_exact(Fields& f, PyObject* obj) {
  PyTypeObject* const type = Py_TYPE(obj);
  if (type == &PyBytes_Type) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(obj, &data, &size) != 0) throw PythonError{};
    f.field.emplace_back(
        BlobField::borrowed({reinterpret_cast<const std::uint8_t*>(data), std::size_t(size)}));
    return true;
  }
  if (type == &PyUnicode_Type) {
    add_text(f, obj);
    return true;
  }
  if (type == &PyLong_Type) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      drop_exception();  // negative or too large: the general rules say so again
      return false;
    }
    f.field.emplace_back(BlobField::integer(value));
    return true;
  }
  // Looking up NumPy's table only past the types above keeps the three of
  // them working where NumPy cannot be loaded, as the general rules do.
  const numpy::Api& np = numpy::api();
  if (type != np.array_type) return false;
  const numpy::ArrayFields* a = numpy::fields(obj);
  if (a->nd != 1 || a->descr != np.ubyte_descr || a->data == nullptr ||
      !(a->flags & (numpy::kCContiguous | numpy::kFContiguous)))
    return false;
  f.array.emplace_back(f.field.size(), obj);
  f.field.emplace_back(BlobField::borrowed(
      {reinterpret_cast<const std::uint8_t*>(a->data), std::size_t(a->dimensions[0])}));
  return true;
}

// Appends the field of one argument.
void add_field(Fields& f, PyObject* obj) {
  if (add_exact(f, obj)) return;
  // A bytes, str or int object is never a NumPy array (their instance layouts
  // exclude each other), so testing those first keeps the order of the rules
  // and spares them the array test. None of these three runs Python code.
  if (PyBytes_Check(obj)) {
    f.field.emplace_back(BlobField::borrowed(as_bytes(obj)));
    return;
  }
  if (PyUnicode_Check(obj)) {
    add_text(f, obj);
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
    const std::size_t n = b.args ? std::size_t(PyTuple_Size(b.args.get())) : 0;
    Fields f(n);
    for (std::size_t i = 0; i < n; ++i) add_field(f, PyTuple_GetItem(b.args.get(), Py_ssize_t(i)));
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
