// Portable byte lookup and the back-end choice; see byte_lookup.hpp.
#include "lookup/byte_lookup.hpp"

namespace kelvora::byte_lookup {

// See header.
void lookup_portable(const std::uint8_t* table, const std::uint8_t* in, std::uint8_t* out,
                     std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out[i] = table[in[i]];
}

// See header.
LookupFn active() {
  static const LookupFn chosen = first_available<LookupFn>(
      {{avx512vbmi_available, lookup_avx512vbmi},
       {avx2_available, lookup_avx2},
       {neon_available, lookup_neon}},
      lookup_portable);
  return chosen;
}

}  // namespace kelvora::byte_lookup
