// Portable row operations of the data mapping; see kernels.hpp. The loops
// without lookups vectorise at the baseline ISA; lookups are plain loads.
#include "mapping/kernels.hpp"

namespace kelvora::mapping_kernels {
namespace {

void accumulate(u8* acc, const u8* c, std::size_t w) {
  for (std::size_t x = 0; x < w; ++x) acc[x] = u8(acc[x] + c[x]);
}

void lookup(const u8* table, const u8* idx, u8* dst, std::size_t w) {
  for (std::size_t x = 0; x < w; ++x) dst[x] = table[idx[x]];
}

void map_first(const u8* P, u8* s, u8* z0, const u8* c, std::size_t w) {
  for (std::size_t x = 0; x < w; ++x) {
    const u8 sx = u8(s[x] - c[x]);
    s[x] = sx;
    z0[x] = u8(c[x] - P[sx]);
  }
}

void map_second(u8* s, const u8* z0, u8* t, const u8* c, std::size_t w) {
  for (std::size_t x = 0; x < w; ++x) {
    const u8 sx = u8(s[x] - c[x]);
    s[x] = sx;
    t[x] = u8(z0[x] + c[x] - sx);
  }
}

void map_step(const u8* P, u8* s, const u8* z0, u8* t, const u8* c, std::size_t w) {
  for (std::size_t x = 0; x < w; ++x) {
    const u8 sx = u8(s[x] - c[x]);
    s[x] = sx;
    t[x] = u8(t[x] + u8(z0[x] + c[x] - P[t[x]] - sx));
  }
}

void map_last(const u8* P, const u8* Q, const u8* s, const u8* z0, const u8* t, const u8* c,
              u8* out, std::size_t w) {
  for (std::size_t x = 0; x < w; ++x) {
    const u8 sx = u8(s[x] - c[x]);
    out[x] = Q[u8(z0[x] + c[x] - P[t[x]] - sx)];
  }
}

void restore_step(const u8* P, u8* s, u8* t, const u8* z0, u8* z, const u8* zprev,
                  std::size_t w) {
  for (std::size_t x = 0; x < w; ++x) {
    const u8 cx = u8(z[x] + s[x] + P[t[x]] - z0[x]);
    z[x] = cx;
    s[x] = u8(s[x] + cx);
    t[x] = u8(t[x] - zprev[x]);
  }
}

void restore_second(u8* s, const u8* z0, u8* z1, std::size_t w) {
  for (std::size_t x = 0; x < w; ++x) {
    const u8 cx = u8(z1[x] + s[x] - z0[x]);
    z1[x] = cx;
    s[x] = u8(s[x] + cx);
  }
}

void restore_first(const u8* P, const u8* s, u8* z0, std::size_t w) {
  for (std::size_t x = 0; x < w; ++x) z0[x] = u8(z0[x] + P[s[x]]);
}

constexpr Ops kPortable = {
    "portable",   accumulate,   lookup,         map_first,    map_second,
    map_step,     map_last,     restore_step,   restore_second, restore_first,
};

}  // namespace

const Ops& ops_portable() { return kPortable; }

}  // namespace kelvora::mapping_kernels
