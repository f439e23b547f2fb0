#!/bin/sh
# Whole-program benchmark of KESTRA's worst case: one job whose search runs
# the full budget of 100000 trials against a 50-protein reference set.
#   bench/varsel/run-bench.sh KESTRA_BINARY [RUNS]
# The set and the sample are generated with cdsec_mkrefs (looked for in the
# build tree of the binary, or named by $MKREFS).  The sample is a synthetic
# spectrum scaled by 0.1, as a spectrum of a wrongly entered concentration
# would be: only 79 trials pass the validity tests, so all 100000 are made
# (and the valid path and the selection are exercised too).  Prints the
# wall time of each run, their median and a checksum of the reports (which
# must not change when the program is made faster).
set -eu
[ $# -ge 1 ] || { echo "usage: $0 KESTRA_BINARY [RUNS]" >&2; exit 2; }
bin=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
runs=${2:-5}
mk=${MKREFS:-$(find "$(dirname "$bin")/.." -type f -name cdsec_mkrefs -perm -u+x 2>/dev/null | head -n 1)}
[ -n "$mk" ] || { echo "cdsec_mkrefs not found; set MKREFS" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$mk" --set 1 --count 50 --seed 1 --out . >/dev/null
"$mk" --samples 1 --seed 2 --set 1 | sed '9s/1.0000$/0.1000/' > INPUT

times=""
for i in $(seq "$runs"); do
  rm -f Kestra.out reconCD.out ProtSS.out
  t0=$(date +%s.%N)
  KESTRA_SEED=1 "$bin" < /dev/null > console.txt
  t1=$(date +%s.%N)
  t=$(echo "$t1 - $t0" | bc)
  echo "run $i: $t s"
  times="$times $t"
done
grep -q "icombf=100000" Kestra.out || { echo "unexpected budget" >&2; exit 1; }
grep -q "isstr= 79" Kestra.out || { echo "unexpected count of valid trials" >&2; exit 1; }
echo "median: $(printf '%s\n' $times | sort -n | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}') s over $runs runs"
echo "reports: $(cat Kestra.out reconCD.out ProtSS.out | md5sum | cut -d' ' -f1)"
