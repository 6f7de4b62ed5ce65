// Key table derivation; see key_table.hpp.
#include "keys/key_table.hpp"

#include <algorithm>
#include <string_view>

#include "failure.hpp"
#include "keys/chacha_generator.hpp"
#include "keys/shuffle.hpp"
#include "primitives/hkdf.hpp"
#include "primitives/hmac.hpp"

namespace kelvora {
namespace {

constexpr std::string_view kInfoLabel = "kelvora:";
constexpr std::uint8_t kInfoSeparator = ':';

// HKDF-Extract with the salt absent is HMAC keyed with 32 zero bytes: the key
// never changes, so its two pad blocks are hashed once per process. Never
// destroyed, so a call racing with process exit still sees a valid key.
const HmacSha256& zero_salt_hmac() {
  static const HmacSha256& mac = *new HmacSha256(ByteView{});
  return mac;
}

// HKDF-Expand to one digest's worth of key is a single HMAC:
// key = HMAC(PRK, info | 0x01). When info fits a few blocks it is laid out on
// the stack, so no heap info is needed. Returns false, writing nothing, when
// info is too long for that; the caller then expands the general way.
constexpr std::size_t kInlineMessage = 4 * kSha256BlockSize - 9;  // four blocks once padded
static_assert(kGeneratorKeySize == kSha256DigestSize);

bool expand_key_inline(const Sha256Digest& prk, ByteView party, ByteView purpose,
                       const FreshBytes& fresh, std::span<std::uint8_t, kGeneratorKeySize> key) {
  const std::size_t message =
      kInfoLabel.size() + party.size() + 1 + purpose.size() + fresh.size() + 1;
  if (message > kInlineMessage) return false;

  std::uint8_t buf[kInlineMessage];
  WipeOnExit wipe_buf(buf, message);  // it holds the fresh bytes
  std::uint8_t* at = buf;
  at = std::copy(kInfoLabel.begin(), kInfoLabel.end(), at);
  at = std::copy(party.begin(), party.end(), at);
  *at++ = kInfoSeparator;
  at = std::copy(purpose.begin(), purpose.end(), at);
  at = std::copy(fresh.begin(), fresh.end(), at);
  *at = 0x01;  // the block counter of T(1)
  Sha256Digest t = HmacSha256(prk).mac(ByteView(buf, message));
  WipeOnExit wipe_t(t.data(), t.size());
  std::copy(t.begin(), t.end(), key.begin());
  return true;
}

}  // namespace

// See header.
Bytes derivation_info(ByteView party, ByteView purpose, const FreshBytes& fresh) {
  Bytes info(kInfoLabel.size() + party.size() + 1 + purpose.size() + fresh.size());
  auto at = std::copy(kInfoLabel.begin(), kInfoLabel.end(), info.begin());
  at = std::copy(party.begin(), party.end(), at);
  *at++ = kInfoSeparator;
  at = std::copy(purpose.begin(), purpose.end(), at);
  std::copy(fresh.begin(), fresh.end(), at);
  return info;
}

// See header.
KeyTable derive_key_table(ByteView party, ByteView purpose, MasterSeed seed,
                          const FreshBytes& fresh) {
  std::array<std::uint8_t, kGeneratorKeySize> key;
  WipeOnExit wipe_key(key.data(), key.size());
  {
    Sha256Digest prk = zero_salt_hmac().mac(seed);  // = hkdf_extract(no salt, seed)
    WipeOnExit wipe_prk(prk.data(), prk.size());
    if (!expand_key_inline(prk, party, purpose, fresh, key)) {
      Bytes info = derivation_info(party, purpose, fresh);
      WipeOnExit wipe_info(info.data(), info.size());  // it holds the fresh bytes
      const bool expanded = hkdf_expand(prk, info, key);
      KV_ASSERT(expanded);
    }
  }

  ChaCha20Generator gen(key);
  secure_wipe(key.data(), key.size());  // the generator holds its own copy now

  KeyTable table;
  for (std::size_t k = 0; k < table.size(); ++k) table[k] = std::uint8_t(k);
  shuffle_bytes(table, gen);
  return table;
}

// See header.
KeyTable derive_key_table(ByteView party, ByteView purpose, MasterSeed seed,
                          FillRandom fill_random) {
  FreshBytes fresh;
  WipeOnExit wipe_fresh(fresh.data(), fresh.size());
  fill_random(fresh);
  return derive_key_table(party, purpose, seed, fresh);
}

}  // namespace kelvora
