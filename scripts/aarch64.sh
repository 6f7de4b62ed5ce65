#!/usr/bin/env bash
# The project on aarch64, under user-mode emulation (qemu-aarch64), on an
# x86-64 Debian machine. Builds whatever is missing first.
#
#   bash scripts/aarch64.sh python ARGS...   python ARGS... in an emulated aarch64 CPython 3.11,
#                                            with the aarch64 build of the module, NumPy, pytest
#                                            and hypothesis importable
#   bash scripts/aarch64.sh ctest [ARGS...]  the C++ unit tests, built twice (with the vector back
#                                            ends, and with KELVORA_PORTABLE_ONLY), each run by ctest
#   bash scripts/aarch64.sh run PROGRAM ARGS...   any aarch64 program of the cross build under the
#                                            emulator (a single test or a benchmark binary)
#   bash scripts/aarch64.sh test             both suites, the Python one with the quick hypothesis
#                                            profile and without the leak checks (what
#                                            scripts/test.sh runs)
#
# KELVORA_QEMU_CPU names the emulated CPU (default: max, every extension qemu
# knows, so the ARMv8 SHA-2 and NEON back ends run). KELVORA_MODULE_DIR, when
# set, makes the Python tests import the module from that directory instead
# (an unpacked wheel, say); the aarch64 build is then not needed.
#
# Layout, all under build/aarch64/:
#   apt/, debs/    a private apt state for Debian's arm64 packages (the machine's own apt
#                  configuration is left alone)
#   sysroot/       CPython 3.11 and the libraries it needs, extracted from those packages
#   site/          NumPy, pytest and hypothesis from their aarch64 wheels
#   bin/python     the interpreter: a script that starts it under qemu-aarch64
#   cpp/           cross build (g++-aarch64-linux-gnu): the module in binding/, the C++ tests
#   cpp-portable/  the C++ tests again, every vector back end left out
source "$(dirname "$0")/common.sh"

HERE="$ROOT/build/aarch64"
SYSROOT="$HERE/sysroot"
SITE="$HERE/site"
PYTHON="$HERE/bin/python"
CROSS_LIBC=/usr/aarch64-linux-gnu  # the cross toolchain's C and C++ runtimes
export QEMU_CPU="${KELVORA_QEMU_CPU:-max}"

ensure_tools() {
  apt_install /usr/bin/aarch64-linux-gnu-g++ g++-aarch64-linux-gnu
  apt_install /usr/bin/qemu-aarch64 qemu-user
  apt_install /usr/src/googletest/CMakeLists.txt libgtest-dev
  command -v cmake >/dev/null && command -v ninja >/dev/null || ensure_venv
}

# CPython and its libraries from Debian's arm64 packages, dependencies
# resolved by apt against an empty package database of its own.
ensure_sysroot() {
  [ -x "$SYSROOT/usr/bin/python3.11" ] && return 0
  echo "== fetching Debian's arm64 CPython into $SYSROOT"
  rm -rf "$HERE/apt" "$HERE/debs" "$SYSROOT"
  mkdir -p "$HERE/apt/lists/partial" "$HERE/debs/partial" "$SYSROOT"
  touch "$HERE/apt/status"
  local opts=(-o "Dir::State::Lists=$HERE/apt/lists" -o "Dir::State::status=$HERE/apt/status"
    -o "Dir::Cache=$HERE/apt" -o "Dir::Cache::archives=$HERE/debs"
    -o APT::Architecture=arm64 -o APT::Architectures::=arm64
    -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
  apt-get "${opts[@]}" update -qq
  apt-get "${opts[@]}" install --download-only --no-install-recommends -y -qq \
    python3.11-minimal libpython3.11-stdlib libstdc++6 >/dev/null
  local deb
  for deb in "$HERE"/debs/*.deb; do dpkg-deb -x "$deb" "$SYSROOT"; done
}

ensure_site() {
  [ -e "$SITE/.complete" ] && return 0
  echo "== fetching NumPy, pytest and hypothesis wheels for aarch64"
  ensure_venv
  rm -rf "$SITE"
  "$VENV/bin/python" -m pip install -q --target "$SITE" --only-binary=:all: \
    --platform manylinux2014_aarch64 --platform manylinux_2_28_aarch64 \
    --python-version 3.11 --implementation cp "numpy>=2" pytest hypothesis
  touch "$SITE/.complete"
}

# The interpreter as a program of this machine: subprocesses started with
# sys.executable (spawned workers, fresh interpreters) come back through it.
# The caller's PYTHONPATH goes first, so a module it points at wins.
write_python() {
  mkdir -p "$HERE/bin"
  cat >"$PYTHON" <<EOF
#!/bin/sh
PYTHONPATH="\${PYTHONPATH:+\$PYTHONPATH:}$HERE/cpp/binding:$SITE"
export PYTHONPATH
exec qemu-aarch64 -L "$SYSROOT" -0 "\$0" "$SYSROOT/usr/bin/python3.11" "\$@"
EOF
  chmod +x "$PYTHON"
}

configure() {  # configure <build dir> [cmake options...]
  local dir=$1; shift
  write_toolchain "$HERE/toolchain.cmake" Linux aarch64 aarch64-linux-gnu-gcc aarch64-linux-gnu-g++ \
    qemu-aarch64 -L "$CROSS_LIBC"
  [ -e "$dir/build.ninja" ] && return 0
  ensure_venv
  cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$HERE/toolchain.cmake" -DKELVORA_BUILD_TESTS=ON \
    -DKELVORA_GTEST_SOURCE_DIR=/usr/src/googletest -Wno-deprecated "$@" >/dev/null
}

# The module is built against the limited API, whose headers are the same on
# every 64-bit Linux: this machine's serve.
configure_module_build() {
  ensure_venv
  configure "$HERE/cpp" -DKELVORA_BUILD_MODULE=ON -DPython_EXECUTABLE="$VENV/bin/python" \
    -DPython_INCLUDE_DIR="$("$VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_path("include"))')"
}

build_module() {
  configure_module_build
  build_quietly "$HERE/cpp" --target kelvora_core_py
}

ensure_python() {
  ensure_tools
  ensure_sysroot
  ensure_site
  write_python
  [ -n "${KELVORA_MODULE_DIR:-}" ] || build_module
}

cpp_tests() {  # cpp_tests <build dir> <label> [ctest args...]
  local dir=$1 label=$2; shift 2
  echo "== C++ unit tests on aarch64 ($label, qemu -cpu $QEMU_CPU)"
  build_quietly "$dir"
  show_all_if_failing ctest --test-dir "$dir" --output-on-failure --timeout 600 -j 2 "$@"
}

cmd=${1:-test}
[ $# -gt 0 ] && shift
case "$cmd" in
  python)
    ensure_python
    exec "$PYTHON" "$@"
    ;;
  run)
    ensure_tools
    exec qemu-aarch64 -L "$CROSS_LIBC" "$@"
    ;;
  ctest)
    ensure_tools
    configure_module_build
    configure "$HERE/cpp-portable" -DKELVORA_PORTABLE_ONLY=ON
    cpp_tests "$HERE/cpp" "vector back ends" "$@"
    cpp_tests "$HERE/cpp-portable" "portable only" "$@"
    ;;
  test)
    bash "$0" ctest
    ensure_python
    echo "== Python tests on aarch64 (emulated CPython $("$PYTHON" -c 'import platform; print(platform.python_version(), platform.machine())'))"
    cd "$ROOT/build"  # import the built module, not anything in the source tree
    # The leak checks, thousands of calls per case and most of the suite's time
    # under emulation, stay out: the calls' allocations are the same C++ code's
    # as on x86_64, where every Python stage runs them.
    KELVORA_HYPOTHESIS_PROFILE="${KELVORA_HYPOTHESIS_PROFILE:-quick}" \
      "$PYTHON" -m pytest "$ROOT/tests" -q -p no:cacheprovider --ignore="$ROOT/tests/test_leaks.py"
    ;;
  *)
    echo "usage: bash scripts/aarch64.sh python ARGS... | ctest [ARGS...] | run PROGRAM ARGS... | test" >&2
    exit 2
    ;;
esac
