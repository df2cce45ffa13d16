#!/usr/bin/env bash
# Builds the render fuzz target with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer (clang from Debian) and runs it for a bounded
# time. Exits non-zero when the fuzzer finds a crash, leak or sanitizer fault.
#   fuzz/run.sh [seconds]        (default 60)
# FUZZ_BUILD overrides the build directory (default build/fuzz).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
build="${FUZZ_BUILD:-$root/build/fuzz}"
cxx="${CXX_FUZZ:-clang++}"
mkdir -p "$build/obj" "$build/corpus" "$build/artifacts"

flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined
       -fno-sanitize-recover=undefined -I"$root/src")
objects=()
for src in "$root"/src/busses/*.cpp "$root"/src/expr_nodes/*.cpp "$root"/src/component/*.cpp \
           "$root"/src/engine/*.cpp "$root"/src/renderer/*.cpp "$root"/fuzz/fuzz_render.cpp; do
  obj="$build/obj/$(basename "$(dirname "$src")")_$(basename "$src" .cpp).o"
  if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] || [ -n "$(find "$root/src" -name '*.hpp' -newer "$obj" -print -quit)" ]; then
    "$cxx" "${flags[@]}" -c "$src" -o "$obj"
  fi
  objects+=("$obj")
done
"$cxx" -fsanitize=fuzzer,address,undefined "${objects[@]}" -o "$build/fuzz_render"

# New inputs go to the scratch corpus; the seeds under fuzz/corpus stay as they are.
# The fuzzer's log is shown only when it finds something; otherwise one line.
log="$build/fuzz.log"
if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  "$build/fuzz_render" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -max_len=8192 -artifact_prefix="$build/artifacts/" -print_final_stats=1 \
  "$build/corpus" "$root/fuzz/corpus" > "$log" 2>&1; then
  cat "$log"
  exit 1
fi
echo "fuzz: no finding in $(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$') runs"
