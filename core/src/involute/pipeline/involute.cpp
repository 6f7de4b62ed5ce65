// Packet involution; see involute.hpp. The stages are in stages.hpp.
#include "involute/pipeline/involute.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "failure.hpp"
#include "huge_pages.hpp"
#include "messages.hpp"
#include "involute/chunk_sizes/chunks.hpp"
#include "involute/pipeline/stages.hpp"
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

bool overlaps(ByteView a, std::span<const std::uint8_t> b) {
  const auto x = reinterpret_cast<std::uintptr_t>(a.data());
  const auto y = reinterpret_cast<std::uintptr_t>(b.data());
  return x < y + b.size() && y < x + a.size();
}

// Fresh buffers cut into parts of a huge page each; fault_in(i) writes part
// i, which makes the kernel back it with memory (the bytes are then zero,
// which the stages that use the buffers do not rely on).
class PageParts {
 public:
  explicit PageParts(std::span<const std::span<std::uint8_t>> buffers) {
    for (const auto& b : buffers) {
      for (std::size_t at = 0; at < b.size(); at += kHugePageSize)
        parts_.push_back(b.subspan(at, std::min(kHugePageSize, b.size() - at)));
    }
  }
  std::size_t count() const { return parts_.size(); }
  void fault_in(std::size_t i) const { std::memset(parts_[i].data(), 0, parts_[i].size()); }

 private:
  std::vector<std::span<std::uint8_t>> parts_;
};

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
  // More chunks than values a chunk can take: two chunks are equal, and so
  // are their crumbs. Known before anything is allocated.
  if (more_chunks_than_values(packet.size() / s, s))
    return std::unexpected(InvolutionError{DuplicateCrumbs{}});
  const ByteCounts counts = count_bytes(packet, stop);
  ChunkHasher chunks(packet, s, salt, stop);
  chunks.start_prefixes();
  // Chunks shorter than a block leave the seed digest alone on one thread:
  // the others fault in the pages of the result and of the later stages'
  // scratch meanwhile, which those stages would otherwise wait for.
  const std::size_t ahead = chunks.prefix_tasks();
  NarrowRoom room;
  std::vector<std::span<std::uint8_t>> fresh;
  if (ahead == 0 && packet.size() >= kHugePageSize && chunks.chunks() <= (std::uint64_t(1) << 32)) {
    room = make_narrow_room(chunks.chunks());
    fresh = {scratch_bytes(room.records, chunks.chunks()),
             scratch_bytes(room.order, chunks.chunks())};
    if (!overlaps(packet, out)) {
      advise_huge_pages(out.data(), out.size());
      fresh.push_back(out);
    }
  }
  const PageParts parts(fresh);
  Sha256Digest seed;
  parallel::parallel_tasks(stop, 1 + ahead + parts.count(), [&](std::size_t i) {
    if (i == 0) {
      seed = seed_digest(counts, h, stop);
    } else if (i <= ahead) {
      chunks.hash_prefixes(i - 1);
    } else {
      parts.fault_in(i - 1 - ahead);
    }
  });
  // Crumbs, rank and arrange.
  return crumbs_rank_arrange(chunks, seed, out, std::move(room));
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
