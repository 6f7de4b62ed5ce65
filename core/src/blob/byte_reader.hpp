// Bounds-checked reader over a borrowed byte string.
//
// A ByteReader is a (position, remaining) value. Each get checks that enough
// bytes remain before touching memory; on success it advances past what it
// read and returns true, on failure it returns false and leaves the reader
// where it was. Callers end the parse at the first failed get. Lengths are
// compared with what remains, never added to the position, so no length, not
// even 2^64 - 1, can wrap around. Getters name their width and byte order.
#pragma once

#include <cstdint>

#include "bytes.hpp"

namespace kelvora {

class ByteReader {
 public:
  explicit ByteReader(ByteView data) noexcept : pos_(data.data()), left_(data.size()) {}

  // remaining: the number of bytes not yet read.
  std::size_t remaining() const noexcept { return left_; }

  // get_u64le: reads an unsigned 64-bit little-endian integer into out.
  bool get_u64le(std::uint64_t& out) noexcept {
    if (left_ < 8) return false;
    out = load64_le(pos_);
    advance(8);
    return true;
  }

  // get_bytes: sets out to a view of the next len bytes (inside the input).
  bool get_bytes(std::uint64_t len, ByteView& out) noexcept {
    if (len > left_) return false;
    out = ByteView(pos_, static_cast<std::size_t>(len));
    advance(static_cast<std::size_t>(len));
    return true;
  }

 private:
  void advance(std::size_t n) noexcept {
    // An empty input may have a null position; never offset a null pointer.
    if (n != 0) pos_ += n;
    left_ -= n;
  }

  const std::uint8_t* pos_;
  std::size_t left_;
};

}  // namespace kelvora
