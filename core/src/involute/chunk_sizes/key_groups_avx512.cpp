// Group sets with AVX-512; see key_groups.hpp. Only the two insert functions
// carry the ISA (target attribute), and this unit includes nothing but the
// intrinsics header, its seam and the platform macros.
#include "involute/chunk_sizes/key_groups.hpp"

#if KELVORA_BUILD_AVX512
#include "avx512_intrinsics.hpp"
#endif

namespace kelvora::key_groups {

#if KELVORA_BUILD_AVX512

// See header.
KELVORA_TARGET("avx512f") bool insert_avx512(GroupSet<std::uint32_t>& set, const std::uint32_t* keys,
                                    std::size_t n) {
  std::uint32_t* const slots = set.slots;
  const std::size_t groups = set.groups;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kPrefetchAhead < n)
      KELVORA_PREFETCH(slots + 16 * home_group(keys[i + kPrefetchAhead], groups), 1);
    const std::uint32_t key = keys[i];
    if (key == 0) {
      if (set.has_zero) return false;
      set.has_zero = true;
      continue;
    }
    const __m512i k = _mm512_set1_epi32(int(key));
    for (std::size_t g = home_group(key, groups);; g = g + 1 == groups ? 0 : g + 1) {
      std::uint32_t* group = slots + 16 * g;
      const __m512i v = _mm512_load_si512(group);
      if (_mm512_cmpeq_epi32_mask(v, k) != 0) return false;
      if (group[15] == 0) {
        _mm512_store_si512(group, _mm512_alignr_epi32(v, k, 15));
        break;
      }
    }
  }
  return true;
}

// See header.
KELVORA_TARGET("avx512f") bool insert_avx512(GroupSet<std::uint64_t>& set, const std::uint64_t* keys,
                                    std::size_t n) {
  std::uint64_t* const slots = set.slots;
  const std::size_t groups = set.groups;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kPrefetchAhead < n)
      KELVORA_PREFETCH(slots + 8 * home_group(keys[i + kPrefetchAhead], groups), 1);
    const std::uint64_t key = keys[i];
    if (key == 0) {
      if (set.has_zero) return false;
      set.has_zero = true;
      continue;
    }
    const __m512i k = _mm512_set1_epi64(static_cast<long long>(key));
    for (std::size_t g = home_group(key, groups);; g = g + 1 == groups ? 0 : g + 1) {
      std::uint64_t* group = slots + 8 * g;
      const __m512i v = _mm512_load_si512(group);
      if (_mm512_cmpeq_epi64_mask(v, k) != 0) return false;
      if (group[7] == 0) {
        _mm512_store_si512(group, _mm512_alignr_epi64(v, k, 7));
        break;
      }
    }
  }
  return true;
}

#else

bool insert_avx512(GroupSet<std::uint32_t>&, const std::uint32_t*, std::size_t) {
  fail_unbuilt("insert_avx512");
}
bool insert_avx512(GroupSet<std::uint64_t>&, const std::uint64_t*, std::size_t) {
  fail_unbuilt("insert_avx512");
}

#endif

}  // namespace kelvora::key_groups
