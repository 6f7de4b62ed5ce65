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
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$@" >/dev/null
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

install_module() {  # builds and installs the package (and test extras) into the venv
  echo "== building and installing kelvora_core_py"
  "$VENV/bin/python" -m pip install -q "$ROOT[test]"
}
