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
  "$VENV/bin/python" -m pip install -q --upgrade pip
  "$VENV/bin/python" -m pip install -q cmake ninja
  export PATH="$VENV/bin:$PATH"
}

build_wheel() {  # builds the abi3 wheel once into build/wheelhouse; sets WHEEL
  echo "== building the kelvora_core_py wheel"
  rm -rf "$ROOT/build/wheelhouse"
  "$VENV/bin/python" -m pip wheel -q --no-deps -w "$ROOT/build/wheelhouse" "$ROOT"
  WHEEL=$(ls "$ROOT"/build/wheelhouse/kelvora_core_py-*.whl)
}

install_wheel() {  # install_wheel <venv> <requirements...>: the wheel, then the requirements
  local venv=$1; shift
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$WHEEL"
  "$venv/bin/python" -m pip install -q "$@"
}
