// Back-end choice of the data mapping; see kernels.hpp.
#include "mapping/kernels.hpp"

namespace kelvora::mapping_kernels {

// See kernels.hpp.
const Ops& active() {
  static const Ops& chosen = []() -> const Ops& {
    if (avx512vbmi_available()) return ops_avx512vbmi();
    if (avx2_available()) return ops_avx2();
    return ops_portable();
  }();
  return chosen;
}

}  // namespace kelvora::mapping_kernels
