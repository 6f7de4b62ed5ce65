// CPU feature detection; see cpu.hpp.
#include "cpu.hpp"

namespace kelvora::cpu {
namespace {

// Asked once, by the first caller; racing first callers wait for its answer.
const Features& features() {
  static const Features detected = query_features();
  return detected;
}

}  // namespace

// See header.
bool has_shani() { return features().shani; }
bool has_avx2() { return features().avx2; }
bool has_avx512bw() { return features().avx512bw; }
bool has_avx512vl() { return features().avx512vl; }
bool has_avx512vbmi() { return features().avx512vbmi; }
bool has_armv8_sha2() { return features().armv8_sha2; }

}  // namespace kelvora::cpu
