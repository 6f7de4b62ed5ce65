#include "keys/shuffle.hpp"

#include <utility>

#include "failure.hpp"

namespace kelvora {

// See header.
IndexBatch detail::index_batch_slow(std::uint32_t next) {
  KV_ASSERT(next >= 1);
  return batch_rule(next);
}

// See header.
void shuffle_bytes(std::span<std::uint8_t> table, ChaCha20Generator& gen) {
  KV_ASSERT(table.size() <= 0xFFFFFFFFu);
  IndexChooser chooser;
  auto draw = [&gen](std::uint32_t bound) { return bounded_draw(gen, bound); };
  for (std::size_t i = 0; i < table.size(); ++i) {
    const std::uint32_t j = chooser.next(draw);
    KV_ASSERT(j <= i);
    std::swap(table[i], table[j]);
  }
}

}  // namespace kelvora
