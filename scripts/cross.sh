#!/usr/bin/env bash
# Builds for the platforms this machine cannot run natively, so that they do
# not rot between releases:
#   Windows x86_64: the core and its C++ tests with MinGW-w64 (Debian's
#     g++-mingw-w64-x86-64-posix), the tests run under wine; the module
#     compiled and linked against the stable ABI (python3.dll, through an
#     import library made from the C-API functions the module uses).
#   macOS arm64 and x86_64: the core and the module with zig's clang, the
#     module linked as CPython links extension modules there (symbols of the
#     interpreter resolved at load time).
#
#   bash scripts/cross.sh [windows | macos]     default: both
#
# Native builds on these systems (MSVC, Apple clang) and their test runs are
# the hosted CI's (.github/workflows/wheels.yml).
source "$(dirname "$0")/common.sh"

HERE="$ROOT/build/cross"
PY_INCLUDE=""

python_include() {  # this machine's CPython headers, for the limited API
  ensure_venv
  PY_INCLUDE="$("$VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_path("include"))')"
}

windows() {
  apt_install /usr/bin/x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64-posix
  apt_install /usr/bin/wine wine64 wine
  apt_install /usr/src/googletest/CMakeLists.txt libgtest-dev
  python_include
  local dir="$HERE/windows" py="$HERE/windows-python"
  write_toolchain "$HERE/mingw.cmake" Windows AMD64 x86_64-w64-mingw32-gcc-posix \
    x86_64-w64-mingw32-g++-posix wine

  # This machine's limited-API headers with a Windows pyconfig.h. The import
  # library for python3.dll is made below, once the module's objects name the
  # functions they call; until then an empty one lets CMake configure.
  rm -rf "$py/include" && mkdir -p "$py/libs"
  cp -r "$PY_INCLUDE" "$py/include"
  cp "$ROOT/scripts/cross/pyconfig-windows.h" "$py/include/pyconfig.h"
  # CMake takes the import library for a static CPython and adds this
  # machine's link flags for one (-ldl): an empty libdl answers them.
  x86_64-w64-mingw32-ar rc "$py/libs/libdl.a"
  [ -e "$py/libs/libpython3.dll.a" ] ||
    printf 'LIBRARY python3.dll\nEXPORTS\n' | x86_64-w64-mingw32-dlltool -d /dev/stdin -l "$py/libs/libpython3.dll.a"

  echo "== Windows x86_64 (MinGW-w64): core, C++ tests, module"
  if [ ! -e "$dir/build.ninja" ]; then
    cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -Wno-deprecated \
      -DCMAKE_TOOLCHAIN_FILE="$HERE/mingw.cmake" -DKELVORA_BUILD_TESTS=ON \
      -DKELVORA_GTEST_SOURCE_DIR=/usr/src/googletest -DKELVORA_BUILD_MODULE=ON \
      -DPython_EXECUTABLE="$VENV/bin/python" -DPython_INCLUDE_DIR="$py/include" \
      -DPython_SABI_LIBRARY="$py/libs/libpython3.dll.a" -DPython_SOSABI="" \
      -DCMAKE_MODULE_LINKER_FLAGS="-L$py/libs" >/dev/null
  fi
  build_quietly "$dir" --target kelvora_core
  windows_module "$dir" "$py"

  echo "== C++ unit tests under wine"
  export WINEPREFIX="$HERE/wineprefix" WINEDEBUG=-all
  wineboot --init >/dev/null 2>&1  # set the prefix up once, before tests run side by side
  build_quietly "$dir"
  # Now and then a test process dies under wine before main() (no output, a
  # hundredth of a second): a failed test runs once more. The same tests run
  # natively, once each, in the cpp stage.
  show_all_if_failing ctest --test-dir "$dir" --output-on-failure --timeout 600 -j 2 \
    --repeat until-pass:2
}

# windows_module <build dir> <python dir>: the module's objects, an import
# library for python3.dll with exactly the C-API symbols they use (data
# symbols marked as such), then the link. The module must import from
# python3.dll and system DLLs only, and export PyInit_kelvora_core_py alone.
windows_module() {
  local dir=$1 py=$2 objects
  objects=$(cd "$dir" && ninja -t targets all | sed -n 's|^\(binding/CMakeFiles/kelvora_core_py.dir/[^:]*\.obj\):.*|\1|p')
  (cd "$dir" && ninja $objects >"$dir/build.log" 2>&1) || { cat "$dir/build.log"; return 1; }
  {
    echo "LIBRARY python3.dll"
    echo "EXPORTS"
    (cd "$dir" && x86_64-w64-mingw32-nm -u $objects) | sed -n 's/^ *U __imp_\(_*Py[A-Za-z0-9_]*\)$/\1/p' | sort -u |
      sed -E 's/^(PyExc_.*|_Py_.*Struct|_Py_EllipsisObject|Py.*_Type)$/\1 DATA/'
  } >"$py/libs/python3.def"
  x86_64-w64-mingw32-dlltool -d "$py/libs/python3.def" -l "$py/libs/libpython3.dll.a"
  build_quietly "$dir" --target kelvora_core_py
  local pyd
  pyd=$(ls "$dir"/binding/kelvora_core_py*.pyd)
  x86_64-w64-mingw32-objdump -p "$pyd" >"$dir/module.dump"
  local dlls exports
  dlls=$(sed -n 's/^\tDLL Name: //p' "$dir/module.dump" | sort | tr '\n' ' ')
  exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' "$dir/module.dump" | sed -n 's/^\t\[ *[0-9]*\] //p' | tr '\n' ' ')
  echo "  $(basename "$pyd"): $(grep -c ' DATA' "$py/libs/python3.def") data and $(grep -vc ' DATA\|^LIBRARY\|^EXPORTS' "$py/libs/python3.def") function symbols from python3.dll; imports: $dlls; exports: $exports"
  if echo "$dlls" | tr ' ' '\n' | grep -v -i -E '^(python3|kernel32|msvcrt|bcrypt|advapi32|ucrtbase|api-ms-win-.*)\.dll$' | grep .; then
    echo "the module needs the DLLs listed above"
    return 1
  fi
  [ "$exports" = "PyInit_kelvora_core_py " ] || { echo "the module exports: $exports"; return 1; }
}

# macos_target <arch> <zig target>: the core and the module (a dylib here,
# see zig_toolchain, where Apple's ld makes a bundle). The module
# must leave the interpreter's symbols to the loader, need nothing beyond the
# system library and export PyInit_kelvora_core_py alone. zig's linker also
# exports its C++ runtime's operator new and delete (Apple's ld honours the
# exported-symbols list fully), and the dylib its header symbols: those are
# not counted.
macos_target() {
  local arch=$1 target=$2 dir="$HERE/macos-$1" llvm=/usr/lib/llvm-19/bin
  apt_install "$llvm/llvm-nm" llvm-19
  ensure_tools_venv
  python_include
  zig_toolchain "$target" Darwin "$arch"
  echo "== macOS $arch (zig's clang): core, module"
  if [ ! -e "$dir/build.ninja" ]; then
    cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DKELVORA_BUILD_MODULE=ON \
      -DPython_EXECUTABLE="$VENV/bin/python" -DPython_INCLUDE_DIR="$PY_INCLUDE" >/dev/null
  fi
  build_quietly "$dir"
  local module exports dylibs
  module=$(ls "$dir"/binding/kelvora_core_py*.so)
  exports=$("$llvm/llvm-nm" -g --defined-only "$module" | awk '{print $3}' | grep -v -E '^(__Z(nw|na|dl|da)|___dso_handle$|__mh_dylib_header$)' | tr '\n' ' ')
  dylibs=$("$llvm/llvm-objdump" --macho --dylibs-used "$module" | sed -n '3,$s/^\t\([^ ]*\) .*/\1/p' | tr '\n' ' ')
  echo "  $(basename "$module"): $(file -b "$module" | cut -d, -f1 | cut -c1-40); $("$llvm/llvm-nm" -u "$module" | grep -c '_Py') C-API symbols left to the loader; libraries: $dylibs; exports: $exports"
  [ "$exports" = "_PyInit_kelvora_core_py " ] || { echo "the module exports: $exports"; return 1; }
  [ "$dylibs" = "/usr/lib/libSystem.B.dylib " ] || { echo "the module needs: $dylibs"; return 1; }
}

macos() {
  macos_target arm64 aarch64-macos.11.0
  macos_target x86_64 x86_64-macos.11.0
}

[ $# -gt 0 ] || set -- windows macos
for part in "$@"; do "$part"; done
