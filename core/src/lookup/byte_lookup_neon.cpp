// Byte lookup with NEON; see byte_lookup.hpp and byte_lookup_neon.hpp. Two
// vectors per step, so that two sets of table lookups are in flight; the last
// bytes (fewer than a vector) go through the portable loop.
#include "lookup/byte_lookup.hpp"

#if KELVORA_BUILD_NEON
#include "lookup/byte_lookup_neon.hpp"
#endif

namespace kelvora::byte_lookup {

#if KELVORA_BUILD_NEON

// See byte_lookup.hpp.
void lookup_neon(const std::uint8_t* table, const std::uint8_t* in, std::uint8_t* out,
                 std::size_t n) {
  constexpr std::size_t kLanes = 16;
  const neon::Table t = neon::load_table(table);
  std::size_t i = 0;
  for (; i + 2 * kLanes <= n; i += 2 * kLanes) {
    const uint8x16_t a = vld1q_u8(in + i), b = vld1q_u8(in + i + kLanes);
    vst1q_u8(out + i, neon::lookup(t, a));
    vst1q_u8(out + i + kLanes, neon::lookup(t, b));
  }
  if (i + kLanes <= n) {
    vst1q_u8(out + i, neon::lookup(t, vld1q_u8(in + i)));
    i += kLanes;
  }
  lookup_portable(table, in + i, out + i, n - i);
}

#else

void lookup_neon(const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::size_t) {
  fail_unbuilt("lookup_neon");
}

#endif

}  // namespace kelvora::byte_lookup
