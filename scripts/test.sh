#!/usr/bin/env bash
# Builds kvo_fa and runs every test: first the native unit tests of the core
# and the link engine (ctest, from build/native), then the Python suite.
# Installs what it needs when missing (scripts/install.sh test: into the checkout's .venv unless
# KVO_PYTHON or an active virtual environment says otherwise).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
source "$here/scripts/python_env.sh"
use_python "$here"
bash "$here/scripts/install.sh" test
cd "$here"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
[ -f build/native/CMakeCache.txt ] || cmake -S native -B build/native "${generator[@]}" >/dev/null
cmake --build build/native >build/native/build.log 2>&1 || { cat build/native/build.log; exit 1; }
ctest --test-dir build/native --output-on-failure
exec "$py" -m pytest -q -p no:cacheprovider --timeout=120 tests "$@"
