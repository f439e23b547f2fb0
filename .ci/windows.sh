#!/bin/sh
# The Windows programs: cross-built with MinGW-w64, their unit tests, golden
# cases and runner test run under Wine, then cdref analyse on the example
# export from a folder whose name has a blank and a letter beyond ASCII, its
# summary compared with the Linux build's.  Skipped, and said so, only when
# Wine cannot start here.
#   .ci/windows.sh [LINUX_BUILD_DIR]     (run from .ci/run after the Linux tests)
set -eu
cd "$(dirname "$0")/.."
linux=${1:-build}

wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] || wineserver=/usr/lib/wine/wineserver

cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release
cmake --build build-win -j2
(cd build-win && cpack -G ZIP >/dev/null && ls -l cdsec-*-win64.zip)

export WINEPREFIX="$PWD/build-win/wineprefix" WINEDEBUG=-all
# A fresh prefix takes a while to set up; once made it is reused.
if ! timeout 300 "$wine" wineboot -i >/dev/null 2>&1 ||
   [ "$(timeout 60 "$wine" cmd /c echo ready 2>/dev/null | tr -d '\r')" != ready ]; then
  echo "SKIPPED: Wine ($wine) cannot start on this machine, so the Windows programs were built but not tested"
  exit 0
fi
# One server for all the runs (each start would otherwise pay for its own).
"$wineserver" -w 2>/dev/null || true
"$wineserver" -p
trap '"$wineserver" -k 2>/dev/null || true' EXIT

timeout 1800 ctest --test-dir build-win --output-on-failure -j2 --timeout 300

scratch=$(mktemp -d "${TMPDIR:-/tmp}/cdsec-win.XXXXXX")
out="$scratch/résumé dir"
mkdir -p "$out"
cp examples/alphabeta.txt "$out/alpha beta.txt"
for build in "$linux" build-win; do
  case $build in
    build-win) run="timeout 600 $wine"; exe=.exe; dir="$out/windows" ;;
    *) run=""; exe=""; dir="$out/linux" ;;
  esac
  CDSEC_REFDIR="$PWD/data" $run "$build/cdref/cdref$exe" analyse "$out/alpha beta.txt" \
    --conc 0.25 --conc-unit mg/mL --path 0.1 --path-unit cm --mrw 113.5 \
    --morvan "$build/selfcon/MORVAN3$exe" --kestra "$build/varsel/KESTRA$exe" --out "$dir" >/dev/null
done
if ! cmp "$out/linux/summary.csv" "$out/windows/summary.csv"; then
  diff "$out/linux/summary.csv" "$out/windows/summary.csv" | head -20
  echo "cdref analyse: the Windows programs' summary differs from the Linux programs'" >&2
  exit 1
fi
echo "cdref analyse under Wine: summary.csv the same as on Linux"
rm -rf "$scratch"
