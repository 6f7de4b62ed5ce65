// NEON back end of the data mapping; see kernels.hpp.
//
// Lookups in the 256-entry tables are the byte lookup family's NEON ones
// (byte_lookup_neon.hpp): the public table stays in sixteen registers for the
// whole sweep. The sweeps work on two vectors (32 columns) at once, two
// independent chains of lookups; the last columns of a row (fewer than a whole
// vector or block) go to the portable back end. NEON is part of every aarch64
// CPU, so nothing here carries a target attribute.
#include "mapping/kernels.hpp"

#if KELVORA_BUILD_NEON

#include "lookup/byte_lookup_neon.hpp"

namespace kelvora::mapping_kernels {
namespace {

constexpr std::size_t kLanes = 16;
constexpr int kChains = 2;
constexpr std::size_t kBlock = kLanes * kChains;

using namespace byte_lookup::neon;  // Table, load_table, lookup

// The chains' loops are unrolled, so that their values stay in registers.
#define KV_EACH_CHAIN _Pragma("GCC unroll 4")

inline uint8x16_t load(const u8* p) { return vld1q_u8(p); }
inline void store(u8* p, uint8x16_t v) { vst1q_u8(p, v); }
inline uint8x16_t add(uint8x16_t a, uint8x16_t b) { return vaddq_u8(a, b); }
inline uint8x16_t sub(uint8x16_t a, uint8x16_t b) { return vsubq_u8(a, b); }

// Four vectors make a cache line: the fetch ahead goes with every fourth one.
void accumulate(u8* acc, const u8* c, std::size_t w, Ahead ahead) {
  const std::size_t v = w - w % kLanes;
  for (std::size_t x = 0; x < v; x += kLanes) {
    if (x % 64 == 0) ahead.fetch(x);
    store(acc + x, add(load(acc + x), load(c + x)));
  }
  ops_portable().accumulate(acc + v, c + v, w - v, ahead.from(v));
}

void accumulate_prefix(u8* acc, const u8* c, u8* e, std::size_t w, Ahead ahead) {
  const std::size_t v = w - w % kLanes;
  for (std::size_t x = 0; x < v; x += kLanes) {
    if (x % 64 == 0) ahead.fetch(x);
    const uint8x16_t cv = load(c + x);
    const uint8x16_t sum = add(load(acc + x), cv);
    store(acc + x, sum);
    store(e + x, add(sum, cv));
  }
  ops_portable().accumulate_prefix(acc + v, c + v, e + v, w - v, ahead.from(v));
}

void lookup_accumulate(const u8* table, const u8* m, u8* z, u8* acc, std::size_t w,
                       Ahead ahead) {
  const std::size_t v = w - w % kLanes;
  const Table T = load_table(table);
  for (std::size_t x = 0; x < v; x += kLanes) {
    if (x % 64 == 0) ahead.fetch(x);
    const uint8x16_t zv = lookup(T, load(m + x));
    store(z + x, zv);
    if (acc) store(acc + x, add(load(acc + x), zv));
  }
  ops_portable().lookup_accumulate(table, m + v, z + v, acc ? acc + v : nullptr, w - v,
                                   ahead.from(v));
}

void map_sweep(const MapSweep& a) {
  const std::size_t d = a.identity, stride = a.stride;
  const std::size_t whole = a.w - a.w % kBlock;
  a.next->plan(d >= 2 ? (d - 1) * (whole / kBlock) : 0);
  const Table P = load_table(a.pub);
  for (std::size_t x = 0; x < whole; x += kBlock) {
    uint8x16_t D[kChains], z[kChains], t[kChains];
    KV_EACH_CHAIN for (int v = 0; v < kChains; ++v) {
      const uint8x16_t c0 = load(a.rows + x + v * kLanes);
      const uint8x16_t sum = load(a.sum + x + v * kLanes);
      z[v] = sub(c0, lookup(P, sub(sum, c0)));
      D[v] = sub(z[v], sum);
    }
    if (d >= 1) {
      KV_EACH_CHAIN for (int v = 0; v < kChains; ++v) {
        z[v] = add(D[v], load(a.rows + stride + x + v * kLanes));
        t[v] = z[v];
      }
      for (std::size_t row = 2; row <= d; ++row) {
        const u8* e = a.rows + row * stride + x;
        a.next->step();
        KV_EACH_CHAIN for (int v = 0; v < kChains; ++v) {
          z[v] = sub(add(D[v], load(e + v * kLanes)), lookup(P, t[v]));
          t[v] = add(t[v], z[v]);
        }
      }
    }
    // The private table is read once per column: loaded here, not kept.
    const Table Q = load_table(a.priv);
    KV_EACH_CHAIN for (int v = 0; v < kChains; ++v) store(a.out + x + v * kLanes, lookup(Q, z[v]));
  }
  MapSweep rest = a;
  rest.rows += whole;
  rest.sum += whole;
  rest.out += whole;
  rest.w -= whole;
  ops_portable().map_sweep(rest);
}

void restore_sweep(const RestoreSweep& a) {
  const std::size_t n = a.n, stride = a.stride;
  const std::size_t whole = a.w - a.w % kBlock;
  a.next->plan((n - 2) * (whole / kBlock));
  const Table P = load_table(a.pub);
  for (std::size_t x = 0; x < whole; x += kBlock) {
    uint8x16_t s[kChains], t[kChains], z0[kChains], zk[kChains];
    KV_EACH_CHAIN for (int v = 0; v < kChains; ++v) {
      s[v] = vdupq_n_u8(0);
      t[v] = load(a.inner + x + v * kLanes);
      z0[v] = load(a.steps + x + v * kLanes);
      zk[v] = load(a.steps + (n - 1) * stride + x + v * kLanes);
    }
    for (std::size_t row = n - 1; row >= 2; --row) {
      const u8* prev = a.steps + (row - 1) * stride + x;
      u8* out = a.steps + row * stride + x;
      a.next->step();
      KV_EACH_CHAIN for (int v = 0; v < kChains; ++v) {
        const uint8x16_t c = sub(add(add(zk[v], s[v]), lookup(P, t[v])), z0[v]);
        store(out + v * kLanes, c);
        s[v] = add(s[v], c);
        zk[v] = load(prev + v * kLanes);
        t[v] = sub(t[v], zk[v]);
      }
    }
    KV_EACH_CHAIN for (int v = 0; v < kChains; ++v) {  // zk now holds z_1
      const uint8x16_t c1 = sub(add(zk[v], s[v]), z0[v]);
      store(a.steps + stride + x + v * kLanes, c1);
      store(a.steps + x + v * kLanes, add(z0[v], lookup(P, add(s[v], c1))));
    }
  }
  RestoreSweep rest = a;
  rest.steps += whole;
  rest.inner += whole;
  rest.w -= whole;
  ops_portable().restore_sweep(rest);
}

// Rows leave the scratch as the portable back end's plain copies: this back
// end has no stores around the caches.
void store_row(u8* dst, const u8* src, std::size_t w, bool stream) {
  ops_portable().store_row(dst, src, w, stream);
}
void finish_stores() { ops_portable().finish_stores(); }

constexpr Ops kNeon = {"neon",    accumulate,    accumulate_prefix, lookup_accumulate,
                       map_sweep, restore_sweep, store_row,         finish_stores};

}  // namespace

// See kernels.hpp.
const Ops& ops_neon() { return kNeon; }

}  // namespace kelvora::mapping_kernels

#else

namespace kelvora::mapping_kernels {
const Ops& ops_neon() { fail_unbuilt("ops_neon"); }
}  // namespace kelvora::mapping_kernels

#endif
