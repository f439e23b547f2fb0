#!/bin/sh
# Writes the demo job file INPUT and SAMPLES.txt (the fractions each sample
# was made from) with the reference-set generator:
#   examples/make-input.sh BUILD_DIR [OUT_DIR]
# OUT_DIR defaults to examples/.  The samples are synthetic and belong to no
# bundled set: three proteins for set 1 (260-178 nm: all-alpha, all-beta,
# alpha/beta) and an unfolded-state-like protein for set 6 (240-185 nm).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: make-input.sh BUILD_DIR [OUT_DIR]}
out=${2:-$here}
gen="$build/tools/cdsec_mkrefs"
[ -x "$gen" ] || { echo "make-input.sh: $gen not found; build the target cdsec_mkrefs first" >&2; exit 1; }
tmp=$(mktemp -d "${TMPDIR:-/tmp}/cdsec-mkinput.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
"$gen" --samples 3 --seed 101 --set 1 --name-prefix S1 --truth "$tmp/truth1" > "$tmp/input1"
"$gen" --samples 1 --seed 102 --set 6 --fold unfolded --name-prefix S6 --truth "$tmp/truth6" > "$tmp/input6"
cat "$tmp/input1" "$tmp/input6" > "$out/INPUT"
cat "$tmp/truth1" "$tmp/truth6" > "$out/SAMPLES.txt"
