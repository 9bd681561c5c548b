# Sourced by .ci/run and .ci/demo: installs what the build and the tests need.
# Debian packages come from apt-get when missing; Python packages from pip.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"
mkdir -p "$BUILD"

need_debs=()
for pkg in g++ cmake make zlib1g-dev libssl-dev nlohmann-json3-dev libgtest-dev zip unzip binutils; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need_debs+=("$pkg")
done
if ((${#need_debs[@]})); then
  echo "== installing Debian packages: ${need_debs[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need_debs[@]}" >/dev/null
fi

# The interpreter that builds the wheel: python3 on PATH (3.10 or later).
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

# Builds the abi3 wheel once into $BUILD/wheel and prints its path; arguments
# go to pip.
build_wheel() {
  rm -rf "$BUILD/wheel"
  "$PYTHON" -m pip wheel --quiet --no-deps --wheel-dir "$BUILD/wheel" "$@" "$ROOT" >&2
  ls "$BUILD"/wheel/quarlen-*.whl
}

# Makes a virtual environment for one interpreter with the wheel and the given
# packages installed; prints the environment's python.
make_venv() {
  local exe=$1 wheel=$2
  shift 2
  local tag
  tag=$("$exe" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  local venv="$BUILD/venv-$tag"
  [ -x "$venv/bin/python" ] || "$exe" -m venv "$venv" >&2
  "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --upgrade pip >&2 || true
  "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --force-reinstall --no-deps "$wheel" >&2
  if (($#)); then
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check "$@" >&2
  fi
  echo "$venv/bin/python"
}
