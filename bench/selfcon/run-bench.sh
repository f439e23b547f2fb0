#!/bin/sh
# Whole-program benchmark of MORVAN3: 20 jobs against a 50-protein reference
# set (every job has NP = 51, the largest working set).
#   bench/selfcon/run-bench.sh MORVAN3_BINARY [RUNS]
# The set and the samples are generated with cdsec_mkrefs (looked for in the
# build tree of the binary, or named by $MKREFS) into a scratch directory.
# Prints the wall time of each run, the median, the time per job, how the
# jobs ended, and a checksum of the four outputs (which must not change when
# the program is made faster).
set -eu
[ $# -ge 1 ] || { echo "usage: $0 MORVAN3_BINARY [RUNS]" >&2; exit 2; }
bin=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
runs=${2:-5}
here=$(cd "$(dirname "$0")" && pwd)
mk=${MKREFS:-$(find "$(dirname "$bin")/.." -type f -name cdsec_mkrefs -perm -u+x 2>/dev/null | head -n 1)}
[ -n "$mk" ] || { echo "cdsec_mkrefs not found; set MKREFS" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
. "$here/workload.sh"
jobs=$(grep -c '^# PRINT' INPUT)

times=""
for i in $(seq "$runs"); do
  rm -f MORVAN3.OUT BASIS CalcCD.OUT ProtSS.out
  t0=$(date +%s.%N)
  "$bin" < /dev/null > console.txt
  t1=$(date +%s.%N)
  t=$(echo "$t1 - $t0" | bc)
  echo "run $i: $t s"
  times="$times $t"
done
median=$(printf '%s\n' $times | sort -n | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}')
echo "median: $median s over $runs runs; $jobs jobs"
echo "per job: $(echo "scale=6; $median / $jobs" | bc) s"
echo "jobs completed: $(grep -c 'Final Solution' MORVAN3.OUT)," \
     "first-stage failures: $(grep -c 'MORVAN FAILED \*\*\*' MORVAN3.OUT)," \
     "second-stage failures: $(grep -c 'FAILED AT SECOND' MORVAN3.OUT)," \
     "rule-4 failures: $(grep -c 'CRASHED' MORVAN3.OUT)"
echo "reports: $(cat MORVAN3.OUT BASIS CalcCD.OUT ProtSS.out | md5sum | cut -d' ' -f1)"
