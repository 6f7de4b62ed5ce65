#!/usr/bin/env bash
# Builds the packet-reader fuzzer (libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer, clang from Debian) and runs it for a bounded time.
#   scripts/fuzz.sh [seconds]      default 30
# The corpus grows in build/fuzz/corpus, seeded from core/fuzz/seeds; an input
# that fails is saved in build/fuzz/ and the script exits non-zero.
source "$(dirname "$0")/common.sh"

SECONDS_TO_RUN="${1:-30}"
CLANG=clang++-19
BUILD="$ROOT/build/fuzz"

apt_install "/usr/bin/$CLANG" clang-19
apt_install /usr/lib/llvm-19/lib/clang/19/lib/linux/libclang_rt.fuzzer-x86_64.a libclang-rt-19-dev
command -v cmake >/dev/null && command -v ninja >/dev/null || ensure_venv

echo "== building the packet fuzzer"
cmake -S "$ROOT/core/fuzz" -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER="$CLANG" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" >/dev/null

echo "== fuzzing the packet readers for ${SECONDS_TO_RUN} s"
mkdir -p "$BUILD/corpus"
"$BUILD/packet_fuzz" -max_total_time="$SECONDS_TO_RUN" -timeout=10 -rss_limit_mb=2048 \
  -max_len=4096 -print_final_stats=1 -artifact_prefix="$BUILD/" \
  "$BUILD/corpus" "$ROOT/core/fuzz/seeds" 2>"$BUILD/last_run.log" || {
  tail -n 60 "$BUILD/last_run.log"
  exit 1
}
grep -E '^(Done|stat::number_of_executed_units|stat::new_units_added)' "$BUILD/last_run.log"
echo "fuzz: no failing input"
