// Packet involution; see involute.hpp.
#include "involute/involute.hpp"
#include "platform.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstring>
#include <type_traits>
#include <utility>

#include "failure.hpp"
#include "huge_pages.hpp"
#include "involute/recode.hpp"
#include "involute/sha256_x16.hpp"
#include "parallel/pool.hpp"
#include "primitives/sha256_blocks.hpp"

namespace kelvora {

// See header.
std::string InvolutionError::message() const {
  if (const auto* e = std::get_if<LengthNotMultiple>(&kind))
    return "Packet length (" + std::to_string(e->length) + ") is not a multiple of chunk size (" +
           std::to_string(e->chunk_size) + ").";
  return "Duplicate crumbs detected after operations, cannot create a unique pattern";
}

namespace involution {
namespace {

using parallel::parallel_for;

constexpr std::size_t kCountTasks = 256;        // at most, for the byte counts
constexpr std::size_t kCountSpan = 256 * 1024;  // bytes per counting task, at least
constexpr std::size_t kStripeWork = 2048;       // compressions per stripe, at least
constexpr std::size_t kMaxStripes = 256;
constexpr std::size_t kSerialRecords = 4096;  // up to this many records: one std::sort
constexpr std::size_t kCopySpan = 64 * 1024;  // bytes per copy task, at least
constexpr std::size_t kX16 = sha256_x16::kLanes;

// First element of part `i` when `n` elements are cut into `parts` parts.
inline std::size_t part_begin(std::size_t n, std::size_t parts, std::size_t i) {
  return (n / parts) * i + std::min(i, n % parts);
}

// Seconds between laps, when wanted.
class Stopwatch {
 public:
  explicit Stopwatch(bool on) : on_(on) {
    if (on_) last_ = std::chrono::steady_clock::now();
  }
  double lap() {
    if (!on_) return 0;
    const auto now = std::chrono::steady_clock::now();
    const double s = std::chrono::duration<double>(now - last_).count();
    last_ = now;
    return s;
  }

 private:
  bool on_;
  std::chrono::steady_clock::time_point last_{};
};

// Records for the sort: the first four crumb bytes (big-endian) and the chunk
// index, ordered by both, so equal keys keep a fixed order.
struct NarrowRecord {  // up to 2^32 chunks: one 64-bit word
  using T = std::uint64_t;
  static T make(std::uint32_t key, std::uint64_t index) { return std::uint64_t(key) << 32 | index; }
  static std::uint32_t key(T r) { return std::uint32_t(r >> 32); }
  static std::uint64_t index(T r) { return r & 0xFFFFFFFFu; }
  static bool less(T a, T b) { return a < b; }
};

struct WideRecord {
  struct T {
    std::uint32_t key;
    std::uint64_t index;
  };
  static T make(std::uint32_t key, std::uint64_t index) { return T{key, index}; }
  static std::uint32_t key(const T& r) { return r.key; }
  static std::uint64_t index(const T& r) { return r.index; }
  static bool less(const T& a, const T& b) {
    return a.key != b.key ? a.key < b.key : a.index < b.index;
  }
};

template <class Record>
void insertion_sort(typename Record::T* first, typename Record::T* last) {
  for (auto* i = first + 1; i < last; ++i) {
    const auto x = *i;
    auto* j = i;
    for (; j > first && Record::less(x, j[-1]); --j) *j = j[-1];
    *j = x;
  }
}

// Sorts the m records of one first-level bucket into `out`: by the next key
// bits (shift2, mask2) into groups, then within the groups. The records come
// from `parts` segments, segment(i) giving [begin, end). `group` has room for
// mask2 + 1 counters.
template <class Record, class Segment>
void sort_bucket(Segment&& segment, std::size_t parts, typename Record::T* __restrict out,
                 std::size_t m, unsigned shift2, std::uint32_t mask2, std::uint32_t* __restrict group,
                 bool few) {
  KV_ASSERT(m <= 0xFFFFFFFFu);
  std::fill(group, group + mask2 + 1, 0u);
  for (std::size_t i = 0; i < parts; ++i) {
    const auto [begin, end] = segment(i);
    for (auto* r = begin; r < end; ++r) ++group[(Record::key(*r) >> shift2) & mask2];
  }
  // Counts to starts, the running sum kept out of memory.
  std::uint32_t sum = 0;
  for (std::uint32_t g = 0; g <= mask2; ++g) {
    const std::uint32_t c = group[g];
    group[g] = sum;
    sum += c;
  }
  // group[g] is where group g starts; it advances to the group's end.
  for (std::size_t i = 0; i < parts; ++i) {
    const auto [begin, end] = segment(i);
    for (auto* r = begin; r < end; ++r) out[group[(Record::key(*r) >> shift2) & mask2]++] = *r;
  }
  if (few) {
    // Groups of a few records: one insertion pass over the bucket, which
    // never moves a record out of its group.
    insertion_sort<Record>(out, out + m);
    return;
  }
  std::uint32_t from = 0;
  for (std::uint32_t g = 0; g <= mask2; ++g) {
    if (group[g] - from > 1) std::sort(out + from, out + group[g], Record::less);
    from = group[g];
  }
}

// Fixed-size copies for the common small sizes, so the hot loops do not call
// memcpy with a run-time length.
template <std::size_t kSize>
inline void copy_fixed(std::uint8_t* dst, const std::uint8_t* src, std::size_t size) {
  if constexpr (kSize != 0) {
    std::memcpy(dst, src, kSize);
  } else {
    std::memcpy(dst, src, size);
  }
}

// Calls f(std::integral_constant<size_t, N>) with N = size for the sizes that
// get their own loop, N = 0 (size known at run time) otherwise.
template <class F>
void with_fixed_size(std::size_t size, F&& f) {
  switch (size) {
    case 4: return f(std::integral_constant<std::size_t, 4>{});
    case 8: return f(std::integral_constant<std::size_t, 8>{});
    case 16: return f(std::integral_constant<std::size_t, 16>{});
    case 32: return f(std::integral_constant<std::size_t, 32>{});
    case 64: return f(std::integral_constant<std::size_t, 64>{});
    default: return f(std::integral_constant<std::size_t, 0>{});
  }
}

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
ByteCounts count_bytes(ByteView data) {
  ByteCounts total{};
  if (data.size() <= kCountSpan) {
    for (const std::uint8_t b : data) ++total[b];
    return total;
  }
  const std::size_t tasks = std::min(data.size() / kCountSpan, kCountTasks);
  std::vector<ByteCounts> partial(tasks, ByteCounts{});
  parallel_for(0, tasks, 1, [&](std::size_t lo, std::size_t hi) {
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
Sha256Digest seed_digest(ByteCounts counts, std::uint64_t branch) {
  for (int i = 0; i < 8; ++i) ++counts[(branch >> (56 - 8 * i)) & 0xFF];
  // The sorted bytes are runs of one value each. Short runs are laid out in
  // a staging block; a long run is hashed from a block filled with its value,
  // so the sorted copy is never built.
  Sha256 h;
  std::uint8_t stage[4096];
  std::size_t used = 0;
  for (std::size_t b = 0; b < 256; ++b) {
    std::uint64_t left = counts[b];
    while (left != 0) {
      if (used == 0 && left >= sizeof stage) {
        std::memset(stage, int(b), sizeof stage);
        for (; left >= sizeof stage; left -= sizeof stage) h.update(stage, sizeof stage);
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

// See header.
ChunkRanker::ChunkRanker(ByteView packet, std::size_t chunk_size, ByteView salt)
    : packet_(packet), salt_(salt), s_(chunk_size), x16_(sha256_x16::avx512_available()) {
  KV_ASSERT(s_ != 0 && packet.size() % s_ == 0);
  n_ = packet.size() / s_;
  whole_ = s_ / kSha256BlockSize;
  rest_ = s_ % kSha256BlockSize;
  // The tail: the chunk's last partial block, the salt, D (filled in by
  // rank()), then the padding and the message length in bits.
  const std::uint64_t message = std::uint64_t(s_) + salt.size() + kSha256DigestSize;
  const std::size_t used = rest_ + salt.size() + kSha256DigestSize + 1 + 8;
  tail_.assign((used + kSha256BlockSize - 1) / kSha256BlockSize * kSha256BlockSize, 0);
  if (!salt.empty()) std::memcpy(tail_.data() + rest_, salt.data(), salt.size());
  tail_[rest_ + salt.size() + kSha256DigestSize] = 0x80;
  store64_be(tail_.data() + tail_.size() - 8, message * 8);
  const std::size_t cost = whole_ + tail_.size() / kSha256BlockSize;
  stripes_ = std::clamp<std::size_t>(n_ / std::max<std::size_t>(1, kStripeWork / cost), 1,
                                     std::min(kMaxStripes, std::max<std::size_t>(1, n_ / kX16)));
}

// Stripe t covers chunks [stripe_begin(t), stripe_begin(t + 1)); the cuts
// fall on multiples of 16 so that the sixteen-lane hashing fills its lanes.
std::size_t ChunkRanker::stripe_begin(std::size_t t) const {
  if (t >= stripes_) return n_;
  return part_begin(n_, stripes_, t) / kX16 * kX16;
}

// See header.
std::size_t ChunkRanker::prefix_tasks() const { return whole_ != 0 ? stripes_ : 0; }

// See header.
void ChunkRanker::start_prefixes() {
  if (whole_ != 0) prefix_ = make_scratch<Sha256State>(n_);
}

// See header.
void ChunkRanker::hash_prefixes(std::size_t task) {
  const auto blocks = sha256_blocks::active();
  const std::size_t end = stripe_begin(task + 1);
  std::size_t k = stripe_begin(task);
  if (x16_) {
    sha256_x16::States st;
    const std::uint8_t* block[kX16];
    for (; k + kX16 <= end; k += kX16) {
      for (std::size_t w = 0; w < 8; ++w) std::fill_n(st.h[w], kX16, kSha256InitialState[w]);
      for (std::size_t j = 0; j < whole_; ++j) {
        for (std::size_t l = 0; l < kX16; ++l) block[l] = packet_.data() + (k + l) * s_ + j * kSha256BlockSize;
        sha256_x16::compress_avx512(st, block);
      }
      for (std::size_t l = 0; l < kX16; ++l)
        for (std::size_t w = 0; w < 8; ++w) prefix_[k + l][w] = st.h[w][l];
    }
  }
  for (; k < end; ++k) {
    Sha256State st = kSha256InitialState;
    blocks(st.data(), packet_.data() + k * s_, whole_);
    prefix_[k] = st;
  }
}

// See header.
Sha256Digest ChunkRanker::crumb(std::size_t k, const Sha256Digest& seed) const {
  Sha256Digest d =
      Sha256().update(packet_.subspan(k * s_, s_)).update(salt_).update(seed.data(), seed.size()).finish();
  for (std::size_t i = 0; i < d.size(); ++i) d[i] ^= seed[i];
  return d;
}

// See header.
std::expected<ChunkOrder, InvolutionError> ChunkRanker::rank(const Sha256Digest& seed, bool wide,
                                                             Timings* timings) {
  if (wide || n_ > (std::uint64_t(1) << 32)) return rank_with<WideRecord>(seed, timings);
  return rank_with<NarrowRecord>(seed, timings);
}

// One record per chunk. With `segments` == nullptr the records land in chunk
// order. Otherwise each stripe's records are laid out within the stripe by
// the top `top_bits` bits of their keys (the first distribution pass, done
// while the stripe is still in cache), and segments[(t << top_bits) + j]
// receives the end of bucket j within stripe t (its start is the end of
// bucket j - 1, or the stripe's start).
template <class Record, std::size_t kRest>
void ChunkRanker::hash_records(const Sha256Digest& seed, typename Record::T* records,
                               std::size_t* segments, unsigned top_bits) {
  const auto blocks = sha256_blocks::active();
  const std::size_t tail_size = tail_.size();
  const std::size_t tail_blocks = tail_size / kSha256BlockSize;
  const std::uint32_t seed_key = load32_be(seed.data());
  parallel_for(0, stripes_, 1, [&](std::size_t lo, std::size_t hi) {
    // One tail per lane; only its first rest_ bytes change from chunk to chunk.
    const std::size_t lanes = x16_ && n_ >= kX16 ? kX16 : 1;
    Bytes tails(lanes * tail_size);
    for (std::size_t l = 0; l < lanes; ++l) std::copy(tail_.begin(), tail_.end(), tails.begin() + l * tail_size);
    std::vector<typename Record::T> local;
    for (std::size_t t = lo; t < hi; ++t) {
      const std::size_t first = stripe_begin(t), end = stripe_begin(t + 1);
      std::size_t* bucket_end = segments != nullptr ? segments + (t << top_bits) : nullptr;
      typename Record::T* out = records;
      std::size_t base = 0;
      if (bucket_end != nullptr) {
        local.resize(end - first);
        out = local.data();
        base = first;
        std::fill(bucket_end, bucket_end + (std::size_t(1) << top_bits), 0);
      }
      auto emit = [&](std::size_t k, std::uint32_t first_word) {
        const std::uint32_t key = first_word ^ seed_key;
        out[k - base] = Record::make(key, k);
        if (bucket_end != nullptr) ++bucket_end[key >> (32 - top_bits)];
      };
      std::size_t k = first;
      if (lanes == kX16) {
        sha256_x16::States st;
        const std::uint8_t* block[kX16];
        for (; k + kX16 <= end; k += kX16) {
          if (prefix_) {
            for (std::size_t l = 0; l < kX16; ++l)
              for (std::size_t w = 0; w < 8; ++w) st.h[w][l] = prefix_[k + l][w];
          } else {
            for (std::size_t w = 0; w < 8; ++w) std::fill_n(st.h[w], kX16, kSha256InitialState[w]);
            for (std::size_t j = 0; j < whole_; ++j) {
              for (std::size_t l = 0; l < kX16; ++l)
                block[l] = packet_.data() + (k + l) * s_ + j * kSha256BlockSize;
              sha256_x16::compress_avx512(st, block);
            }
          }
          for (std::size_t l = 0; l < kX16; ++l)
            copy_fixed<kRest>(tails.data() + l * tail_size,
                              packet_.data() + (k + l) * s_ + whole_ * kSha256BlockSize, rest_);
          for (std::size_t j = 0; j < tail_blocks; ++j) {
            for (std::size_t l = 0; l < kX16; ++l)
              block[l] = tails.data() + l * tail_size + j * kSha256BlockSize;
            sha256_x16::compress_avx512(st, block);
          }
          for (std::size_t l = 0; l < kX16; ++l) emit(k + l, st.h[0][l]);
        }
      }
      for (; k < end; ++k) {
        const std::uint8_t* chunk = packet_.data() + k * s_;
        Sha256State st;
        if (prefix_) {
          st = prefix_[k];
        } else {
          st = kSha256InitialState;
          if (whole_ != 0) blocks(st.data(), chunk, whole_);
        }
        copy_fixed<kRest>(tails.data(), chunk + whole_ * kSha256BlockSize, rest_);
        blocks(st.data(), tails.data(), tail_blocks);
        emit(k, st[0]);
      }
      if (bucket_end == nullptr) continue;
      // Counts to bucket starts, then scatter the stripe's records; the
      // starts advance to the bucket ends.
      std::size_t at = first;
      for (std::size_t j = 0; j < (std::size_t(1) << top_bits); ++j) {
        const std::size_t c = bucket_end[j];
        bucket_end[j] = at;
        at += c;
      }
      const unsigned shift = 32 - top_bits;
      for (const auto& r : local) records[bucket_end[Record::key(r) >> shift]++] = r;
    }
  });
}

template <class Record>
std::expected<ChunkOrder, InvolutionError> ChunkRanker::rank_with(const Sha256Digest& seed,
                                                                  Timings* timings) {
  using T = typename Record::T;
  Stopwatch clock(timings != nullptr);
  std::memcpy(tail_.data() + rest_ + salt_.size(), seed.data(), seed.size());
  const std::size_t n = n_;

  // Sort by key: distribute on the top `b1` key bits (within each stripe
  // while hashing), then each bucket on the next `b2` bits, then sort the
  // small groups left. With uniform keys the groups hold a few records each.
  const bool serial = n <= kSerialRecords;
  const unsigned lg = unsigned(std::bit_width(n));
  const unsigned b1 = std::clamp(lg / 2, 1u, 8u);
  const unsigned b2 = std::clamp(lg - b1, 1u, 14u);
  const std::size_t buckets = std::size_t(1) << b1;
  std::vector<std::size_t> segments(serial ? 0 : stripes_ << b1);
  auto a = make_scratch<T>(n);
  with_fixed_size(rest_, [&](auto rest) {
    hash_records<Record, decltype(rest)::value>(seed, a.get(), serial ? nullptr : segments.data(), b1);
  });
  prefix_.reset();
  if (timings) timings->crumbs = clock.lap();

  // The result: each sorted record's index, in place when records are
  // indices with the key above them. Sorted records land in `sorted`.
  constexpr bool kInPlace = std::is_same_v<T, std::uint64_t>;
  Scratch<T> sorted_storage;
  if (!serial) sorted_storage = make_scratch<T>(n);
  Scratch<T>& sorted = serial ? a : sorted_storage;
  ChunkOrder order;
  if constexpr (kInPlace) {
    order = ChunkOrder(sorted.release());
  } else {
    order = make_scratch<std::uint64_t>(n);
  }
  T* rec = kInPlace ? reinterpret_cast<T*>(order.get()) : sorted.get();
  std::atomic<bool> duplicate{false};
  // Records [lo, hi) are sorted by key and hold whole runs of equal keys:
  // order each run by the full crumbs, which also finds equal crumbs (equal
  // crumbs always have equal keys), then keep the indices.
  auto finish = [&](std::size_t lo, std::size_t hi, std::vector<std::pair<Sha256Digest, std::uint64_t>>& run) {
    for (std::size_t i = lo; i + 1 < hi; ++i) {
      const std::uint32_t key = Record::key(rec[i]);
      if (Record::key(rec[i + 1]) != key) continue;
      std::size_t end = i + 2;
      while (end < hi && Record::key(rec[end]) == key) ++end;
      if (duplicate.load(std::memory_order_relaxed)) return;
      run.clear();
      for (std::size_t r = i; r < end; ++r) {
        run.emplace_back(crumb(std::size_t(Record::index(rec[r])), seed), Record::index(rec[r]));
        // Equal chunks are the usual cause: catch them before hashing the rest.
        if (r == i + 1 && run[0].first == run[1].first) break;
      }
      std::sort(run.begin(), run.end());
      if (std::adjacent_find(run.begin(), run.end(), [](const auto& x, const auto& y) {
            return x.first == y.first;
          }) != run.end()) {
        duplicate.store(true, std::memory_order_relaxed);
        return;
      }
      for (std::size_t r = i; r < end; ++r) rec[r] = Record::make(key, run[r - i].second);
      i = end - 1;
    }
    for (std::size_t r = lo; r < hi; ++r) order[r] = Record::index(rec[r]);
  };

  if (serial) {
    std::sort(rec, rec + n, Record::less);
    std::vector<std::pair<Sha256Digest, std::uint64_t>> run;
    finish(0, n, run);
  } else {
    // Bucket j of the whole sort gathers segment j of every stripe.
    std::vector<std::size_t> start(buckets + 1, 0);
    for (std::size_t t = 0; t < stripes_; ++t) {
      std::size_t from = stripe_begin(t);
      for (std::size_t j = 0; j < buckets; ++j) {
        start[j + 1] += segments[(t << b1) + j] - from;
        from = segments[(t << b1) + j];
      }
    }
    for (std::size_t j = 0; j < buckets; ++j) start[j + 1] += start[j];
    const unsigned shift2 = 32 - b1 - b2;
    const std::uint32_t mask2 = (std::uint32_t(1) << b2) - 1;
    const bool few = (n >> (b1 + b2)) <= 8;
    parallel_for(0, buckets, 1, [&](std::size_t lo, std::size_t hi) {
      std::vector<std::uint32_t> group(std::size_t(mask2) + 1);
      std::vector<std::pair<Sha256Digest, std::uint64_t>> run;
      for (std::size_t j = lo; j < hi; ++j) {
        auto segment = [&](std::size_t t) {
          const std::size_t end = segments[(t << b1) + j];
          const std::size_t from = j == 0 ? stripe_begin(t) : segments[(t << b1) + j - 1];
          return std::pair<const T*, const T*>(a.get() + from, a.get() + end);
        };
        sort_bucket<Record>(segment, stripes_, rec + start[j], start[j + 1] - start[j], shift2,
                            mask2, group.data(), few);
        finish(start[j], start[j + 1], run);
      }
    });
  }
  if (timings) timings->sort = clock.lap();
  if (duplicate.load()) return std::unexpected(InvolutionError{DuplicateCrumbs{}});
  return order;
}

// See header.
void arrange(ByteView packet, std::size_t chunk_size, const std::uint64_t* order,
             std::span<std::uint8_t> out) {
  KV_ASSERT(chunk_size != 0 && out.size() == packet.size() && packet.size() % chunk_size == 0);
  const std::size_t s = chunk_size;
  const std::size_t n = packet.size() / s;
  const std::uint8_t* in = packet.data();
  std::uint8_t* dst = out.data();
  advise_huge_pages(dst, out.size());
  const std::size_t grain = std::max<std::size_t>(1, kCopySpan / s);
  with_fixed_size(s, [&](auto fixed) {
    constexpr std::size_t kSize = decltype(fixed)::value;
    parallel_for(0, n, grain, [&](std::size_t lo, std::size_t hi) {
      // Both reads are at random: fetch order[order[k]] well ahead, and the
      // chunk it names once that has arrived.
      constexpr std::size_t kFar = 32, kNear = 16;
      for (std::size_t k = lo; k < hi; ++k) {
        if (k + kFar < hi) KELVORA_PREFETCH(order + order[k + kFar]);
        if (k + kNear < hi) KELVORA_PREFETCH(in + order[order[k + kNear]] * s);
        copy_fixed<kSize>(dst + k * s, in + order[order[k]] * s, s);
      }
    });
  });
}

// See header.
void copy_bytes(ByteView data, std::span<std::uint8_t> out, const std::uint8_t* table) {
  KV_ASSERT(out.size() == data.size());
  const auto recode_fn = recode::active();
  parallel_for(0, data.size(), 4 * kCopySpan, [&](std::size_t lo, std::size_t hi) {
    if (table == nullptr) {
      std::memcpy(out.data() + lo, data.data() + lo, hi - lo);
    } else {
      recode_fn(table, data.data() + lo, out.data() + lo, hi - lo);
    }
  });
}

}  // namespace involution

namespace {

using namespace involution;

// Steps shared by both forms; `branch` yields the branch value, and is asked
// only once the cheap checks have passed.
template <class Branch>
std::expected<void, InvolutionError> involute_core(ByteView packet, ByteView salt,
                                                   std::uint64_t chunk_size, Branch&& branch,
                                                   std::span<std::uint8_t> out) {
  KV_ASSERT(out.size() == packet.size());
  if (chunk_size == 0) {
    copy_bytes(packet, out);
    return {};
  }
  const std::uint64_t length = packet.size();
  if (length % chunk_size != 0)
    return std::unexpected(InvolutionError{LengthNotMultiple{length, chunk_size}});
  if (length == 0) return {};
  const std::uint64_t h = branch();
  const ByteCounts counts = count_bytes(packet);

  // D and the chunks' whole blocks are independent: hash them together.
  ChunkRanker ranker(packet, std::size_t(chunk_size), salt);
  ranker.start_prefixes();
  Sha256Digest seed;
  parallel::parallel_tasks(1 + ranker.prefix_tasks(), [&](std::size_t i) {
    if (i == 0) {
      seed = seed_digest(counts, h);
    } else {
      ranker.hash_prefixes(i - 1);
    }
  });
  auto order = ranker.rank(seed);
  if (!order) return std::unexpected(order.error());
  arrange(packet, std::size_t(chunk_size), order->get(), out);
  return {};
}

}  // namespace

// See header.
std::expected<void, InvolutionError> involute_into(ByteView packet, ByteView salt,
                                                   std::uint64_t chunk_size,
                                                   std::span<std::uint8_t> out) {
  return involute_core(
      packet, salt, chunk_size,
      [&] { return always_true_branch(prepare_bounds(salt, -1.0f, 1.0f), salt); }, out);
}

// See header.
std::expected<void, InvolutionError> involute_if_into(ByteView packet, ByteView salt,
                                                      std::uint64_t chunk_size,
                                                      const Condition& condition,
                                                      std::span<std::uint8_t> out) {
  return involute_core(
      packet, salt, chunk_size,
      [&] { return branch_value(condition.bounds, salt, condition.test_value); }, out);
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
