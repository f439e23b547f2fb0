#!/bin/sh
# Whole-program benchmark of KESTRA's worst case: one job whose search runs
# the full budget of 100000 trials against a 50-protein reference set.
#   bench/varsel/run-bench.sh [-r RUNS] [-t "THREADS..."] KESTRA_BINARY[@T1,T2...] ...
# Every binary is run with every thread count (CDSEC_THREADS; default "1 2",
# or $THREADS, or -t); BINARY@1 gives one binary its own counts (a build
# that knows no threads needs only 1).  The runs are interleaved, RUNS
# rounds (default 5, or $RUNS) of every binary and count in turn, so that a
# change in the machine's load falls on all of them alike.  The table shows
# the median wall time of the whole process, the speed-up against the first
# binary and count, the peak resident memory and a checksum of the reports,
# which must be the same for all (the run fails otherwise).
# The set and the sample are generated with cdsec_mkrefs (looked for in the
# build tree of the first binary, or named by $MKREFS).  The sample is a
# synthetic spectrum scaled by 0.1, as a spectrum of a wrongly entered
# concentration would be: only 79 trials pass the validity tests, so all
# 100000 are made (and the valid path and the selection are exercised too).
set -eu
runs=${RUNS:-5}
threads=${THREADS:-"1 2"}
while getopts r:t: opt; do
  case $opt in
    r) runs=$OPTARG ;;
    t) threads=$OPTARG ;;
    *) echo "usage: $0 [-r RUNS] [-t \"THREADS...\"] KESTRA_BINARY[@T1,T2...] ..." >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ $# -ge 1 ] || { echo "usage: $0 [-r RUNS] [-t \"THREADS...\"] KESTRA_BINARY[@T1,T2...] ..." >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is needed for the peak memory" >&2; exit 1; }

# The runs to make, one "label|binary|threads" per line.
plan=""
for arg in "$@"; do
  path=${arg%%@*}
  own=$threads
  case $arg in *@*) own=$(echo "${arg#*@}" | tr ',' ' ') ;; esac
  [ -x "$path" ] || { echo "not an executable: $path" >&2; exit 1; }
  bin=$(cd "$(dirname "$path")" && pwd)/$(basename "$path")
  for t in $own; do plan="$plan$path|$bin|$t
"; done
done
first_bin=$(printf '%s' "$plan" | head -n 1 | cut -d'|' -f2)
mk=${MKREFS:-$(find "$(dirname "$first_bin")/.." -type f -name cdsec_mkrefs -perm -u+x 2>/dev/null | head -n 1)}
[ -n "$mk" ] || { echo "cdsec_mkrefs not found; set MKREFS" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$mk" --set 1 --count 50 --seed 1 --out . >/dev/null
"$mk" --samples 1 --seed 2 --set 1 | sed '9s/1.0000$/0.1000/' > INPUT

for r in $(seq "$runs"); do
  i=0
  printf '%s' "$plan" | while IFS='|' read -r label bin t; do
    i=$((i + 1))
    rm -f Kestra.out reconCD.out ProtSS.out
    t0=$(date +%s.%N)
    CDSEC_THREADS=$t KESTRA_SEED=1 /usr/bin/time -f %M -o rss.txt "$bin" < /dev/null > console.txt
    t1=$(date +%s.%N)
    grep -q "icombf=100000" Kestra.out || { echo "$label: unexpected budget" >&2; exit 1; }
    grep -q "isstr= 79" Kestra.out || { echo "$label: unexpected count of valid trials" >&2; exit 1; }
    echo "$(echo "$t1 - $t0" | bc) $(cat rss.txt) $(cat Kestra.out reconCD.out ProtSS.out | md5sum | cut -d' ' -f1)" >> "res.$i"
    echo "round $r/$runs, $label, $t thread(s): $(echo "$t1 - $t0" | bc) s" >&2
  done
done

median() { sort -n | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }
printf '%-48s %7s %9s %8s %9s  %s\n' binary threads median_s speed-up peak_MiB reports
i=0
base=""
sums=""
printf '%s' "$plan" > plan.txt
while IFS='|' read -r label bin t; do
  i=$((i + 1))
  med=$(cut -d' ' -f1 "res.$i" | median)
  rss=$(cut -d' ' -f2 "res.$i" | sort -n | tail -n 1)
  sum=$(cut -d' ' -f3 "res.$i" | sort -u)
  [ -n "$base" ] || base=$med
  printf '%-48s %7s %9.3f %7.2fx %9.1f  %s\n' "$label" "$t" "$med" "$(echo "$base / $med" | bc -l)" \
    "$(echo "$rss / 1024" | bc -l)" "$sum"
  sums="$sums$sum
"
done < plan.txt
if [ "$(printf '%s' "$sums" | sort -u | wc -l)" -ne 1 ]; then
  echo "the reports differ between binaries, thread counts or runs" >&2
  exit 1
fi
