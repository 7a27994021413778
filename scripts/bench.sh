#!/usr/bin/env bash
# Runs the benchmarks (python3 -m bench) on one Python version: in its virtual
# environment .venv-X.Y (scripts/python_env.sh; the build tools and pyperf
# installed when missing) against its own developer build, build/dev-X.Y
# (scripts/devbuild, incremental). The bench's options follow the version;
# the pyperf results go to bench/results-X.Y.json (--results to change).
#   bash scripts/bench.sh 3.13 --quick
#   python3 -m bench --python 3.13 --quick       the same
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
version=${1:?"usage: bench.sh X.Y [bench options]"}
shift
source "$here/scripts/python_env.sh"
KVO_PYTHON_VERSION=$version use_python "$here"
need_headers "$py"
if ! "$py" -c 'import pyperf, pybind11, cmake, ninja' 2>/dev/null; then
  pins=$(mktemp)
  trap 'rm -f "$pins"' EXIT
  # the pyperf pins with their version markers
  grep '^pyperf==' "$here/requirements-test.txt" >"$pins"
  "$py" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore \
    -r "$here/requirements-build.txt" -r "$pins"
fi
build=$here/build/dev-$version
echo "building into $build"
PYTHON=$py bash "$here/scripts/devbuild" "$build"
cd "$here"
# One results file per version (bench/versions.py puts them side by side).
results=()
case " $* " in *" --results"*) ;; *) results=(--results "$here/bench/results-$version.json") ;; esac
PYTHONPATH=$build:$here/kit exec "$py" -m bench "${results[@]}" "$@"
