#!/bin/sh
# A thermal melt of 44 spectra at 0.1 nm from 260 to 190 nm (about 0.7 MB,
# examples/make-melt.sh) through the whole path: cdref convert to 44 jobs,
# then MORVAN3 and KESTRA on them (bundled sets, KESTRA_SEED fixed), and
# cdref summary --series.  Prints the median wall time of RUNS repetitions
# of each step:
#   bench/series/run-series.sh BUILD_DIR [RUNS]
set -eu
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?usage: run-series.sh BUILD_DIR [RUNS]}" && pwd)
runs=${2:-3}
tmp=$(mktemp -d "${TMPDIR:-/tmp}/cdsec-series.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
"$here/examples/make-melt.sh" "$build" 44 0.1 190 "$tmp/melt.txt"
size=$(wc -c < "$tmp/melt.txt")

now() { date +%s.%N; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
# time_step NAME COMMAND...: runs COMMAND in a fresh directory RUNS times.
time_step() {
  name=$1; shift
  : > "$tmp/times"
  i=0
  while [ "$i" -lt "$runs" ]; do
    rm -rf "$tmp/w"; mkdir "$tmp/w"
    [ -f "$tmp/INPUT" ] && cp "$tmp/INPUT" "$tmp/w/INPUT"
    [ -f "$tmp/ProtSS.out" ] && cp "$tmp/ProtSS.out" "$tmp/w/ProtSS.out"
    t0=$(now)
    (cd "$tmp/w" && "$@" > out.log 2> err.log < /dev/null) || { echo "$name failed:" >&2; cat "$tmp/w/err.log" >&2; exit 1; }
    t1=$(now)
    echo "$t1 - $t0" | bc -l >> "$tmp/times"
    i=$((i + 1))
  done
  printf '%-34s %8.3f s\n' "$name" "$(median < "$tmp/times")"
}

echo "melt export: 44 spectra x 701 points x 3 channels, $size bytes; median of $runs runs"
time_step "cdref convert (44 jobs)" "$build/cdref/cdref" convert "$tmp/melt.txt" --conc 0.2 --conc-unit mg/mL \
  --path 0.1 --path-unit cm --mrw 110 --append INPUT --title melt --series-unit C
cp "$tmp/w/INPUT" "$tmp/INPUT"
export CDSEC_REFDIR="$here/data" KESTRA_SEED=1
time_step "MORVAN3 (44 jobs)" "$build/selfcon/MORVAN3"
cp "$tmp/w/ProtSS.out" "$tmp/ProtSS.m"
time_step "KESTRA (44 jobs)" "$build/varsel/KESTRA"
cat "$tmp/ProtSS.m" "$tmp/w/ProtSS.out" > "$tmp/ProtSS.out"
time_step "cdref summary --series" "$build/cdref/cdref" summary ProtSS.out --series
grep -A3 "^  Helix" "$tmp/w/out.log" | head -4
