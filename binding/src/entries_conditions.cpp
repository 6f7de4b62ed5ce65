// prep_condition, cond_hash_branch
#include "convert.hpp"
#include "entries.hpp"
#include "involute/conditions/conditions.hpp"

namespace kelvora::py {

namespace {

struct PrepCondition {
  float low_bound, high_bound;
  PyObject* salt;
};
constexpr auto kPrepCondition =
    declare("prep_condition", KELVORA_PARAM(PrepCondition, low_bound, as_f32),
            KELVORA_PARAM(PrepCondition, high_bound, as_f32),
            KELVORA_PARAM(PrepCondition, salt, as_byte_array));

PyRef prep_condition(const PrepCondition& a) {
  const PreparedBounds bounds =
      prepare_bounds(require_contiguous(a.salt), a.low_bound, a.high_bound);
  PyRef lo = int_result(bounds.lo);
  PyRef hi = int_result(bounds.hi);
  return tuple_result({&lo, &hi});
}

struct CondHashBranch {
  std::uint64_t low_bound, high_bound;
  float test_value;
  PyObject* salt;
};
constexpr auto kCondHashBranch =
    declare("cond_hash_branch", KELVORA_PARAM(CondHashBranch, low_bound, as_u64),
            KELVORA_PARAM(CondHashBranch, high_bound, as_u64),
            KELVORA_PARAM(CondHashBranch, test_value, as_f32),
            KELVORA_PARAM(CondHashBranch, salt, as_byte_array));

PyRef cond_hash_branch(const CondHashBranch& a) {
  return int_result(
      branch_value({a.low_bound, a.high_bound}, require_contiguous(a.salt), a.test_value));
}

}  // namespace

const Function prep_condition_function = function<kPrepCondition, prep_condition>();
const Function cond_hash_branch_function = function<kCondHashBranch, cond_hash_branch>();

}  // namespace kelvora::py
