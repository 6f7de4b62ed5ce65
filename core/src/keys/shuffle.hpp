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
//
// For tables of up to kStepTableSize entries (key tables) shuffle_bytes does
// not run the chooser itself but a precomputed plan of the same batches that
// yields the same indices (see shuffle.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "bytes.hpp"
#include "keys/chacha_generator.hpp"

namespace kelvora {

struct IndexBatch {
  std::uint32_t bound;  // next * (next + 1) * ... * (next + count - 1)
  std::uint8_t count;   // positions covered by one draw
};

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

// The largest batch starting at upper bound `next` whose product fits in 32
// bits; next == 0 is an internal failure.
IndexBatch index_batch(std::uint32_t next);

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
      index = batch_ % next;
      batch_ /= next;
    }
    n_ = next;
    return index;
  }

 private:
  std::uint32_t n_ = 0;
  std::uint32_t batch_ = 0;
  std::uint8_t left_ = 1;  // position 0 takes index 0 without a draw
};

inline constexpr std::size_t kStepTableSize = 256;

// Permutes `table` in place (at most 2^32 - 1 entries).
void shuffle_bytes(std::span<std::uint8_t> table, ChaCha20Generator& gen);

}  // namespace kelvora
