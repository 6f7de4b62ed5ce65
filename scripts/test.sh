#!/usr/bin/env bash
# Runs every test: installs what is missing, builds, runs the C++ unit tests
# (ctest) and then the Python suites (pytest). One exit code.
source "$(dirname "$0")/common.sh"

apt_install /usr/include/gtest/gtest.h libgtest-dev
ensure_venv
install_module

echo "== C++ unit tests"
cmake -S "$ROOT" -B "$ROOT/build/cpp" -G Ninja -DKELVORA_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$ROOT/build/cpp" -j "$(nproc)"
ctest --test-dir "$ROOT/build/cpp" --output-on-failure -j "$(nproc)"

echo "== Python tests"
cd "$ROOT/build"  # import the installed module, not anything in the source tree
"$VENV/bin/python" -m pytest "$ROOT/tests" -q -p no:cacheprovider
