#!/usr/bin/env bash
# Replays the seed corpus through each fuzz target (job file, reference
# sets, instrument exports), then fuzzes each target for a bounded time.
# Exits non-zero when any input crashes, hangs, leaks or trips a sanitizer;
# the input that did it is kept in BUILD_DIR/fuzz-artifacts.
#
#   tests/fuzz/run-fuzz.sh BUILD_DIR SECONDS
#
# BUILD_DIR is configured with clang and -DCDSEC_FUZZ=ON when it has no
# CMake cache yet (CXX_FUZZ names the compiler, clang++ by default).
set -uo pipefail

if [ $# -ne 2 ] || ! [[ $2 =~ ^[0-9]+$ ]]; then
  echo "usage: $0 BUILD_DIR SECONDS" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
build=$(realpath -m "$1")
seconds=$2

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER="${CXX_FUZZ:-clang++}" -DCDSEC_FUZZ=ON || exit 1
else
  cmake "$build" -DCDSEC_FUZZ=ON >/dev/null || exit 1
fi
cmake --build "$build" --target fuzz_job fuzz_refsets fuzz_instrument -j2 || exit 1

# Every input is written to a file before it is read: keep those files in
# memory when the machine allows.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi

artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"
# The fuzzers write their files in private temporary directories; run them
# from an empty one so that no reference file lying about is picked up.
rundir=$(mktemp -d)
trap 'rm -rf "$rundir"' EXIT
cd "$rundir" || exit 1

failed=0
for target in job refsets instrument; do
  bin="$build/tests/fuzz/fuzz_$target"
  seeds="$here/corpus/$target"
  grown="$rundir/corpus-$target"
  mkdir -p "$grown"
  echo "== fuzz_$target: replaying $(ls "$seeds" | wc -l) seed inputs"
  if ! "$bin" -artifact_prefix="$artifacts/$target-" "$seeds"/* >"$rundir/replay-$target.log" 2>&1; then
    tail -n 40 "$rundir/replay-$target.log"
    echo "fuzz_$target: a seed input failed" >&2
    failed=1
    continue
  fi
  echo "== fuzz_$target: fuzzing for ${seconds}s"
  if ! "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=16384 \
      -artifact_prefix="$artifacts/$target-" -print_final_stats=1 \
      "$grown" "$seeds" >"$rundir/fuzz-$target.log" 2>&1; then
    tail -n 60 "$rundir/fuzz-$target.log"
    echo "fuzz_$target: FAILED; the input is in $artifacts" >&2
    failed=1
    continue
  fi
  grep -E "^stat::number_of_executed_units|^stat::new_units_added" "$rundir/fuzz-$target.log" | sed "s/^/   /"
  echo "   corpus grew to $(ls "$grown" | wc -l) inputs"
done
exit $failed
