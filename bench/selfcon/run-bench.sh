#!/bin/sh
# Whole-program benchmark of MORVAN3: 20 jobs against a 50-protein reference
# set (every job has NP = 51, the largest working set), for one or more
# builds side by side.
#   bench/selfcon/run-bench.sh [-n RUNS] MORVAN3_BINARY [MORVAN3_BINARY...]
# The runs are interleaved (one of each binary in turn, RUNS rounds, default
# 5) so that a change in the machine's load falls on all of them alike.  For
# each binary the table gives the median wall time of the whole process, the
# time per job, the speed-up against the first binary, the median CPU time
# (user + system: steadier than wall time on a busy machine), the largest peak
# resident set over its runs (MiB) and a checksum of the four outputs, which
# must be the same for every build.  The set and the samples are generated
# with cdsec_mkrefs (found in the first binary's build tree, or $MKREFS).
set -eu
runs=5
if [ "${1:-}" = -n ]; then runs=$2; shift 2; fi
[ $# -ge 1 ] || { echo "usage: $0 [-n RUNS] MORVAN3_BINARY [MORVAN3_BINARY...]" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is needed for the peak memory" >&2; exit 1; }
here=$(cd "$(dirname "$0")" && pwd)
bins=""
for b in "$@"; do
  [ -x "$b" ] || { echo "not an executable: $b" >&2; exit 1; }
  bins="$bins $(cd "$(dirname "$b")" && pwd)/$(basename "$b")"
done
set -- $bins
mk=${MKREFS:-$(find "$(dirname "$1")/.." -type f -name cdsec_mkrefs -perm -u+x 2>/dev/null | head -n 1)}
[ -n "$mk" ] || { echo "cdsec_mkrefs not found; set MKREFS" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/data"
(cd "$work/data" && . "$here/workload.sh")
jobs=$(grep -c '^# PRINT' "$work/data/INPUT")

# One run of binary number $1 in a fresh copy of the data; appends
# "seconds peak_kib cpu_seconds" to $work/times.$1 and leaves the checksum in $work/sum.$1.
run_one() {
  i=$1 bin=$2 d="$work/run.$1"
  rm -rf "$d" && cp -r "$work/data" "$d"
  t0=$(date +%s.%N)
  (cd "$d" && /usr/bin/time -f '%M %U %S' -o "$d/.rss" "$bin" < /dev/null > "$d/console.txt")
  t1=$(date +%s.%N)
  read -r kib usr sys < "$d/.rss"
  echo "$(echo "$t1 - $t0" | bc) $kib $(echo "$usr + $sys" | bc)" >> "$work/times.$i"
  (cd "$d" && cat MORVAN3.OUT BASIS CalcCD.OUT ProtSS.out | md5sum | cut -d' ' -f1) > "$work/sum.$i"
}

for r in $(seq "$runs"); do
  i=0
  for b in "$@"; do i=$((i + 1)); run_one "$i" "$b"; done
done

median() { sort -n | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }
echo "$jobs jobs, median of $runs interleaved runs each"
printf '%-50s %9s %10s %8s %8s %9s  %s\n' binary median_s per_job_s speedup cpu_s peak_MiB checksum
i=0 first=""
for b in "$@"; do
  i=$((i + 1))
  m=$(cut -d' ' -f1 "$work/times.$i" | median)
  [ -n "$first" ] || first=$m
  rss=$(cut -d' ' -f2 "$work/times.$i" | sort -n | tail -n 1)
  cpu=$(cut -d' ' -f3 "$work/times.$i" | median)
  name=$b
  [ ${#name} -le 50 ] || name=...$(echo "$b" | rev | cut -c1-47 | rev)
  printf '%-50s %9.3f %10.4f %7.2fx %8.2f %9.1f  %s\n' "$name" "$m" "$(echo "scale=6; $m / $jobs" | bc)" \
    "$(echo "scale=4; $first / $m" | bc)" "$cpu" "$(echo "scale=1; $rss / 1024" | bc)" "$(cat "$work/sum.$i")"
done
sums=$(cat "$work"/sum.* | sort -u | wc -l)
[ "$sums" -eq 1 ] || { echo "the builds' outputs differ" >&2; exit 1; }
d="$work/run.1"
echo "jobs completed: $(grep -c 'Final Solution' "$d/MORVAN3.OUT")," \
     "first-stage failures: $(grep -c 'MORVAN FAILED \*\*\*' "$d/MORVAN3.OUT")," \
     "second-stage failures: $(grep -c 'FAILED AT SECOND' "$d/MORVAN3.OUT")," \
     "rule-4 failures: $(grep -c 'CRASHED' "$d/MORVAN3.OUT")"
