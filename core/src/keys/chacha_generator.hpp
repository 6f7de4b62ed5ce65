// ChaCha20Generator: a keystream of 32-bit words, and the bounded draw on it.
//
// Keyed with 32 bytes (eight little-endian key words), block counter 0 and
// stream identifier 0. Words come out in block order: a refill computes eight
// consecutive blocks (counters c .. c+7, 128 words) and advances the counter
// by eight; next_word() refills only when all 128 words are used. The size of
// a refill does not show in the words; eight blocks are one refill for a key
// table, which takes about 75 words. The state
// (key words, counter, buffered words) is wiped when the generator is
// destroyed, so keystream never outlives its use.
//
// bounded_draw(gen, bound) returns a value in [0, bound) for bound > 0 from
// the high half of word * bound, with one correction word when the low half
// lies in the last `bound` values of 2^32: exactly one or two words are used,
// never a loop. The correction word brings the bias down to roughly
// bound / 2^64. When both words are already buffered the draw reads the
// second one ahead and takes it only if the correction needs it, so there is
// no branch on the (unpredictable) correction; the words used are the same.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "failure.hpp"
#include "keys/chacha_x4.hpp"

namespace kelvora {

inline constexpr std::size_t kGeneratorKeySize = 32;

class ChaCha20Generator {
 public:
  explicit ChaCha20Generator(std::span<const std::uint8_t, kGeneratorKeySize> key);
  ~ChaCha20Generator();
  ChaCha20Generator(const ChaCha20Generator&) = delete;
  ChaCha20Generator& operator=(const ChaCha20Generator&) = delete;

  std::uint32_t next_word() {
    if (index_ == kWords) refill();
    return word(index_++);
  }

 private:
  friend std::uint32_t bounded_draw(ChaCha20Generator& gen, std::uint32_t bound);
  static constexpr std::size_t kWords = 16 * 8;
  std::uint32_t word(std::size_t i) const { return words_[i]; }
  static constexpr std::uint64_t kStream = 0;
  void refill();

  ChaChaKey key_;
  std::uint64_t counter_ = 0;
  ChaChaEightBlocks words_{};  // keystream order
  std::size_t index_ = kWords;  // kWords: nothing buffered
};

// bounded_draw taking its words one at a time through next_word(); the path
// for a draw that may cross a refill.
std::uint32_t bounded_draw_by_words(ChaCha20Generator& gen, std::uint32_t bound);

// A value in [0, bound); bound == 0 is an internal failure.
inline std::uint32_t bounded_draw(ChaCha20Generator& gen, std::uint32_t bound) {
  KV_ASSERT(bound > 0);
  const std::size_t i = gen.index_;
  if (i + 2 > ChaCha20Generator::kWords) return bounded_draw_by_words(gen, bound);
  const std::uint64_t p = std::uint64_t(gen.word(i)) * bound;
  const auto lo = std::uint32_t(p);
  const std::uint32_t correct = lo > std::uint32_t(0u - bound) ? 1 : 0;
  const std::size_t k = i + 1;  // read ahead; used only when `correct`
  const auto h = std::uint32_t((std::uint64_t(gen.word(k)) * bound) >> 32);
  const std::uint32_t carry = (std::uint64_t(lo) + h) >> 32 != 0 ? 1 : 0;
  gen.index_ = i + 1 + correct;
  return std::uint32_t(p >> 32) + (correct & carry);
}

}  // namespace kelvora
