// Key tables: a party's 256-byte permutation of the byte values.
//
// derive_key_table(party, purpose, seed, fresh):
//   info  = "kelvora:" | party | ":" | purpose | fresh   (no lengths, no escaping:
//           party "a:b" with purpose "c" gives the same info as "a" with "b:c")
//   key   = HKDF-SHA256(salt absent, ikm = seed, info, 32 bytes)
//   table = identity 0..255 shuffled by shuffle_bytes with ChaCha20Generator(key)
// It is a pure function of its inputs. The wrapper without `fresh` draws the
// 32 fresh bytes from a random source first (the operating system's by
// default), so each call yields a new table even for equal arguments.
//
// Every intermediate secret (fresh bytes, info, PRK, derived key, generator
// state) is wiped before it goes out of scope, on the failure paths too. The
// only failure is that of the random source, an internal failure
// "OS RNG unavailable: OsRng"; std::bad_alloc can come from the info buffer
// of labels too long for the key derivation's stack buffer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "bytes.hpp"
#include "keys/os_random.hpp"

namespace kelvora {

inline constexpr std::size_t kKeyTableSize = 256;
inline constexpr std::size_t kMasterSeedSize = 32;
inline constexpr std::size_t kFreshSize = 32;

using KeyTable = std::array<std::uint8_t, kKeyTableSize>;
using MasterSeed = std::span<const std::uint8_t, kMasterSeedSize>;
using FreshBytes = std::array<std::uint8_t, kFreshSize>;

// The HKDF info string for one derivation. The caller wipes it after use.
Bytes derivation_info(ByteView party, ByteView purpose, const FreshBytes& fresh);

KeyTable derive_key_table(ByteView party, ByteView purpose, MasterSeed seed,
                          const FreshBytes& fresh);

KeyTable derive_key_table(ByteView party, ByteView purpose, MasterSeed seed,
                          FillRandom fill_random = fill_os_random);

}  // namespace kelvora
