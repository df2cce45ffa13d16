#!/usr/bin/env bash
# Installs the system and Python packages that building, testing and
# benchmarking need. Safe to run repeatedly: it only installs what is missing.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# Boost.JSON needs Boost >= 1.81. Debian 12 ships it as libboost1.81-dev,
# newer releases have it in the default libboost-dev.
boost_pkg() {
  local v
  v=$(apt-cache policy libboost-dev 2>/dev/null | awk '/Candidate:/ {print $2}')
  if [ -n "$v" ] && dpkg --compare-versions "$v" ge 1.81; then
    echo libboost-dev
  else
    echo libboost1.81-dev
  fi
}

want=(build-essential cmake ninja-build libgtest-dev unicode-data clang clang-format libclang-rt-14-dev
      iverilog verilator gtkwave time yosys)
missing=()
updated=0
for p in "${want[@]}"; do
  have_pkg "$p" || missing+=("$p")
done
if ! have_pkg libboost1.81-dev && ! have_pkg libboost-dev; then
  $SUDO apt-get update -qq; updated=1
  missing+=("$(boost_pkg)")
fi
# libclang-rt-14-dev only exists where clang 14 is the default compiler.
if [ ${#missing[@]} -gt 0 ]; then
  [ $updated -eq 1 ] || $SUDO apt-get update -qq
  avail=()
  for p in "${missing[@]}"; do
    if apt-cache show "$p" >/dev/null 2>&1; then avail+=("$p"); else echo "note: $p not available, skipped" >&2; fi
  done
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${avail[@]}"
fi
