#!/usr/bin/env bash
# Sets up this machine for nimbo and runs one example: installs the Debian
# packages that building needs and Yosys, which reads Verilog for nimbo
# import and the pytest fixture (scripts/install-deps.sh build verilog),
# creates the virtual environment .venv, builds and installs nimbo into it
# from this directory with the extras the README's walk-through uses (Dask,
# for nimbo regress; WaveDrom, for nimbo run --wave) and pytest, for the
# README's pytest example, and simulates the full adder over its input
# vectors.
#
# The simulators and tools that nimbo's own tests and benchmarks use (Icarus
# Verilog, Verilator, GTKWave, clang) are not installed here;
# scripts/install-deps.sh without arguments (or scripts/test.sh) installs them.
#
#   scripts/quickstart.sh          (PYTHON=python3.12 to pick another interpreter)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

step() { printf '\n== %s\n' "$*"; }
fail() { echo "quickstart: $*" >&2; exit 1; }

python="${PYTHON:-python3}"
command -v "$python" >/dev/null 2>&1 || fail "no $python on PATH; set PYTHON to a Python 3.11 or newer"

step "1/4 system packages for building (compiler, CMake, Boost, Python headers) and Yosys"
bash scripts/install-deps.sh build verilog

"$python" -c 'import sys; sys.exit(sys.version_info < (3, 11))' \
  || fail "nimbo needs Python 3.11 or newer; $python is $("$python" -V 2>&1); set PYTHON to another interpreter"

step "2/4 virtual environment in .venv"
if [ ! -x .venv/bin/python ]; then
  "$python" -m venv .venv || fail "could not create .venv with $python (is python3-venv installed?)"
fi

step "3/4 building nimbo and installing it into .venv (takes a few minutes)"
# From this directory, never by name: a package on the public index is called nimbo too.
CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}" .venv/bin/python -m pip install "$root[distributed,wave]" pytest

step "4/4 the full adder over its input vectors"
.venv/bin/nimbo run examples/full_adder.json --vectors examples/full_adder.vectors.jsonl

cat <<EOF

nimbo is installed in $root/.venv. To use it in this shell:

    source $root/.venv/bin/activate
    nimbo run examples/alu8.json --set a=0x53 --set b=0x65
    nimbo run examples/counter.json --set en=1 --cycles 4 --wave counter.svg
    python -m pytest -q examples/pytest
    nimbo run --help

or call $root/.venv/bin/nimbo directly.
EOF
