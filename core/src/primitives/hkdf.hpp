// HKDF with HMAC-SHA256 (RFC 5869).
//
// Extract: PRK = HMAC(salt, ikm); an empty salt stands for 32 zero bytes.
// Expand: T(i) = HMAC(PRK, T(i-1) | info | i), output the first out.size()
// bytes of T(1) | T(2) | ...; at most 255 * 32 = 8160 bytes. The caller owns
// every buffer; nothing is allocated.
#pragma once

#include <span>

#include "primitives/sha256.hpp"

namespace kelvora {

inline constexpr std::size_t kHkdfMaxOutput = 255 * kSha256DigestSize;

Sha256Digest hkdf_extract(ByteView salt, ByteView ikm);

// Fills `out` and returns true, or returns false (writing nothing) when
// out.size() exceeds kHkdfMaxOutput.
bool hkdf_expand(const Sha256Digest& prk, ByteView info, std::span<std::uint8_t> out);

}  // namespace kelvora
