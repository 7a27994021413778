#!/usr/bin/env bash
# Builds a binary wheel of kvo_fa, kvo_mew, kvo_handy and kvo_kit with
# libmodbus bundled: `pip wheel` compiles it (in build/wheel/, where
# `pip install .` of scripts/install.sh compiled it already), then
# `auditwheel repair` copies libmodbus into the wheel (kvo_fa.libs/) and points
# the modules at that copy, so installing it needs neither a compiler nor
# Debian's libmodbus. The repaired wheel lands in DIR (default dist/).
#   bash scripts/wheel.sh [DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$here/dist}")
py=${PYTHON:-python3}
raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT
cd "$here"
"$py" -m pip wheel --quiet --disable-pip-version-check --no-deps --no-build-isolation -w "$raw" .
"$py" -m auditwheel repair --wheel-dir "$out" "$raw"/kvo_fa-*.whl
ls "$out"/kvo_fa-*manylinux*.whl
