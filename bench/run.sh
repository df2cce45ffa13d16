#!/usr/bin/env bash
# Builds the C++ benchmarks in Release mode and runs them.
#   bench/run.sh            the update benchmark, then the render benchmark
#   bench/run.sh update     only the update benchmark (add --quick to skip 1M gates)
#   bench/run.sh render     only the render benchmark
#   bench/run.sh worklist IR STIMULUS PORT...   the worklist on a netlist with NAND latches
#                           (see bench/bench_worklist.cpp; e.g. mac4_nand after bench/clocked/run.py)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/bench"
which="${1:-all}"
[ $# -gt 0 ] && shift
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNIMBO_BUILD_BENCH=ON \
  -DNIMBO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target bench_update bench_render bench_worklist >"$build/build.log" ||
  { cat "$build/build.log"; exit 1; }
case "$which" in
  update) "$build/bench/bench_update" "$@" ;;
  render) "$build/bench/bench_render" "$@" ;;
  worklist) "$build/bench/bench_worklist" "$@" ;;
  all) "$build/bench/bench_update" "$@"; "$build/bench/bench_render" ;;
  *) echo "usage: bench/run.sh [update|render|worklist|all] [ARGS]" >&2; exit 2 ;;
esac
