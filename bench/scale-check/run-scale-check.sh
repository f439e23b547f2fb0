#!/bin/sh
# How well cdref scale tells a wrongly scaled spectrum from a right one, on
# measured CD spectra: the 56 soluble proteins of the measured data set, as
# given (true scale) and multiplied by 10, 2, 0.5 and 0.1.
#
#   bench/scale-check/run-scale-check.sh [BUILD_DIR]
#
# BUILD_DIR (default $CDSEC_BUILD, else <repo>/build) must hold the built
# cdref, MORVAN3 and KESTRA.  The data are read from
# $CDSEC_SHARED_DIR/refdata/pcddb83 (default <repo>/../shared/...): delta
# epsilon per residue from 260 to 180 nm.  Without them the check says so
# and ends with status 0.  The jobs are written at run time under a scratch
# directory in /tmp (removed at the end; KEEP=1 keeps it), never into the
# repository.  ONLY=MORVAN3 or ONLY=KESTRA runs one program.
#
# Each spectrum becomes one job of INPUT through cdref convert (units delta
# epsilon, the reference set it suggests from the short end); the scaled
# INPUTs differ only in the factor of each job's range line, which the
# programs multiply every value by.  The table gives, per scale, the share
# of jobs warned about (at true scale these are false alarms) and the
# spread of the combined estimates, and per signal the suggestions on the
# correctly scaled spectra: their medians and spreads are the typical values
# and spreads cdref scale judges a suggestion by.  Those, and the warning
# band, were set on this very table, so it is not an independent test of
# them.  The programs run under nice.
set -eu

repo=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-${CDSEC_BUILD:-$repo/build}}
data=${CDSEC_SHARED_DIR:-$repo/../shared}/refdata/pcddb83
if [ ! -f "$data/spectra.csv" ]; then
  echo "scale check skipped: no measured data in $data"
  exit 0
fi
cdref=$build/cdref/cdref
for b in "$cdref" "$build/selfcon/MORVAN3" "$build/varsel/KESTRA"; do
  [ -x "$b" ] || { echo "$b not built (build cdref, MORVAN3 and KESTRA in $build)" >&2; exit 1; }
done
command -v python3 > /dev/null || { echo "python3 is needed to read the JSON results" >&2; exit 1; }
export CDSEC_REFDIR=${CDSEC_REFDIR:-$repo/data}

work=$(mktemp -d /tmp/cdsec-scale-check.XXXXXX)
if [ "${KEEP:-0}" = 1 ]; then
  echo "scratch: $work"
else
  trap 'rm -rf "$work"' EXIT
fi

# ---------------------------------------------------------------- the jobs
mkdir "$work/spectra"
awk -F, -v d="$work/spectra" '
  NR == 1 { for (i = 4; i <= NF; i++) wl[i] = $i; next }
  $3 == "soluble" {
    f = sprintf("%s/%03d-%s.txt", d, ++n, $1)
    for (i = 4; i <= NF; i++) print wl[i], $i > f
    close(f)
  }' "$data/spectra.csv"
count=$(ls "$work/spectra" | wc -l)
[ "$count" = 56 ] || { echo "unexpected composition of $data/spectra.csv (56 soluble proteins expected, $count found)" >&2; exit 1; }
for f in "$work"/spectra/*.txt; do
  name=$(basename "$f" .txt)
  "$cdref" convert "$f" --units delta-epsilon --append "$work/INPUT" --title "${name#*-} soluble" > /dev/null
done

only=""
[ -n "${ONLY:-}" ] && only="--only $ONLY"
for scale in 1 10 2 0.5 0.1; do
  # The factor field of every job's range line (line 9 of a job).
  awk -v s="$scale" '/^ +[0-9.]+ +[0-9.]+ +1\.0000 *$/ && prev ~ /WL_Begin/ { printf "%12.4f%12.4f%12.4f\n", $1, $2, s; prev = $0; next } { print; prev = $0 }' \
    "$work/INPUT" > "$work/INPUT-$scale"
  [ "$(grep -c "^ *[0-9.]* *[0-9.]* *$(printf '%.4f' "$scale")\$" "$work/INPUT-$scale")" = 56 ] ||
    { echo "could not scale the jobs by $scale" >&2; exit 1; }
  echo "cdref scale: spectra x $scale" >&2
  # shellcheck disable=SC2086
  nice "$cdref" scale "$work/INPUT-$scale" --seed 1 $only --json "$work/scale-$scale.json" > "$work/scale-$scale.txt" \
    2> "$work/scale-$scale.progress" || { cat "$work/scale-$scale.progress" >&2; exit 1; }
done

# ---------------------------------------------------------------- the table
python3 - "$work" <<'EOF'
import json, math, sys
work = sys.argv[1]
scales = ["1", "10", "2", "0.5", "0.1"]
def pct(v, q):
    v = sorted(v)
    if not v:
        return float("nan")
    k = (len(v) - 1) * q
    lo, hi = math.floor(k), math.ceil(k)
    return v[lo] + (v[hi] - v[lo]) * (k - lo)
def spread(v):
    if not v:
        return "-"
    return "%6.2f %6.2f %6.2f %6.2f %6.2f  (%d)" % (min(v), pct(v, 0.1), pct(v, 0.5), pct(v, 0.9), max(v), len(v))
print("Magnitude check on the 56 soluble measured spectra")
print()
print("%-10s %6s %7s   %s" % ("spectra", "warned", "share", "combined estimate: min, 10th, 50th, 90th percentile, max (jobs)"))
res = {}
for s in scales:
    d = json.load(open("%s/scale-%s.json" % (work, s)))
    jobs = d["jobs"]
    res[s] = jobs
    band = (d["warn_below"], d["warn_above"])
    w = sum(1 for j in jobs if j["warning"])
    comb = [j["combined_factor"] for j in jobs if j["combined_factor"]]
    label = "true scale" if s == "1" else "x " + s
    print("%-10s %3d/%-2d %6.0f%%   %s" % (label, w, len(jobs), 100.0 * w / len(jobs), spread(comb)))
print()
# What the typical values and spreads of cdref scale are made from: each
# signal's suggestion on the correctly scaled spectra.
print("Suggested factors at true scale, per signal: min, 10th, 50th, 90th percentile, max (jobs);")
print("spread = (ln 90th - ln 10th percentile) / 2.56; beyond = at an end of the ladder")
names = {}
for j in res["1"]:
    for x in j["signals"]:
        names.setdefault(x["signal"], []).append(x)
for name, xs in names.items():
    v = [x["suggested_factor"] for x in xs]
    sp = (math.log(pct(v, 0.9)) - math.log(pct(v, 0.1))) / 2.56
    print("  %-31s %s  spread %.2f  beyond %d  (typical used: %.2f)" %
          (name, spread(v), sp, sum(1 for x in xs if x["beyond_ladder"]), xs[0]["typical_when_right"]))
print()
print("The typical values and spreads of the signals and the warning band of cdref scale (no warning for a")
print("combined estimate from %.3g to %.3g) were set on this benchmark, so it is not an independent test of them." % band)
EOF
