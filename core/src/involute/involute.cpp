// Packet involution; see involute.hpp. The stages are in stages.hpp.
#include "involute/involute.hpp"

#include "failure.hpp"
#include "messages.hpp"
#include "involute/stages.hpp"
#include "parallel/pool.hpp"

namespace kelvora {

// See header.
std::string InvolutionError::message() const {
  if (const auto* e = std::get_if<LengthNotMultiple>(&kind))
    return messages::length_not_multiple(e->length, e->chunk_size);
  return std::string(messages::kDuplicateCrumbs);
}

namespace {

using namespace involution;

// The checks and stages shared by both forms; `branch` yields the branch
// value, and is asked only once the cheap checks have passed.
template <class Branch>
std::expected<void, InvolutionError> involute_core(ByteView packet, ByteView salt,
                                                   std::uint64_t chunk_size, Branch&& branch,
                                                   std::span<std::uint8_t> out, StopToken stop) {
  KV_ASSERT(out.size() == packet.size());
  if (chunk_size == 0) {
    copy_bytes(packet, out, nullptr, stop);
    return {};
  }
  if (auto error = length_error(packet.size(), chunk_size)) return std::unexpected(*error);
  if (packet.empty()) return {};
  const std::size_t s = std::size_t(chunk_size);

  // Seed, overlapped with the crumbs' whole blocks, which do not depend on it.
  const std::uint64_t h = branch();
  const ByteCounts counts = count_bytes(packet, stop);
  ChunkHasher chunks(packet, s, salt, stop);
  chunks.start_prefixes();
  Sha256Digest seed;
  parallel::parallel_tasks(stop, 1 + chunks.prefix_tasks(), [&](std::size_t i) {
    if (i == 0) {
      seed = seed_digest(counts, h, stop);
    } else {
      chunks.hash_prefixes(i - 1);
    }
  });
  // Crumbs and rank.
  auto order = crumbs_and_rank(chunks, seed);
  if (!order) return std::unexpected(order.error());
  // Arrange.
  arrange(packet, s, order->get(), out, stop);
  return {};
}

}  // namespace

// See header.
std::expected<void, InvolutionError> involute_into(ByteView packet, ByteView salt,
                                                   std::uint64_t chunk_size,
                                                   std::span<std::uint8_t> out, StopToken stop) {
  return involute_core(
      packet, salt, chunk_size,
      [&] { return always_true_branch(prepare_bounds(salt, -1.0f, 1.0f), salt); }, out, stop);
}

// See header.
std::expected<void, InvolutionError> involute_if_into(ByteView packet, ByteView salt,
                                                      std::uint64_t chunk_size,
                                                      const Condition& condition,
                                                      std::span<std::uint8_t> out,
                                                      StopToken stop) {
  return involute_core(
      packet, salt, chunk_size,
      [&] { return branch_value(condition.bounds, salt, condition.test_value); }, out, stop);
}

// See header.
std::expected<Bytes, InvolutionError> involute(ByteView packet, ByteView salt,
                                               std::uint64_t chunk_size) {
  Bytes out(packet.size());
  if (auto done = involute_into(packet, salt, chunk_size, out); !done)
    return std::unexpected(done.error());
  return out;
}

// See header.
std::expected<Bytes, InvolutionError> involute_if(ByteView packet, ByteView salt,
                                                  std::uint64_t chunk_size,
                                                  const Condition& condition) {
  Bytes out(packet.size());
  if (auto done = involute_if_into(packet, salt, chunk_size, condition, out); !done)
    return std::unexpected(done.error());
  return out;
}

}  // namespace kelvora
