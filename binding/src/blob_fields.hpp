// The fields of package_blob: each argument becomes one BlobField by the
// first of these rules that applies; a rule that is tried and does not apply
// leaves no trace (its exception is dropped):
//   1. a one-dimensional uint8 array: its bytes; it must be contiguous, else
//      ValueError "numpy array not contiguous: The given array is not contiguous";
//   2. bytes (or a subclass): its bytes;
//   3. str (or a subclass): its UTF-8 encoding (UnicodeEncodeError passes);
//   4. an int, or an object with __index__, from 0 to 2^64-1: an integer field;
//   5. a non-str sequence of integers 0 to 255: those bytes;
//   otherwise TypeError "Unsupported field type; expected bytes-like,
//   numpy.uint8 array, str, or non-negative int".
// Arguments of the common exact types (bytes, str, int, ndarray) are
// recognised by one comparison of their type and go straight to their rule.
//
// The blob holds each argument as it was when it was converted. The fields
// borrow what nothing can change before the blob is written: bytes objects
// (the call's caller holds them), UTF-8 encodings (kept here; short
// ones in a buffer inside this object), and array memory until Python code
// runs. Before a rule runs Python code (__index__, iteration), which could
// write to, reshape or free an array converted earlier, the arrays borrowed so
// far are copied; in the common call, where no such code runs, each array is
// copied once, straight into the blob.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "binder.hpp"
#include "blob/blob.hpp"
#include "pyref.hpp"
#include "small_list.hpp"

namespace kelvora::py {

class BlobFields {
 public:
  // The fields of the positional arguments `args`, in order; raises (see
  // above) at the first argument that has none.
  explicit BlobFields(const Positional& args);

  // The fields so far.
  std::span<const BlobField> fields() const { return field_.span(); }

  // The arrays whose memory the fields borrow, for run_unlocked.
  std::span<PyObject* const> arrays() const { return array_.span(); }

 private:
  static constexpr std::size_t kInline = 8;          // fields without an allocation
  static constexpr std::size_t kShortTextChars = 64;  // longer texts get a bytes object

  void add(PyObject* arg);
  bool add_exact_type(PyObject* arg);
  void add_by_rules(PyObject* arg);
  bool array_rule(PyObject* arg);
  void bytes_rule(PyObject* arg);
  void text_rule(PyObject* arg);
  bool integer_rule(PyObject* arg, bool is_int);
  bool sequence_rule(PyObject* arg);
  // Copies the arrays borrowed so far; called before a rule runs Python code.
  void before_python_code();

  SmallList<BlobField, kInline> field_;
  SmallList<PyRef, kInline> utf8_;                // encodings of longer texts
  SmallList<std::size_t, kInline> array_fields_;  // fields borrowing array memory
  SmallList<PyObject*, kInline> array_;           // and their arrays
  std::array<std::uint8_t, 4 * kShortTextChars> text_;  // uninitialised: written before read
  std::size_t text_used_ = 0;
};

}  // namespace kelvora::py
