// The seed stage of the involution: byte counts and the seed digest D; see
// stages.hpp.
#include <algorithm>
#include <cstring>
#include <vector>

#include "involute/pipeline/stages.hpp"
#include "parallel/pool.hpp"

namespace kelvora::involution {
namespace {

constexpr std::size_t kCountTasks = 256;        // at most
constexpr std::size_t kCountSpan = 256 * 1024;  // bytes per counting task, at least
constexpr std::size_t kStagesPerCheckpoint = 256;  // staged blocks (1 MiB) hashed between checks

void count_span(const std::uint8_t* p, std::size_t len, ByteCounts& out) {
  while (len != 0) {
    const std::size_t part = std::min<std::size_t>(len, std::size_t(1) << 30);
    // Four tables, so runs of one byte value do not wait on one counter.
    std::uint32_t c[4][256] = {};
    std::size_t i = 0;
    for (; i + 4 <= part; i += 4) {
      ++c[0][p[i]];
      ++c[1][p[i + 1]];
      ++c[2][p[i + 2]];
      ++c[3][p[i + 3]];
    }
    for (; i < part; ++i) ++c[0][p[i]];
    for (std::size_t b = 0; b < 256; ++b) out[b] += std::uint64_t(c[0][b]) + c[1][b] + c[2][b] + c[3][b];
    p += part;
    len -= part;
  }
}

}  // namespace

// See header.
ByteCounts count_bytes(ByteView data, StopToken stop) {
  ByteCounts total{};
  if (data.size() <= kCountSpan) {
    for (const std::uint8_t b : data) ++total[b];
    return total;
  }
  const std::size_t tasks = std::min(data.size() / kCountSpan, kCountTasks);
  std::vector<ByteCounts> partial(tasks, ByteCounts{});
  parallel::parallel_for(stop, 0, tasks, 1, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t t = lo; t < hi; ++t) {
      const std::size_t b = part_begin(data.size(), tasks, t);
      count_span(data.data() + b, part_begin(data.size(), tasks, t + 1) - b, partial[t]);
    }
  });
  for (const ByteCounts& p : partial)
    for (std::size_t b = 0; b < 256; ++b) total[b] += p[b];
  return total;
}

// See header.
Sha256Digest seed_digest(ByteCounts counts, std::uint64_t branch, StopToken stop) {
  for (int i = 0; i < 8; ++i) ++counts[(branch >> (56 - 8 * i)) & 0xFF];
  // The sorted bytes are runs of one value each. Short runs are laid out in
  // a staging block; a long run is hashed from a block filled with its value,
  // so the sorted copy is never built.
  Sha256 h;
  std::uint8_t stage[4096];
  std::size_t used = 0, staged = 0;
  for (std::size_t b = 0; b < 256; ++b) {
    std::uint64_t left = counts[b];
    while (left != 0) {
      if (used == 0 && left >= sizeof stage) {
        std::memset(stage, int(b), sizeof stage);
        for (std::size_t k = 0; left >= sizeof stage; left -= sizeof stage, ++k) {
          if (k % kStagesPerCheckpoint == 0) stop.checkpoint();
          h.update(stage, sizeof stage);
        }
        continue;
      }
      const std::size_t take = std::size_t(std::min<std::uint64_t>(left, sizeof stage - used));
      if (take <= 16) {
        for (std::size_t i = 0; i < take; ++i) stage[used + i] = std::uint8_t(b);
      } else {
        std::memset(stage + used, int(b), take);
      }
      used += take;
      left -= take;
      if (used == sizeof stage) {
        if (++staged % kStagesPerCheckpoint == 0) stop.checkpoint();
        h.update(stage, used);
        used = 0;
      }
    }
  }
  h.update(stage, used);
  return h.finish();
}

// See header.
std::uint64_t always_true_branch(PreparedBounds bounds, ByteView salt) {
  return branch_value_outside(bounds, salt) ^ kBranchInside;
}

}  // namespace kelvora::involution
