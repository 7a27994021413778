#!/usr/bin/env bash
# Installs what building and running kvo_fa needs, then builds and installs
# kvo_fa, kvo_mew, kvo_handy and kvo_kit into the Python of python_env.sh (by
# default the checkout's .venv). Safe to re-run.
#   bash scripts/install.sh demo    the build tools, kvo_fa and its demo extra
#   bash scripts/install.sh test    the test tools (requirements-test.txt), their
#                                   Debian packages and kvo_fa with every extra
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
source "$here/scripts/python_env.sh"
what=${1:?"usage: install.sh demo|test"}

case $what in
  demo) apt_install libmodbus-dev libssl-dev pkg-config
        requirements=requirements-build.txt extras=demo ;;
  test) apt_install libmodbus-dev libssl-dev pkg-config python3-wxgtk4.0 xvfb xauth socat cmake doctest-dev tmux patchelf \
          mosquitto chromium postgresql-15 fonts-noto-cjk
        requirements=requirements-test.txt extras=all ;;
  *) echo "usage: install.sh demo|test" >&2; exit 2 ;;
esac
use_python "$here"
need_headers "$py"
pip=("$py" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore)
"${pip[@]}" -r "$here/$requirements"
echo "building kvo_fa into $py (the first time 5 to 10 minutes on two cores; after that seconds)"
# Without build isolation (the build tools are pinned in requirements-build.txt),
# so that re-runs and scripts/wheel.sh reuse this compile in build/wheel/.
"${pip[@]}" --no-build-isolation "$here[$extras]"
