// prep_condition, cond_hash_branch
#include "convert.hpp"
#include "entries.hpp"
#include "involute/conditions.hpp"

namespace kelvora::py {

namespace {

struct PrepCondition {
  float low_bound;
  float high_bound;
  PyObject* salt;
};
constexpr auto kPrepCondition =
    declare("prep_condition", param("low_bound", as_f32, &PrepCondition::low_bound),
            param("high_bound", as_f32, &PrepCondition::high_bound),
            param("salt", as_byte_array, &PrepCondition::salt));

PyRef prep_condition(const PrepCondition& a) {
  const PreparedBounds bounds =
      prepare_bounds(require_contiguous(a.salt), a.low_bound, a.high_bound);
  PyRef lo = int_result(bounds.lo);
  PyRef hi = int_result(bounds.hi);
  return tuple_result({&lo, &hi});
}

struct CondHashBranch {
  std::uint64_t low_bound;
  std::uint64_t high_bound;
  float test_value;
  PyObject* salt;
};
constexpr auto kCondHashBranch =
    declare("cond_hash_branch", param("low_bound", as_u64, &CondHashBranch::low_bound),
            param("high_bound", as_u64, &CondHashBranch::high_bound),
            param("test_value", as_f32, &CondHashBranch::test_value),
            param("salt", as_byte_array, &CondHashBranch::salt));

PyRef cond_hash_branch(const CondHashBranch& a) {
  return int_result(
      branch_value({a.low_bound, a.high_bound}, require_contiguous(a.salt), a.test_value));
}

}  // namespace

const Function prep_condition_function = function<kPrepCondition, prep_condition>();
const Function cond_hash_branch_function = function<kCondHashBranch, cond_hash_branch>();

}  // namespace kelvora::py
