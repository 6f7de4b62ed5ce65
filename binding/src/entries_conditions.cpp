// prep_condition, cond_hash_branch
#include "convert.hpp"
#include "entries.hpp"
#include "involute/conditions/conditions.hpp"

namespace kelvora::py {

PyObject* entry_prep_condition(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_guarded([&] {
    const Signature& s = sig::prep_condition;
    const Bound b = bind(s, args, kwargs);
    const float low = convert(s, b, 0, as_f32);
    const float high = convert(s, b, 1, as_f32);
    PyObject* salt = convert(s, b, 2, as_byte_array);
    const PreparedBounds bounds = prepare_bounds(require_contiguous(salt), low, high);
    PyRef lo = int_result(bounds.lo);
    PyRef hi = int_result(bounds.hi);
    return tuple_result({&lo, &hi});
  });
}

PyObject* entry_cond_hash_branch(PyObject*, PyObject* args, PyObject* kwargs) {
  return run_guarded([&] {
    const Signature& s = sig::cond_hash_branch;
    const Bound b = bind(s, args, kwargs);
    const std::uint64_t lo = convert(s, b, 0, as_u64);
    const std::uint64_t hi = convert(s, b, 1, as_u64);
    const float test_value = convert(s, b, 2, as_f32);
    PyObject* salt = convert(s, b, 3, as_byte_array);
    return int_result(branch_value({lo, hi}, require_contiguous(salt), test_value));
  });
}

}  // namespace kelvora::py
