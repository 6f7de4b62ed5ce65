#!/usr/bin/env bash
# The release wheels for Linux and the sdist, built here into build/wheelhouse/:
# the sdist first, checked for build artefacts, then from it the manylinux
# (glibc 2.17) wheels: for x86_64 and aarch64 the two stable-ABI wheels, cp39-abi3
# (arguments in a tuple, CPython 3.9) and cp310-abi3 (calls without an argument
# tuple, CPython 3.10 and later), and for x86_64 the cp313t wheel of the
# free-threaded CPython 3.13 (scripts/interpreters.sh provides it).
#
#   bash scripts/wheels.sh           build, check with auditwheel, then test: the x86_64
#                                    manylinux wheels run the whole pytest suite in fresh
#                                    venvs (the cp313t one with the quick hypothesis profile),
#                                    the aarch64 cp39-abi3 one the suites of the functions' results
#                                    in the emulated interpreter of scripts/aarch64.sh (quick
#                                    hypothesis profile)
#   bash scripts/wheels.sh build     build and check only
#
# zig (from PyPI) is the cross toolchain for every target: it links against
# the glibc or musl of the version named in the target, so the symbol
# versions stay old, and links its own C++ runtime statically, so the wheel
# needs nothing beyond the C library. auditwheel then confirms the tag and
# writes it into the wheel. musllinux wheels come from the hosted CI
# (cibuildwheel, pyproject.toml): zig links them against a libc named
# "libc.so", which auditwheel cannot resolve, and this machine has no musl
# Python to run them.
source "$(dirname "$0")/common.sh"
source "$ROOT/scripts/interpreters.sh"

OUT="$ROOT/build/wheelhouse"
RAW="$ROOT/build/wheels-raw"

ensure_tools_venv
# Built without build isolation: an isolated build environment would be
# filled with the target's wheels (cmake, ninja) that this machine cannot run.
"$VENV/bin/python" -m pip install -q "scikit-build-core>=0.10" build
rm -rf "$OUT" "$RAW"
mkdir -p "$OUT" "$RAW"

echo "== building the sdist"
# From a copy of the files git knows or would know (build/ and the like are
# ignored), so that the sdist need not walk this machine's build trees.
SRC="$RAW/source"
mkdir -p "$SRC"
(cd "$ROOT" && git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$SRC")
"$VENV/bin/python" -m build --sdist --no-isolation -o "$OUT" "$SRC" >"$RAW/sdist.log" 2>&1 || {
  cat "$RAW/sdist.log"
  exit 1
}
SDIST=$(ls "$OUT"/kelvora_core_py-*.tar.gz)
if tar -tzf "$SDIST" | grep -E '/build/|\.so$|\.o$|\.whl$|__pycache__|\.egg-info'; then
  echo "the sdist holds build artefacts (listed above)"
  exit 1
fi
# The wheels build from the sdist unpacked once, so that the wheels of one
# target and interpreter share a build directory: the second stable-ABI wheel
# recompiles the binding only.
tar -C "$RAW" -xzf "$SDIST"
SDIST_TREE=$(ls -d "$RAW"/kelvora_core_py-*/)
rm -rf "$ROOT/build/zig"

# build_linux_wheel <python> <zig target> <arch> <policy> [config settings...]: from the
# sdist, for the interpreter <python> runs
build_linux_wheel() {
  local python=$1 target=$2 arch=$3 policy=$4; shift 4
  local build="$target-$("$python" -c 'import sys; print(sys.implementation.cache_tag)')"
  local name="$build${*:+-${*//[^a-z0-9]/}}"
  echo "== building the $policy wheel ($target, $("$python" -c 'import platform, sysconfig; print("CPython", platform.python_version() + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')${*:+, $*})"
  zig_toolchain "$target" Linux "$arch"
  local setting args=()
  for setting in "$@"; do args+=(-C "$setting"); done
  # Programs for this machine's own architecture run here: CMake then asks the
  # interpreter for its headers and extension suffix, which it does not find
  # for a free-threaded interpreter on its own when cross compiling.
  [ "$arch" != "$(uname -m)" ] ||
    args+=(-C cmake.define.CMAKE_CROSSCOMPILING_EMULATOR=env -C cmake.define.CMAKE_POLICY_DEFAULT_CMP0190=NEW)
  CMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" _PYTHON_HOST_PLATFORM="linux-$arch" \
    "$python" -m pip wheel -q --no-deps --no-build-isolation -w "$RAW/$name" \
    -C build-dir="$ROOT/build/zig/$build" "${args[@]}" "$SDIST_TREE" >"$RAW/$name.log" 2>&1 || {
    cat "$RAW/$name.log"
    return 1
  }
  local wheel
  wheel=$(ls "$RAW/$name"/*.whl)
  "$TOOLS_VENV/bin/auditwheel" show "$wheel" >"$RAW/$name.show" 2>&1
  tr -s ' \n' ' ' <"$RAW/$name.show" | grep -q "consistent with the following platform tag: \"${policy}_$arch\"" || {
    echo "auditwheel does not find $wheel consistent with ${policy}_$arch:"
    cat "$RAW/$name.show"
    return 1
  }
  PATH="$TOOLS_VENV/bin:$PATH" auditwheel repair --plat auto -w "$OUT" "$wheel" >>"$RAW/$name.log" 2>&1 || { cat "$RAW/$name.log"; return 1; }
}

for arch in x86_64 aarch64; do
  build_linux_wheel "$VENV/bin/python" "$arch-linux-gnu.2.17" "$arch" manylinux_2_17
  build_linux_wheel "$VENV/bin/python" "$arch-linux-gnu.2.17" "$arch" manylinux_2_17 wheel.py-api=cp310
done
FREE_THREADED=""
if free_threaded_support; then
  ensure_ft313
  FREE_THREADED=$(ft313_venv)
  build_linux_wheel "$FREE_THREADED/bin/python" x86_64-linux-gnu.2.17 x86_64 manylinux_2_17
fi

echo "== wheelhouse"
for wheel in "$OUT"/*.whl; do
  "$TOOLS_VENV/bin/auditwheel" show "$wheel" 2>/dev/null | tr -s ' \n' ' ' |
    sed -E 's/.*consistent with the following platform tag: "([^"]*)".*/\1/' |
    xargs printf "  %s: %s\n" "$(basename "$wheel")"
done
echo "  $(basename "$SDIST")"

[ "${1:-}" = build ] && exit 0

# test_x86_64_wheel <tag> <python> [pip options]: the wheel of that tag in a fresh venv of <python>
test_x86_64_wheel() {
  local tag=$1 python=$2; shift 2
  echo "== the manylinux x86_64 $tag wheel in a fresh venv"
  local venv="$ROOT/build/venv-manylinux-$tag"
  rm -rf "$venv"
  "$python" -m venv "$venv"
  WHEEL=$(ls "$OUT"/kelvora_core_py-*-"$tag"-*manylinux_2_17_x86_64.whl)
  install_wheel "$venv" "$@"
  (cd "$ROOT/build" && "$venv/bin/python" -m pytest "$ROOT/tests" -q -p no:cacheprovider)
}

test_x86_64_wheel cp39-abi3 python3 numpy pytest hypothesis dask distributed
test_x86_64_wheel cp310-abi3 python3 numpy pytest hypothesis dask distributed
if [ -n "$FREE_THREADED" ]; then
  KELVORA_HYPOTHESIS_PROFILE=quick \
    test_x86_64_wheel cp313-cp313t "$FT313" "${FT313_TEST_PACKAGES[@]}"
fi

echo "== the manylinux aarch64 cp39-abi3 wheel in the emulated interpreter"
TARGET_DIR="$ROOT/build/wheel-aarch64"
rm -rf "$TARGET_DIR"
"$VENV/bin/python" -m pip install -q --no-deps --target "$TARGET_DIR" \
  --platform manylinux_2_17_aarch64 --only-binary=:all: \
  "$(ls "$OUT"/kelvora_core_py-*-cp39-abi3-*manylinux_2_17_aarch64.whl)"
# The suites of the functions' results (known answers, models, properties):
# the threads, processes, hostile inputs and leak checks, most of the time
# under emulation, run for aarch64 in scripts/aarch64.sh's whole suite and for
# this toolchain in the x86_64 wheels' above.
RESULTS=("$ROOT"/tests/test_{binding,blob,chunks,conditions,involute,keys,mapping}.py)
KELVORA_MODULE_DIR="$TARGET_DIR" KELVORA_HYPOTHESIS_PROFILE=quick \
  bash "$ROOT/scripts/aarch64.sh" python -m pytest -q -p no:cacheprovider \
  "${RESULTS[@]}"
