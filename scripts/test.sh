#!/usr/bin/env bash
# The test command, in stages. Installs what a stage needs when it is missing.
#
#   bash scripts/test.sh                the quick default: build, cpp, python
#   bash scripts/test.sh --all          every stage, in the order --list shows
#   bash scripts/test.sh STAGE...       the stages named, with the stages they need
#   bash scripts/test.sh --list         the stages, one line each
#
# Each stage's output goes to build/logs/STAGE.log: a stage that passes shows
# its headings and its test runners' summaries, one that fails shows all of
# it. Every stage runs even when an earlier one failed, except those that
# need a failed one. Each stage prints its time, the end a table of them all;
# one exit code, non-zero when any stage failed.
source "$(dirname "$0")/common.sh"
source "$ROOT/scripts/interpreters.sh"

STAGES=() QUICK=(build cpp python)
declare -A DESCRIPTION NEEDS
stage() {  # stage <name> <needs> <description>
  STAGES+=("$1")
  NEEDS[$1]=$2
  DESCRIPTION[$1]=$3
}
stage build "" "the cp39-abi3 wheel, installed into build/venv with NumPy 2 and the test tools"
stage cpp "" "the C++ unit tests (ctest)"
stage python build "the Python suites against the installed wheel, NumPy 2"
stage numpy1 build "the Python suites with NumPy 1.26, the oldest supported (its other capsule path)"
stage sanitizers build "the C++ tests and the Python suites under AddressSanitizer and UBSan"
stage tsan "" "the worker pool's and stop tokens' C++ tests under ThreadSanitizer"
stage checks build "mypy --strict over the examples and the typing check, abi3audit over the wheel"
stage fuzz "" "the packet-reader fuzzer for 30 s (scripts/fuzz.sh)"
stage interpreters "" "CPython 3.14, 3.15 and free-threaded 3.13 into the cache (scripts/interpreters.sh)"
stage py314 build "the Python suites on CPython 3.14 with the cp39-abi3 wheel"
stage py315 build "the Python suites on CPython 3.15 with the cp39-abi3 wheel, deprecations as errors"
stage freethreaded "" "the Python suites on free-threaded CPython 3.13, the module built with it"
stage cp310 "" "the cp310-abi3 wheel (calls without an argument tuple), audited, the Python suites with it"
stage aarch64 "" "aarch64 under emulation: the C++ tests and the Python suites (scripts/aarch64.sh)"
stage wheels "" "the sdist and the release wheels, each tested (scripts/wheels.sh)"
stage cross "" "the Windows and macOS cross builds, the Windows C++ tests under wine (scripts/cross.sh)"

PYTEST=(-m pytest "$ROOT/tests" -q -p no:cacheprovider)

# compiler_cache: compilations through ccache, whose cache outside the clone
# serves every build tree: the core, which has no Python in it, compiles once
# for the wheel, the C++ tests, the cp310-abi3 wheel and the free-threaded build.
# (CMake takes the launcher when it configures a build tree for the first time.)
compiler_cache() {
  apt_install /usr/bin/ccache ccache
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
}

stage_build() {
  ensure_venv
  compiler_cache
  build_wheel
  # Dask and distributed run examples/scale_out.py and its test only.
  install_wheel "$VENV" "numpy>=2" pytest hypothesis mypy abi3audit dask distributed
}

# configure_tests <build dir> [cmake options...]: a Ninja build of the C++ tests
configure_tests() {
  local dir=$1; shift
  apt_install /usr/include/gtest/gtest.h libgtest-dev
  ensure_venv
  cmake -S "$ROOT" -B "$dir" -G Ninja -DKELVORA_BUILD_TESTS=ON "$@" >/dev/null
}

stage_cpp() {
  echo "== C++ unit tests"
  compiler_cache
  configure_tests "$ROOT/build/cpp" -DCMAKE_BUILD_TYPE=Release
  build_quietly "$ROOT/build/cpp"
  show_all_if_failing ctest --test-dir "$ROOT/build/cpp" --output-on-failure -j 2
}

stage_python() {
  cd "$ROOT/build"  # import the installed module, not anything in the source tree
  "$VENV/bin/python" "${PYTEST[@]}"
}

stage_numpy1() {
  local venv="$ROOT/build/venv-numpy1"
  [ -x "$venv/bin/python" ] || python3 -m venv "$venv"
  built_wheel
  install_wheel "$venv" "numpy==1.26.*" pytest hypothesis dask distributed
  cd "$ROOT/build"
  "$venv/bin/python" "${PYTEST[@]}"
}

stage_sanitizers() {
  local dir="$ROOT/build/asan"
  configure_tests "$dir" -DKELVORA_BUILD_MODULE=ON -DKELVORA_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$VENV/bin/python"
  build_quietly "$dir"
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  echo "== C++ unit tests"
  show_all_if_failing env ASAN_OPTIONS=detect_leaks=1 ctest --test-dir "$dir" --output-on-failure -j 2
  # The interpreter keeps its own objects alive at exit by design, so leak
  # detection stays off for the Python run; leaks of this module are caught by
  # the C++ tests above and by tests/test_leaks.py. The sanitizer runtime must
  # come first in the process; libstdc++ is preloaded beside it so that its
  # exception interceptors find the real __cxa_throw.
  echo "== Python suites (quick hypothesis profile)"
  cd "$ROOT/build"
  ASAN_OPTIONS=detect_leaks=0 \
    LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so.6)" \
    KELVORA_MODULE_DIR="$dir/binding" KELVORA_HYPOTHESIS_PROFILE=quick \
    "$VENV/bin/python" "${PYTEST[@]}"
}

stage_tsan() {
  local dir="$ROOT/build/tsan"
  configure_tests "$dir" -DKELVORA_SANITIZE_THREAD=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
  build_quietly "$dir" --target pool_test stop_test
  # ThreadSanitizer cannot follow a fork of a process that runs threads: the fork tests stay out.
  echo "== pool_test, stop_test"
  show_all_if_failing env TSAN_OPTIONS=halt_on_error=1 "$dir/core/tests/pool_test" --gtest_filter='-*Fork*'
  show_all_if_failing env TSAN_OPTIONS=halt_on_error=1 "$dir/core/tests/stop_test"
}

stage_checks() {
  built_wheel
  echo "== mypy --strict"
  "$VENV/bin/mypy" --config-file "$ROOT/pyproject.toml" --strict "$ROOT/examples" \
    "$ROOT/tests/typing_check.py"
  echo "== abi3audit $(basename "$WHEEL")"
  "$VENV/bin/abi3audit" --strict --report "$WHEEL"
}

stage_fuzz() { bash "$ROOT/scripts/fuzz.sh" 30; }

stage_interpreters() {
  ensure_sid
  ensure_ft313
  print_paths | sed 's/^/  /'
}

stage_py314() { newer_cpython 3.14; }
stage_py315() {
  # The newest NumPy runs here: what it or the interpreter deprecates fails the
  # suite before it is removed. The fork tests fork a process with threads on
  # purpose (the module's own pool among them), which the interpreter warns of.
  newer_cpython 3.15 -W error::DeprecationWarning \
    -W "ignore:This process (pid=:DeprecationWarning"
}

stage_freethreaded() {
  free_threaded_support || return 0
  ensure_ft313
  local venv
  venv=$(ft313_venv)
  compiler_cache
  echo "== building the module with $FT313"
  pip_wheel "$venv/bin/python" "$ROOT/build/wheel-3.13t" --no-build-isolation \
    -C build-dir="$ROOT/build/cp313t"
  WHEEL=$(ls "$ROOT"/build/wheel-3.13t/kelvora_core_py-*.whl)
  install_wheel "$venv"
  echo "== Python suites on $("$venv/bin/python" -VV | head -n 1)"
  cd "$ROOT/build"
  "$venv/bin/python" "${PYTEST[@]}"
  # The interpreter runs without its lock after the module is imported and used.
  "$venv/bin/python" -c 'import sys, kelvora_core_py; assert not sys._is_gil_enabled(), "the interpreter lock came back"'
}

stage_cp310() {
  ensure_venv
  compiler_cache
  echo "== building the cp310-abi3 wheel"
  pip_wheel "$VENV/bin/python" "$ROOT/build/wheel-cp310" \
    -C wheel.py-api=cp310 -C build-dir="$ROOT/build/cp310-abi3"
  WHEEL=$(ls "$ROOT"/build/wheel-cp310/kelvora_core_py-*-cp310-abi3-*.whl)
  "$VENV/bin/python" -m pip install -q abi3audit
  "$VENV/bin/abi3audit" --strict --report "$WHEEL"
  local venv="$ROOT/build/venv-cp310"
  [ -x "$venv/bin/python" ] || python3 -m venv "$venv"
  install_wheel "$venv" "numpy>=2" pytest hypothesis dask distributed
  echo "== Python suites with $(basename "$WHEEL")"
  cd "$ROOT/build"
  "$venv/bin/python" "${PYTEST[@]}"
}

stage_aarch64() { bash "$ROOT/scripts/aarch64.sh" test; }
stage_wheels() { bash "$ROOT/scripts/wheels.sh"; }
stage_cross() { bash "$ROOT/scripts/cross.sh"; }

# newer_cpython <version> [pytest options...]: the cp39-abi3 wheel in a venv of
# Debian's interpreter from the cache.
newer_cpython() {
  local version=$1; shift
  ensure_sid
  local venv
  venv=$(sid_venv "$version")
  built_wheel
  install_wheel "$venv" "numpy>=2" pytest hypothesis dask distributed
  echo "== Python suites on $("$venv/bin/python" -VV | head -n 1)"
  cd "$ROOT/build"
  sid_embedding_env
  "$venv/bin/python" "${PYTEST[@]}" "$@"
}

# --- running the stages

LOGS="$ROOT/build/logs"
declare -A RESULT TIME

# The lines of a passing stage's log worth showing: headings, the test
# runners' summaries, and the lines a script indents under a heading.
summary() {
  grep -E '^(== |  [^ ])|^[0-9]+ (passed|failed|skipped|deselected|xfailed|warnings?|errors?)|tests passed|^fuzz:' "$1" || true
}

run_stage() {
  local name=$1 need start=$SECONDS status=0
  for need in ${NEEDS[$name]}; do
    if [ "${RESULT[$need]:-}" != passed ]; then
      echo "== $name: not run, it needs $need, which ${RESULT[$need]:-was not run}"
      RESULT[$name]="not run" TIME[$name]=0
      return
    fi
  done
  echo "== $name: ${DESCRIPTION[$name]}"
  mkdir -p "$LOGS"
  # A process of its own: a failing command ends the stage (errexit does not
  # act in a subshell whose status is tested), and its cd and exports stay in it.
  bash "$0" --in-stage "$name" >"$LOGS/$name.log" 2>&1 || status=$?
  TIME[$name]=$((SECONDS - start))
  if [ "$status" = 0 ]; then
    RESULT[$name]=passed
    summary "$LOGS/$name.log" | sed 's/^/  /'
  else
    RESULT[$name]="failed"
    cat "$LOGS/$name.log"
  fi
  echo "-- $name: ${RESULT[$name]} in ${TIME[$name]} s"
}

list_stages() {
  local name
  for name in "${STAGES[@]}"; do printf '%-13s %s\n' "$name" "${DESCRIPTION[$name]}"; done
  echo "The default runs: ${QUICK[*]}"
}

# with_needs <name>...: the stages named and those they need, in the listed order.
with_needs() {
  local -A wanted=()
  local name need changed=1
  for name in "$@"; do wanted[$name]=1; done
  while [ $changed = 1 ]; do
    changed=0
    for name in "${!wanted[@]}"; do
      for need in ${NEEDS[$name]}; do
        [ -n "${wanted[$need]:-}" ] || { wanted[$need]=1; changed=1; }
      done
    done
  done
  for name in "${STAGES[@]}"; do [ -z "${wanted[$name]:-}" ] || echo "$name"; done
}

case "${1:-}" in
  --in-stage) cd "$ROOT" && "stage_$2"; exit ;;
  --list) list_stages; exit 0 ;;
  --all) RUN=("${STAGES[@]}") ;;
  -h|--help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  "") RUN=("${QUICK[@]}") ;;
  -*) echo "unknown option $1 (bash scripts/test.sh --help)" >&2; exit 2 ;;
  *)
    for name in "$@"; do
      [ -n "${DESCRIPTION[$name]:-}" ] || { echo "no stage named '$name' (bash scripts/test.sh --list)" >&2; exit 2; }
    done
    mapfile -t RUN < <(with_needs "$@")
    ;;
esac

START=$SECONDS
for name in "${RUN[@]}"; do run_stage "$name"; done

echo "== stage times"
failed=0
for name in "${RUN[@]}"; do
  printf '  %-13s %5d s  %s\n' "$name" "${TIME[$name]}" "${RESULT[$name]}"
  [ "${RESULT[$name]}" = passed ] || failed=1
done
printf '  %-13s %5d s\n' total $((SECONDS - START))
exit $failed
