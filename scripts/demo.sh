#!/usr/bin/env bash
# Builds kvo_fa and runs the demo cell on the built-in simulated PLC: parts
# through three stations, a jammed cylinder and the recovery, a summary and a
# timing diagram (build/demo/cell_timing.png). Options go to the demo
# (--parts N, --fast, --out DIR).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/install.sh" libmodbus-dev socat pkg-config
cd "$here"
exec python3 examples/cell/cell.py --jam "$@"
