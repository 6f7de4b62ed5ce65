// Back-end choice of the data mapping; see kernels.hpp.
#include "mapping/kernels.hpp"

namespace kelvora::mapping_kernels {

const Ops& active() {
  static const Ops* const chosen = []() -> const Ops* {
    if (const Ops* ops = ops_avx512vbmi()) return ops;
    if (const Ops* ops = ops_avx2()) return ops;
    return &ops_portable();
  }();
  return *chosen;
}

}  // namespace kelvora::mapping_kernels
