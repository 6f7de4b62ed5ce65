// The batched shuffle that turns a keystream into a key table.
//
// shuffle_bytes(table, gen) is a Fisher-Yates pass in increasing position
// order: position i swaps with an index j in [0, i] from the IndexChooser.
//
// The chooser saves draws by taking several indices from one bounded draw:
// for the next upper bound m it multiplies m, m+1, m+2, ... while the product
// fits in 32 bits, draws once below that product and peels the indices off as
// mixed-radix digits (value mod m, then divide by m), the last position taking
// the remaining value whole. Over 256 positions that is 58 draws: the first
// covers positions 1 to 11 (bound 2 * 3 * ... * 12 = 479001600), later ones
// start at 12, 19, 26, 32, 38, ... with fewer positions as m grows.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "bytes.hpp"
#include "keys/chacha_generator.hpp"

namespace kelvora {

struct IndexBatch {
  std::uint32_t bound;  // next * (next + 1) * ... * (next + count - 1)
  std::uint8_t count;   // positions covered by one draw
};

// a / d for 32-bit a and d >= 1. Divisors up to kFastDivisors (all of a key
// table's) use a multiply-high by a precomputed 64-bit reciprocal, exact for
// every 32-bit dividend (Lemire, Kaser and Kurz, "Faster remainder by direct
// computation", 2019); a hardware divide costs several times more, once per
// table position.
inline constexpr std::uint32_t kFastDivisors = 256;

namespace detail {
__extension__ typedef unsigned __int128 U128;
constexpr std::array<std::uint64_t, kFastDivisors + 1> make_reciprocals() {
  std::array<std::uint64_t, kFastDivisors + 1> r{};
  for (std::uint32_t d = 2; d <= kFastDivisors; ++d) r[d] = ~std::uint64_t(0) / d + 1;
  return r;
}
inline constexpr auto kReciprocals = make_reciprocals();
}  // namespace detail

inline std::uint32_t quotient(std::uint32_t a, std::uint32_t d) {
  if (d >= 2 && d <= kFastDivisors) {
    return std::uint32_t((detail::U128(detail::kReciprocals[d]) * a) >> 64);
  }
  return a / d;
}

namespace detail {
// The batch rule; next >= 1.
constexpr IndexBatch batch_rule(std::uint32_t next) {
  std::uint64_t bound = next;
  std::uint64_t count = 1;
  while (bound * (next + count) <= 0xFFFFFFFFu) {
    bound *= next + count;
    ++count;
  }
  return {std::uint32_t(bound), std::uint8_t(count)};
}
// The batches of a key table's positions, worked out at compile time: the
// rule's chain of multiplications would otherwise run at every draw.
constexpr std::array<IndexBatch, kFastDivisors + 1> make_batch_table() {
  std::array<IndexBatch, kFastDivisors + 1> t{};
  for (std::uint32_t next = 1; next <= kFastDivisors; ++next) t[next] = batch_rule(next);
  return t;
}
inline constexpr auto kBatchTable = make_batch_table();
IndexBatch index_batch_slow(std::uint32_t next);
}  // namespace detail

// The largest batch starting at upper bound `next` (next >= 1) whose product
// fits in 32 bits; next == 0 is an internal failure.
inline IndexBatch index_batch(std::uint32_t next) {
  if (next - 1 < kFastDivisors) return detail::kBatchTable[next];
  return detail::index_batch_slow(next);
}

class IndexChooser {
 public:
  ~IndexChooser() { secure_wipe(&batch_, sizeof batch_); }

  // Next index, in [0, n] for the n-th call (counting from 0). `draw(bound)`
  // must return a value in [0, bound); it is called only to start a batch.
  template <class Draw>
  std::uint32_t next(Draw&& draw) {
    const std::uint32_t next = n_ + 1;
    if (left_ == 0) {
      const IndexBatch b = index_batch(next);
      batch_ = draw(b.bound);
      left_ = std::uint8_t(b.count - 1);
    } else {
      --left_;
    }
    std::uint32_t index;
    if (left_ == 0) {
      index = batch_;
    } else {
      const std::uint32_t q = quotient(batch_, next);
      index = batch_ - q * next;
      batch_ = q;
    }
    n_ = next;
    return index;
  }

 private:
  std::uint32_t n_ = 0;
  std::uint32_t batch_ = 0;
  std::uint8_t left_ = 1;  // position 0 takes index 0 without a draw
};

// Permutes `table` in place (at most 2^32 - 1 entries).
void shuffle_bytes(std::span<std::uint8_t> table, ChaCha20Generator& gen);

}  // namespace kelvora
