#!/bin/sh
# Regenerates the expected files of golden cases from the current build:
#   tools/update-golden.sh BUILD_DIR PROGRAM [CASE...]
# PROGRAM is MORVAN3, KESTRA or INBUILD; without CASE every case of it.
# Review the result with `git diff tests/golden` before committing: the
# expected files are the contract of the reports.
set -eu
[ $# -ge 2 ] || { echo "usage: $0 BUILD_DIR PROGRAM [CASE...]" >&2; exit 2; }
build=$1; prog=$2; shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$(find "$build" -type f -name "$prog" -perm -u+x | head -n 1)
runner=$(find "$build" -type f -name cdsec_golden -perm -u+x | head -n 1)
[ -n "$bin" ] || { echo "$prog not built in $build" >&2; exit 1; }
[ -n "$runner" ] || { echo "cdsec_golden not built in $build" >&2; exit 1; }
if [ $# -eq 0 ]; then
  set -- $(cd "$root/tests/golden/$prog" && for d in */; do [ -d "$d/in" ] && echo "${d%/}"; done)
fi
for c in "$@"; do
  "$runner" --program "$bin" --case "$root/tests/golden/$prog/$c" --update
done
