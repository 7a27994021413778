#!/usr/bin/env bash
# Builds a binary wheel of kvo_fa, kvo_mew, kvo_handy and kvo_kit with
# libmodbus bundled: `pip wheel` compiles it (in build/wheel/<tag>/, where
# `pip install .` of scripts/install.sh compiled it already), then
# `auditwheel repair` copies libmodbus into the wheel (kvo_fa.libs/) and points
# the modules at that copy, so installing it needs neither a compiler nor
# Debian's libmodbus. The repaired wheels land in DIR (default dist/).
#   bash scripts/wheel.sh [DIR]                  one wheel, for $PYTHON (default python3)
#   bash scripts/wheel.sh --python 3.13 [DIR]    for that version, from its .venv-3.13
#                                                (scripts/python_env.sh); repeatable
#   bash scripts/wheel.sh --all [DIR]            cp310 to cp313
#   --smoke                                      then install each wheel into a fresh virtual
#                                                environment without the system's site-packages
#                                                and run scripts/wheel_smoke.py there
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
versions=() smoke=0 out=
while [ $# -gt 0 ]; do
  case $1 in
    --python) versions+=("${2:?--python needs a version such as 3.13}"); shift 2 ;;
    --all) versions+=(3.10 3.11 3.12 3.13); shift ;;
    --smoke) smoke=1; shift ;;
    -*) echo "usage: wheel.sh [--python X.Y]... [--all] [--smoke] [DIR]" >&2; exit 2 ;;
    *) out=$1; shift ;;
  esac
done
out=$(realpath -m "${out:-$here/dist}")
raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT
cd "$here"
pip_install=(-m pip install --quiet --disable-pip-version-check --root-user-action=ignore)

# build PYTHON: its wheel, repaired into $out; prints the wheel's path last.
build() {
  local py=$1 tag
  tag=$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
  rm -f "$raw"/kvo_fa-*.whl
  "$py" -m pip wheel --quiet --disable-pip-version-check --no-deps --no-build-isolation -w "$raw" .
  "$py" -m auditwheel repair --wheel-dir "$out" "$raw"/kvo_fa-*.whl >&2
  ls "$out"/kvo_fa-*-"$tag"-*manylinux*.whl
}

# smoke_test PYTHON WHEEL: a fresh venv of that interpreter's base, the wheel
# and what it depends on from the index, the check run outside the checkout.
smoke_test() {
  local base venv
  base=$("$1" -c 'import sys; print(sys._base_executable)')
  venv=$raw/venv-$(basename "$2")
  "$base" -m venv "$venv"
  env -u PYTHONPATH -u VIRTUAL_ENV "$venv/bin/python" "${pip_install[@]}" "$2"
  (cd "$raw" && env -u PYTHONPATH -u VIRTUAL_ENV "$venv/bin/python" "$here/scripts/wheel_smoke.py")
}

if [ ${#versions[@]} -eq 0 ]; then
  pythons=("${PYTHON:-python3}")
else
  pythons=()
  for version in "${versions[@]}"; do
    # Each version's venv, with the build tools and auditwheel if it lacks them.
    py=$(source "$here/scripts/python_env.sh"; KVO_PYTHON_VERSION=$version use_python "$here" >&2; echo "$py")
    "$py" -c 'import auditwheel, scikit_build_core, pybind11' 2>/dev/null ||
      "$py" "${pip_install[@]}" -r requirements-build.txt "$(grep '^auditwheel==' requirements-test.txt)"
    pythons+=("$py")
  done
fi
for py in "${pythons[@]}"; do
  wheel=$(build "$py" | tail -1)
  echo "$wheel"
  if [ $smoke -eq 1 ]; then smoke_test "$py" "$wheel"; fi
done
