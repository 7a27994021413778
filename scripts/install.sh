#!/usr/bin/env bash
# Installs what building and running kvo_fa needs, then builds and installs
# kvo_fa, kvo_mew and kvo_handy into the current python3. Safe to re-run.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
py=${PYTHON:-python3}

apt_missing=()
for pkg in "$@"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || apt_missing+=("$pkg")
done
if [ ${#apt_missing[@]} -gt 0 ]; then
  echo "installing system packages: ${apt_missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${apt_missing[@]}" >/dev/null
fi

# test tools and matplotlib (the demo's timing diagram)
"$py" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore -r "$here/requirements-test.txt"
echo "building kvo_fa (this takes a minute or two)"
# Without build isolation (the build tools are pinned in requirements-test.txt),
# so that scripts/wheel.sh reuses this compile in build/wheel/.
"$py" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore --no-build-isolation "$here"
