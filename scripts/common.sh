# Shared setup for the scripts: system packages, one virtual environment per
# supported interpreter, and one stable-ABI wheel built once for all of them.
# Sourced, not run.

set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENVS="$ROOT/.venv"
WHEELHOUSE="$ROOT/build/wheelhouse"
PYTHON_VERSIONS=(3.12 3.13)
APT_PACKAGES=(g++ libssl-dev libgtest-dev libgmock-dev pkg-config)

log() { printf '\n== %s\n' "$*" >&2; }

ensure_apt_packages() {
  local missing=()
  for package in "${APT_PACKAGES[@]}" "$@"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  log "installing system packages: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# The interpreter for a version such as 3.12: on PATH, or under pyenv.
find_python() {
  local version="$1" candidate
  for candidate in "python$version" "$(pyenv root 2>/dev/null)/versions/$version"*/bin/"python$version" \
                   "$HOME/.pyenv/versions/$version"*/bin/"python$version" /usr/bin/"python$version"; do
    if command -v "$candidate" >/dev/null 2>&1 && "$candidate" -c 'import venv' 2>/dev/null; then
      command -v "$candidate"
      return 0
    fi
  done
  echo "no Python $version found (install it, e.g. with pyenv)" >&2
  return 1
}

# Creates (once) and updates the virtual environment for a version.
ensure_venv() {
  local version="$1" venv="$VENVS/py${1/./}"
  if [ ! -x "$venv/bin/python" ]; then
    log "creating $venv"
    "$(find_python "$version")" -m venv "$venv"
  fi
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip >/dev/null
  "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$ROOT/tests/requirements.txt"
  echo "$venv"
}

# Builds the wheel once, with the first interpreter: the same binary is then
# installed for every version, which is what proves it stable-ABI.
build_wheel() {
  local venv="$VENVS/py${PYTHON_VERSIONS[0]/./}"
  log "building the wheel"
  rm -f "$WHEELHOUSE"/quovel-*.whl
  "$venv/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps "$ROOT" -w "$WHEELHOUSE"
  ls "$WHEELHOUSE"/quovel-*-cp312-abi3-*.whl
}

install_wheel() {
  local venv="$1" wheel
  wheel="$(ls "$WHEELHOUSE"/quovel-*-cp312-abi3-*.whl)"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$wheel"
}
