#!/bin/sh
# Builds the straightforward MORVAN3 beside the current one, for timing:
# every first-stage iteration decomposes each subset and solves each
# (NB, NV) trial again, the whole set is decomposed separately for the
# all-basis estimate and for the second stage, and the second stage
# rebuilds the rank-reduced matrix and decomposes the structure rows for
# every solution.  Its reports are the current program's, byte for byte.
#   bench/selfcon/build-straightforward.sh DIR
# makes a worktree of commit 0a22129 in DIR/src, applies
# straightforward.patch and builds DIR/build/selfcon/MORVAN3.
set -eu
[ $# -eq 1 ] || { echo "usage: $0 DIR" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
repo=$(git -C "$here" rev-parse --show-toplevel)
mkdir -p "$1"
dir=$(cd "$1" && pwd)
if [ ! -d "$dir/src" ]; then
  git -C "$repo" worktree add --detach "$dir/src" 0a22129 >/dev/null
  git -C "$dir/src" apply "$here/straightforward.patch"
fi
cmake -S "$dir/src" -B "$dir/build" -G Ninja >/dev/null
cmake --build "$dir/build" -j2 --target MORVAN3 cdsec_mkrefs >/dev/null
echo "$dir/build/selfcon/MORVAN3"
