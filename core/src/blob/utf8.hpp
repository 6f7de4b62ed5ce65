// Strict UTF-8 validation (Unicode Table 3-7 of well-formed byte sequences):
// no overlong forms, no surrogates (ED A0..BF), nothing above U+10FFFF; and
// the encoding of code points into UTF-8.
//
// The first problem is located the way the Unicode standard's maximal-subpart
// rule does: at the index of the first byte that does not start a complete
// well-formed sequence, with the length of the longest start of a well-formed
// sequence found there (at least 1). A byte that cannot begin a sequence
// (80..C1, F5..FF) has length 1; a lead followed by a byte that cannot be its
// second has length 1; a wrong third byte gives 2; a wrong fourth byte gives
// 3. When the input ends inside a sequence that is well-formed so far, the
// sequence is incomplete instead.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "bytes.hpp"

namespace kelvora {

struct Utf8Error {
  std::uint64_t index;  // number of valid bytes before the bad sequence
  std::uint8_t length;  // 1..3 for an invalid sequence; 0 when incomplete
  bool incomplete() const noexcept { return length == 0; }
  // "invalid utf-8 sequence of {length} bytes from index {index}" or
  // "incomplete utf-8 byte sequence from index {index}".
  std::string detail() const;
};

// check_utf8: nothing when bytes is well-formed UTF-8, else its first problem.
std::optional<Utf8Error> check_utf8(ByteView bytes) noexcept;

// encode_utf8: writes the UTF-8 encoding of the code points (at most 4 bytes
// each) at the start of out and returns its length; nothing when out is too
// short, or a code point is a surrogate (D800..DFFF) or above U+10FFFF, which
// UTF-8 cannot hold. Inline: its callers encode a few characters at a time.
inline std::optional<std::size_t> encode_utf8(std::span<const std::uint32_t> code_points,
                                              std::span<std::uint8_t> out) noexcept {
  std::uint8_t* p = out.data();
  std::size_t room = out.size();
  for (const std::uint32_t c : code_points) {
    if (c < 0x80) {
      if (room < 1) return std::nullopt;
      *p++ = std::uint8_t(c);
      room -= 1;
    } else if (c < 0x800) {
      if (room < 2) return std::nullopt;
      *p++ = std::uint8_t(0xC0 | c >> 6);
      *p++ = std::uint8_t(0x80 | (c & 0x3F));
      room -= 2;
    } else if (c < 0x10000) {
      if (room < 3 || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
      *p++ = std::uint8_t(0xE0 | c >> 12);
      *p++ = std::uint8_t(0x80 | (c >> 6 & 0x3F));
      *p++ = std::uint8_t(0x80 | (c & 0x3F));
      room -= 3;
    } else {
      if (room < 4 || c > 0x10FFFF) return std::nullopt;
      *p++ = std::uint8_t(0xF0 | c >> 18);
      *p++ = std::uint8_t(0x80 | (c >> 12 & 0x3F));
      *p++ = std::uint8_t(0x80 | (c >> 6 & 0x3F));
      *p++ = std::uint8_t(0x80 | (c & 0x3F));
      room -= 4;
    }
  }
  return std::size_t(p - out.data());
}

}  // namespace kelvora
