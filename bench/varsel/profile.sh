#!/bin/sh
# Where KESTRA's worst case spends its time: the workload of run-bench.sh
# under callgrind (instruction counts, reproducible from run to run), or
# under perf with PROFILER=perf (sampled wall time); one thread unless
# CDSEC_THREADS says otherwise.
#   bench/varsel/profile.sh KESTRA_BINARY
set -eu
[ $# -ge 1 ] || { echo "usage: $0 KESTRA_BINARY" >&2; exit 2; }
bin=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
mk=${MKREFS:-$(find "$(dirname "$bin")/.." -type f -name cdsec_mkrefs -perm -u+x 2>/dev/null | head -n 1)}
[ -n "$mk" ] || { echo "cdsec_mkrefs not found; set MKREFS" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$mk" --set 1 --count 50 --seed 1 --out . >/dev/null
"$mk" --samples 1 --seed 2 --set 1 | sed '9s/1.0000$/0.1000/' > INPUT
if [ "${PROFILER:-callgrind}" = perf ]; then
  CDSEC_THREADS=${CDSEC_THREADS:-1} KESTRA_SEED=1 perf record -q -o perf.data "$bin" < /dev/null > /dev/null 2>&1
  perf report -i perf.data --no-children --stdio 2>/dev/null | grep -E '^ +[0-9]+\.[0-9]+%' | head -15
else
  CDSEC_THREADS=${CDSEC_THREADS:-1} KESTRA_SEED=1 valgrind --tool=callgrind --callgrind-out-file=cg.out "$bin" < /dev/null > /dev/null 2>cg.log
  callgrind_annotate --inclusive=no cg.out 2>/dev/null | sed -n '1,40p' | grep -E 'Ir|PROGRAM TOTALS|^ *[0-9,]+ '
fi
