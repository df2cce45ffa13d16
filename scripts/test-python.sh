#!/usr/bin/env bash
# Builds and installs the nimbo package for every CPython >= 3.11 on this
# machine (pyenv versions and python3.X on PATH), each in its own venv under
# build/venv-3.X, and runs the pytest suite with each of them; with the first
# one it also checks the package's types (mypy --strict src/nimbo) and builds
# the documentation (mkdocs build --strict: docs/, with its links and anchors).
# Fails when any version fails, the types do not check or the documentation
# does not build. Extra arguments go to pytest, e.g.
#   scripts/test-python.sh -m "not memory"
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
# The source tree to install (the repository unless given).
SRC="${NIMBO_SOURCE:-$ROOT}"

# Finds one interpreter per minor version, 3.11 and newer.
declare -A interpreters=()
add_interpreter() {
  local exe="$1" version
  [ -x "$exe" ] || return 0
  version=$("$exe" -c 'import sys; print("%d.%d" % sys.version_info[:2]) if sys.version_info >= (3, 11) and sys.implementation.name == "cpython" else None' 2>/dev/null) || return 0
  [ -n "$version" ] && [ "$version" != None ] || return 0
  [ -n "${interpreters[$version]:-}" ] || interpreters[$version]="$exe"
}
if command -v pyenv >/dev/null 2>&1; then
  for dir in "$(pyenv root)"/versions/*/; do
    for exe in "$dir"bin/python3.[0-9]*; do
      case "$exe" in *-config|*t) continue ;; esac
      add_interpreter "$exe"
    done
  done
fi
for minor in $(seq 11 20); do
  exe=$(command -v "python3.$minor" 2>/dev/null) && add_interpreter "$exe"
done

if [ ${#interpreters[@]} -eq 0 ]; then
  echo "test-python: no CPython 3.11 or newer found" >&2
  exit 1
fi

failed=()
typed=""
documented=""
for version in $(printf '%s\n' "${!interpreters[@]}" | sort -V); do
  exe="${interpreters[$version]}"
  venv="build/venv-$version"
  echo "=== CPython $version ($exe)"
  if [ ! -x "$venv/bin/python" ]; then
    "$exe" -m venv "$venv" || { failed+=("$version"); continue; }
  fi
  echo "building and installing nimbo into $venv (a minute or two)"
  # The build directory and warnings as errors go through scikit-build-core's
  # environment variables: pip before 23.1 (Debian 12 ships 23.0) has no -C.
  # pip's output is shown only when the install fails.
  if ! SKBUILD_BUILD_DIR="build/py-$version" SKBUILD_CMAKE_DEFINE="NIMBO_WERROR=ON" CMAKE_BUILD_PARALLEL_LEVEL=2 \
      "$venv/bin/python" -m pip install -q "$SRC[test,distributed]" > "build/pip-$version.log" 2>&1; then
    cat "build/pip-$version.log" >&2
    echo "test-python: install failed for $version" >&2
    failed+=("$version"); continue
  fi
  if [ -z "$typed" ]; then
    typed=checked
    echo "mypy --strict src/nimbo"
    if ! "$venv/bin/python" -m mypy --strict --cache-dir build/mypy-cache "$SRC/src/nimbo"; then
      echo "test-python: mypy --strict found type errors" >&2
      typed=failed
    fi
  fi
  if [ -z "$documented" ]; then
    documented=built
    echo "mkdocs build --strict"
    if ! "$venv/bin/python" -m mkdocs build --strict --site-dir build/site; then
      echo "test-python: the documentation does not build (mkdocs build --strict)" >&2
      documented=failed
    fi
  fi
  # Run from outside the source tree so that the installed package is tested.
  if ! (cd build && "../$venv/bin/python" -m pytest -q -p no:cacheprovider \
      --rootdir="$ROOT/tests/python" "$ROOT/tests/python" "$@"); then
    failed+=("$version")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "test-python: failed for CPython ${failed[*]}" >&2
  exit 1
fi
if [ "$typed" = failed ] || [ "$documented" = failed ]; then
  exit 1
fi
echo "test-python: passed for CPython $(printf '%s\n' "${!interpreters[@]}" | sort -V | tr '\n' ' ')"
