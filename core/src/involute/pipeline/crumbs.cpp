// The crumb stage of the involution: one SHA-256 per chunk, kept as a sort
// record; see stages.hpp.
//
// A crumb hashes chunk | salt | D. The chunk's whole 64-byte blocks are
// hashed in place (ahead of D when asked); the rest of the message, the
// tail, is the chunk's last partial block, the salt and D with the padding,
// laid out once. Only the tail's first block holds chunk bytes (rest_ < 64),
// so each lane copies that block alone and the later blocks, the same for
// every chunk, are read from the one tail: a long salt is never copied per
// lane or per thread. Where a sixteen-stream back end runs (sha256_x16.hpp:
// AVX-512, or the ARMv8 instructions on interleaved streams) sixteen chunks
// go through the rounds side by side; otherwise one at a time through the
// block seam.
#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "failure.hpp"
#include "primitives/sha256_x16.hpp"
#include "involute/pipeline/stages.hpp"
#include "parallel/pool.hpp"
#include "primitives/sha256_blocks.hpp"

namespace kelvora::involution {
namespace {

constexpr std::size_t kStripeWork = 2048;  // compressions per stripe, at least
constexpr std::size_t kMaxStripes = 256;
constexpr std::size_t kX16 = sha256_x16::kLanes;

// Lanes k .. k+15 from the initial value through the chunks' whole blocks.
void whole_blocks_x16(sha256_x16::CompressFn compress, sha256_x16::States& st,
                      const std::uint8_t* packet, std::size_t s, std::size_t whole, std::size_t k) {
  for (std::size_t w = 0; w < 8; ++w) std::fill_n(st.h[w], kX16, kSha256InitialState[w]);
  const std::uint8_t* block[kX16];
  for (std::size_t j = 0; j < whole; ++j) {
    for (std::size_t l = 0; l < kX16; ++l) block[l] = packet + (k + l) * s + j * kSha256BlockSize;
    compress(st, block);
  }
}

}  // namespace

// See header.
SortPlan SortPlan::for_records(std::size_t n) {
  const unsigned lg = unsigned(std::bit_width(n));
  const unsigned top = std::clamp(lg / 2, 1u, 8u);
  return {n <= kSerialRecords, top, std::clamp(lg - top, 1u, 14u)};
}

// See header.
ChunkHasher::ChunkHasher(ByteView packet, std::size_t chunk_size, ByteView salt, StopToken stop)
    : packet_(packet), salt_(salt), stop_(stop), s_(chunk_size),
      x16_(sha256_x16::active() != nullptr) {
  KV_ASSERT(s_ != 0 && packet.size() % s_ == 0);
  n_ = packet.size() / s_;
  whole_ = s_ / kSha256BlockSize;
  rest_ = s_ % kSha256BlockSize;
  // The tail: the chunk's last partial block, the salt, D (filled in by
  // records()), then the padding.
  const std::size_t tail = rest_ + salt.size() + kSha256DigestSize;
  tail_.assign(sha256_blocks::padded_blocks(tail) * kSha256BlockSize, 0);
  if (!salt.empty()) std::memcpy(tail_.data() + rest_, salt.data(), salt.size());
  sha256_blocks::pad(tail_.data(), tail, std::uint64_t(s_) + salt.size() + kSha256DigestSize);
  const std::size_t cost = whole_ + tail_.size() / kSha256BlockSize;
  stripes_ = std::clamp<std::size_t>(n_ / std::max<std::size_t>(1, kStripeWork / cost), 1,
                                     std::min(kMaxStripes, std::max<std::size_t>(1, n_ / kX16)));
}

// See header. The cuts fall on multiples of 16 so that the sixteen-lane
// hashing fills its lanes.
std::size_t ChunkHasher::stripe_begin(std::size_t t) const {
  if (t >= stripes_) return n_;
  return part_begin(n_, stripes_, t) / kX16 * kX16;
}

// See header.
std::size_t ChunkHasher::prefix_tasks() const { return whole_ != 0 ? stripes_ : 0; }

// See header.
void ChunkHasher::start_prefixes() {
  if (whole_ != 0) prefix_ = make_scratch<Sha256State>(n_);
}

// See header.
void ChunkHasher::hash_prefixes(std::size_t task) {
  const auto blocks = sha256_blocks::active();
  const std::size_t end = stripe_begin(task + 1);
  std::size_t k = stripe_begin(task);
  if (x16_) {
    sha256_x16::States st;
    for (; k + kX16 <= end; k += kX16) {
      whole_blocks_x16(sha256_x16::active(), st, packet_.data(), s_, whole_, k);
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
Sha256Digest ChunkHasher::crumb(std::size_t k, const Sha256Digest& seed) const {
  Sha256Digest d =
      Sha256().update(packet_.subspan(k * s_, s_)).update(salt_).update(seed.data(), seed.size()).finish();
  for (std::size_t i = 0; i < d.size(); ++i) d[i] ^= seed[i];
  return d;
}

// See header.
template <class Record>
CrumbRecords<Record> ChunkHasher::records(const Sha256Digest& seed,
                                          Scratch<typename Record::T> room) {
  std::memcpy(tail_.data() + rest_ + salt_.size(), seed.data(), seed.size());
  if (!room) room = make_scratch<typename Record::T>(n_);
  CrumbRecords<Record> out{SortPlan::for_records(n_), std::move(room), {}};
  if (!out.plan.serial) out.segments.resize(stripes_ << out.plan.top_bits);
  with_fixed_size(rest_, [&](auto rest) { hash_records<Record, decltype(rest)::value>(seed, out); });
  prefix_.reset();
  return out;
}

template CrumbRecords<NarrowRecord> ChunkHasher::records(const Sha256Digest&,
                                                          Scratch<NarrowRecord::T>);
template CrumbRecords<WideRecord> ChunkHasher::records(const Sha256Digest&, Scratch<WideRecord::T>);

// Each stripe hashes its chunks' records; when the plan distributes, they are
// first kept in a local run and then scattered within the stripe by their
// top key bits.
template <class Record, std::size_t kRest>
void ChunkHasher::hash_records(const Sha256Digest& seed, CrumbRecords<Record>& out) {
  const auto blocks = sha256_blocks::active();
  const auto x16 = sha256_x16::active();
  const auto x16_shared = sha256_x16::active_shared();
  const std::size_t tail_blocks = tail_.size() / kSha256BlockSize;
  const std::uint32_t seed_key = load32_be(seed.data());
  const unsigned top_bits = out.plan.top_bits;
  typename Record::T* records = out.records.get();
  const std::uint8_t* const later = tail_.data();  // block j >= 1 of every tail
  parallel::parallel_for(stop_, 0, stripes_, 1, [&](std::size_t lo, std::size_t hi) {
    // The tail's first block per lane; only its first rest_ bytes change from
    // chunk to chunk.
    alignas(64) std::uint8_t firsts[kX16][kSha256BlockSize];
    const std::size_t lanes = x16_ && n_ >= kX16 ? kX16 : 1;
    for (std::size_t l = 0; l < lanes; ++l) std::memcpy(firsts[l], later, kSha256BlockSize);
    std::vector<typename Record::T> local;
    for (std::size_t t = lo; t < hi; ++t) {
      const std::size_t first = stripe_begin(t), end = stripe_begin(t + 1);
      std::size_t* bucket_end = out.segments.empty() ? nullptr : out.segments.data() + (t << top_bits);
      typename Record::T* dst = records;
      std::size_t base = 0;
      if (bucket_end != nullptr) {
        local.resize(end - first);
        dst = local.data();
        base = first;
        std::fill(bucket_end, bucket_end + (std::size_t(1) << top_bits), 0);
      }
      auto emit = [&](std::size_t k, std::uint32_t first_word) {
        const std::uint32_t key = first_word ^ seed_key;
        dst[k - base] = Record::make(key, k);
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
            whole_blocks_x16(x16, st, packet_.data(), s_, whole_, k);
          }
          const std::uint8_t* rest = packet_.data() + k * s_ + whole_ * kSha256BlockSize;
          if (x16_shared != nullptr && rest_ % 4 == 0) {
            // The chunks' rest bytes are whole words of the first block.
            x16_shared(st, rest, s_, rest_ / 4, later);
          } else {
            for (std::size_t l = 0; l < kX16; ++l) {
              copy_fixed<kRest>(firsts[l], rest + l * s_, rest_);
              block[l] = firsts[l];
            }
            x16(st, block);
          }
          for (std::size_t j = 1; j < tail_blocks; ++j) {
            const std::uint8_t* shared = later + j * kSha256BlockSize;
            if (x16_shared != nullptr) {
              x16_shared(st, nullptr, 0, 0, shared);
            } else {
              std::fill(block, block + kX16, shared);
              x16(st, block);
            }
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
        copy_fixed<kRest>(firsts[0], chunk + whole_ * kSha256BlockSize, rest_);
        blocks(st.data(), firsts[0], 1);
        if (tail_blocks > 1) blocks(st.data(), later + kSha256BlockSize, tail_blocks - 1);
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

}  // namespace kelvora::involution
