#!/usr/bin/env bash
# Sets up a fresh machine and runs a shipped example: installs the system
# packages, builds and installs nimbo into .venv, then simulates the full
# adder over its input vectors.
#
#   scripts/quickstart.sh          (PYTHON=python3.12 to pick another interpreter)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

bash scripts/install-deps.sh
if [ ! -x .venv/bin/python ]; then "${PYTHON:-python3}" -m venv .venv; fi
CMAKE_BUILD_PARALLEL_LEVEL=2 .venv/bin/python -m pip install -q .
.venv/bin/nimbo run examples/full_adder.json --vectors examples/full_adder.vectors.jsonl
