// Packet cycling; see cycle.hpp.
#include "involute/pipeline/cycle.hpp"

#include <array>
#include <memory>
#include <string>

#include "failure.hpp"
#include "involute/pipeline/opening.hpp"
#include "messages.hpp"

namespace kelvora {
namespace {

using namespace involution;

// "[v0, v1, ...]": the counted bytes in ascending order, in decimal.
std::string sorted_list(const ByteCounts& counts) {
  std::string out = "[";
  bool first = true;
  for (std::size_t b = 0; b < 256; ++b) {
    const std::string value = std::to_string(b);
    for (std::uint64_t i = 0; i < counts[b]; ++i) {
      if (!first) out += ", ";
      out += value;
      first = false;
    }
  }
  out += ']';
  return out;
}

// Step 1: returns normally when the keys hold the same bytes. Equal byte
// counts are exactly equal sorted copies.
void check_keys(ByteView old_key, ByteView new_key) {
  const ByteCounts old_counts = count_bytes(old_key);
  const ByteCounts new_counts = count_bytes(new_key);
  if (old_counts == new_counts) return;
  fail_equal(messages::kKeysNotPermutations, sorted_list(old_counts),
             sorted_list(new_counts));
}

// Step 3.
std::array<std::uint8_t, 256> substitution_table(ByteView old_key, ByteView new_key) {
  KV_ASSERT(old_key.size() == new_key.size());
  std::array<std::uint8_t, 256> table{};
  for (std::size_t i = 0; i < old_key.size(); ++i) table[old_key[i]] = new_key[i];
  return table;
}

}  // namespace

// See header.
std::expected<void, InvolutionError> cycle_into(ByteView packet, ByteView old_salt,
                                                ByteView new_salt, ByteView old_key,
                                                ByteView new_key, std::uint64_t chunk_size,
                                                std::span<std::uint8_t> out, StopToken stop) {
  check_keys(old_key, new_key);
  const std::array<std::uint8_t, 256> table = substitution_table(old_key, new_key);
  // The opening re-codes a packet of chunk size 0: both involutions copy it.
  auto opening = open_packet({packet, old_salt, chunk_size, out, table.data(), false, stop}, [&] {
    return Branches{always_true_branch(prepare_bounds(old_salt, -1.0f, 1.0f), old_salt),
                    always_true_branch(prepare_bounds(new_salt, -1.0f, 1.0f), new_salt)};
  });
  if (!opening) return std::unexpected(opening.error());
  if (!*opening) return {};
  Opening& undo = **opening;
  // p2 = T(p1).
  auto p2_bytes = make_scratch<std::uint8_t>(packet.size());
  const std::span<std::uint8_t> p2(p2_bytes.get(), packet.size());
  if (auto done = crumbs_rank_arrange(undo.chunks, undo.seed, p2); !done) return done;
  copy_bytes(p2, p2, table.data(), stop);

  ChunkHasher redo(p2, undo.chunks.chunk_size(), new_salt, stop);
  return crumbs_rank_arrange(redo, undo.recoded_seed, out);
}

// See header.
std::expected<Bytes, InvolutionError> cycle(ByteView packet, ByteView old_salt, ByteView new_salt,
                                            ByteView old_key, ByteView new_key,
                                            std::uint64_t chunk_size) {
  Bytes out(packet.size());
  if (auto done = cycle_into(packet, old_salt, new_salt, old_key, new_key, chunk_size, out); !done)
    return std::unexpected(done.error());
  return out;
}

}  // namespace kelvora
