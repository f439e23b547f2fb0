#!/bin/sh
# Accuracy of both analysis programs on measured CD spectra of proteins of
# known structure: cross-validation of reference sets built from the
# measured data, and the measured spectra analysed against the bundled
# synthetic sets.
#
#   bench/accuracy/run-accuracy.sh [BUILD_DIR]
#
# BUILD_DIR (default $CDSEC_BUILD, else <repo>/build) must hold the built
# cdref, MORVAN3 and KESTRA.  The data are read from
# $CDSEC_SHARED_DIR/refdata/pcddb83 (default <repo>/../shared/...): 83
# spectra in delta epsilon per residue, 260 to 180 nm, with DSSP fractions;
# 56 soluble and 27 membrane proteins.  Without them the benchmark says so
# and ends with status 0.  Everything derived from the data is written under
# a scratch directory in /tmp and removed at the end (KEEP=1 keeps it); the
# data may not be copied into the repository.  Prints one table.
#
# Class mapping (DSSP has no regular/distorted split and no PPII class, so
# the six classes of the split sets are filled as follows, and every DSSP
# column is used exactly once):
#   H(r) = alpha_helix_H                     H(d) = helix_310_G + pi_helix_I
#   S(r) = antiparallel_beta_A1 + antiparallel_beta_A2 + parallel_beta_P
#   S(d) = bridge_B                          Trn  = turn_T
#   Unrd = other_O
# Helix in the table is H(r) + H(d) (for the bundled sets 2 and 5 their
# helix classes, AHel + 3/10 and AHel), strand S(r) + S(d) (BSht).
#
# Wavelengths.  The data stop at 180 nm; the reference files hold 260 to
# 178 nm, so 179 and 178 nm are filled with zeros by the import (--fill
# zero), and no filled value is ever read: the sets are imported as set 3
# (valid 240 to 185 nm) and set 4 (240 to 190 nm), whose ranges the
# programs keep to, and as set 1 (260 to 178 nm) with the jobs narrowed to
# the measured 260 to 180 nm (crossval --range).  The samples analysed
# against the bundled sets carry set 3's range, so those jobs run from 240
# to 185 nm (190 nm against sets 4, 7 and 8).
#
# Folds.  A set holds at most 50 proteins.  For a pool of more, 50 proteins
# spread evenly over the pool (by kind: of n proteins of a kind, k go into
# the set, the i-th when floor((i+1)k/n) > floor(ik/n)) form the set; each of
# them is analysed with itself left out (49 reference proteins), and the
# rest of the pool is analysed against the whole set (50).  So every
# protein is predicted once, from a basis of other proteins only.
#   soluble: 50 of the 56 soluble in the set, 6 against it
#   all:     34 soluble + 16 membrane in the set, 22 + 11 against it
#   membrane: the 27 membrane proteins, each left out in turn
# Failed jobs (MORVAN3 without a result; KESTRA's failure records) are
# counted in the table and left out of the statistics.
set -eu

repo=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-${CDSEC_BUILD:-$repo/build}}
data=${CDSEC_SHARED_DIR:-$repo/../shared}/refdata/pcddb83
if [ ! -f "$data/spectra.csv" ] || [ ! -f "$data/fractions.csv" ]; then
  echo "accuracy benchmark skipped: no measured data in $data"
  exit 0
fi
cdref=$build/cdref/cdref
morvan=$build/selfcon/MORVAN3
kestra=$build/varsel/KESTRA
for b in "$cdref" "$morvan" "$kestra"; do
  [ -x "$b" ] || { echo "$b not built (build cdref, MORVAN3 and KESTRA in $build)" >&2; exit 1; }
done

work=$(mktemp -d /tmp/cdsec-accuracy.XXXXXX)
if [ "${KEEP:-0}" = 1 ]; then
  echo "scratch: $work"
else
  trap 'rm -rf "$work"' EXIT
fi

# ---------------------------------------------------------------- folds
awk -F, -v out="$work" '
  function put(fold) { print > (out "/" fold ".csv") }
  NR == FNR { if (FNR > 1) n[$3]++; next }
  FNR == 1 {
    for (f = 1; f <= 5; f++) print > (out "/" name[f] ".csv")
    next
  }
  {
    kind = $3; i = seen[kind]++
    if (kind == "soluble") {
      put(int((i + 1) * 50 / n[kind]) > int(i * 50 / n[kind]) ? "sol_set" : "sol_rest")
      put(int((i + 1) * 34 / n[kind]) > int(i * 34 / n[kind]) ? "all_set" : "all_rest")
    } else if (kind == "membrane") {
      put(int((i + 1) * 16 / n[kind]) > int(i * 16 / n[kind]) ? "all_set" : "all_rest")
      put("mem_set")
    }
  }
  BEGIN { split("sol_set sol_rest all_set all_rest mem_set", name, " ") }
' "$data/spectra.csv" "$data/spectra.csv"
count() { echo $(($(wc -l < "$work/$1.csv") - 1)); }
[ "$(count sol_set)" = 50 ] && [ "$(count sol_rest)" = 6 ] && [ "$(count all_set)" = 50 ] &&
  [ "$(count all_rest)" = 33 ] && [ "$(count mem_set)" = 27 ] ||
  { echo "unexpected composition of $data/spectra.csv (56 soluble and 27 membrane proteins expected)" >&2; exit 1; }

# ---------------------------------------------------------------- sets
import() {  # FOLD SET: $work/FOLD-SET/CDDATA.xx
  mkdir -p "$work/$1-$2"
  if ! "$cdref" import --set "$2" --spectra "$work/$1.csv" --fractions "$data/fractions.csv" --id pdb \
      --map 'H(r)=alpha_helix_H' --map 'H(d)=helix_310_G+pi_helix_I' \
      --map 'S(r)=antiparallel_beta_A1+antiparallel_beta_A2+parallel_beta_P' \
      --map 'S(d)=bridge_B' --map 'Trn=turn_T' --map 'Unrd=other_O' \
      --fill zero --out "$work/$1-$2" > "$work/$1-$2.log" 2>&1; then
    # A fold of samples may hold fewer than 8 proteins; nothing else may be wrong.
    if grep "problem:" "$work/$1-$2.log" | grep -qv "needs at least 8"; then
      cat "$work/$1-$2.log" >&2
      exit 1
    fi
  fi
}
for set in 1 3 4; do
  for fold in sol_set sol_rest all_set all_rest mem_set; do import "$fold" "$set"; done
done
setfile() { case $2 in 1) echo "$work/$1-1/CDDATA.29" ;; 3) echo "$work/$1-3/CDDATA.37" ;; 4) echo "$work/$1-4/CDDATA.43" ;; esac; }
# The jobs' wavelengths: set 1 is narrowed to those measured.
range_of() { case $1 in 1) echo "--range 260 180" ;; esac; }

# ---------------------------------------------------------------- runs
crossval() {  # TAG, then the arguments; the per-protein table, statistics and plot stay in the scratch
  tag=$1
  shift
  echo "cdref crossval: $tag" >&2
  if ! "$cdref" crossval --morvan "$morvan" --kestra "$kestra" --seed 1 --worst 3 \
      --stats "$work/$tag.stats" --csv "$work/$tag.csv" --svg "$work/$tag.svg" "$@" \
      > "$work/$tag.txt" 2> "$work/$tag.progress"; then
    cat "$work/$tag.txt" "$work/$tag.progress" >&2
    exit 1
  fi
}
for set in 1 3 4; do
  # shellcheck disable=SC2046
  crossval "soluble-$set" "$(setfile sol_set $set)" --samples "$(setfile sol_rest $set)" $(range_of $set)
  # shellcheck disable=SC2046
  crossval "all-$set" "$(setfile all_set $set)" --samples "$(setfile all_rest $set)" $(range_of $set)
  # shellcheck disable=SC2046
  crossval "membrane-$set" "$(setfile mem_set $set)" $(range_of $set)
done
bundled=""
for s in 29 23 37 43 P2 42 48 CA; do bundled="$bundled $repo/data/CDDATA.$s"; done
# shellcheck disable=SC2086
crossval bundled $bundled --samples "$(setfile all_set 3)" --samples "$(setfile all_rest 3)" --samples-only

# ---------------------------------------------------------------- the table
# Rows from the statistics files (set,program,class,n,jobs,failed,rms,r,mse):
# helix and strand RMS and r of each program, and its failed jobs.
rows() {  # TAG DATA REFERENCE [RANGE]
  awk -F, -v data="$2" -v ref="$3" -v range="${4:-}" '
    NR == 1 { next }
    {
      if (!($1 in seen)) { seen[$1] = 1; order[++n] = $1 }
      k = $1 SUBSEP $2
      jobs[$1] = $5; failed[k] = $6
      if ($3 == "Helix") { hr[k] = $7; hc[k] = $8 }
      if ($3 == "Strand") { sr[k] = $7; sc[k] = $8 }
    }
    END {
      for (i = 1; i <= n; i++) {
        f = order[i]; suffix = f; sub(/.*CDDATA\./, "", suffix)
        r = ref == "" ? "bundled " suffix : ref
        wl = range != "" ? range : suffix ~ /^(43|48|CA)$/ ? "240-190" : "240-185"
        line = sprintf("%-7s %-11s %-7s %3d", data, r, wl, jobs[f])
        for (p = 1; p <= 2; p++) {
          k = f SUBSEP (p == 1 ? "MORVAN3" : "KESTRA")
          line = line sprintf(" | %6.3f %6.3f %6.3f %6.3f %4d", hr[k], hc[k], sr[k], sc[k], failed[k])
        }
        print line
      }
    }' "$work/$1.stats"
}
echo
echo "Accuracy on measured spectra: predicted against DSSP fractions (helix = H+G+I, strand = E+B)"
printf '%-7s %-11s %-7s %3s | %-33s| %s\n' "" "" "" "" "MORVAN3" "KESTRA"
printf '%-7s %-11s %-7s %3s' "Data" "Reference" "Range" "n"
for p in 1 2; do printf ' | %6s %6s %6s %6s %4s' "helix" "r" "strand" "r" "fail"; done
echo
for set in 3 4 1; do
  range=$(case $set in 1) echo 260-180 ;; 3) echo 240-185 ;; 4) echo 240-190 ;; esac)
  rows "soluble-$set" "56 sol" "measured" "$range"
  rows "all-$set" "all 83" "measured" "$range"
  rows "membrane-$set" "27 mem" "measured" "$range"
done
rows bundled "all 83" ""
echo "helix, strand: RMS difference predicted - known; r: correlation; fail: failed jobs, left out of RMS and r."
echo "measured: leave-one-out within a 50-protein set drawn from the pool, the rest of the pool analysed"
echo "against the whole set (27 mem: within the 27 membrane proteins).  bundled: the 83 measured spectra"
echo "analysed against the synthetic sets shipped in data/."
