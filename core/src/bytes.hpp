// Byte views and explicit load/store helpers. Multi-byte integers are always
// assembled byte by byte in a named order; byte pointers are never cast to
// wider integer types.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "platform.hpp"

namespace kelvora {

using ByteView = std::span<const std::uint8_t>;  // read-only, borrowed for a call
using Bytes = std::vector<std::uint8_t>;         // owned

inline std::uint32_t load32_le(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}
inline std::uint32_t load32_be(const std::uint8_t* p) {
  return std::uint32_t(p[3]) | std::uint32_t(p[2]) << 8 | std::uint32_t(p[1]) << 16 |
         std::uint32_t(p[0]) << 24;
}
inline std::uint64_t load64_le(const std::uint8_t* p) {
  return std::uint64_t(load32_le(p)) | std::uint64_t(load32_le(p + 4)) << 32;
}
inline std::uint64_t load64_be(const std::uint8_t* p) {
  return std::uint64_t(load32_be(p)) << 32 | std::uint64_t(load32_be(p + 4));
}
inline void store32_le(std::uint8_t* p, std::uint32_t v) {
  p[0] = std::uint8_t(v);
  p[1] = std::uint8_t(v >> 8);
  p[2] = std::uint8_t(v >> 16);
  p[3] = std::uint8_t(v >> 24);
}
inline void store32_be(std::uint8_t* p, std::uint32_t v) {
  p[0] = std::uint8_t(v >> 24);
  p[1] = std::uint8_t(v >> 16);
  p[2] = std::uint8_t(v >> 8);
  p[3] = std::uint8_t(v);
}
inline void store64_le(std::uint8_t* p, std::uint64_t v) {
  store32_le(p, std::uint32_t(v));
  store32_le(p + 4, std::uint32_t(v >> 32));
}
inline void store64_be(std::uint8_t* p, std::uint64_t v) {
  store32_be(p, std::uint32_t(v >> 32));
  store32_be(p + 4, std::uint32_t(v));
}

// Overwrites n bytes with zeros. A plain memset of a buffer that is about to
// go out of scope is a dead store the compiler may drop; KELVORA_KEEP_STORES
// makes the zeros count as read, so the memset (full width, not byte by
// byte) must happen.
inline void secure_wipe(void* p, std::size_t n) {
  if (n == 0) return;
  std::memset(p, 0, n);
  KELVORA_KEEP_STORES(p);
}

// Overwrites N bytes of the stack just below the caller's frame with zeros:
// where a function that the caller has just called kept what did not fit in
// registers (spilled vector registers holding key words, say). Call it right
// after that function returns, from the same frame.
template <std::size_t N>
[[gnu::noinline]] void wipe_stack_below() {
  unsigned char below[N];
  secure_wipe(below, N);
}

// Wipes a buffer when the scope ends, however it ends.
class WipeOnExit {
 public:
  WipeOnExit(void* p, std::size_t n) noexcept : p_(p), n_(n) {}
  ~WipeOnExit() { secure_wipe(p_, n_); }
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;

 private:
  void* p_;
  std::size_t n_;
};

}  // namespace kelvora
