#!/usr/bin/env bash
# Runs every test: installs what is missing, builds, then runs
#   1. the C++ unit tests (ctest),
#   2. the Python suites (pytest) against the installed wheel with NumPy 2,
#   3. the Python suites again with NumPy 1.26 (the other capsule path),
#   4. the C++ tests and Python suites under AddressSanitizer and UBSan,
#   5. the worker pool's and stop tokens' C++ tests under ThreadSanitizer,
#   6. mypy --strict over the examples and a typing check, abi3audit over the wheel,
#   7. the packet-reader fuzzer for a bounded time,
#   8. aarch64 under emulation: the C++ tests (vector back ends in, and all left
#      out) and the Python suites (scripts/aarch64.sh),
#   9. the release wheels: sdist, manylinux x86_64 and aarch64 wheels, each run
#      through the Python suites (scripts/wheels.sh),
#  10. the Windows and macOS cross builds, the Windows C++ tests under wine
#      (scripts/cross.sh).
# Stops at the first failure; one exit code. Each stage's time is printed.
source "$(dirname "$0")/common.sh"

STAGE_START=$SECONDS
stage_done() {  # stage_done <name>: how long the stage since the last one took
  echo "-- $1: $((SECONDS - STAGE_START)) s"
  STAGE_START=$SECONDS
}

apt_install /usr/include/gtest/gtest.h libgtest-dev
ensure_venv
build_wheel
# Dask and distributed run examples/scale_out.py and its test only.
install_wheel "$VENV" "numpy>=2" pytest hypothesis mypy abi3audit dask distributed
PYTEST=(-m pytest "$ROOT/tests" -q -p no:cacheprovider)
stage_done "build and install"

echo "== C++ unit tests"
cmake -S "$ROOT" -B "$ROOT/build/cpp" -G Ninja -DKELVORA_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$ROOT/build/cpp" -j "$(nproc)"
show_all_if_failing ctest --test-dir "$ROOT/build/cpp" --output-on-failure -j "$(nproc)"

cd "$ROOT/build"  # import the installed module, not anything in the source tree
stage_done "C++ unit tests"

echo "== Python tests (NumPy 2)"
"$VENV/bin/python" "${PYTEST[@]}"
stage_done "Python tests (NumPy 2)"

echo "== Python tests (NumPy 1.26)"
NP1="$ROOT/build/venv-numpy1"
[ -x "$NP1/bin/python" ] || python3 -m venv "$NP1"
install_wheel "$NP1" "numpy==1.26.*" pytest hypothesis dask distributed
"$NP1/bin/python" "${PYTEST[@]}"
stage_done "Python tests (NumPy 1.26)"

echo "== sanitizers (AddressSanitizer, UndefinedBehaviorSanitizer)"
ASAN_BUILD="$ROOT/build/asan"
cmake -S "$ROOT" -B "$ASAN_BUILD" -G Ninja -DKELVORA_BUILD_TESTS=ON -DKELVORA_BUILD_MODULE=ON \
  -DKELVORA_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null
cmake --build "$ASAN_BUILD" -j "$(nproc)"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
show_all_if_failing env ASAN_OPTIONS=detect_leaks=1 \
  ctest --test-dir "$ASAN_BUILD" --output-on-failure -j "$(nproc)"
# The interpreter keeps its own objects alive at exit by design, so leak
# detection stays off for the Python run; leaks of this module are caught by
# the C++ tests above and by tests/test_leaks.py. The sanitizer runtime must
# come first in the process; libstdc++ is preloaded beside it so that its
# exception interceptors find the real __cxa_throw.
ASAN_OPTIONS=detect_leaks=0 \
  LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so.6)" \
  KELVORA_MODULE_DIR="$ASAN_BUILD/binding" KELVORA_HYPOTHESIS_PROFILE=quick \
  "$VENV/bin/python" "${PYTEST[@]}"
stage_done "sanitizers"

echo "== ThreadSanitizer (the worker pool and its stop tokens)"
TSAN_BUILD="$ROOT/build/tsan"
cmake -S "$ROOT" -B "$TSAN_BUILD" -G Ninja -DKELVORA_BUILD_TESTS=ON -DKELVORA_SANITIZE_THREAD=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$TSAN_BUILD" -j "$(nproc)" --target pool_test stop_test
# ThreadSanitizer cannot follow a fork of a process that runs threads: the fork tests stay out.
show_all_if_failing env TSAN_OPTIONS=halt_on_error=1 \
  "$TSAN_BUILD/core/tests/pool_test" --gtest_filter='-*Fork*'
show_all_if_failing env TSAN_OPTIONS=halt_on_error=1 "$TSAN_BUILD/core/tests/stop_test"
stage_done "ThreadSanitizer"

echo "== typing and wheel checks"
"$VENV/bin/mypy" --config-file "$ROOT/pyproject.toml" --strict "$ROOT/examples" \
  "$ROOT/tests/typing_check.py"
"$VENV/bin/abi3audit" --strict --report "$WHEEL"
stage_done "typing and wheel checks"

echo "== fuzzing the packet readers"
bash "$ROOT/scripts/fuzz.sh" 30
stage_done "fuzzing"

bash "$ROOT/scripts/aarch64.sh" test
stage_done "aarch64 under emulation"
bash "$ROOT/scripts/wheels.sh"
stage_done "release wheels"
bash "$ROOT/scripts/cross.sh"
stage_done "Windows and macOS cross builds"
