#!/usr/bin/env bash
# Builds kvo_fa and runs the demo machine on the built-in simulated PLC.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/install.sh" libmodbus-dev socat pkg-config
cd "$here"
exec python3 examples/fp_machine.py "$@"
