// HMAC-SHA256; see hmac.hpp.
#include "primitives/hmac.hpp"

#include <cstring>

#include "primitives/sha256_blocks.hpp"

namespace kelvora {

namespace {

// Message length of the final block of each hash when the message fits in one
// block after the pad block: the padded block is built here directly, which
// saves the generic buffering on the hot path of the order-preserving map.
constexpr std::size_t kOneBlockMax = kSha256BlockSize - 9;

// Compresses one padded block holding `len` message bytes that follow one
// already-hashed pad block; writes the digest.
void final_block(const Sha256State& start, const std::uint8_t* msg, std::size_t len,
                 sha256_blocks::BlocksFn compress, std::uint8_t digest[kSha256DigestSize]) {
  std::uint8_t block[kSha256BlockSize] = {};
  std::memcpy(block, msg, len);
  block[len] = 0x80;
  store64_be(block + kSha256BlockSize - 8, (kSha256BlockSize + len) * 8);
  Sha256State h = start;
  compress(h.data(), block, 1);
  for (std::size_t i = 0; i < 8; ++i) store32_be(digest + 4 * i, h[i]);
}

}  // namespace

// See header.
HmacSha256::HmacSha256(ByteView key) {
  std::uint8_t block[kSha256BlockSize] = {};
  if (key.size() > kSha256BlockSize) {
    const Sha256Digest hashed = sha256(key);
    std::memcpy(block, hashed.data(), hashed.size());
  } else if (!key.empty()) {
    std::memcpy(block, key.data(), key.size());
  }
  const auto compress = sha256_blocks::active();
  for (auto& byte : block) byte ^= 0x36;
  inner_ = kSha256InitialState;
  compress(inner_.data(), block, 1);
  for (auto& byte : block) byte ^= 0x36 ^ 0x5c;
  outer_ = kSha256InitialState;
  compress(outer_.data(), block, 1);
  secure_wipe(block, sizeof block);
}

// See header.
HmacSha256::~HmacSha256() {
  secure_wipe(inner_.data(), sizeof inner_);
  secure_wipe(outer_.data(), sizeof outer_);
}

// See header.
Sha256Digest HmacSha256::finish(Sha256& inner) const {
  const Sha256Digest inner_digest = inner.finish();
  Sha256Digest out;
  final_block(outer_, inner_digest.data(), inner_digest.size(), sha256_blocks::active(),
              out.data());
  return out;
}

// See header.
Sha256Digest HmacSha256::mac(ByteView message) const {
  if (message.size() > kOneBlockMax) {
    Sha256 inner = begin();
    inner.update(message);
    return finish(inner);
  }
  const auto compress = sha256_blocks::active();
  Sha256Digest inner_digest;
  final_block(inner_, message.data(), message.size(), compress, inner_digest.data());
  Sha256Digest out;
  final_block(outer_, inner_digest.data(), inner_digest.size(), compress, out.data());
  return out;
}

// See header.
Sha256Digest hmac_sha256(ByteView key, ByteView message) { return HmacSha256(key).mac(message); }

}  // namespace kelvora
