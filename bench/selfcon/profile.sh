#!/bin/sh
# Where MORVAN3 spends its time on the workload of run-bench.sh: callgrind
# (instruction counts, reproducible from run to run), or perf with
# PROFILER=perf (sampled wall time).
#   bench/selfcon/profile.sh MORVAN3_BINARY
set -eu
[ $# -ge 1 ] || { echo "usage: $0 MORVAN3_BINARY" >&2; exit 2; }
bin=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
here=$(cd "$(dirname "$0")" && pwd)
mk=${MKREFS:-$(find "$(dirname "$bin")/.." -type f -name cdsec_mkrefs -perm -u+x 2>/dev/null | head -n 1)}
[ -n "$mk" ] || { echo "cdsec_mkrefs not found; set MKREFS" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
. "$here/workload.sh"
if [ "${PROFILER:-callgrind}" = perf ]; then
  perf record -q -g -o perf.data "$bin" < /dev/null > /dev/null 2>&1
  perf report -i perf.data --no-children --stdio 2>/dev/null | grep -E '^ +[0-9]+\.[0-9]+%' | head -15
else
  valgrind --tool=callgrind --callgrind-out-file=cg.out "$bin" < /dev/null > /dev/null 2>cg.log
  echo "== exclusive"
  callgrind_annotate --inclusive=no cg.out 2>/dev/null | grep -E 'PROGRAM TOTALS|^ *[0-9,]+ ' | head -16
  echo "== inclusive"
  callgrind_annotate --inclusive=yes cg.out 2>/dev/null | grep -E '^ *[0-9,]+ ' | grep -E 'cdsec::|main' | head -16
fi
