// The ChaCha20 block function; see chacha20.hpp.
#include "primitives/chacha20.hpp"

#include <bit>

#include "bytes.hpp"
#include "primitives/chacha20_rounds.hpp"

namespace kelvora {

namespace {

struct WordOps {
  using Word = std::uint32_t;
  static Word add(Word a, Word b) { return a + b; }
  static Word xor_(Word a, Word b) { return a ^ b; }
  template <int N>
  static Word rotl(Word x) { return std::rotl(x, N); }
};

}  // namespace

// See header.
void chacha20_block(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream,
                    ChaChaBlock& out) {
  using chacha20_rounds::kSigma;
  ChaChaBlock input = {kSigma[0], kSigma[1], kSigma[2], kSigma[3],
                       key[0],    key[1],    key[2],    key[3],
                       key[4],    key[5],    key[6],    key[7],
                       static_cast<std::uint32_t>(counter),
                       static_cast<std::uint32_t>(counter >> 32),
                       static_cast<std::uint32_t>(stream),
                       static_cast<std::uint32_t>(stream >> 32)};
  ChaChaBlock x = input;
  chacha20_rounds::twenty_rounds<WordOps>(x);
  for (std::size_t i = 0; i < 16; ++i) out[i] = x[i] + input[i];
  // Both hold the key, x the keystream less the input.
  secure_wipe(x.data(), sizeof x);
  secure_wipe(input.data(), sizeof input);
}

}  // namespace kelvora
