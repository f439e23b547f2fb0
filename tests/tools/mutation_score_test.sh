#!/bin/sh
# The mutation-score tool on a fixture project: of its two mutants the
# fixture's test kills one and misses the other, and the tree is left clean.
#   mutation_score_test.sh TOOL FIXTURE_DIR
set -eu
tool=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/cdsec-mutation.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp -R "$2" "$work/repo"
cd "$work/repo"
git init -q . && git add -A && git -c user.name=t -c user.email=t@t commit -qm fixture
cmake -S . -B build >/dev/null
python3 "$tool" sample --seed 1 --count 2 --folders src --kinds arithmetic --out mutants.json
python3 "$tool" run mutants.json --build build --results results.jsonl
python3 "$tool" report mutants.json results.jsonl | tee report.txt
grep -q '"outcome": "killed"' results.jsonl
grep -q '"outcome": "survived"' results.jsonl
[ "$(wc -l < results.jsonl)" -eq 2 ]
grep -q '^src .* 50.0%$' report.txt
# Nothing left modified, and the survivor is the untested function.
[ -z "$(git status --porcelain --untracked-files=no)" ]
grep survived results.jsonl | grep -q 'src/calc.cpp:2:'
echo "mutation-score fixture: one killed, one survived, tree clean"
