#!/bin/sh
# The Windows programs: cross-built with MinGW-w64 and zipped, their unit
# tests, golden cases and runner test run under Wine, then cdref analyse of
# the example export with the programs of the unzipped package (which find
# their reference sets beside themselves), its summary compared with the
# Linux build's.  Skipped, and said so, only when Wine cannot start here.
# Every Wine call has a time limit, so the step ends in bounded time.
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
rm -f build-win/cdsec-*-win64.zip
(cd build-win && cpack -G ZIP >/dev/null)
zip=$(ls "$PWD"/build-win/cdsec-*-win64.zip)
ls -l "$zip"

export WINEPREFIX="$PWD/build-win/wineprefix" WINEDEBUG=-all
# A server left by an earlier run (of this prefix) is ended first.
timeout 30 "$wineserver" -w 2>/dev/null || "$wineserver" -k 2>/dev/null || true
# A fresh prefix takes a while to set up; once made it is reused.
if ! timeout 300 "$wine" wineboot -i </dev/null >/dev/null 2>&1 ||
   [ "$(timeout 60 "$wine" cmd /c echo ready </dev/null 2>/dev/null | tr -d '\r')" != ready ]; then
  echo "SKIPPED: Wine ($wine) cannot start on this machine, so the Windows programs were built but not tested"
  exit 0
fi
# One server for all the runs (each start would otherwise pay for its own),
# ending two minutes after the last one should this script be killed.
timeout 30 "$wineserver" -w 2>/dev/null || "$wineserver" -k 2>/dev/null || true
"$wineserver" -p120
scratch=$(mktemp -d "${TMPDIR:-/tmp}/cdsec-win.XXXXXX")
trap '"$wineserver" -k 2>/dev/null || true; rm -rf "$scratch"' EXIT
trap 'exit 1' INT TERM HUP

# A test whose Wine process outlives its time is tried once more (seen
# rarely under load: the program had done its work but did not end).
timeout 1800 ctest --test-dir build-win --output-on-failure -j2 --timeout 300 --repeat after-timeout:2 </dev/null

# The example export analysed in a folder whose name has a blank, by the
# programs of the unzipped package; no CDSEC_REFDIR.
pkg="$scratch/cdsec programs"
mkdir -p "$pkg"
(cd "$pkg" && cmake -E tar xf "$zip")
bin=$(ls -d "$pkg"/cdsec-*-win64/bin)
out="$scratch/CD data"
mkdir -p "$out"
cp examples/alphabeta.txt "$out/alpha beta.txt"
linux_cdref="$PWD/$linux/cdref/cdref"
(cd "$out" && env -u CDSEC_REFDIR "$linux_cdref" analyse "alpha beta.txt" \
   --conc 0.25 --conc-unit mg/mL --path 0.1 --path-unit cm --mrw 113.5 --out linux >/dev/null)
(cd "$out" && env -u CDSEC_REFDIR timeout 600 "$wine" "$bin/cdref.exe" analyse "alpha beta.txt" \
   --conc 0.25 --conc-unit mg/mL --path 0.1 --path-unit cm --mrw 113.5 --out windows </dev/null >/dev/null)
if ! cmp "$out/linux/summary.csv" "$out/windows/summary.csv"; then
  diff "$out/linux/summary.csv" "$out/windows/summary.csv" | head -20
  echo "cdref analyse: the Windows programs' summary differs from the Linux programs'" >&2
  exit 1
fi
# The sets came from the package, beside the programs.
grep -q '"origin": *"installed"' "$out"/windows/records/*.json || {
  echo "cdref analyse under Wine: the reference sets were not taken from the package" >&2
  exit 1
}
echo "cdref analyse under Wine, programs of the unzipped package: summary.csv the same as on Linux"
