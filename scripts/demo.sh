#!/usr/bin/env bash
# Installs the module into build/venv and runs the end-to-end demo.
source "$(dirname "$0")/common.sh"

ensure_venv
build_wheel
install_wheel "$VENV" numpy
"$VENV/bin/python" "$ROOT/examples/demo.py"
