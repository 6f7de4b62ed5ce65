// The batched shuffle; see shuffle.hpp.
#include "keys/shuffle.hpp"

#include <array>
#include <utility>

#include "failure.hpp"
#include "platform.hpp"

namespace kelvora {
namespace {

// The chooser's work for the first kStepTableSize positions, planned at
// compile time. Within a batch drawn as B, the index at position i is a digit
// of B in the batch's mixed radix: floor(B / P) - floor(B / (P * r)) * r, with
// r = i + 1 and P the product of the batch's radices before position i (the
// batch's last position takes floor(B / P) whole). The second quotient is
// the first one of the next position, so each position computes only
// floor(B / (P * r)), from B itself by a multiply-high with a precomputed
// reciprocal, exact for every 32-bit B and divisor (Lemire, Kaser and Kurz,
// "Faster remainder by direct computation", 2019). So no position waits for
// a division of the one before it, where the chooser's running division (and
// a hardware divide) chains them all.
struct PositionStep {
  std::uint64_t after;  // reciprocal of P * r; 0 at a batch's last position
};

struct ShufflePlan {
  std::array<PositionStep, kStepTableSize> step{};
  std::array<std::uint32_t, kStepTableSize> bound{};  // nonzero: draw a batch here
};

constexpr std::uint64_t reciprocal(std::uint64_t d) { return ~std::uint64_t(0) / d + 1; }

constexpr ShufflePlan make_plan() {
  ShufflePlan plan{};
  std::uint32_t i = 1;  // position 0 takes index 0 without a draw
  while (i < kStepTableSize) {
    const IndexBatch b = batch_rule(i + 1);
    plan.bound[i] = b.bound;
    std::uint64_t product = 1;
    for (std::uint32_t k = 0; k < b.count && i + k < kStepTableSize; ++k) {
      PositionStep& s = plan.step[i + k];
      if (k + 1 < b.count) {
        product *= i + k + 1;
        s.after = reciprocal(product);
      }
    }
    i += b.count;
  }
  return plan;
}

constexpr ShufflePlan kPlan = make_plan();

inline std::uint32_t quotient(std::uint32_t a, std::uint64_t reciprocal) {
  std::uint64_t high;
  mul_64x64_128(reciprocal, a, &high);
  return std::uint32_t(high);
}

// Each index is a digit in radix i + 1, so at most i as long as the
// quotients are exact (they are, above). A whole plan-sized table is indexed
// through 8 bits, inside it by type, so only shorter tables pay a check per
// position; the indices are the same either way.
//
// The indices are all worked out first, the swaps made after. Swapping as
// each index comes out puts a store whose address is still being computed
// (a multiply and a subtraction after the draw) in front of every later load,
// and the processor holds those loads back until the address is known: much
// slower over the table than two plain passes, where each swap's addresses
// come from a load of an index already stored.
template <bool kWholeTable>
void shuffle_planned(std::span<std::uint8_t> table, ChaCha20Generator& gen) {
  static_assert(kStepTableSize == 256, "8-bit indices cover exactly a whole table");
  std::uint8_t index[kStepTableSize];  // the permutation in all but name: wiped
  WipeOnExit wipe_index(index, table.size());
  std::uint32_t batch = 0;
  std::uint32_t here = 0;  // floor(B / P) at position i
  for (std::uint32_t i = 1; i < table.size(); ++i) {
    if (kPlan.bound[i] != 0) {
      batch = bounded_draw(gen, kPlan.bound[i]);
      here = batch;
    }
    const PositionStep& s = kPlan.step[i];
    const std::uint32_t rest = quotient(batch, s.after);
    const std::uint32_t j = here - rest * (i + 1);
    if constexpr (!kWholeTable) KV_ASSERT(j <= i);
    index[i] = std::uint8_t(j);
    here = rest;
  }
  for (std::uint32_t i = 1; i < table.size(); ++i) std::swap(table[i], table[index[i]]);
}

}  // namespace

// See header.
IndexBatch index_batch(std::uint32_t next) {
  KV_ASSERT(next >= 1);
  return batch_rule(next);
}

// See header.
void shuffle_bytes(std::span<std::uint8_t> table, ChaCha20Generator& gen) {
  KV_ASSERT(table.size() <= 0xFFFFFFFFu);
  if (table.size() == kStepTableSize) {
    shuffle_planned<true>(table, gen);
    return;
  }
  if (table.size() < kStepTableSize) {
    shuffle_planned<false>(table, gen);
    return;
  }
  IndexChooser chooser;
  auto draw = [&gen](std::uint32_t bound) { return bounded_draw(gen, bound); };
  for (std::size_t i = 0; i < table.size(); ++i) {
    const std::uint32_t j = chooser.next(draw);
    KV_ASSERT(j <= i);
    std::swap(table[i], table[j]);
  }
}

}  // namespace kelvora
