// HMAC-SHA256 (RFC 2104 with SHA-256): 64-byte block, inner pad 0x36, outer
// pad 0x5c, 32-byte tag. A key longer than 64 bytes is replaced by its SHA-256
// digest; a shorter one is padded with zeros.
//
// HmacSha256 hashes the two pad blocks once per key, so each message costs only
// the compressions of the message itself plus one outer block.
#pragma once

#include "primitives/sha256.hpp"

namespace kelvora {

class HmacSha256 {
 public:
  explicit HmacSha256(ByteView key);
  ~HmacSha256();  // wipes the pad states

  // A hasher positioned after the inner pad block: feed the message, then
  // pass it to finish().
  Sha256 begin() const { return Sha256(inner_, 1); }
  Sha256Digest finish(Sha256& inner) const;
  Sha256Digest mac(ByteView message) const;

  // Chaining values after the inner and outer pad blocks (one block each),
  // for callers that finish their own hashes (sha256_finish) or build them in
  // registers on a hot path.
  const Sha256State& inner_state() const { return inner_; }
  const Sha256State& outer_state() const { return outer_; }

 private:
  Sha256State inner_;
  Sha256State outer_;
};

Sha256Digest hmac_sha256(ByteView key, ByteView message);

}  // namespace kelvora
