#!/bin/sh
# The Windows programs: cross-built with MinGW-w64 and zipped, their unit
# tests, golden cases and runner test run under Wine, then cdref analyse of
# the example export with the programs of the unzipped package (which find
# their reference sets beside themselves), its summary compared with the
# Linux build's; then once more with the sets from a copy of the package's
# data named by CDSEC_REFDIR.  Folders and files have names beyond ASCII.
# Skipped, and said so, only when Wine cannot start here.
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
# Wine reads the names in arguments, environment and folders in the locale's
# encoding: UTF-8, as the programs give and take them.
export LC_ALL=C.UTF-8
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
# The prefix's services (services.exe, winedevice.exe, ...) start with the
# first program the new server runs and stay as long as it does, holding
# that program's standard output and error.  Started here, they hold
# /dev/null; started by a test, they would keep its output pipe open and
# ctest would wait for the test until its time limit.
timeout 300 "$wine" wineboot </dev/null >/dev/null 2>&1 || true
scratch=$(mktemp -d "${TMPDIR:-/tmp}/cdsec-win.XXXXXX")
trap '"$wineserver" -k 2>/dev/null || true; rm -rf "$scratch"' EXIT
trap 'exit 1' INT TERM HUP

# A test that fails or outlives its time is tried once more: rarely, Wine
# fails to start a program at all (status without output, in milliseconds).
# A fault of the package fails both times.
timeout 1800 ctest --test-dir build-win --output-on-failure -j2 --timeout 300 --repeat until-pass:2 </dev/null

# The example export analysed in a folder whose name has a blank and an
# accent, under a name in Greek, into a folder with an accent, by the
# programs of the unzipped package; no CDSEC_REFDIR.
pkg="$scratch/cdsec programs"
mkdir -p "$pkg"
(cd "$pkg" && cmake -E tar xf "$zip")
bin=$(ls -d "$pkg"/cdsec-*-win64/bin)
out="$scratch/données CD"
mkdir -p "$out"
export_file="α-hélice β.txt"
cp examples/alphabeta.txt "$out/$export_file"
analyse_args="--conc 0.25 --conc-unit mg/mL --path 0.1 --path-unit cm --mrw 113.5"
linux_cdref="$PWD/$linux/cdref/cdref"
# shellcheck disable=SC2086  # the options are words
(cd "$out" && env -u CDSEC_REFDIR "$linux_cdref" analyse "$export_file" $analyse_args --out linux >/dev/null)
# The summary of a Windows run is the same as the Linux one.
same_as_linux() {
  if ! cmp "$out/linux/summary.csv" "$1/summary.csv"; then
    diff "$out/linux/summary.csv" "$1/summary.csv" | head -20
    echo "cdref analyse: the Windows programs' summary differs from the Linux programs'" >&2
    exit 1
  fi
}
# shellcheck disable=SC2086
(cd "$out" && env -u CDSEC_REFDIR timeout 600 "$wine" "$bin/cdref.exe" analyse "$export_file" $analyse_args \
   --out "résultats Windows" </dev/null >/dev/null)
same_as_linux "$out/résultats Windows"
# The sets came from the package, beside the programs.
grep -q '"origin": *"installed"' "$out/résultats Windows"/records/*.json || {
  echo "cdref analyse under Wine: the reference sets were not taken from the package" >&2
  exit 1
}
echo "cdref analyse under Wine, programs of the unzipped package: summary.csv the same as on Linux"

# Again with CDSEC_REFDIR naming a copy of the package's sets in a folder
# named in Greek (as a Windows path: Wine hands the variable over as it is).
refdir="$scratch/σύνολα αναφοράς"
cp -R "$(ls -d "$pkg"/cdsec-*-win64/share/cdsec)" "$refdir"
# shellcheck disable=SC2086
(cd "$out" && CDSEC_REFDIR="Z:$refdir" timeout 600 "$wine" "$bin/cdref.exe" analyse "$export_file" $analyse_args \
   --out "refdir" </dev/null >/dev/null)
same_as_linux "$out/refdir"
if grep -q '"origin": *"installed"' "$out"/refdir/records/*.json ||
   ! grep -q '"origin": *"CDSEC_REFDIR"' "$out"/refdir/records/*.json ||
   ! grep -q "σύνολα αναφοράς" "$out"/refdir/records/*.json; then
  echo "cdref analyse under Wine: the reference sets were not taken from CDSEC_REFDIR ($refdir)" >&2
  exit 1
fi
echo "cdref analyse under Wine, sets from CDSEC_REFDIR in a folder named in Greek: summary.csv the same as on Linux"
