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
    Bytes info = derivation_info(party, purpose, fresh);
    WipeOnExit wipe_info(info.data(), info.size());  // it holds the fresh bytes
    Sha256Digest prk = zero_salt_hmac().mac(seed);  // = hkdf_extract(no salt, seed)
    WipeOnExit wipe_prk(prk.data(), prk.size());
    const bool expanded = hkdf_expand(prk, info, key);
    KV_ASSERT(expanded);
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
