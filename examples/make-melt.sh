#!/bin/sh
# Writes a synthetic thermal melt in the layout of a spectropolarimeter's
# multi-channel export (header, XYDATA, one block per channel: CD in mdeg,
# HT in V, absorbance; each with its row of temperatures), for trying
# cdref convert and cdref summary --series:
#   examples/make-melt.sh BUILD_DIR [SPECTRA [STEP [SHORT [OUT]]]]
# SPECTRA spectra (default 12) from 20 to 90 C, STEP nm apart (default 1)
# from 260 nm down to SHORT nm (default 178); OUT defaults to
# examples/melt-export.txt.  The two end states are synthetic samples of the
# package's own generator (an all-alpha protein and an unfolded-state-like
# one, 260-178 nm), mixed by a two-state melt with its midpoint at 58 C; the
# signal is converted to mdeg for 0.2 mg/mL, 0.1 cm and a mean residue weight
# of 110 g/mol, with a little deterministic noise.  The HT rises towards the
# short end and with the temperature (it passes 600 V near 181 nm at 20 C and
# near 184 nm at 90 C), so that the hottest spectrum sets the range the
# series has in common.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: make-melt.sh BUILD_DIR [SPECTRA [STEP [SHORT [OUT]]]]}
spectra=${2:-12}
step=${3:-1}
short=${4:-178}
out=${5:-$here/melt-export.txt}
gen="$build/tools/cdsec_mkrefs"
[ -x "$gen" ] || { echo "make-melt.sh: $gen not found; build the target cdsec_mkrefs first" >&2; exit 1; }
tmp=$(mktemp -d "${TMPDIR:-/tmp}/cdsec-mkmelt.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
"$gen" --samples 1 --seed 181 --set 1 --fold all-alpha --name-prefix M1 --truth "$tmp/truth" > "$tmp/folded"
"$gen" --samples 1 --seed 182 --set 1 --fold unfolded --name-prefix M2 --truth "$tmp/truth" > "$tmp/unfolded"

# The 83 values of each job (260 to 178 nm), from line 12 on.
values() { awk 'NR >= 12 { for (i = 1; i <= NF && n < 83; ++i) { print $i; ++n } }' "$1"; }
values "$tmp/folded" > "$tmp/a"
values "$tmp/unfolded" > "$tmp/u"

LC_ALL=C awk -v spectra="$spectra" -v step="$step" -v short="$short" '
  FNR == NR { a[FNR - 1] = $1; next }
  { u[FNR - 1] = $1 }
  # delta epsilon at wavelength w (linear between whole nanometres)
  function de(tab, w,   x, i, t) {
    x = 260 - w; i = int(x + 1e-9); if (i >= 82) return tab[82]
    t = x - i; return tab[i] * (1 - t) + tab[i + 1] * t
  }
  function noise() { seed = (seed * 16807) % 2147483647; return (seed / 2147483647 - 0.5) * 0.4 }
  END {
    seed = 20240429
    rows = int((260 - short) / step + 0.5) + 1
    mdeg = 3298.2 * 10 * 0.1 * 0.2 / 110
    for (k = 0; k < spectra; ++k) {
      temp[k] = spectra > 1 ? 20 + 70 * k / (spectra - 1) : 20
      f[k] = 1 / (1 + exp((temp[k] - 58) / 4))
    }
    printf "TITLE\tlysozyme-like melt (synthetic)\nDATA TYPE\t\nORIGIN\tJASCO\nOWNER\t\nDATE\t29/04/2024\nTIME\t10:12:45\n"
    printf "SPECTROMETER/DATA SYSTEM\tJASCO Corp., J-1500, Rev. 1.00\nRESOLUTION\t\nDELTAX\t%.1f\n", -step
    printf "XUNITS\tNANOMETERS\nYUNITS\tCD [mdeg]\nY2UNITS\tHT [V]\nY3UNITS\tABSORBANCE\n"
    printf "FIRSTX\t260.0\nLASTX\t%.1f\nNPOINTS\t%d\n", short, rows
    # The CD first: FIRSTY, MAXY and MINY describe the first spectrum.
    for (r = 0; r < rows; ++r)
      for (k = 0; k < spectra; ++k) {
        w = 260 - r * step
        cd[r, k] = sprintf("%.4f", (f[k] * de(a, w) + (1 - f[k]) * de(u, w)) * mdeg + noise())
        if (k == 0 && (r == 0 || cd[r, 0] + 0 > maxy)) maxy = cd[r, 0] + 0
        if (k == 0 && (r == 0 || cd[r, 0] + 0 < miny)) miny = cd[r, 0] + 0
      }
    for (c = 1; c <= 3; ++c) {
      if (c == 1) printf "FIRSTY\t%s\nMAXY\t%.4f\nMINY\t%.4f\nXYDATA\n", cd[0, 0], maxy, miny
      printf "Channel %d\n", c
      for (k = 0; k < spectra; ++k) printf "\t%.1f", temp[k]
      printf "\n"
      for (r = 0; r < rows; ++r) {
        w = 260 - r * step
        printf "%.1f", w
        for (k = 0; k < spectra; ++k) {
          if (c == 1) printf "\t%s", cd[r, k]
          else if (c == 2) printf "\t%.2f", 200 + 660 * exp(-(w - 178) / 6) + 2 * (temp[k] - 20)
          else printf "\t%.4f", 0.3 + 1.2 * exp(-(w - 178) / 12)
        }
        printf "\n"
      }
    }
    printf "\n##### Extended Information\n[Comments]\nSample name\tsynthetic two-state melt\n"
    printf "Concentration\t0.2 mg/mL\nBuffer\t10 mM phosphate pH 7.0\n[Measurement Information]\n"
    printf "Band width\t1 nm\nAccessory\tPeltier cell holder\nTemperature ramp\t1 C/min\n"
  }' "$tmp/a" "$tmp/u" > "$out"
