#!/usr/bin/env bash
# Builds the fuzz targets with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer (clang from Debian) and runs each for a bounded
# time. Exits non-zero when a fuzzer finds a crash, leak, sanitizer fault or
# a disagreement between the engines.
#   fuzz/run.sh [seconds]        (default 30, for each target)
#   fuzz/run.sh [seconds] TARGET...   only those targets
# FUZZ_BUILD overrides the build directory (default build/fuzz).
#
# Targets, each with its seeds in fuzz/corpus_<name>:
#   render        IR texts through the render driver, an update and a batch
#   vector_lines  JSON Lines of vectors, whole and in pieces, with and without ports
#   steps         designs with registers and memories from the input, stepped, updated, batched and
#                 run as sequences on the word pass, the worklist, the lanes and the
#                 plain clocked model of tests/cpp, which must all agree
#   numbers       number texts against a slow reference of their rule
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-30}"
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(render vector_lines steps numbers)
build="${FUZZ_BUILD:-$root/build/fuzz}"
cxx="${CXX_FUZZ:-clang++}"
mkdir -p "$build/obj" "$build/artifacts"

flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined
       -fno-sanitize-recover=undefined -I"$root/src")
compile() {  # compile SRC: the object, rebuilt when it or a header is newer
  local src="$1"
  local obj="$build/obj/$(basename "$(dirname "$src")")_$(basename "$src" .cpp).o"
  if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] ||
     [ -n "$(find "$root/src" "$root/tests/cpp" -name '*.hpp' -newer "$obj" -print -quit)" ]; then
    "$cxx" "${flags[@]}" -c "$src" -o "$obj"
  fi
  echo "$obj"
}
# The lane kernels: one object per instruction set (see CMakeLists.txt).
kernel_sets=("kPortable:")
if [ "$(uname -m)" = x86_64 ]; then
  flags+=(-DNIMBO_LANE_X86)
  kernel_sets+=("kAvx2:-mavx2" "kAvx512:-mavx512f -mavx512bw -mavx512vl")
fi
objects=()
for src in "$root"/src/busses/*.cpp "$root"/src/expr_nodes/*.cpp "$root"/src/component/*.cpp \
           "$root"/src/engine/*.cpp "$root"/src/renderer/*.cpp; do
  [ "$(basename "$src")" = lane_kernels.cpp ] && continue
  objects+=("$(compile "$src")")
done
kernels="$root/src/engine/lane_kernels.cpp"
for set in "${kernel_sets[@]}"; do
  name="${set%%:*}"
  obj="$build/obj/engine_lane_kernels_$name.o"
  if [ ! -f "$obj" ] || [ "$kernels" -nt "$obj" ] ||
     [ "$root/src/engine/lane_kernels.hpp" -nt "$obj" ]; then
    # shellcheck disable=SC2086  # the set's flags are words
    "$cxx" "${flags[@]}" ${set#*:} -DNIMBO_LANE_KERNELS="$name" -c "$kernels" -o "$obj"
  fi
  objects+=("$obj")
done

run() {  # run NAME
  local name="$1" target="fuzz_$1"
  "$cxx" -fsanitize=fuzzer,address,undefined "${objects[@]}" "$(compile "$root/fuzz/$target.cpp")" \
    -o "$build/$target"
  # New inputs go to the scratch corpus; the seeds stay as they are. The
  # fuzzer's log is shown only when it finds something; otherwise one line.
  mkdir -p "$build/corpus_$target"
  local log="$build/$target.log"
  if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$build/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=8192 -artifact_prefix="$build/artifacts/" -print_final_stats=1 \
    "$build/corpus_$target" "$root/fuzz/corpus_$name" > "$log" 2>&1; then
    cat "$log"
    exit 1
  fi
  echo "fuzz: $target: no finding in $(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$') runs"
}
for name in "${targets[@]}"; do run "$name"; done
