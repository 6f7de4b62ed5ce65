// The choice of a sixteen-stream back end; see sha256_x16.hpp.
#include "primitives/sha256_x16.hpp"

namespace kelvora::sha256_x16 {

// See header.
CompressFn active() {
  static const CompressFn chosen = first_available<CompressFn>(
      {{avx512_available, compress_avx512}, {armv8_available, compress_armv8}}, nullptr);
  return chosen;
}

// See header.
CompressSharedFn active_shared() {
  static const CompressSharedFn chosen =
      first_available<CompressSharedFn>({{avx512_available, compress_shared_avx512}}, nullptr);
  return chosen;
}

}  // namespace kelvora::sha256_x16
