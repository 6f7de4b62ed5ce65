// Byte lookup with AVX2; see byte_lookup.hpp and byte_lookup_avx2.hpp.
// Only lookup_avx2 carries the ISA; the last bytes (fewer than a vector) go
// through the portable loop.
#include "lookup/byte_lookup.hpp"

#if KELVORA_BUILD_AVX2
#include "lookup/byte_lookup_avx2.hpp"
#endif

namespace kelvora::byte_lookup {

#if KELVORA_BUILD_AVX2

// See byte_lookup.hpp.
KELVORA_TARGET_AVX2 void lookup_avx2(const std::uint8_t* table, const std::uint8_t* in,
                                     std::uint8_t* out, std::size_t n) {
  constexpr std::size_t kLanes = 32;
  const std::size_t v = n - n % kLanes;
  const avx2::Table t = avx2::load_table(table);
  for (std::size_t i = 0; i < v; i += kLanes) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), avx2::lookup(t, x));
  }
  lookup_portable(table, in + v, out + v, n - v);
}

#else

void lookup_avx2(const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::size_t) {
  fail_unbuilt("lookup_avx2");
}

#endif

}  // namespace kelvora::byte_lookup
