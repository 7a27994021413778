# Sourced by the scripts that install into and run a Python (install.sh,
# demo.sh, test.sh, sanitize.sh). `use_python ROOT` picks it, sets `py` and
# puts it first on the PATH (exported, with PYTHON, for the scripts and tests
# they start):
#   KVO_PYTHON_VERSION=3.13      ROOT/.venv-3.13: made the first time with that
#                                version (python3.13 on the PATH, else pyenv's), reused after
#   KVO_PYTHON=/path/to/python   that interpreter, as it is (pip installs into it)
#   an active virtual environment   that one ($VIRTUAL_ENV)
#   otherwise                    ROOT/.venv: made with the python3 on the PATH the
#                                first time (Debian's python3-venv and python3-dev
#                                installed when missing), reused after

# apt_install PACKAGE...: the Debian packages that are not installed yet.
apt_install() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "installing system packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
}

# debian_python PYTHON: whether it is (or a virtual environment of) Debian's own python3.
debian_python() {
  [ "$("$1" -c 'import sys; print(sys.base_prefix)')" = /usr ] && command -v dpkg >/dev/null
}

# need_headers PYTHON: building kvo_fa needs the interpreter's C headers, which
# Debian ships apart (python3-dev).
need_headers() {
  local include
  include=$("$1" -c "import sysconfig; print(sysconfig.get_paths()['include'])")
  [ -f "$include/Python.h" ] && return 0
  if debian_python "$1"; then
    apt_install python3-dev
  else
    echo "$1 has no C headers ($include/Python.h), which building kvo_fa needs" >&2
    return 1
  fi
}

# python_version_base X.Y: an interpreter of that version, python3.X on the
# PATH first, else the newest of pyenv's.
python_version_base() {
  local found
  # (a pyenv shim of a version not selected in pyenv fails, saying so)
  found=$(command -v "python$1" 2>/dev/null) &&
    [ "$("$found" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" = "$1" ] &&
    { echo "$found"; return 0; }
  found=$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}/versions/$1".*/bin/python3 2>/dev/null | sort -V | tail -1)
  [ -n "$found" ] && { echo "$found"; return 0; }
  echo "no Python $1 found (python$1 on the PATH or pyenv's ${PYENV_ROOT:-$HOME/.pyenv}/versions/$1.*)" >&2
  return 1
}

use_python() {
  local root=$1
  if [ -n "${KVO_PYTHON_VERSION:-}" ]; then
    local venv=$root/.venv-$KVO_PYTHON_VERSION base
    if ! "$venv/bin/python" -m pip --version >/dev/null 2>&1; then
      base=$(python_version_base "$KVO_PYTHON_VERSION") || return 1
      echo "making a virtual environment in $venv (from $base)"
      rm -rf "$venv"
      "$base" -m venv "$venv"
    fi
    py=$venv/bin/python
    export VIRTUAL_ENV=$venv
  elif [ -n "${KVO_PYTHON:-}" ]; then
    py=$(command -v "$KVO_PYTHON") || { echo "KVO_PYTHON=$KVO_PYTHON: no such interpreter" >&2; return 1; }
  elif [ -n "${VIRTUAL_ENV:-}" ] && [ -x "$VIRTUAL_ENV/bin/python" ]; then
    py=$VIRTUAL_ENV/bin/python
  else
    local venv=$root/.venv base
    if ! "$venv/bin/python" -m pip --version >/dev/null 2>&1; then
      base=$(command -v python3) || { apt_install python3; base=/usr/bin/python3; }
      # Debian's python3 makes a virtual environment only with python3-venv.
      if debian_python "$base"; then apt_install python3-venv; fi
      echo "making a virtual environment in $venv (from $base)"
      rm -rf "$venv"
      "$base" -m venv "$venv"
    fi
    py=$venv/bin/python
    export VIRTUAL_ENV=$venv
  fi
  export PYTHON=$py
  PATH="$(dirname "$py"):$PATH"
  export PATH
}
