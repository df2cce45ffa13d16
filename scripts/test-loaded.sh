#!/usr/bin/env bash
# Runs the Python tests on a loaded machine: beside `stress-ng --cpu 4`
# (NIMBO_LOAD_CPUS sets the number of CPU-bound processes), for as long as
# the tests run. The tests must not depend on how fast the machine is.
# Installs stress-ng when it is missing (scripts/install-deps.sh load).
#
#   scripts/test-loaded.sh [PYTEST ARGS ...]
#
# By default it runs scripts/test-python.sh (every CPython 3.11 or newer,
# built and installed first, and mypy); with NIMBO_PYTHON set to the python
# of a virtual environment where nimbo is installed (such as build/venv/bin/python),
# only the pytest suite with that interpreter. Extra arguments go to pytest.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
python=""
if [ -n "${NIMBO_PYTHON:-}" ]; then
  python="$(cd "$(dirname "$NIMBO_PYTHON")" && pwd)/$(basename "$NIMBO_PYTHON")"
fi
cd "$ROOT"

bash scripts/install-deps.sh load

cpus="${NIMBO_LOAD_CPUS:-4}"
echo "test-loaded: the tests run beside stress-ng --cpu $cpus" >&2
stress-ng --cpu "$cpus" --quiet &
load=$!
stop_load() {
  kill "$load" 2>/dev/null || true
  wait "$load" 2>/dev/null || true
}
trap stop_load EXIT

if [ -n "$python" ]; then
  mkdir -p build
  # From outside the source tree, so that the installed package is tested.
  (cd build && "$python" -m pytest -q -p no:cacheprovider --rootdir="$ROOT/tests/python" "$ROOT/tests/python" "$@")
else
  bash scripts/test-python.sh "$@"
fi
