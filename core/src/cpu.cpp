// CPU feature detection; see cpu.hpp.
#include "cpu.hpp"

namespace kelvora::cpu {
namespace {

struct Features {
  bool shani = false;
  bool avx2 = false;
  bool avx512bw = false;
  bool avx512vl = false;
  bool avx512vbmi = false;
};

const Features& features() {
  static const Features detected = [] {
    Features f;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    f.shani = __builtin_cpu_supports("sha") && __builtin_cpu_supports("ssse3") &&
              __builtin_cpu_supports("sse4.1");
    f.avx2 = __builtin_cpu_supports("avx2");
    const bool avx512f = __builtin_cpu_supports("avx512f");
    f.avx512bw = avx512f && __builtin_cpu_supports("avx512bw");
    f.avx512vl = avx512f && __builtin_cpu_supports("avx512vl");
    f.avx512vbmi = f.avx512bw && __builtin_cpu_supports("avx512vbmi");
#endif
    return f;
  }();
  return detected;
}

}  // namespace

// See header.
bool has_shani() { return features().shani; }
bool has_avx2() { return features().avx2; }
bool has_avx512bw() { return features().avx512bw; }
bool has_avx512vl() { return features().avx512vl; }
bool has_avx512vbmi() { return features().avx512vbmi; }

}  // namespace kelvora::cpu
