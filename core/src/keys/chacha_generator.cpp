// ChaCha20 keystream generator and bounded draw; see chacha_generator.hpp.
#include "keys/chacha_generator.hpp"

#include "bytes.hpp"
#include "failure.hpp"

namespace kelvora {

// See header.
ChaCha20Generator::ChaCha20Generator(std::span<const std::uint8_t, kGeneratorKeySize> key) {
  for (std::size_t n = 0; n < key_.size(); ++n) key_[n] = load32_le(key.data() + 4 * n);
}

ChaCha20Generator::~ChaCha20Generator() {
  secure_wipe(key_.data(), sizeof key_);
  secure_wipe(words_.data(), sizeof words_);
  secure_wipe(&counter_, sizeof counter_);
}

void ChaCha20Generator::refill() {
  // Eight blocks in one pass with AVX-512, else two four-block calls.
  static const bool eight = chacha20_avx512_available();
  static const ChaChaX4Fn blocks_x4 = chacha20_x4_active();
  if (eight) {
    chacha20_x8_avx512(key_, counter_, kStream, words_);
  } else {
    // Four blocks at a time, word-major, put in keystream order.
    ChaChaLanes lanes;
    WipeOnExit wipe(lanes.data(), sizeof lanes);
    for (std::size_t half = 0; half < 2; ++half) {
      blocks_x4(key_, counter_ + 4 * half, kStream, lanes);  // mod 2^64
      for (std::size_t k = 0; k < 4; ++k) {
        for (std::size_t i = 0; i < 16; ++i) words_[64 * half + 16 * k + i] = lanes[i][k];
      }
    }
  }
  counter_ += 8;  // mod 2^64
  index_ = 0;
}

// See header.
std::uint32_t bounded_draw_by_words(ChaCha20Generator& gen, std::uint32_t bound) {
  KV_ASSERT(bound > 0);
  const std::uint64_t p = std::uint64_t(gen.next_word()) * bound;
  const auto result = std::uint32_t(p >> 32);
  const auto lo = std::uint32_t(p);
  if (lo <= std::uint32_t(0u - bound)) return result;
  // lo is within `bound` of 2^32: the next word's contribution may carry into
  // the result. result + carry stays below bound, since word * bound + h
  // < 2^32 * bound for h < bound.
  const auto h = std::uint32_t((std::uint64_t(gen.next_word()) * bound) >> 32);
  const bool carry = std::uint64_t(lo) + h >= (std::uint64_t(1) << 32);
  return result + (carry ? 1u : 0u);
}

}  // namespace kelvora
