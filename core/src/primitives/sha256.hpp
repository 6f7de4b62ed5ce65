// SHA-256 (FIPS 180-4), one-shot and incremental.
//
// Buffering, length counting and padding live here once; the compression of
// whole 64-byte blocks is delegated to a back end chosen once per process
// (SHA-NI on x86-64 CPUs that have it, the portable code otherwise). Tests
// reach each back end by name through sha256_blocks.hpp.
//
// A hasher can be saved after a whole number of blocks (state()) and resumed
// from that state (Sha256(state, blocks)); HMAC uses this to hash its pad
// blocks once per key.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "bytes.hpp"
#include "primitives/sha256_blocks.hpp"

namespace kelvora {

inline constexpr std::size_t kSha256DigestSize = 32;
inline constexpr std::size_t kSha256BlockSize = 64;
using Sha256Digest = std::array<std::uint8_t, kSha256DigestSize>;
using Sha256State = std::array<std::uint32_t, 8>;  // chaining value H0..H7

// The chaining value before the first block (FIPS 180-4 section 5.3.3).
inline constexpr Sha256State kSha256InitialState = std::to_array(sha256_blocks::kInitialState);

class Sha256 {
 public:
  Sha256();  // initial hash value of FIPS 180-4 section 5.3.3
  // Resumes from a chaining value reached after `blocks` whole blocks.
  Sha256(const Sha256State& state, std::uint64_t blocks);
  // A hasher that compresses with one named back end instead of the one
  // chosen for the process; for tests and benchmarks.
  static Sha256 with_blocks(sha256_blocks::BlocksFn blocks);

  Sha256& update(ByteView data);
  Sha256& update(const void* data, std::size_t len) {
    return update(ByteView(static_cast<const std::uint8_t*>(data), len));
  }
  // Pads, compresses the last block(s) and returns the digest. The hasher is
  // spent afterwards.
  Sha256Digest finish();
  // Chaining value; meaningful only when the bytes hashed so far are a whole
  // number of blocks.
  const Sha256State& state() const { return h_; }

 private:
  Sha256State h_;
  sha256_blocks::BlocksFn blocks_;
  std::uint64_t total_ = 0;  // bytes hashed so far
  std::array<std::uint8_t, kSha256BlockSize> buf_{};
  std::size_t buffered_ = 0;
};

Sha256Digest sha256(ByteView data);

// The end of every hash here (the hasher's, HMAC's and those built in place
// on hot paths). `state` is the chaining value after `blocks` whole blocks and
// `rest` the message bytes after them, of any length: its whole blocks are
// compressed straight from memory, the last bytes are padded
// (sha256_blocks::pad) into one or two final blocks. Returns the digest.
Sha256Digest sha256_finish(const Sha256State& state, std::uint64_t blocks, ByteView rest,
                           sha256_blocks::BlocksFn compress = sha256_blocks::active());

}  // namespace kelvora
