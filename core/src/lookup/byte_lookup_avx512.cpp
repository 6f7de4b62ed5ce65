// Byte lookup with AVX-512 VBMI; see byte_lookup.hpp and
// byte_lookup_avx512.hpp. Only lookup_avx512vbmi carries the ISA; the last
// bytes go through a masked vector, so nothing is read or written past n.
#include "lookup/byte_lookup.hpp"

#if KELVORA_BUILD_AVX512
#include "lookup/byte_lookup_avx512.hpp"
#endif

namespace kelvora::byte_lookup {

#if KELVORA_BUILD_AVX512

// See byte_lookup.hpp.
KELVORA_TARGET_AVX512VBMI void lookup_avx512vbmi(const std::uint8_t* table, const std::uint8_t* in,
                                                 std::uint8_t* out, std::size_t n) {
  const avx512::Table t = avx512::load_table(table);
  for (std::size_t i = 0; i < n; i += 64) {
    const std::size_t left = n - i;
    const __mmask64 take = left >= 64 ? ~__mmask64(0) : (__mmask64(1) << left) - 1;
    const __m512i x = _mm512_maskz_loadu_epi8(take, in + i);
    _mm512_mask_storeu_epi8(out + i, take, avx512::lookup(t, x));
  }
}

#else

void lookup_avx512vbmi(const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::size_t) {
  fail_unbuilt("lookup_avx512vbmi");
}

#endif

}  // namespace kelvora::byte_lookup
