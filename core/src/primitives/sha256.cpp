// SHA-256 buffering, length counting and padding; see sha256.hpp.
#include "primitives/sha256.hpp"

#include <algorithm>
#include <cstring>

#include "primitives/sha256_blocks.hpp"

namespace kelvora {

namespace sha256_blocks {

// See sha256_blocks.hpp.
BlocksFn active() {
  static const BlocksFn chosen = first_available<BlocksFn>(
      {{shani_available, blocks_shani}, {armv8_available, blocks_armv8}}, blocks_portable);
  return chosen;
}

}  // namespace sha256_blocks

// See header.
Sha256::Sha256() : h_(kSha256InitialState), blocks_(sha256_blocks::active()) {}

// See header.
Sha256::Sha256(const Sha256State& state, std::uint64_t blocks)
    : h_(state), blocks_(sha256_blocks::active()), total_(blocks * kSha256BlockSize) {}

// See header.
Sha256 Sha256::with_blocks(sha256_blocks::BlocksFn blocks) {
  Sha256 h;
  h.blocks_ = blocks;
  return h;
}

// See header.
Sha256& Sha256::update(ByteView data) {
  if (data.empty()) return *this;
  const auto compress = blocks_;
  const std::uint8_t* p = data.data();
  std::size_t n = data.size();
  total_ += n;
  if (buffered_ != 0) {
    const std::size_t take = std::min(n, kSha256BlockSize - buffered_);
    std::memcpy(buf_.data() + buffered_, p, take);
    buffered_ += take;
    p += take;
    n -= take;
    if (buffered_ < kSha256BlockSize) return *this;
    compress(h_.data(), buf_.data(), 1);
    buffered_ = 0;
  }
  // Whole blocks go to the back end straight from the caller's memory.
  if (const std::size_t whole = n / kSha256BlockSize; whole != 0) {
    compress(h_.data(), p, whole);
    p += whole * kSha256BlockSize;
    n -= whole * kSha256BlockSize;
  }
  if (n != 0) std::memcpy(buf_.data(), p, n);
  buffered_ = n;
  return *this;
}

// See header.
Sha256Digest Sha256::finish() {
  const Sha256Digest out =
      sha256_finish(h_, total_ / kSha256BlockSize, ByteView(buf_.data(), buffered_), blocks_);
  // The buffer may hold the tail of a secret (an HMAC key block, say), and
  // the chaining value is a function of everything hashed.
  secure_wipe(buf_.data(), buf_.size());
  secure_wipe(h_.data(), sizeof h_);
  buffered_ = 0;
  return out;
}

// See header.
Sha256Digest sha256(ByteView data) { return sha256_finish(kSha256InitialState, 0, data); }

// See header.
Sha256Digest sha256_finish(const Sha256State& state, std::uint64_t blocks, ByteView rest,
                           sha256_blocks::BlocksFn compress) {
  Sha256State h = state;
  const std::size_t whole = rest.size() / kSha256BlockSize;
  if (whole != 0) compress(h.data(), rest.data(), whole);
  const std::size_t tail = rest.size() - whole * kSha256BlockSize;
  std::uint8_t last[2 * kSha256BlockSize];
  if (tail != 0) std::memcpy(last, rest.data() + whole * kSha256BlockSize, tail);
  const std::size_t n = sha256_blocks::pad(last, tail, (blocks + whole) * kSha256BlockSize + tail);
  compress(h.data(), last, n);
  // The final blocks may hold the tail of a secret.
  secure_wipe(last, n * kSha256BlockSize);
  // Two words at a time: GCC turns each pair into one byte swap, where a
  // word loop gets vectorised into a long run of SSE2 shuffles.
  Sha256Digest out;
  for (std::size_t i = 0; i < 8; i += 2)
    store64_be(out.data() + 4 * i, std::uint64_t(h[i]) << 32 | h[i + 1]);
  // The digest of a keyed hash is a secret in its own right (HKDF's PRK);
  // the caller owns `out`, this copy goes.
  secure_wipe(h.data(), sizeof h);
  return out;
}

}  // namespace kelvora
