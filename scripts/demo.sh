#!/usr/bin/env bash
# Builds kvo_fa (scripts/install.sh demo: into the checkout's .venv unless
# KVO_PYTHON or an active virtual environment says otherwise) and runs the
# demo cell on the built-in simulated PLC: parts through three stations, a
# jammed cylinder and the recovery, a summary and a timing diagram
# (build/demo/cell_timing.png). Options go to the demo (--parts N, --fast, --out DIR).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
source "$here/scripts/python_env.sh"
use_python "$here"
bash "$here/scripts/install.sh" demo
cd "$here"
exec "$py" examples/cell/cell.py --jam "$@"
