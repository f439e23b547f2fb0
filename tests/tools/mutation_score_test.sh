#!/bin/sh
# The mutation-score tool on a fixture project whose test checks add() but not
# sub(): of its two mutants one is killed, the one in sub() survives, and the
# tree is left clean.   mutation_score_test.sh TOOL FIXTURE_DIR
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
[ "$(wc -l < results.jsonl)" -eq 2 ]
grep -q '"outcome": "killed"' results.jsonl
grep survived results.jsonl | grep -q 'src/calc.cpp:2:'
grep -q '^src .* 50.0%$' report.txt
[ -z "$(git status --porcelain --untracked-files=no)" ]
echo "mutation-score fixture: one killed, one survived, tree clean"
