#!/usr/bin/env bash
# Builds kvo_fa and runs every test. Installs what it needs when missing.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/install.sh" python3-wxgtk4.0 xvfb xauth libmodbus-dev socat pkg-config mosquitto chromium
cd "$here"
exec python3 -m pytest -q -p no:cacheprovider --timeout=120 tests "$@"
