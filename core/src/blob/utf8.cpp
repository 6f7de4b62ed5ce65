// Strict UTF-8 validation; see utf8.hpp.
#include "blob/utf8.hpp"

#include "messages.hpp"

namespace kelvora {

namespace {

// Allowed range of the second byte of a multi-byte sequence, by lead byte;
// every later continuation byte is 80..BF.
struct Lead {
  std::uint8_t trailing;  // continuation bytes that follow the lead
  std::uint8_t lo, hi;    // range of the first of them
};

constexpr Lead lead_of(std::uint8_t b) noexcept {
  if (b >= 0xC2 && b <= 0xDF) return {1, 0x80, 0xBF};
  if (b == 0xE0) return {2, 0xA0, 0xBF};  // no overlong three-byte forms
  if (b == 0xED) return {2, 0x80, 0x9F};  // no surrogates
  if (b >= 0xE1 && b <= 0xEF) return {2, 0x80, 0xBF};
  if (b == 0xF0) return {3, 0x90, 0xBF};  // no overlong four-byte forms
  if (b >= 0xF1 && b <= 0xF3) return {3, 0x80, 0xBF};
  if (b == 0xF4) return {3, 0x80, 0x8F};  // nothing above U+10FFFF
  return {0, 0, 0};                       // 80..C1, F5..FF never lead
}

constexpr std::uint64_t kHighBits = 0x8080808080808080ull;

}  // namespace

// See utf8.hpp.
std::string Utf8Error::detail() const {
  if (incomplete()) return messages::utf8_incomplete(index);
  return messages::utf8_invalid(length, index);
}

// See utf8.hpp.
std::optional<Utf8Error> check_utf8(ByteView bytes) noexcept {
  const std::uint8_t* p = bytes.data();
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    // Text is mostly ASCII: skip eight bytes at a time while no high bit is set.
    while (n - i >= 8 && (load64_le(p + i) & kHighBits) == 0) i += 8;
    if (i == n) break;
    const std::uint8_t b = p[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    const Lead lead = lead_of(b);
    if (lead.trailing == 0) return Utf8Error{i, 1};
    for (std::uint8_t k = 1; k <= lead.trailing; ++k) {
      if (i + k == n) return Utf8Error{i, 0};
      const std::uint8_t c = p[i + k];
      const bool ok = k == 1 ? (c >= lead.lo && c <= lead.hi) : (c >= 0x80 && c <= 0xBF);
      if (!ok) return Utf8Error{i, k};
    }
    i += 1 + lead.trailing;
  }
  return std::nullopt;
}

}  // namespace kelvora
