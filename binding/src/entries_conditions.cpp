// prep_condition, cond_hash_branch
#include "convert.hpp"
#include "entries.hpp"

namespace kelvora::py {

PyObject* entry_prep_condition(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_guarded([&]() -> PyRef {
    const Signature& s = sig::prep_condition;
    const Bound b = bind(s, args, kwargs);
    (void)convert(s, b, 0, as_f32);
    (void)convert(s, b, 1, as_f32);
    (void)convert(s, b, 2, as_byte_array);
    raise(PyExc_NotImplementedError, "prep_condition is not implemented yet");
  });
}

PyObject* entry_cond_hash_branch(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_guarded([&]() -> PyRef {
    const Signature& s = sig::cond_hash_branch;
    const Bound b = bind(s, args, kwargs);
    (void)convert(s, b, 0, as_u64);
    (void)convert(s, b, 1, as_u64);
    (void)convert(s, b, 2, as_f32);
    (void)convert(s, b, 3, as_byte_array);
    raise(PyExc_NotImplementedError, "cond_hash_branch is not implemented yet");
  });
}

}  // namespace kelvora::py
