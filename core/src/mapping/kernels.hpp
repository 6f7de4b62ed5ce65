// Internal seam of the data mapping: element-wise row operations over a tile
// of w adjacent columns. The tile drivers (map.cpp, restore.cpp) sweep the
// rows of a tile through these; a back end implements only the operations,
// so the order of the equations exists once. Every table here has (at least)
// 256 entries, so no lookup can fail. Buffers may be unaligned; `w` is any
// count. Included by the ISA units, so it pulls in fixed-width integers only.
//
// Names: s = suffix sum, t = running step sum, z0 = step value of party 0,
// c = one row's bytes of the tile. All arithmetic wraps modulo 256.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvora::mapping_kernels {

using u8 = std::uint8_t;

struct Ops {
  const char* name;
  // acc[x] += c[x]
  void (*accumulate)(u8* acc, const u8* c, std::size_t w);
  // dst[x] = table[idx[x]]   (dst may equal idx)
  void (*lookup)(const u8* table, const u8* idx, u8* dst, std::size_t w);

  // Mapping, row 0: s -= c; z0 = c - P[s]
  void (*map_first)(const u8* P, u8* s, u8* z0, const u8* c, std::size_t w);
  // Mapping, row 1: s -= c; t = z0 + c - s
  void (*map_second)(u8* s, const u8* z0, u8* t, const u8* c, std::size_t w);
  // Mapping, row k >= 2: s -= c; z = z0 + c - P[t] - s; t += z
  void (*map_step)(const u8* P, u8* s, const u8* z0, u8* t, const u8* c, std::size_t w);
  // Mapping, the party's own row k >= 2: out = Q[z0 + c - P[t] - (s - c)]
  void (*map_last)(const u8* P, const u8* Q, const u8* s, const u8* z0, const u8* t,
                   const u8* c, u8* out, std::size_t w);

  // Restoring, row k >= 2, z holding z_k on entry and c_k on return:
  //   c = z + s + P[t] - z0; s += c; t -= zprev
  void (*restore_step)(const u8* P, u8* s, u8* t, const u8* z0, u8* z, const u8* zprev,
                       std::size_t w);
  // Restoring, row 1 (z1 in, c1 out): c1 = z1 + s - z0; s += c1
  void (*restore_second)(u8* s, const u8* z0, u8* z1, std::size_t w);
  // Restoring, row 0 (z0 in, c0 out): c0 = z0 + P[s]
  void (*restore_first)(const u8* P, const u8* s, u8* z0, std::size_t w);
};

// Plain C++; available everywhere.
const Ops& ops_portable();

// AVX2: 32 columns at a time, 16 in-lane shuffles per 256-entry lookup.
// Null when the CPU lacks AVX2 or the build leaves it out (KELVORA_NO_AVX2).
const Ops* ops_avx2();

// AVX-512 VBMI: 64 columns at a time, two two-register byte permutes and a
// blend per 256-entry lookup. Null when the CPU lacks AVX-512 BW and VBMI or
// the build leaves it out (KELVORA_NO_AVX512).
const Ops* ops_avx512vbmi();

// The back end chosen once per process: AVX-512 VBMI, then AVX2, portable last.
const Ops& active();

}  // namespace kelvora::mapping_kernels
