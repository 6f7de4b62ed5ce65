// Packet cycling; see cycle.hpp.
#include "involute/pipeline/cycle.hpp"

#include <memory>
#include <string>

#include "failure.hpp"
#include "messages.hpp"
#include "involute/chunk_sizes/chunks.hpp"
#include "involute/pipeline/stages.hpp"
#include "parallel/pool.hpp"

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

}  // namespace

// See header. Equal byte counts are exactly equal sorted copies.
void check_keys(ByteView old_key, ByteView new_key) {
  const ByteCounts old_counts = count_bytes(old_key);
  const ByteCounts new_counts = count_bytes(new_key);
  if (old_counts == new_counts) return;
  fail_equal(messages::kKeysNotPermutations, sorted_list(old_counts),
             sorted_list(new_counts));
}

// See header.
std::array<std::uint8_t, 256> substitution_table(ByteView old_key, ByteView new_key) {
  KV_ASSERT(old_key.size() == new_key.size());
  std::array<std::uint8_t, 256> table{};
  for (std::size_t i = 0; i < old_key.size(); ++i) table[old_key[i]] = new_key[i];
  return table;
}

// See header.
std::expected<void, InvolutionError> cycle_into(ByteView packet, ByteView old_salt,
                                                ByteView new_salt, ByteView old_key,
                                                ByteView new_key, std::uint64_t chunk_size,
                                                std::span<std::uint8_t> out, StopToken stop) {
  check_keys(old_key, new_key);
  KV_ASSERT(out.size() == packet.size());
  const std::array<std::uint8_t, 256> table = substitution_table(old_key, new_key);
  // Chunk size 0: both involutions copy, which leaves the re-coding.
  if (chunk_size == 0) {
    copy_bytes(packet, out, table.data(), stop);
    return {};
  }
  if (auto error = length_error(packet.size(), chunk_size)) return std::unexpected(*error);
  if (packet.empty()) return {};
  const std::size_t s = std::size_t(chunk_size);

  const std::uint64_t old_branch =
      always_true_branch(prepare_bounds(old_salt, -1.0f, 1.0f), old_salt);
  const std::uint64_t new_branch =
      always_true_branch(prepare_bounds(new_salt, -1.0f, 1.0f), new_salt);
  // More chunks than values: the first involution meets equal chunks.
  if (more_chunks_than_values(packet.size() / s, s))
    return std::unexpected(InvolutionError{DuplicateCrumbs{}});
  // The re-coded packet holds T of every byte of the packet, wherever the
  // chunks went, so its counts follow from the packet's.
  const ByteCounts counts = count_bytes(packet, stop);
  ByteCounts recoded{};
  for (std::size_t b = 0; b < 256; ++b) recoded[table[b]] += counts[b];

  ChunkHasher undo(packet, s, old_salt, stop);
  undo.start_prefixes();
  Sha256Digest old_seed, new_seed;
  parallel::parallel_tasks(stop, 2 + undo.prefix_tasks(), [&](std::size_t i) {
    if (i == 0) {
      old_seed = seed_digest(counts, old_branch, stop);
    } else if (i == 1) {
      new_seed = seed_digest(recoded, new_branch, stop);
    } else {
      undo.hash_prefixes(i - 2);
    }
  });
  // p2 = T(p1).
  auto p2_bytes = make_scratch<std::uint8_t>(packet.size());
  const std::span<std::uint8_t> p2(p2_bytes.get(), packet.size());
  if (auto done = crumbs_rank_arrange(undo, old_seed, p2); !done) return done;
  copy_bytes(p2, p2, table.data(), stop);

  ChunkHasher redo(p2, s, new_salt, stop);
  return crumbs_rank_arrange(redo, new_seed, out);
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
