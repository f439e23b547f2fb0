#!/bin/sh
# The demo: one command from an instrument's export to a result page.
#   examples/run-demo.sh [BUILD_DIR [SCRATCH_DIR]]
# BUILD_DIR (a build tree, or an installation prefix such as /usr) defaults
# to ./build of the repository; SCRATCH_DIR to a new temporary directory.
# cdref analyse converts examples/alphabeta.txt (a synthetic alpha/beta
# protein written in a JASCO-style export: millidegrees at 0.25 mg/mL in a
# 0.1 cm cell, mean residue weight 113.5, HT rising at the short end) to
# delta epsilon, runs MORVAN3 and KESTRA on it against each reference set
# its range covers (the bundled sets the programs find beside themselves,
# CDSEC_REFDIR ignored; KESTRA_SEED=1, so that a rerun gives the same
# numbers), checks its magnitude, and writes the
# summary and report.html into SCRATCH_DIR/alphabeta-analysis.  The
# fractions the spectrum was made from (examples/alphabeta-truth.txt) are
# shown after the summary for comparison.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
build=${1:-"$repo/build"}
if [ ! -d "$build" ]; then
  echo "run-demo.sh: build directory $build not found; build first:" >&2
  echo "  cmake -S $repo -B $build && cmake --build $build" >&2
  exit 1
fi
build=$(cd "$build" && pwd)

find_program() {
  for p in "$build/$2/$1" "$build/$1" "$build/bin/$1"; do
    if [ -x "$p" ]; then
      echo "$p"
      return 0
    fi
  done
  echo "run-demo.sh: $1 not found under $build; build it first (cmake --build $build --target $1)" >&2
  return 1
}
morvan=$(find_program MORVAN3 selfcon)
kestra=$(find_program KESTRA varsel)
cdref=$(find_program cdref cdref)

if [ $# -ge 2 ]; then
  scratch=$2
  mkdir -p "$scratch"
else
  scratch=$(mktemp -d "${TMPDIR:-/tmp}/cdsec-demo.XXXXXX")
fi
scratch=$(cd "$scratch" && pwd)

status=0
env -u CDSEC_REFDIR "$cdref" analyse "$here/alphabeta.txt" \
  --conc 0.25 --conc-unit mg/mL --path 0.1 --path-unit cm --mrw 113.5 \
  --morvan "$morvan" --kestra "$kestra" --out "$scratch/alphabeta-analysis" --force || status=$?
echo
echo "The fractions the synthetic spectrum was made from (examples/alphabeta-truth.txt):"
cat "$here/alphabeta-truth.txt"
echo
if [ -f "$scratch/alphabeta-analysis/report.html" ]; then
  echo "Open the report in a browser: $scratch/alphabeta-analysis/report.html"
else
  echo "run-demo.sh: no report was written" >&2
  [ $status -ne 0 ] || status=1
fi
exit $status
