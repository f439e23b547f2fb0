#!/bin/sh
# Writes examples/alphabeta.txt, the synthetic single-spectrum export that
# the demo analyses, in the layout a JASCO-style instrument writes (KEY value
# header, XYDATA, rows of wavelength, CD in mdeg and HT in volts):
#   examples/make-export.sh BUILD_DIR [OUT_FILE]
# The spectrum is an alpha/beta sample of the reference-set generator (its
# fractions go to stdout, kept in examples/alphabeta-truth.txt), measured at 0.25 mg/mL in a 0.1 cm cell with a
# mean residue weight of 113.5: delta epsilon becomes millidegrees by
# theta = de * 3298.2 * 10 * 0.1 * 0.25 / 113.5, sampled every 0.5 nm from
# 260 to 178 nm (linear between the generator's whole nm) with a small
# deterministic ripple as noise, and an HT that climbs past 600 V near
# 179.5 nm as it does when the buffer absorbs.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: make-export.sh BUILD_DIR [OUT_FILE]}
out=${2:-$here/alphabeta.txt}
gen="$build/tools/cdsec_mkrefs"
[ -x "$gen" ] || { echo "make-export.sh: $gen not found; build the target cdsec_mkrefs first" >&2; exit 1; }
tmp=$(mktemp -d "${TMPDIR:-/tmp}/cdsec-mkexport.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
"$gen" --samples 1 --seed 103 --set 1 --fold alpha/beta --name-prefix AB --truth "$tmp/truth" > "$tmp/job"
cat "$tmp/truth"
awk '
  /^ *-?[0-9]+\.[0-9]+ +-?[0-9]+\.[0-9]+ +-?[0-9]+\.[0-9]+ *$/ && !range { range = 1; next }
  range && /^ *-?[0-9]/ { for (i = 1; i <= NF; ++i) de[n++] = $i }
  END {
    print "TITLE\tAlpha/beta protein AB01"
    print "DATA TYPE\t"
    print "ORIGIN\tJASCO"
    print "OWNER\t"
    print "DATE\t26/11/12"
    print "TIME\t10:41:07"
    print "SPECTROMETER/DATA SYSTEM\tJ-815"
    print "RESOLUTION\t"
    print "DELTAX\t-0.5"
    print "XUNITS\tNANOMETERS"
    print "YUNITS\tCD [mdeg]"
    print "Y2UNITS\tHT [V]"
    print "FIRSTX\t260.0000"
    print "LASTX\t178.0000"
    print "NPOINTS\t165"
    print "XYDATA"
    for (k = 0; k <= 164; ++k) {
      wl = 260 - 0.5 * k
      i = int(k / 2)
      v = (k % 2 == 0) ? de[i] : (de[i] + de[i + 1]) / 2
      ht = 215 + 430 * exp(-(wl - 179) / 5.5)
      mdeg = v * 3298.2 * 10 * 0.1 * 0.25 / 113.5 + 0.12 * (1 + (ht - 215) / 150) * sin(k * 2.39996)
      printf "%.1f\t%.4f\t%.1f\n", wl, mdeg, ht
    }
  }' "$tmp/job" > "$out"
echo "wrote $out" >&2
