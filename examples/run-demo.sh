#!/bin/sh
# Runs both analysis programs on the demo job file examples/INPUT:
#   examples/run-demo.sh [BUILD_DIR [SCRATCH_DIR]]
# BUILD_DIR defaults to ./build of the repository; SCRATCH_DIR to a new
# temporary directory.  INPUT is copied there and MORVAN3 and KESTRA run in
# it with the bundled reference sets of data/ (CDSEC_REFDIR), without
# waiting for Enter (stdin is /dev/null) and with a fixed seed for the
# random combinations (KESTRA_SEED=1), so that a rerun gives the same
# numbers.  The summary records of both programs (ProtSS.out) are shown
# next to the fractions the synthetic samples were made from, and then
# compared by cdref summary with the run records the programs wrote into
# records/ (CDSEC_DETAILS); summary.svg plots the comparison.
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
cp "$here/INPUT" "$scratch/INPUT"
# A scratch directory used before keeps no old summary records.
rm -f "$scratch/ProtSS.out"
rm -rf "$scratch/records"
mkdir "$scratch/records"

status=0
cd "$scratch"
for prog in "$morvan" "$kestra"; do
  name=$(basename "$prog")
  echo "Running $name in $scratch ..."
  if ! CDSEC_REFDIR="$repo/data" KESTRA_SEED=1 CDSEC_DETAILS="$scratch/records" "$prog" < /dev/null > "$name.console" 2>&1; then
    echo "run-demo.sh: $name failed; its console output is in $scratch/$name.console:" >&2
    tail -n 20 "$name.console" >&2
    status=1
  fi
done

echo
echo "Results in $scratch:"
for f in MORVAN3.OUT BASIS CalcCD.OUT Kestra.out reconCD.out ProtSS.out MORVAN3.console KESTRA.console \
         records summary.svg; do
  if [ -f "$f" ]; then
    echo "  $f"
  fi
done
echo
if [ -f ProtSS.out ]; then
  echo "ProtSS.out (one record per job and program):"
  cat ProtSS.out
else
  echo "run-demo.sh: no ProtSS.out was written" >&2
  status=1
fi
echo
echo "The fractions the synthetic samples were made from (examples/SAMPLES.txt):"
cat "$here/SAMPLES.txt"
echo
echo "Both methods side by side, with their consensus and spread (cdref summary):"
if ! "$cdref" summary ProtSS.out --details records --svg summary.svg; then
  echo "run-demo.sh: cdref summary failed" >&2
  status=1
fi
exit $status
