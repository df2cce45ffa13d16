#!/usr/bin/env bash
# Installs the Debian packages nimbo needs, or says which are missing.
#
#   scripts/install-deps.sh [GROUP ...]      (no group: build, test and bench)
#
#   build   compiler, CMake, Ninja, Boost >= 1.81, Python headers and venv:
#           enough to build and install the package
#   verilog Yosys, which nimbo import, Design.from_verilog and the pytest
#           fixture nimbo_design run to read Verilog
#   test    GoogleTest, clang-format, Unicode data, clang with libFuzzer,
#           Icarus Verilog and GTKWave's vcd2fst for the comparison tests,
#           Yosys for the import tests, Cairo for the PNG pictures
#   bench   Icarus Verilog, Verilator, Yosys and GNU time for bench/compare
#   load    stress-ng, for running the tests on a loaded machine
#           (scripts/test-loaded.sh); not part of the default
#
# Only what is missing is installed: as root with apt-get, otherwise through
# sudo when there is one. Without either, the script lists the missing
# packages with the command that installs them and fails; with everything
# present it needs neither.
#
# NIMBO_INCLUDE_DIRS (default "/usr/local/include /usr/include") lists where
# to look for Boost headers; Boost_ROOT is searched first when set.
set -euo pipefail

say() { echo "install-deps: $*" >&2; }

groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(build test bench)

want=()
for group in "${groups[@]}"; do
  case "$group" in
    build) want+=(build-essential cmake ninja-build python3-dev python3-venv) ;;
    verilog) want+=(yosys) ;;
    test) want+=(libgtest-dev clang-format unicode-data clang iverilog gtkwave yosys libcairo2) ;;
    bench) want+=(iverilog verilator yosys time) ;;
    load) want+=(stress-ng) ;;
    *) say "unknown group '$group' (build, verilog, test, bench or load)"; exit 2 ;;
  esac
done
want_fuzzer=0
case " ${groups[*]} " in *" test "*) want_fuzzer=1 ;; esac

if ! command -v dpkg-query >/dev/null 2>&1; then
  say "this script installs Debian or Ubuntu packages; on this system install by hand: ${want[*]} and Boost >= 1.81"
  exit 1
fi

have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
candidate() { apt-cache policy "$1" 2>/dev/null | awk '/Candidate:/ && $2 != "(none)" {print $2}'; }
available() { [ -n "$(candidate "$1")" ]; }

# The highest BOOST_VERSION (e.g. 108100 for 1.81) among the include
# directories, 0 when there are no Boost headers.
boost_version() {
  local best=0 dir v
  for dir in ${Boost_ROOT:+"$Boost_ROOT/include"} ${NIMBO_INCLUDE_DIRS:-/usr/local/include /usr/include}; do
    [ -f "$dir/boost/version.hpp" ] || continue
    v=$(awk '$1 == "#define" && $2 == "BOOST_VERSION" {print $3}' "$dir/boost/version.hpp")
    if [[ "$v" =~ ^[0-9]+$ ]] && [ "$v" -gt "$best" ]; then best=$v; fi
  done
  echo "$best"
}
boost_text() { local v=$1; echo "$((v / 100000)).$((v / 100 % 1000))"; }

# The package that brings Boost >= 1.81: the default libboost-dev where it is
# new enough (Debian 13, Ubuntu 24.04), else the newest libboost1.NN-dev
# (Debian 12: libboost1.81-dev).
boost_package() {
  local v p best=""
  v=$(candidate libboost-dev)
  if [ -n "$v" ] && dpkg --compare-versions "$v" ge 1.81; then echo libboost-dev; return; fi
  for p in $(apt-cache pkgnames libboost1. 2>/dev/null | grep -E '^libboost1\.[0-9]+-dev$' | sort -V); do
    v=${p#libboost1.}; v=${v%-dev}
    if [ "$v" -ge 81 ] && available "$p"; then best=$p; fi
  done
  [ -n "$best" ] && echo "$best"
}

# libFuzzer comes with the clang runtime of the default clang's version.
fuzzer_package() {
  local v
  v=$(candidate clang)
  v=${v#*:}; v=${v%%[.-]*}
  [[ "$v" =~ ^[0-9]+$ ]] && echo "libclang-rt-$v-dev"
}

missing=()
add_missing() {
  local p
  for p in "$@"; do
    case " ${missing[*]} " in *" $p "*) continue ;; esac
    have_pkg "$p" || missing+=("$p")
  done
}
add_missing "${want[@]}"
# Known once the package lists are there.
if [ $want_fuzzer -eq 1 ] && p=$(fuzzer_package); then add_missing "$p"; fi
boost=$(boost_version)
need_boost=0
case " ${groups[*]} " in *" build "*) [ "$boost" -ge 108100 ] || need_boost=1 ;; esac

if [ ${#missing[@]} -eq 0 ] && [ $need_boost -eq 0 ]; then
  say "everything for ${groups[*]} is installed"
  exit 0
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then as_root=(sudo); else as_root=(none); fi
fi

if [ "${as_root[*]}" = none ]; then
  # Without root: report what is missing, as far as the package lists tell.
  [ $need_boost -eq 0 ] || missing+=("$(boost_package || echo libboost1.81-dev)")
  if [ $need_boost -eq 1 ]; then
    if [ "$boost" -gt 0 ]; then
      say "Boost $(boost_text "$boost") is installed; nimbo needs Boost 1.81 or newer (Boost.JSON)"
    else
      say "Boost is not installed; nimbo needs Boost 1.81 or newer (Boost.JSON)"
    fi
  fi
  say "missing Debian packages: ${missing[*]}"
  say "this script needs root or sudo to install them; as root, run:"
  echo "    apt-get update && apt-get install --no-install-recommends ${missing[*]}" >&2
  exit 1
fi

say "updating the package lists"
"${as_root[@]}" apt-get update -q

if [ $need_boost -eq 1 ]; then
  if ! p=$(boost_package); then
    say "no Boost 1.81 or newer in this system's package sources: install Boost >= 1.81 from"
    say "https://www.boost.org (headers suffice) and set Boost_ROOT to where it went"
    exit 1
  fi
  if [ "$boost" -gt 0 ]; then
    say "Boost $(boost_text "$boost") is too old (nimbo needs 1.81); installing $p, which replaces it"
  fi
  missing+=("$p")
fi
if [ $want_fuzzer -eq 1 ] && p=$(fuzzer_package); then add_missing "$p"; fi

install=()
for p in "${missing[@]}"; do
  if available "$p"; then install+=("$p"); else say "note: $p is not in the package sources, skipped"; fi
done
if [ ${#install[@]} -gt 0 ]; then
  say "installing ${install[*]}"
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -q --no-install-recommends "${install[@]}"
fi

if [ $need_boost -eq 1 ] && [ "$(boost_version)" -lt 108100 ]; then
  say "Boost is still older than 1.81 after installing; check which libboost*-dev packages are installed"
  exit 1
fi
say "done"
