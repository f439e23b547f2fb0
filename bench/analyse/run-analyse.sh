#!/bin/sh
# Whole-command benchmark of cdref analyse: the example export
# (examples/alphabeta.txt, one spectrum) against three reference sets with
# both programs, with and without the magnitude check.
#   bench/analyse/run-analyse.sh CDREF [RUNS]
# Each variant runs RUNS times (default 3) in a scratch directory with the
# bundled sets (CDSEC_REFDIR=data) and KESTRA_SEED=1; the median wall time
# of each is printed.
set -eu
[ $# -ge 1 ] || { echo "usage: $0 CDREF [RUNS]" >&2; exit 2; }
cdref=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
runs=${2:-3}
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/cdsec-bench-analyse.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
params="--conc 0.25 --conc-unit mg/mL --path 0.1 --path-unit cm --mrw 113.5 --sets 3,4,5"
echo "cdref analyse, 1 spectrum x 3 sets x 2 programs, $runs runs each, $(nproc) cores"
for variant in "--no-scale" ""; do
  times=""
  i=0
  while [ $i -lt "$runs" ]; do
    start=$(date +%s.%N)
    # shellcheck disable=SC2086
    CDSEC_REFDIR="$repo/data" "$cdref" analyse "$repo/examples/alphabeta.txt" $params $variant \
      --out "$tmp/run$i" > /dev/null 2>&1 || { echo "cdref analyse failed" >&2; exit 1; }
    end=$(date +%s.%N)
    times="$times $(awk "BEGIN { printf \"%.2f\", $end - $start }")"
    rm -rf "$tmp/run$i"
    i=$((i + 1))
  done
  median=$(echo "$times" | tr ' ' '\n' | sed '/^$/d' | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
  printf '%-26s median %.2f s  (runs:%s)\n' "${variant:-with the magnitude check}" "$median" "$times"
done
