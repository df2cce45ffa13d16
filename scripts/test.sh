#!/usr/bin/env bash
# Runs every test on a fresh machine: installs what is missing, builds the
# C++ core with warnings as errors and runs its unit tests, runs each fuzz
# target (fuzz/run.sh) for a bounded time, then builds the Python package
# for every CPython >= 3.11 found and runs the Python tests against each.
#
#   scripts/test.sh            (NIMBO_FUZZ_SECONDS=30 by default, for each of the 4 targets)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

bash scripts/install-deps.sh

echo "== C++ formatting"
git ls-files '*.cpp' '*.hpp' | xargs clang-format --dry-run -Werror

echo "== C++ unit tests"
# Build logs are shown only when the build fails; the tests print failures
# and a summary.
mkdir -p build
if ! { cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNIMBO_WERROR=ON \
         -DNIMBO_BUILD_TESTS=ON -DNIMBO_BUILD_BENCH=ON && cmake --build build/test -j2; } \
       > build/test-build.log 2>&1; then
  cat build/test-build.log
  exit 1
fi
build/test/tests/cpp/nimbo_tests --gtest_brief=1

if [ -x fuzz/run.sh ] || [ -f fuzz/run.sh ]; then
  echo "== fuzzing, ${NIMBO_FUZZ_SECONDS:-30} s for each target"
  bash fuzz/run.sh "${NIMBO_FUZZ_SECONDS:-30}"
fi

echo "== Python tests"
bash scripts/test-python.sh
