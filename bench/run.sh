#!/usr/bin/env bash
# Builds the C++ benchmarks in Release mode and runs them.
#   bench/run.sh [--quick]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNIMBO_BUILD_BENCH=ON \
  -DNIMBO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target bench_update >"$build/build.log" || { cat "$build/build.log"; exit 1; }
"$build/bench/bench_update" "$@"
