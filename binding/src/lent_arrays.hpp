// The memory of the arrays a call reads without the interpreter lock, kept
// from being freed until the lock is back.
//
// Without the lock, another thread (or a signal handler on the main thread)
// may run ndarray.resize(..., refcheck=False) or ndarray.__setstate__ on an
// argument. NumPy frees the array's memory in both unless the array does not
// own it: resize then refuses ("cannot resize this array: it does not own its
// data"), and __setstate__ only drops the array's base and gives it new
// memory. Holding the array, a buffer export of it or a weak reference stops
// neither. So for the call, the array that owns the memory lends it to the
// module: it stops owning it (flags.owndata is False) and takes as its base a
// marker of the loans, a capsule named "kelvora_core_py.loan" (as any object
// that is no array, it is where NumPy stops when it looks for the base of a
// view made of the owner meanwhile). When the last call reading the memory
// ends, the owner owns it again, or, if the owner took other memory
// meanwhile, the memory is freed by the allocator that gave it (the owner's
// NumPy memory handler, kept with the loan).
//
// The owner of an argument's memory is found through its bases: an array
// that owns its memory, or an object of another kind (a bytes object, an
// mmap), which is only held by a reference for the call, as nothing in NumPy
// frees it. An array whose memory no object owns is left as it is.
//
// One owner may be lent to several calls at once (threads sharing a packet):
// loans are counted in a table of the process, which like the arrays' fields
// is read and written with the interpreter lock held. An interpreter without
// that lock (a free-threaded build) lends nothing: there another thread may
// touch the owner while it is being lent, and a call's arrays are left as
// they are.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <vector>

#include "numpy_api.hpp"
#include "pyref.hpp"
#include "small_list.hpp"

namespace kelvora::py {

// Whether arrays are lent: only where the interpreter lock guards the table.
#ifdef Py_GIL_DISABLED
inline constexpr bool kLendsArrays = false;
#else
inline constexpr bool kLendsArrays = true;
#endif

// Made, added to and destroyed with the interpreter lock held; the arrays
// stay lent from add() until destruction.
class LentArrays {
 public:
  // For at most `most` arrays.
  explicit LentArrays(std::size_t most) : loans_(most), kept_(most) {}
  LentArrays(const LentArrays&) = delete;
  LentArrays& operator=(const LentArrays&) = delete;
  ~LentArrays();

  // Lends the owner of a byte array's memory. A loan that cannot be made
  // (no memory for the table) throws std::bad_alloc. Inline: a view of the
  // owner added last (the next row of one matrix, say), which needs nothing
  // more, and a view of a bytes object (np.frombuffer's), which is held.
  void add(PyObject* array) {
    if constexpr (!kLendsArrays) return;
    const numpy::ArrayFields* f = numpy::fields(array);
    PyObject* const base = f->base;
    if (base == nullptr || (f->flags & numpy::kOwnData)) return add_owner_of(array);
    if (base == last_) return;
    if (Py_TYPE(base) != &PyBytes_Type) return add_owner_of(array);
    keep(base);
  }
  void add(const std::vector<PyRef>& arrays) {
    for (const PyRef& array : arrays) add(array.get());
  }
  void add(std::span<PyObject* const> arrays) {
    for (PyObject* array : arrays) add(array);
  }

  // How many arrays each kind of argument to add() holds.
  static std::size_t count(PyObject*) { return 1; }
  static std::size_t count(const std::vector<PyRef>& arrays) { return arrays.size(); }
  static std::size_t count(std::span<PyObject* const> arrays) { return arrays.size(); }

 private:
  static constexpr std::size_t kInline = 8;

  void add_owner_of(PyObject* array);
  void keep(PyObject* owner) {
    last_ = owner;
    Py_INCREF(owner);
    kept_.emplace_back(owner);
  }

  SmallList<void*, kInline> loans_;  // the memory of a loan counted for this call
  SmallList<PyObject*, kInline> kept_;  // owners held by a reference only
  PyObject* last_ = nullptr;         // the owner added last
};

// Forgets the loans of calls that never ended (threads parked at exit), once
// the interpreter that made them has ended.
void forget_loans() noexcept;

}  // namespace kelvora::py
