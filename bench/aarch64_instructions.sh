#!/usr/bin/env bash
# Instructions executed per unit of work by each aarch64 back end and its
# portable counterpart, counted under user-mode emulation (qemu-aarch64 with
# one instruction per translation block, every executed block logged). Time
# cannot be measured under emulation; instruction counts can, and noise does
# not move them. bench/README.md discusses the figures.
#
#   bash bench/aarch64_instructions.sh
#
# Each kernel runs twice, over `base` and 2 x `base` units, in a small driver
# linked against the aarch64 cross build of the core; the difference of the
# two counts divided by `base` is the cost of one unit, with start-up and
# process exit cancelled out.
source "$(dirname "$0")/../scripts/common.sh"

CORE="$ROOT/build/aarch64/cpp/core/libkelvora_core.a"
WORK="$ROOT/build/aarch64/instructions"
[ -e "$CORE" ] || bash "$ROOT/scripts/aarch64.sh" ctest -N >/dev/null
mkdir -p "$WORK"

cat >"$WORK/driver.cpp" <<'EOF'
// driver KERNEL COUNT: runs KERNEL over COUNT units of work.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "primitives/node_mac.hpp"
#include "primitives/sha256_x16.hpp"
#include "keys/chacha_x4.hpp"
#include "lookup/byte_lookup.hpp"
#include "mapping/kernels.hpp"

using namespace kelvora;

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const std::string k = argv[1];
  const std::size_t n = std::strtoull(argv[2], nullptr, 10);
  // Fixed-size buffers, and every choice made before the loops, so that only
  // the kernel's own work grows with n.
  constexpr std::size_t kBytes = 4096;
  std::vector<std::uint8_t> data(kBytes), out(kBytes);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = std::uint8_t(i * 131 + 7);
  const std::uint8_t* table = data.data() + 1024;
  std::uint32_t st[8] = {1, 2, 3, 4, 5, 6, 7, 8}, outer[8] = {8, 7, 6, 5, 4, 3, 2, 1};
  std::uint32_t m[7] = {1, 2, 3, 4, 5, 6, 7};
  std::uint64_t draws[2] = {};
  unsigned seen = 0;
  namespace mk = mapping_kernels;
  if (k == "sha256_portable" || k == "sha256_armv8") {  // unit: 64 blocks in one call
    const auto blocks = k == "sha256_armv8" ? sha256_blocks::blocks_armv8 : sha256_blocks::blocks_portable;
    for (std::size_t i = 0; i < n; ++i) blocks(st, data.data(), kBytes / 64);
    seen = st[0];
  } else if (k == "sha256_x16_armv8") {  // unit: sixteen blocks, one per lane
    sha256_x16::States s{};
    const std::uint8_t* block[16];
    for (int l = 0; l < 16; ++l) block[l] = data.data() + 64 * l;
    for (std::size_t i = 0; i < n; ++i) sha256_x16::compress_armv8(s, block);
    seen = s.h[0][5];
  } else if (k == "draw_portable") {  // unit: a node
    for (std::size_t i = 0; i < n; ++i) {
      m[0] = std::uint32_t(node_mac::draw_blocks(sha256_blocks::blocks_portable, st, outer, m));
    }
    seen = m[0];
  } else if (k == "draw_armv8") {
    for (std::size_t i = 0; i < n; ++i) m[0] = std::uint32_t(node_mac::draw_armv8(st, outer, m));
    seen = m[0];
  } else if (k == "draw2_armv8") {
    for (std::size_t i = 0; i < n; i += 2) {
      node_mac::draw2_armv8(st, outer, m, m, draws);
      m[0] = std::uint32_t(draws[0]);
    }
    seen = m[0];
  } else if (k == "lookup_portable" || k == "lookup_neon") {  // unit: kBytes bytes
    const auto lookup = k == "lookup_neon" ? byte_lookup::lookup_neon : byte_lookup::lookup_portable;
    for (std::size_t i = 0; i < n; ++i) lookup(table, data.data(), out.data(), kBytes);
    seen = out[7];
  } else if (k == "chacha_portable" || k == "chacha_neon") {  // unit: four 64-byte blocks
    const auto refill = k == "chacha_neon" ? chacha20_x4_neon : chacha20_x4_portable;
    ChaChaKey key{};
    ChaChaLanes lanes;
    for (std::size_t i = 0; i < n; ++i) {
      refill(key, 4 * i, 0, lanes);
      seen += lanes[3][1];
    }
  } else if (k == "map_portable" || k == "map_neon") {  // unit: 512 columns, 8 parties
    constexpr std::size_t w = kBytes / 8;  // rows c_0, e_1 .. e_7; the sums elsewhere
    mk::Prefetch none(nullptr, 0, 0, 0);
    const mk::MapSweep sweep{table, table + 256, 7, data.data(), w, out.data() + w, out.data(), w,
                             &none};
    const mk::Ops& ops = k == "map_neon" ? mk::ops_neon() : mk::ops_portable();
    for (std::size_t i = 0; i < n; ++i) ops.map_sweep(sweep);
    seen = out[7];
  } else {
    return 2;
  }
  std::printf("%u\n", seen);
}
EOF
aarch64-linux-gnu-g++ -O2 -std=c++23 -static -I "$ROOT/core/src" "$WORK/driver.cpp" "$CORE" \
  -lpthread -o "$WORK/driver"

executed() {  # executed KERNEL COUNT: instructions the driver executes
  QEMU_CPU=max qemu-aarch64 -one-insn-per-tb -d exec,nochain -D "$WORK/trace" \
    "$WORK/driver" "$1" "$2" >/dev/null 2>&1 ||
    QEMU_CPU=max qemu-aarch64 -singlestep -d exec,nochain -D "$WORK/trace" \
      "$WORK/driver" "$1" "$2" >/dev/null
  grep -c '^Trace' "$WORK/trace"
}

per_unit() {  # per_unit KERNEL BASE UNIT
  local one two
  one=$(executed "$1" "$2")
  two=$(executed "$1" $(($2 * 2)))
  printf '  %-18s %8.1f instructions per %s\n' "$1" "$(echo "($two - $one) / $2" | bc -l)" "$3"
}

echo "== instructions executed per unit (qemu-aarch64 -cpu max)"
for k in sha256_portable sha256_armv8; do per_unit $k 10 "64 blocks (4096 bytes, one call)"; done
per_unit sha256_x16_armv8 50 "16 blocks (one per lane)"
for k in draw_portable draw_armv8 draw2_armv8; do per_unit $k 200 "node (two blocks)"; done
for k in chacha_portable chacha_neon; do per_unit $k 100 "4 keystream blocks (256 bytes)"; done
for k in lookup_portable lookup_neon; do per_unit $k 20 "4096 bytes"; done
for k in map_portable map_neon; do per_unit $k 20 "512 columns of 8 parties (identity 7)"; done
rm -f "$WORK/trace"
