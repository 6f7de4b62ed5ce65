// The opening of every involution; see opening.hpp.
#include "involute/pipeline/opening.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "failure.hpp"
#include "huge_pages.hpp"
#include "involute/chunk_sizes/chunks.hpp"
#include "parallel/pool.hpp"

namespace kelvora::involution {
namespace {

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

}  // namespace

// See header.
std::expected<bool, InvolutionError> done_before_branches(const OpeningCall& call) {
  KV_ASSERT(call.out.size() == call.packet.size());
  if (call.chunk_size == 0) {
    copy_bytes(call.packet, call.out, call.table, call.stop);
    return true;
  }
  if (call.packet.size() % call.chunk_size != 0)
    return std::unexpected(InvolutionError{LengthNotMultiple{call.packet.size(), call.chunk_size}});
  return call.packet.empty();
}

// See header.
std::expected<Opening, InvolutionError> open_with(const OpeningCall& call, Branches branches) {
  const ByteView packet = call.packet;
  const std::size_t s = std::size_t(call.chunk_size);
  if (more_chunks_than_values(packet.size() / s, s))
    return std::unexpected(InvolutionError{DuplicateCrumbs{}});
  const ByteCounts counts = count_bytes(packet, call.stop);
  ByteCounts recoded{};
  if (call.table != nullptr)
    for (std::size_t b = 0; b < 256; ++b) recoded[call.table[b]] += counts[b];
  Opening o{ChunkHasher(packet, s, call.salt, call.stop), {}, {}, {}};
  o.chunks.start_prefixes();
  // Chunks shorter than a block leave the seed digest alone on one thread:
  // the others fault in the pages of the result and of the later stages'
  // scratch meanwhile, which those stages would otherwise wait for.
  const std::size_t seeds = call.table != nullptr ? 2 : 1;
  const std::size_t ahead = o.chunks.prefix_tasks();
  const std::size_t n = o.chunks.chunks();
  std::vector<std::span<std::uint8_t>> fresh;
  if (call.fault_in && ahead == 0 && packet.size() >= kHugePageSize && n <= (std::uint64_t(1) << 32)) {
    o.room = make_narrow_room(n);
    fresh = {scratch_bytes(o.room.records, n), scratch_bytes(o.room.order, n)};
    if (!overlaps(packet, call.out)) {
      advise_huge_pages(call.out.data(), call.out.size());
      fresh.push_back(call.out);
    }
  }
  const PageParts parts(fresh);
  parallel::parallel_tasks(call.stop, seeds + ahead + parts.count(), [&](std::size_t i) {
    if (i == 0) {
      o.seed = seed_digest(counts, branches.first, call.stop);
    } else if (i < seeds) {
      o.recoded_seed = seed_digest(recoded, branches.second, call.stop);
    } else if (i < seeds + ahead) {
      o.chunks.hash_prefixes(i - seeds);
    } else {
      parts.fault_in(i - seeds - ahead);
    }
  });
  return o;
}

}  // namespace kelvora::involution
