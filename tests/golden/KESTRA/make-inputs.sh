#!/bin/sh
# Regenerates the in/ folders of the KESTRA golden cases from the synthetic
# reference-set generator:
#   tests/golden/KESTRA/make-inputs.sh BUILD_DIR
# Then run tools/update-golden.sh BUILD_DIR KESTRA and review the diff.
set -eu
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
mk=$(find "$1" -type f -name cdsec_mkrefs -perm -u+x | head -n 1)
[ -n "$mk" ] || { echo "cdsec_mkrefs not built in $1" >&2; exit 1; }
here=$(cd "$(dirname "$0")" && pwd)

fresh() {  # fresh CASE: an empty in/ folder
  rm -rf "$here/$1/in"
  mkdir -p "$here/$1/in" "$here/$1/expected"
  echo "$here/$1/in"
}
set_print() {  # set_print FILE: IPrint 1 on every job's third line
  awk '/^      0         [0-9]/ { sub(/^      0/, "      1") } { print }' "$1" > "$1.tmp" && mv "$1.tmp" "$1"
}
# protein_job CDDATA P FIRST LAST IBASIS TITLE: a job whose spectrum is
# protein P of the file, over FIRST..LAST nm.
protein_job() {
  awk -v p="$2" -v first="$3" -v last="$4" -v ib="$5" -v title="$6" '
    NR > 2 { r = NR - 3; prot = int(r / 7) + 1; if (prot == p && r % 7 > 0) {
               for (c = 1; c + 5 <= length($0); c += 6) v[++n] = substr($0, c, 6) + 0 } }
    END {
      printf "#%50s\n# PRINT   Basis_1    Basis_2     Basis_3    SEGMENT\n", ""
      printf "%7d%10d%11d%12d%11d\n#%50s\n# 1 Title Line\n%s\n#\n#\n", 0, ib, 0, 0, 1, "", title
      printf "%12.4f%12.4f%12.4f\n#\n#\n", first, last, 1
      k = 0
      for (i = 261 - first; i <= 261 - last; i++) { printf "%8.2f", v[i]; if (++k % 10 == 0) printf "\n" }
      if (k % 10) printf "\n"
      printf "#\n#\n        0\n"
    }' "$1"
}

# A job that reaches 400 valid solutions, with the segment report.
d=$(fresh set1_400_valid)
"$mk" --set 1 --count 30 --seed 11 --out "$d" >/dev/null
"$mk" --samples 1 --seed 99 --set 1 > "$d/INPUT"

# The same sample with 17 zeros before it: 100 values from 277 nm, the most a
# job holds, of which set 1 uses the last 83.
d=$(fresh clipped_100_values)
cp "$here/set1_400_valid/in/CDDATA.29" "$here/set1_400_valid/in/SSDATA.29" "$d/"
awk '/^    260.0000    178.0000/ { sub(/260.0000/, "277.0000") }
     /^Synthetic sample/ { $0 = sprintf("%-40s", "Synthetic sample P001, 100 values") }
     in_cd && /^#/ { for (i = 1; i <= n; i++) { printf "%8.3f", v[i]; if (i % 10 == 0) printf "\n" }
                     if (n % 10) printf "\n"; in_cd = 0 }
     in_cd { for (i = 1; i <= NF; i++) v[++n] = $i; next }
     { print }
     /^# CDDATA/ { in_cd = 1; for (n = 0; n < 17; ) v[++n] = 0 }' "$here/set1_400_valid/in/INPUT" > "$d/INPUT"

# Intermediate printing on a set of 14: the budget is 3002 and is spent.
d=$(fresh iprint_set14_budget3002)
"$mk" --set 4 --count 14 --seed 21 --out "$d" >/dev/null
"$mk" --samples 1 --seed 31 --set 4 > "$d/INPUT"
set_print "$d/INPUT"

# 260..178 nm with set 3 (240..185): both ends clipped; factor 0 means 1.
d=$(fresh clipped_range_set3)
"$mk" --set 3 --count 25 --seed 3 --out "$d" >/dev/null
"$mk" --samples 1 --seed 41 --set 3 --range 260 178 | sed '9s/1.0000$/0.0000/' > "$d/INPUT"

# Set 5 (five classes), then set 1, then set 2 (helix = class 1 alone), all
# appended after a record of an earlier run.
d=$(fresh set5_then_set1)
"$mk" --set 5 --count 24 --seed 51 --out "$d" >/dev/null
"$mk" --set 1 --count 26 --seed 52 --out "$d" >/dev/null
"$mk" --set 2 --count 23 --seed 53 --out "$d" >/dev/null
{ "$mk" --samples 1 --seed 61 --set 5
  "$mk" --samples 1 --seed 62 --set 1
  "$mk" --samples 1 --seed 63 --set 2; } > "$d/INPUT"
printf '%s\n\n SAMPLE:  an earlier run\n' "$(printf '%080d' 0 | tr 0 _)" > "$d/ProtSS.out"

# Eight proteins: one combination, budget 1, fewer than five solutions.
d=$(fresh set8_eight_proteins)
"$mk" --set 8 --count 8 --seed 81 --out "$d" >/dev/null
"$mk" --samples 1 --seed 82 --set 8 > "$d/INPUT"

# Six proteins: budget 0, no trial at all.
d=$(fresh fewer_than_eight)
"$mk" --set 7 --count 6 --seed 71 --out "$d" >/dev/null
"$mk" --samples 1 --seed 72 --set 7 > "$d/INPUT"

# A data file of 60 proteins; the sample is protein 5 of it, so 49 of the
# first 50 are loaded.
d=$(fresh sixty_proteins)
"$mk" --set 6 --count 60 --seed 66 --out "$d" >/dev/null
protein_job "$d/CDDATA.42" 5 240 185 6 "Reference protein 5 as the sample" > "$d/INPUT"

# The all-basis estimate meets a zero singular value (protein 1 has no
# spectrum), so H0 stays 0 and the window lies below every valid helix.
d=$(fresh empty_window)
"$mk" --set 1 --count 30 --seed 11 --out "$d" >/dev/null
awk 'NR >= 4 && NR <= 9 { n = (NR == 9) ? 8 : 15; s = ""; for (i = 0; i < n; i++) s = s "     0"; print s; next } {print}' \
  "$d/CDDATA.29" > "$d/x" && mv "$d/x" "$d/CDDATA.29"
"$mk" --samples 1 --seed 99 --set 1 > "$d/INPUT"

# Orderly stops, each after a first job that completes.
d=$(fresh stop_no_such_set)
"$mk" --set 8 --count 8 --seed 81 --out "$d" >/dev/null
{ "$mk" --samples 1 --seed 82 --set 8; "$mk" --samples 1 --seed 83 --set 8 | sed '3s/^      0         8/      0         9/'; } > "$d/INPUT"

d=$(fresh stop_range_over_100)
"$mk" --set 8 --count 8 --seed 81 --out "$d" >/dev/null
{ "$mk" --samples 1 --seed 82 --set 8; "$mk" --samples 1 --seed 83 --set 8 | sed '9s/^    240.0000/    300.0000/'; } > "$d/INPUT"

d=$(fresh stop_bad_cd_value)
"$mk" --set 8 --count 8 --seed 81 --out "$d" >/dev/null
{ "$mk" --samples 1 --seed 82 --set 8; "$mk" --samples 1 --seed 83 --set 8 | sed '14s/^ *[^ ]*/   -1.2.3/'; } > "$d/INPUT"

d=$(fresh stop_missing_data_file)
"$mk" --set 8 --count 8 --seed 81 --out "$d" >/dev/null
{ "$mk" --samples 1 --seed 82 --set 8; "$mk" --samples 1 --seed 83 --set 4; } > "$d/INPUT"

# An empty INPUT: the banner and a normal end.
d=$(fresh empty_input)
: > "$d/INPUT"
