// Packet involution; see involute.hpp. The stages are in stages.hpp.
#include "involute/pipeline/involute.hpp"

#include <utility>

#include "involute/pipeline/opening.hpp"
#include "messages.hpp"

namespace kelvora {

// See header.
std::string InvolutionError::message() const {
  if (const auto* e = std::get_if<LengthNotMultiple>(&kind))
    return messages::length_not_multiple(e->length, e->chunk_size);
  return std::string(messages::kDuplicateCrumbs);
}

namespace {

using namespace involution;

// The opening (opening.hpp), then the crumb, rank and arrange stages;
// `branch` yields the branch value when the opening asks for it.
template <class Branch>
std::expected<void, InvolutionError> involute_core(ByteView packet, ByteView salt,
                                                   std::uint64_t chunk_size, Branch&& branch,
                                                   std::span<std::uint8_t> out, StopToken stop) {
  auto opening = open_packet({packet, salt, chunk_size, out, nullptr, true, stop},
                             [&] { return Branches{branch(), 0}; });
  if (!opening) return std::unexpected(opening.error());
  if (!*opening) return {};
  Opening& o = **opening;
  return crumbs_rank_arrange(o.chunks, o.seed, out, std::move(o.room));
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
