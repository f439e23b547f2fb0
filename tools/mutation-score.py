#!/usr/bin/env python3
"""Mutation score of the test suite.

A mutant is one small change of production code that a good suite should
notice: a comparison flipped (< to <=, == to !=), an arithmetic or logical
operator swapped, a constant changed, a statement deleted.  The tool draws a
seeded sample of such mutants in proportion to each folder's size, applies
them one at a time, rebuilds incrementally, runs ctest and restores the file,
and reports per folder how many the suite killed.

    tools/mutation-score.py sample --seed 7 --count 150 --out mutants.json
    tools/mutation-score.py run mutants.json --build build --results results.jsonl
    tools/mutation-score.py report mutants.json results.jsonl [--equivalent equiv.txt]

`run` resumes where a previous run of the same results file stopped, so the
same mutant list can be re-run on a changed suite (with a new results file)
and interrupted runs continue.  Comments, string and character literals and
preprocessor lines (#include ...) are never mutated.  The tree must be clean
for every file mutated; the file is restored after each mutant and checked
with git, and the run stops at once if it is not.  With a Ninja build, a
mutant in a file the build does not compile (the Windows code in a Linux
build) is reported as not-in-build and not scored.
"""

import argparse
import hashlib
import json
import os
import random
import re
import signal
import subprocess
import sys
import time
from collections import Counter, defaultdict

DEFAULT_FOLDERS = ["frame", "selfcon", "varsel", "inbuild", "cdref"]
SOURCE_SUFFIXES = (".cpp", ".hpp", ".h", ".cc")
KINDS = ("comparison", "arithmetic", "logical", "constant", "statement")

# --- a small C++ lexer: enough to tell code from comments, literals and
# preprocessor lines, and operators from one another --------------------------

PUNCT = sorted("""
>>= <<= <=> ... -> ++ -- << >> <= >= == != && || += -= *= /= %= &= |= ^= ::
+ - * / % < > = ! ~ & | ^ ? : ; , . ( ) [ ] { }
""".split(), key=len, reverse=True)

IDENT = re.compile(r"[A-Za-z_][A-Za-z_0-9]*")
NUMBER = re.compile(r"0[xX][0-9a-fA-F']+[uUlLzZ]*"
                    r"|(?:\d[\d']*\.?[\d']*(?:[eE][+-]?\d+)?|\.\d+(?:[eE][+-]?\d+)?)[fFlLuUzZ]*")


class Token:
    __slots__ = ("kind", "text", "pos", "line")

    def __init__(self, kind, text, pos, line):
        self.kind, self.text, self.pos, self.line = kind, text, pos, line


def tokenize(src):
    """Tokens of code only: identifiers, numbers and punctuators with their
    byte offsets.  Comments, literals and preprocessor lines are skipped."""
    toks = []
    i, n, line = 0, len(src), 1
    at_line_start = True
    while i < n:
        c = src[i]
        if c == "\n":
            line += 1
            i += 1
            at_line_start = True
            continue
        if c in " \t\r\f\v":
            i += 1
            continue
        if at_line_start and c == "#":
            # Preprocessor line, with its continuations.
            while i < n and src[i] != "\n":
                if src[i] == "\\" and i + 1 < n and src[i + 1] == "\n":
                    line += 1
                    i += 1
                i += 1
            continue
        at_line_start = False
        if src.startswith("//", i):
            while i < n and src[i] != "\n":
                i += 1
            continue
        if src.startswith("/*", i):
            j = src.find("*/", i + 2)
            j = n if j < 0 else j + 2
            line += src.count("\n", i, j)
            i = j
            continue
        m = re.match(r'(?:u8|u|U|L)?R"([^(\s]*)\(', src[i:i + 40])
        if m:
            end = src.find(")" + m.group(1) + '"', i + m.end())
            end = n if end < 0 else end + len(m.group(1)) + 2
            line += src.count("\n", i, end)
            i = end
            continue
        m = re.match(r"(?:u8|u|U|L)?(['\"])", src[i:i + 3])
        if m and (m.start(1) == 0 or IDENT.match(src, i).end() == i + m.start(1)):
            q = m.group(1)
            j = i + m.end()
            while j < n and src[j] != q:
                j += 2 if src[j] == "\\" else 1
            i = j + 1
            continue
        m = IDENT.match(src, i)
        if m:
            toks.append(Token("ident", m.group(), i, line))
            i = m.end()
            continue
        m = NUMBER.match(src, i)
        if m and m.end() > i:
            toks.append(Token("number", m.group(), i, line))
            i = m.end()
            continue
        for p in PUNCT:
            if src.startswith(p, i):
                toks.append(Token("punct", p, i, line))
                i += len(p)
                break
        else:
            i += 1
    return toks


# Names after which '<' opens a template argument list, not a comparison.
TEMPLATE_NAMES = set("""
vector array span optional unique_ptr shared_ptr map unordered_map set unordered_set pair tuple
function numeric_limits basic_string atomic lock_guard unique_lock scoped_lock initializer_list variant
static_cast reinterpret_cast const_cast dynamic_cast bit_cast duration_cast duration time_point
is_same_v is_integral_v is_floating_point_v decay_t remove_cvref_t enable_if_t conditional_t
get make_unique make_shared template mdspan deque list stack queue priority_queue bitset
istream_iterator ostream_iterator hash less greater Matrix Vector Array
""".split())
TYPE_WORDS = set("""
int float double char bool void auto long short unsigned signed size_t ptrdiff_t uint8_t uint16_t
uint32_t uint64_t int8_t int16_t int32_t int64_t const constexpr static struct class typename
""".split())


def template_brackets(toks):
    """Indices of '<' and '>' tokens that belong to template argument lists."""
    skip = set()
    for k, t in enumerate(toks):
        if t.text != "<" or k == 0 or k in skip:
            continue
        prev = toks[k - 1]
        if prev.kind != "ident":
            continue
        if not (prev.text in TEMPLATE_NAMES or prev.text[:1].isupper()
                or (k >= 2 and toks[k - 2].text == "template")):
            continue
        depth, j = 0, k
        while j < len(toks):
            s = toks[j].text
            if s == "<":
                depth += 1
            elif s == ">":
                depth -= 1
            elif s == ">>":
                depth -= 2
            elif s in (";", "{", "}"):
                break
            if s in ("<", ">", ">>"):
                skip.add(j)
            if depth <= 0 and s in (">", ">>"):
                break
            j += 1
    return skip


def value_like(t):
    return t.kind in ("ident", "number") or t.text in (")", "]")


SWAPS = {
    "comparison": {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="},
    "arithmetic": {"+": "-", "-": "+", "*": "/", "/": "*", "+=": "-=", "-=": "+=",
                   "*=": "/=", "/=": "*=", "++": "--", "--": "++", "%": "*"},
    "logical": {"&&": "||", "||": "&&"},
}


def changed_constant(text):
    m = re.fullmatch(r"(\d+)([uUlLzZ]*)", text)
    if m:
        v = int(m.group(1))
        return str(v + 1 if v != 1 else 0) + m.group(2)
    m = re.fullmatch(r"([\d.]+(?:[eE][+-]?\d+)?)([fFlL]?)", text)
    if m:
        try:
            v = float(m.group(1))
        except ValueError:
            return None
        nv = 1.0 if v == 0 else v * 2
        s = repr(nv)
        if "e" not in s and "." not in s:
            s += ".0"
        return s + m.group(2)
    return None


def statement_sites(src, toks):
    """Whole one-line statements that can be deleted: calls, assignments,
    stream writes, increments, break and continue.  Declarations and returns
    are left alone (deleting them rarely builds)."""
    sites = []
    by_line = defaultdict(list)
    for k, t in enumerate(toks):
        by_line[t.line].append(k)
    depth_at = {}
    depth = 0
    for t in toks:
        depth_at.setdefault(t.line, depth)
        if t.text == "{":
            depth += 1
        elif t.text == "}":
            depth -= 1
    for ln, idx in by_line.items():
        if depth_at.get(ln, 0) < 1 or not idx:
            continue
        ts = [toks[k] for k in idx]
        if ts[-1].text != ";" or any(t.text in ("{", "}") for t in ts):
            continue
        if sum(1 for t in ts if t.text == ";") != 1:
            continue
        first = ts[0]
        ok = False
        if first.text in ("break", "continue"):
            ok = len(ts) == 2
        elif first.text in ("++", "--"):
            ok = True
        elif first.kind == "ident" and first.text not in TYPE_WORDS and first.text not in (
                "return", "using", "namespace", "throw", "case", "default", "goto", "delete", "if",
                "for", "while", "else", "do", "switch", "typedef"):
            j = 1
            while j + 1 < len(ts) and ts[j].text == "::" and ts[j + 1].kind == "ident":
                j += 2
            ok = j < len(ts) and ts[j].text in ("(", "=", "+=", "-=", "*=", "/=", ".", "->", "[",
                                                 "++", "--", "<<", "|=", "&=")
        if not ok:
            continue
        # The statement must start the line (no label or brace before it).
        line_start = src.rfind("\n", 0, first.pos) + 1
        if src[line_start:first.pos].strip():
            continue
        end = ts[-1].pos + 1
        sites.append((first.pos, src[first.pos:end], ";", first.line))
    return sites


def mutation_sites(src):
    toks = tokenize(src)
    tmpl = template_brackets(toks)
    sites = []  # (kind, pos, original, replacement, line)
    for k, t in enumerate(toks):
        prev = toks[k - 1] if k else None
        nxt = toks[k + 1] if k + 1 < len(toks) else None
        if t.kind == "punct":
            if t.text in SWAPS["comparison"] and k not in tmpl:
                if prev and value_like(prev) and nxt and nxt.text not in (")", ",", ">", ";"):
                    sites.append(("comparison", t.pos, t.text, SWAPS["comparison"][t.text], t.line))
            elif t.text in SWAPS["arithmetic"]:
                if t.text in ("++", "--"):
                    sites.append(("arithmetic", t.pos, t.text, SWAPS["arithmetic"][t.text], t.line))
                elif prev and value_like(prev) and prev.text not in TYPE_WORDS and nxt and \
                        nxt.text not in (")", ",", ">", "&", "*", "=", ";"):
                    sites.append(("arithmetic", t.pos, t.text, SWAPS["arithmetic"][t.text], t.line))
            elif t.text in SWAPS["logical"]:
                if prev and value_like(prev) and prev.text not in TYPE_WORDS:
                    sites.append(("logical", t.pos, t.text, SWAPS["logical"][t.text], t.line))
            elif t.text == "!" and nxt and (nxt.kind == "ident" or nxt.text == "("):
                sites.append(("logical", t.pos, "!", "", t.line))
        elif t.kind == "number":
            if prev and prev.text in ("[",) and nxt and nxt.text == "]" and k >= 2 and \
                    toks[k - 2].kind == "ident" and k >= 3 and toks[k - 3].kind == "ident":
                continue  # an array bound in a declaration
            rep = changed_constant(t.text)
            if rep is not None and rep != t.text:
                sites.append(("constant", t.pos, t.text, rep, t.line))
        elif t.text in ("true", "false"):
            sites.append(("constant", t.pos, t.text, "false" if t.text == "true" else "true", t.line))
    for pos, orig, rep, line in statement_sites(src, toks):
        sites.append(("statement", pos, orig, rep, line))
    return sites


# --- sampling -----------------------------------------------------------------

def git(root, *args, check=True):
    return subprocess.run(["git", "-C", root, *args], check=check, capture_output=True, text=True).stdout


def production_files(root, folders):
    listed = git(root, "ls-files", "--", *folders).split()
    return sorted(f for f in listed if f.endswith(SOURCE_SUFFIXES))


def nonblank_lines(text):
    return sum(1 for ln in text.splitlines() if ln.strip())


def sample(args):
    root = os.path.abspath(args.root)
    folders = args.folders.split(",")
    kinds = args.kinds.split(",")
    rng = random.Random(args.seed)
    per_folder_sites, size = defaultdict(list), Counter()
    digests = {}
    for f in production_files(root, folders):
        with open(os.path.join(root, f), encoding="utf-8", errors="surrogateescape") as fh:
            src = fh.read()
        digests[f] = hashlib.sha256(src.encode("utf-8", "surrogateescape")).hexdigest()
        folder = f.split("/")[0]
        size[folder] += nonblank_lines(src)
        for kind, pos, orig, rep, line in mutation_sites(src):
            if kind in kinds:
                per_folder_sites[folder].append({"file": f, "line": line, "offset": pos, "kind": kind,
                                                 "original": orig, "replacement": rep})
    total = sum(size[f] for f in folders)
    # Largest-remainder allocation of the sample to the folders by size.
    quota = {f: args.count * size[f] / total for f in folders} if total else {}
    alloc = {f: int(q) for f, q in quota.items()}
    for f in sorted(folders, key=lambda f: quota[f] - alloc[f], reverse=True)[:args.count - sum(alloc.values())]:
        alloc[f] += 1
    mutants = []
    for f in folders:
        sites = per_folder_sites[f]
        chosen = rng.sample(range(len(sites)), min(alloc.get(f, 0), len(sites)))
        for i in sorted(chosen):
            m = dict(sites[i], folder=f)
            m["id"] = "{file}:{line}:{offset}:{kind}".format(**m)
            mutants.append(m)
    doc = {"seed": args.seed, "folders": folders, "kinds": kinds,
           "lines": {f: size[f] for f in folders}, "files": digests, "mutants": mutants}
    with open(args.out, "w") as fh:
        json.dump(doc, fh, indent=1)
    counts = Counter(m["folder"] for m in mutants)
    print(f"{len(mutants)} mutants from seed {args.seed}: " +
          ", ".join(f"{f} {counts[f]}" for f in folders))


# --- running ------------------------------------------------------------------

def run_step(cmd, timeout, cwd=None):
    """Runs a command in its own process group; returns (status, seconds),
    status None when it ran out of time (the whole group is killed)."""
    start = time.monotonic()
    p = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                         start_new_session=True)
    try:
        rc = p.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        p.wait()
        rc = None
    return rc, time.monotonic() - start


def built_sources(root, build):
    """The repository files (sources and the headers they include) that the
    build compiles, from Ninja's dependency log; None when the build is not a
    Ninja build.  A mutant in any other file (the Windows code in a Linux
    build) cannot be judged by this build's suite."""
    if not os.path.exists(os.path.join(build, "build.ninja")):
        return None
    out = subprocess.run(["ninja", "-C", build, "-t", "deps"], capture_output=True, text=True).stdout
    files = set()
    for ln in out.splitlines():
        if ln.startswith("    "):
            p = os.path.normpath(os.path.join(build, ln.strip()))
            if p.startswith(root + os.sep):
                files.add(os.path.relpath(p, root))
    return files


def run(args):
    root = os.path.abspath(args.root)
    with open(args.mutants) as fh:
        doc = json.load(fh)
    done = set()
    if os.path.exists(args.results):
        with open(args.results) as fh:
            done = {json.loads(ln)["id"] for ln in fh if ln.strip()}
    build_cmd = ["cmake", "--build", args.build, "-j", str(args.jobs)]
    test_cmd = ["ctest", "--test-dir", args.build, "-j", str(args.jobs), "--stop-on-failure"]
    if args.exclude:
        test_cmd += ["-E", args.exclude]
    rc, _ = run_step(build_cmd, args.build_timeout)
    if rc != 0:
        sys.exit("mutation-score: the unmutated tree does not build in " + args.build)
    rc, base = run_step(test_cmd, args.test_timeout or 3600)
    if rc != 0:
        sys.exit("mutation-score: the suite fails on the unmutated tree; fix it first")
    limit = args.test_timeout or max(60.0, 3 * base)
    compiled = built_sources(root, os.path.abspath(args.build))
    print(f"suite {base:.1f} s unmutated; a mutant's run is stopped after {limit:.0f} s", flush=True)

    interrupted = []
    signal.signal(signal.SIGTERM, lambda *_: interrupted.append(1))
    todo = [m for m in doc["mutants"] if m["id"] not in done]
    for n, m in enumerate(todo, 1):
        if interrupted:
            break
        path = os.path.join(root, m["file"])
        if git(root, "status", "--porcelain", "--", m["file"]).strip():
            sys.exit(f"mutation-score: {m['file']} has local changes; commit or stash them first")
        with open(path, "rb") as fh:
            original = fh.read()
        src = original.decode("utf-8", "surrogateescape")
        if hashlib.sha256(original).hexdigest() != doc["files"].get(m["file"]):
            outcome, secs = "stale", 0.0  # the production file changed since the sample
        elif compiled is not None and m["file"] not in compiled:
            outcome, secs = "not-in-build", 0.0
        else:
            o, r = m["offset"], m["original"]
            assert src[o:o + len(r)] == r, m["id"]
            mutated = src[:o] + m["replacement"] + src[o + len(r):]
            try:
                with open(path, "wb") as fh:
                    fh.write(mutated.encode("utf-8", "surrogateescape"))
                rc, secs = run_step(build_cmd, args.build_timeout)
                if rc != 0:
                    outcome = "did-not-build" if rc is not None else "timed-out"
                else:
                    rc, t = run_step(test_cmd, limit)
                    secs += t
                    outcome = "timed-out" if rc is None else ("killed" if rc != 0 else "survived")
            finally:
                with open(path, "wb") as fh:
                    fh.write(original)
            if git(root, "status", "--porcelain", "--", m["file"]).strip():
                sys.exit(f"mutation-score: {m['file']} was not restored; stopping")
        with open(args.results, "a") as fh:
            fh.write(json.dumps({"id": m["id"], "outcome": outcome, "seconds": round(secs, 1)}) + "\n")
        print(f"[{n}/{len(todo)}] {outcome:13s} {m['id']}  {m['original']!r} -> {m['replacement']!r}",
              flush=True)
    # Leave the build matching the restored sources.
    run_step(build_cmd, args.build_timeout)
    if interrupted:
        sys.exit("mutation-score: stopped; run again with the same results file to go on")


# --- report -------------------------------------------------------------------

def report(args):
    with open(args.mutants) as fh:
        doc = json.load(fh)
    outcome = {}
    with open(args.results) as fh:
        for ln in fh:
            if ln.strip():
                r = json.loads(ln)
                outcome[r["id"]] = r["outcome"]
    equivalent = {}
    if args.equivalent:
        with open(args.equivalent) as fh:
            for ln in fh:
                ln = ln.strip()
                if ln and not ln.startswith("#"):
                    mid, _, why = ln.partition(" ")
                    equivalent[mid] = why.strip()
    table = defaultdict(Counter)
    survivors = []
    for m in doc["mutants"]:
        o = outcome.get(m["id"], "not-run")
        if o == "survived" and m["id"] in equivalent:
            o = "equivalent"
        table[m["folder"]][o] += 1
        if o == "survived":
            survivors.append(m)
    cols = ["killed", "survived", "timed-out", "did-not-build", "not-in-build", "equivalent", "stale",
            "not-run"]
    print(f"{'folder':10s} " + " ".join(f"{c:>13s}" for c in cols) + "   score")
    total = Counter()
    for f in doc["folders"] + ["all"]:
        c = total if f == "all" else table[f]
        if f != "all":
            total.update(c)
        detected = c["killed"] + c["timed-out"]
        judged = detected + c["survived"]
        score = f"{100.0 * detected / judged:5.1f}%" if judged else "    -"
        print(f"{f:10s} " + " ".join(f"{c[k]:13d}" for k in cols) + f"  {score}")
    if args.survivors:
        print("\nsurvivors:")
        for m in survivors:
            print(f"  {m['id']}  {m['original']!r} -> {m['replacement']!r}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--root", default=".", help="the repository (default: .)")
    sub = ap.add_subparsers(dest="cmd", required=True)
    s = sub.add_parser("sample", help="draw a seeded sample of mutants")
    s.add_argument("--seed", type=int, required=True)
    s.add_argument("--count", type=int, default=150)
    s.add_argument("--folders", default=",".join(DEFAULT_FOLDERS))
    s.add_argument("--kinds", default=",".join(KINDS))
    s.add_argument("--out", required=True)
    r = sub.add_parser("run", help="apply each mutant, rebuild, run ctest, restore")
    r.add_argument("mutants")
    r.add_argument("--build", required=True)
    r.add_argument("--results", required=True, help="JSON lines, appended; a rerun resumes")
    r.add_argument("--jobs", type=int, default=2)
    r.add_argument("--exclude", help="ctest -E pattern of tests to leave out")
    r.add_argument("--build-timeout", type=float, default=900)
    r.add_argument("--test-timeout", type=float, help="default: 3 times the unmutated suite, at least 60 s")
    p = sub.add_parser("report", help="score per folder")
    p.add_argument("mutants")
    p.add_argument("results")
    p.add_argument("--equivalent", help="lines '<mutant id> <reason>' of mutants judged equivalent")
    p.add_argument("--survivors", action="store_true", help="list the survivors")
    args = ap.parse_args()
    {"sample": sample, "run": run, "report": report}[args.cmd](args)


if __name__ == "__main__":
    main()
