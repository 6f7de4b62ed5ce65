// Back-end choice of the data mapping; see kernels.hpp.
#include "mapping/kernels.hpp"

namespace kelvora::mapping_kernels {

// See kernels.hpp.
const Ops& active() {
  using Get = const Ops& (*)();
  static const Ops& chosen = first_available<Get>(
      {{avx512vbmi_available, ops_avx512vbmi},
       {avx2_available, ops_avx2},
       {neon_available, ops_neon}},
      ops_portable)();
  return chosen;
}

}  // namespace kelvora::mapping_kernels
