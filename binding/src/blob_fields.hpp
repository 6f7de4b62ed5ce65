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
// The fields borrow what the blob is written from wherever nothing can change
// it first: bytes objects (the call's argument tuple holds them), UTF-8
// encodings (kept here; short ones in a buffer inside this object) and array
// memory.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "blob/blob.hpp"
#include "pyref.hpp"
#include "small_list.hpp"

namespace kelvora::py {

class BlobFields {
 public:
  // Room for `count` fields.
  explicit BlobFields(std::size_t count);

  // Appends the field of one argument, or raises (see above).
  void add(PyObject* arg);

  // The fields so far. Arrays are read again here when Python code ran after
  // their conversion, as that code may have moved their memory.
  std::span<const BlobField> fields();

 private:
  static constexpr std::size_t kInline = 8;          // fields without an allocation
  static constexpr std::size_t kShortTextChars = 64;  // longer texts get a bytes object

  bool add_exact_type(PyObject* arg);
  void add_by_rules(PyObject* arg);
  bool array_rule(PyObject* arg);
  void bytes_rule(PyObject* arg);
  void text_rule(PyObject* arg);
  bool integer_rule(PyObject* arg);
  bool sequence_rule(PyObject* arg);
  // Called before a rule runs Python code (__index__, iteration).
  void before_python_code();

  SmallList<BlobField, kInline> field_;
  SmallList<PyRef, kInline> utf8_;                // encodings of longer texts
  SmallList<std::size_t, kInline> array_fields_;  // fields borrowing array memory
  SmallList<PyObject*, kInline> arrays_;          // their arrays, in the same order
  std::array<std::uint8_t, 4 * kShortTextChars> text_;  // uninitialised: written before read
  std::size_t text_used_ = 0;
  bool ran_python_ = false;
};

}  // namespace kelvora::py
