#!/bin/sh
# Scale benchmark: 1000 jobs through both analysis programs.
#   bench/scale/run-scale.sh MORVAN3 KESTRA [CDSEC_MKREFS]
# Each job is a measured spectrum of ../shared/refdata/pcddb83 (relative to
# the repository) with Gaussian noise of 1% of its RMS (fixed seed), the 83
# proteins in turn, analysed against a synthetic 50-protein set 1 (made by
# cdsec_mkrefs --set 1 --count 50).  Everything is generated in a scratch
# directory at run time and removed afterwards.  KESTRA runs with
# KESTRA_SEED=1 and its default threads.  Prints the wall time and peak
# resident memory of each program and the total.  The job generator
# cdsec_mkscale is looked for in the build tree of MORVAN3 (or $MKSCALE),
# cdsec_mkrefs likewise unless named.  JOBS=N changes the job count.
set -eu
[ $# -ge 2 ] || { echo "usage: $0 MORVAN3 KESTRA [CDSEC_MKREFS]" >&2; exit 2; }
abs() { echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"; }
morvan=$(abs "$1")
kestra=$(abs "$2")
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
data="$repo/../shared/refdata/pcddb83"
[ -f "$data/spectra.csv" ] || { echo "skipped: measured spectra not found in $data"; exit 0; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is needed for the peak memory" >&2; exit 1; }
tree=$(dirname "$morvan")/..
find_tool() { find "$tree" -type f -name "$1" -perm -u+x 2>/dev/null | head -n 1; }
mk=${3:-${MKREFS:-$(find_tool cdsec_mkrefs)}}
gen=${MKSCALE:-$(find_tool cdsec_mkscale)}
[ -n "$mk" ] || { echo "cdsec_mkrefs not found; name it as the third argument" >&2; exit 1; }
[ -n "$gen" ] || { echo "cdsec_mkscale not found; build the target cdsec_mkscale or set MKSCALE" >&2; exit 1; }
jobs=${JOBS:-1000}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$mk" --set 1 --count 50 --seed 1 --out . > /dev/null
"$gen" --spectra "$data/spectra.csv" --jobs "$jobs" --seed 1 --noise 0.01 --set 1 > INPUT
echo "$jobs jobs ($(wc -c < INPUT) bytes of INPUT) against a 50-protein set 1"

# run NAME BINARY [ENV...]: prints "NAME seconds MiB" and keeps the figures.
run() {
  name=$1 bin=$2
  shift 2
  d="$work/$name"
  mkdir "$d"
  cp INPUT CDDATA.29 SSDATA.29 "$d/"
  (cd "$d" && env "$@" /usr/bin/time -f '%e %M' -o time.txt "$bin" < /dev/null > console.txt)
  read -r secs kib < "$d/time.txt"
  printf '%-8s %9.2f s %9.1f MiB\n' "$name" "$secs" "$(echo "scale=1; $kib / 1024" | bc)"
  echo "$secs" >> "$work/total"
}
run MORVAN3 "$morvan" CDSEC_REFDIR=.
echo "         $(grep -c 'Final Solution' MORVAN3/MORVAN3.OUT) jobs completed, $(grep -c '^ PROGRAM:     MORVAN3' MORVAN3/ProtSS.out) records"
run KESTRA "$kestra" CDSEC_REFDIR=. KESTRA_SEED=1
echo "         $(grep -c '^ PROGRAM:     KESTRA' KESTRA/ProtSS.out) records"
printf '%-8s %9.2f s\n' total "$(paste -sd+ "$work/total" | bc)"
