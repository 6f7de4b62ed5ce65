#!/usr/bin/env bash
# Builds the packet-reader fuzzer (libFuzzer under AddressSanitizer and
# UndefinedBehaviorSanitizer) with the newest clang it finds, installing
# Debian's clang and its fuzzer runtime when they are missing, and runs it for
# a bounded time.
#   scripts/fuzz.sh [seconds]      default 30
# The corpus grows in build/fuzz/corpus, seeded from core/fuzz/seeds; an input
# that fails is saved in build/fuzz/ and the script exits non-zero.
source "$(dirname "$0")/common.sh"

SECONDS_TO_RUN="${1:-30}"
BUILD="$ROOT/build/fuzz"
MIN_CLANG=16  # the harness needs C++23's <expected> over the system's libstdc++

# The newest clang++ on the PATH (clang++ or clang++-N) of at least MIN_CLANG.
find_clang() {
  local c major best="" best_major=0
  for c in $(compgen -c | grep -E '^clang\+\+(-[0-9]+)?$' | sort -u); do
    major=$("$c" -dumpversion 2>/dev/null | cut -d. -f1) || continue
    if [ "${major:-0}" -ge "$MIN_CLANG" ] && [ "$major" -gt "$best_major" ]; then
      best=$c best_major=$major
    fi
  done
  echo "$best"
}

# True when $CLANG links a libFuzzer program (its runtime is installed).
links_fuzzer() {
  echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' |
    "$CLANG" -x c++ -fsanitize=fuzzer - -o "$BUILD/link-probe" >/dev/null 2>&1
}

mkdir -p "$BUILD"
CLANG=$(find_clang)
if [ -z "$CLANG" ]; then
  apt_install /nonexistent clang-19
  CLANG=$(find_clang)
fi
if ! links_fuzzer; then
  apt_install /nonexistent "libclang-rt-$("$CLANG" -dumpversion | cut -d. -f1)-dev"
  links_fuzzer || { echo "fuzz: $CLANG cannot link libFuzzer programs" >&2; exit 1; }
fi
command -v cmake >/dev/null && command -v ninja >/dev/null || ensure_venv

echo "== building the packet fuzzer ($CLANG)"
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
