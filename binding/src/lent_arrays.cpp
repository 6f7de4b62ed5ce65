// Arrays lent to the calls that read them without the lock; see lent_arrays.hpp.
#include "lent_arrays.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>

#include "numpy_api.hpp"

namespace kelvora::py {
namespace {

// NumPy's array object up to its memory handler (NumPy 1.22 and later).
struct OwnerFields {
  numpy::ArrayFields head;
  PyObject* weakreflist;
  void* buffer_info;
  PyObject* mem_handler;  // capsule "mem_handler" of a MemHandler
};

// The allocator behind a memory handler (PyDataMem_Handler, version 1).
struct MemHandler {
  char name[127];
  std::uint8_t version;
  void* context;
  void* (*allocate)(void*, std::size_t);
  void* (*allocate_zeroed)(void*, std::size_t, std::size_t);
  void* (*reallocate)(void*, void*, std::size_t);
  void (*release)(void* context, void* memory, std::size_t size);
};

OwnerFields* owner_fields(PyObject* array) { return reinterpret_cast<OwnerFields*>(array); }

// Whether this NumPy's arrays have the memory handler field.
bool arrays_have_handlers() {
  static const bool have = [] {
    PyRef size = PyRef::steal(PyObject_GetAttrString(
        reinterpret_cast<PyObject*>(numpy::api().array_type), "__basicsize__"));
    const long long basic = size ? PyLong_AsLongLong(size.get()) : -1;
    PyErr_Clear();
    return basic >= static_cast<long long>(sizeof(OwnerFields));
  }();
  return have;
}

// The elements of an array.
std::size_t elements(const numpy::ArrayFields& f) {
  std::size_t n = 1;
  for (int i = 0; i < f.nd; ++i) n *= std::size_t(f.dimensions[i]);
  return n;
}

// The bytes an allocator gave to an array of `count` elements of type
// `descr`, as NumPy frees them (never 0); 0 when the item size is not known.
std::size_t allocated_bytes(PyObject* descr, std::size_t count) {
  std::size_t item = 1;
  if (descr != numpy::api().ubyte_descr) {
    PyRef size = PyRef::steal(PyObject_GetAttrString(descr, "itemsize"));
    const long long value = size ? PyLong_AsLongLong(size.get()) : -1;
    if (value < 0) {
      PyErr_Clear();
      return 0;
    }
    item = std::size_t(value);
  }
  return count * item == 0 ? 1 : count * item;
}

// The base of a lent owner, standing for the table: an object that is no
// array (so views made of the owner meanwhile take the owner as their base).
PyObject* g_lender = nullptr;

PyObject* lender() {
  static char tag;
  if (g_lender == nullptr) g_lender = PyCapsule_New(&tag, "kelvora_core_py.loan", nullptr);
  return g_lender;
}

// The owner and what frees the memory should the owner take other memory:
// its allocator, and its element type and count then (references of the
// table's).
struct Loan {
  PyObject* owner;
  PyObject* handler;
  PyObject* descr;
  std::size_t elements;
  std::size_t calls;  // calls reading it now
};

// Loans by the memory lent: open addressing with linear probing, at most half
// full, so that a loan allocates nothing while the table does not grow. Its
// storage is never freed (see forget_loans), so it needs no destructor.
class LoanTable {
 public:
  static constexpr std::size_t kNone = ~std::size_t(0);

  // The slot of `memory`, or kNone.
  std::size_t find(void* memory) const {
    for (std::size_t i = home(memory); size_ != 0; i = next(i)) {
      if (slots_[i].memory == memory) return i;
      if (slots_[i].memory == nullptr) break;
    }
    return kNone;
  }
  Loan& at(std::size_t slot) { return slots_[slot].loan; }

  // Throws std::bad_alloc, with nothing added, when it cannot grow.
  void insert(void* memory, const Loan& loan) {
    if (2 * (used_ + 1) > size_) grow();
    std::size_t i = home(memory);
    while (slots_[i].memory != nullptr) i = next(i);
    slots_[i] = {memory, loan};
    ++used_;
  }

  // Each entry after the hole that may fill it (its home is not between the
  // hole and itself) moves back into it.
  void erase(std::size_t hole) {
    for (std::size_t i = next(hole); slots_[i].memory != nullptr; i = next(i)) {
      if (((i - home(slots_[i].memory)) & (size_ - 1)) >= ((i - hole) & (size_ - 1))) {
        slots_[hole] = slots_[i];
        hole = i;
      }
    }
    slots_[hole].memory = nullptr;
    --used_;
  }

  // Forgets every entry, leaving their storage behind.
  void forget() noexcept { *this = LoanTable(); }

 private:
  struct Slot {
    void* memory;
    Loan loan;
  };

  std::size_t next(std::size_t i) const { return (i + 1) & (size_ - 1); }
  std::size_t home(void* memory) const {
    return std::size_t((std::uint64_t(std::uintptr_t(memory)) * 0x9E3779B97F4A7C15u) >> 32) &
           (size_ - 1);
  }

  void grow() {
    const std::size_t size = size_ == 0 ? 16 : 2 * size_;
    Slot* const old = std::exchange(slots_, new Slot[size]());
    const std::size_t old_size = std::exchange(size_, size);
    used_ = 0;
    for (std::size_t i = 0; i < old_size; ++i)
      if (old[i].memory != nullptr) insert(old[i].memory, old[i].loan);
    delete[] old;
  }

  Slot* slots_ = nullptr;  // size_ of them, a power of two
  std::size_t size_ = 0;
  std::size_t used_ = 0;
};

LoanTable g_loans;

// The last memory handler found to be NumPy's version-1 capsule (NumPy's
// default handler, in practice), held so that its address stays its own.
PyObject* g_known_handler = nullptr;

bool known_handler(PyObject* handler) {
  if (handler == g_known_handler) return true;
  const auto* h = static_cast<const MemHandler*>(PyCapsule_GetPointer(handler, "mem_handler"));
  if (h == nullptr || h->version != 1) {
    PyErr_Clear();
    return false;
  }
  Py_INCREF(handler);
  Py_XDECREF(std::exchange(g_known_handler, handler));
  return true;
}

// Lends the owner's memory; false (nothing changed) when it cannot be lent.
bool lend(PyObject* owner) {
  OwnerFields* const a = owner_fields(owner);
  if (a->head.base != nullptr || a->head.data == nullptr || !arrays_have_handlers() ||
      a->mem_handler == nullptr || !known_handler(a->mem_handler))
    return false;
  PyObject* const base = lender();
  if (base == nullptr) {
    PyErr_Clear();
    return false;
  }
  g_loans.insert(a->head.data, Loan{owner, a->mem_handler, a->head.descr, elements(a->head), 1});
  Py_INCREF(owner);
  Py_INCREF(a->mem_handler);
  Py_INCREF(a->head.descr);
  a->head.flags &= ~numpy::kOwnData;
  a->head.base = base;
  Py_INCREF(base);
  return true;
}

// Ends one call's use of a loan; the last one gives the memory back, or
// frees it when its owner took other memory meanwhile.
void repay(void* memory) {
  const std::size_t slot = g_loans.find(memory);
  if (slot == LoanTable::kNone || --g_loans.at(slot).calls != 0) return;  // not found: forgotten
  const Loan loan = g_loans.at(slot);
  g_loans.erase(slot);
  OwnerFields* const a = owner_fields(loan.owner);
  if (a->head.base == g_lender && a->head.data == memory && !(a->head.flags & numpy::kOwnData)) {
    a->head.base = nullptr;
    a->head.flags |= numpy::kOwnData;
    Py_DECREF(g_lender);
  } else if (const std::size_t bytes = allocated_bytes(loan.descr, loan.elements)) {
    const auto* handler =
        static_cast<const MemHandler*>(PyCapsule_GetPointer(loan.handler, "mem_handler"));
    handler->release(handler->context, memory, bytes);
  }  // else kept: a leak rather than a free of the wrong size
  Py_DECREF(loan.descr);
  Py_DECREF(loan.handler);
  Py_DECREF(loan.owner);
}

}  // namespace

void LentArrays::add_owner_of(PyObject* array) {
  // The owner: the first base that owns the memory, is lent, or is no array
  // (`array` itself is one: its conversion said so). A bytes object, the
  // common base of frombuffer's arrays, is never an array.
  PyTypeObject* const array_type = numpy::api().array_type;
  PyObject* o = array;
  bool is_array = true;
  for (;;) {
    const numpy::ArrayFields& f = owner_fields(o)->head;
    if ((f.flags & numpy::kOwnData) || f.base == nullptr || f.base == g_lender) break;
    o = f.base;
    if (o == last_) return;  // this call has it already (the rows of one matrix, say)
    is_array = Py_TYPE(o) == array_type ||
               (Py_TYPE(o) != &PyBytes_Type && PyObject_TypeCheck(o, array_type));
    if (!is_array) break;
  }
  if (o == last_) return;
  if (!is_array) return keep(o);  // an object of another kind owns the memory
  const numpy::ArrayFields& f = owner_fields(o)->head;
  if (f.flags & numpy::kOwnData) {
    if (!lend(o)) return keep(o);
    loans_.emplace_back(f.data);
    last_ = o;
  } else if (f.base != nullptr) {  // lent already, to another call or earlier in this one
    const std::size_t slot = g_loans.find(f.data);
    if (slot == LoanTable::kNone) return;  // lent by an interpreter since ended: left as it is
    ++g_loans.at(slot).calls;
    loans_.emplace_back(f.data);
    last_ = o;
  }  // else memory that no object owns
}

LentArrays::~LentArrays() {
  for (std::size_t i = 0; i < loans_.size(); ++i) repay(loans_[i]);
  for (std::size_t i = 0; i < kept_.size(); ++i) Py_DECREF(kept_[i]);
}

void forget_loans() noexcept {
  if constexpr (kLendsArrays) {
    g_loans.forget();
    g_lender = nullptr;
    g_known_handler = nullptr;
  }
}

}  // namespace kelvora::py
