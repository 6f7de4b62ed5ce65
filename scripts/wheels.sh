#!/usr/bin/env bash
# The release wheels for Linux and the sdist, built here into build/wheelhouse/:
# the sdist first, checked for build artefacts, then from it the manylinux
# (glibc 2.17) wheels for x86_64 and aarch64, both abi3 (cp39).
#
#   bash scripts/wheels.sh           build, check with auditwheel, then test: the x86_64
#                                    manylinux wheel runs the whole pytest suite in a fresh
#                                    venv, the aarch64 one in the emulated interpreter of
#                                    scripts/aarch64.sh (quick hypothesis profile)
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

# build_linux_wheel <zig target> <arch> <policy>: from the sdist, in a fresh build directory
build_linux_wheel() {
  local target=$1 arch=$2 policy=$3
  echo "== building the $policy wheel ($target)"
  zig_toolchain "$target" Linux "$arch"
  rm -rf "$ROOT/build/zig/$target"
  CMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" _PYTHON_HOST_PLATFORM="linux-$arch" \
    "$VENV/bin/python" -m pip wheel -q --no-deps --no-build-isolation -w "$RAW/$target" \
    -C build-dir="$ROOT/build/zig/$target" "$SDIST" >"$RAW/$target.log" 2>&1 || {
    cat "$RAW/$target.log"
    return 1
  }
  local wheel
  wheel=$(ls "$RAW/$target"/*.whl)
  "$TOOLS_VENV/bin/auditwheel" show "$wheel" >"$RAW/$target.show" 2>&1
  tr -s ' \n' ' ' <"$RAW/$target.show" | grep -q "consistent with the following platform tag: \"${policy}_$arch\"" || {
    echo "auditwheel does not find $wheel consistent with ${policy}_$arch:"
    cat "$RAW/$target.show"
    return 1
  }
  PATH="$TOOLS_VENV/bin:$PATH" auditwheel repair --plat auto -w "$OUT" "$wheel" >>"$RAW/$target.log" 2>&1 || { cat "$RAW/$target.log"; return 1; }
}

build_linux_wheel x86_64-linux-gnu.2.17 x86_64 manylinux_2_17
build_linux_wheel aarch64-linux-gnu.2.17 aarch64 manylinux_2_17

echo "== wheelhouse"
for wheel in "$OUT"/*.whl; do
  "$TOOLS_VENV/bin/auditwheel" show "$wheel" 2>/dev/null | tr -s ' \n' ' ' |
    sed -E 's/.*consistent with the following platform tag: "([^"]*)".*/\1/' |
    xargs printf "  %s: %s\n" "$(basename "$wheel")"
done
echo "  $(basename "$SDIST")"

[ "${1:-}" = build ] && exit 0

echo "== the manylinux x86_64 wheel in a fresh venv"
TEST_VENV="$ROOT/build/venv-manylinux"
rm -rf "$TEST_VENV"
python3 -m venv "$TEST_VENV"
WHEEL=$(ls "$OUT"/kelvora_core_py-*manylinux_2_17_x86_64.whl)
install_wheel "$TEST_VENV" numpy pytest hypothesis dask distributed
cd "$ROOT/build"
"$TEST_VENV/bin/python" -m pytest "$ROOT/tests" -q -p no:cacheprovider

echo "== the manylinux aarch64 wheel in the emulated interpreter"
TARGET_DIR="$ROOT/build/wheel-aarch64"
rm -rf "$TARGET_DIR"
"$VENV/bin/python" -m pip install -q --no-deps --target "$TARGET_DIR" \
  --platform manylinux_2_17_aarch64 --only-binary=:all: \
  "$(ls "$OUT"/kelvora_core_py-*manylinux_2_17_aarch64.whl)"
KELVORA_MODULE_DIR="$TARGET_DIR" KELVORA_HYPOTHESIS_PROFILE=quick \
  bash "$ROOT/scripts/aarch64.sh" python -m pytest "$ROOT/tests" -q -p no:cacheprovider
