#!/usr/bin/env bash
# Builds kvo_fa and runs every test: first the native core's unit tests
# (ctest, from build/ctest), then the Python suite. Installs what it needs
# when missing.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/install.sh" python3-wxgtk4.0 xvfb xauth libmodbus-dev libssl-dev socat pkg-config cmake doctest-dev tmux patchelf mosquitto chromium
cd "$here"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
[ -f build/ctest/CMakeCache.txt ] || cmake -S core -B build/ctest "${generator[@]}" >/dev/null
cmake --build build/ctest >build/ctest/build.log 2>&1 || { cat build/ctest/build.log; exit 1; }
ctest --test-dir build/ctest --output-on-failure
exec python3 -m pytest -q -p no:cacheprovider --timeout=120 tests "$@"
