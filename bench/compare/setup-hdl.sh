#!/usr/bin/env bash
# Sets up the environment of bench/compare/hdl.py: a venv of its own under
# bench/out/venv-hdl with nimbo, PyRTL (with pyparsing for its BLIF reader)
# and Amaranth. It is kept apart from the project's venvs because Amaranth
# pins pyvcd below 0.5, which nimbo's VCD writer needs; nimbo goes in
# without its dependencies, and hdl.py writes no VCD.
#
#   bash bench/compare/setup-hdl.sh && bench/out/venv-hdl/bin/python bench/compare/hdl.py
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
cd "$root"
bash scripts/install-deps.sh   # yosys, iverilog, a C compiler for PyRTL's CompiledSimulation
venv=bench/out/venv-hdl
if [ ! -x "$venv/bin/python" ]; then "${PYTHON:-python3}" -m venv "$venv"; fi
"$venv/bin/python" -m pip install -q --upgrade pip
"$venv/bin/python" -m pip install -q "pyrtl>=0.11" "pyparsing>=3" "amaranth>=0.5" "tqdm>=4.66"
CMAKE_BUILD_PARALLEL_LEVEL=2 "$venv/bin/python" -m pip install -q --no-deps .
echo "ready: $venv/bin/python bench/compare/hdl.py"
