// HMAC-SHA256; see hmac.hpp.
#include "primitives/hmac.hpp"

#include <cstring>

#include "primitives/sha256_blocks.hpp"

namespace kelvora {

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
  Sha256Digest in = inner.finish();
  WipeOnExit wipe_in(in.data(), in.size());
  return sha256_finish(outer_, 1, in);
}

// See header. Each hash starts after its pad block.
Sha256Digest HmacSha256::mac(ByteView message) const {
  const auto compress = sha256_blocks::active();
  Sha256Digest inner = sha256_finish(inner_, 1, message, compress);
  WipeOnExit wipe_inner(inner.data(), inner.size());
  return sha256_finish(outer_, 1, inner, compress);
}

// See header.
Sha256Digest hmac_sha256(ByteView key, ByteView message) { return HmacSha256(key).mac(message); }

}  // namespace kelvora
