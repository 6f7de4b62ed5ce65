// ChaCha20's rounds (RFC 8439 sections 2.1 to 2.3), written once for every
// back end that keeps the sixteen state words in sixteen variables: plain
// 32-bit words in chacha20_block, SSE2 registers holding the same word of
// four blocks in the four-block refill.
//
// A back end supplies a word type and its three operations:
//   struct Ops {
//     using Word = ...;
//     static Word add(Word, Word);           // 32-bit addition per word
//     static Word xor_(Word, Word);
//     template <int N> static Word rotl(Word);  // N is 16, 12, 8 or 7
//   };
// Back ends that lay the state out differently (the AVX-512 refill holds a
// row of two blocks per register and rotates the diagonals into columns)
// keep their own round code and take only kSigma from here. Internal to the
// ChaCha20 units; it pulls in nothing but fixed-width integers, and its
// templates are instantiated only with the including unit's own operations,
// so no ISA-specific unit can leave a shared copy behind.
#pragma once

#include <cstdint>

namespace kelvora::chacha20_rounds {

// "expand 32-byte k" as four little-endian words: input words 0 to 3.
inline constexpr std::uint32_t kSigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

template <class Ops, class Word = typename Ops::Word>
inline void quarter_round(Word& a, Word& b, Word& c, Word& d) {
  a = Ops::add(a, b); d = Ops::template rotl<16>(Ops::xor_(d, a));
  c = Ops::add(c, d); b = Ops::template rotl<12>(Ops::xor_(b, c));
  a = Ops::add(a, b); d = Ops::template rotl<8>(Ops::xor_(d, a));
  c = Ops::add(c, d); b = Ops::template rotl<7>(Ops::xor_(b, c));
}

// The twenty rounds on the working state x[0..15]: ten times a column round
// followed by a diagonal round. The caller adds the input afterwards.
template <class Ops, class State>
inline void twenty_rounds(State& x) {
  for (int i = 0; i < 10; ++i) {
    quarter_round<Ops>(x[0], x[4], x[8], x[12]);
    quarter_round<Ops>(x[1], x[5], x[9], x[13]);
    quarter_round<Ops>(x[2], x[6], x[10], x[14]);
    quarter_round<Ops>(x[3], x[7], x[11], x[15]);
    quarter_round<Ops>(x[0], x[5], x[10], x[15]);
    quarter_round<Ops>(x[1], x[6], x[11], x[12]);
    quarter_round<Ops>(x[2], x[7], x[8], x[13]);
    quarter_round<Ops>(x[3], x[4], x[9], x[14]);
  }
}

}  // namespace kelvora::chacha20_rounds
