#!/usr/bin/env python3
"""Regenerates the in/ folders of the MORVAN3 golden cases.

    tests/golden/MORVAN3/make-inputs.py BUILD_DIR [CASE...]

Reference sets and sample spectra come from the synthetic generator
cdsec_mkrefs; the jobs are written here in the layout INBUILD writes.  Then
run tools/update-golden.sh BUILD_DIR MORVAN3 and review the diff line by line.
With CASE names only those cases are written again.
"""
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def find_tool(build, name):
    for root, _dirs, files in os.walk(build):
        if name in files and os.access(os.path.join(root, name), os.X_OK):
            return os.path.join(root, name)
    sys.exit(f"{name} not built in {build}")


MK = None
ONLY = set()
SCRATCH = None


def fresh(case):
    """An empty in/ folder for CASE (expected/ is removed so that an update
    records every file the run writes).  A case not asked for is written into
    a scratch folder that is thrown away."""
    if ONLY and case not in ONLY:
        d = os.path.join(SCRATCH, case)
        os.makedirs(d)
        return d
    d = os.path.join(HERE, case)
    shutil.rmtree(os.path.join(d, "in"), ignore_errors=True)
    shutil.rmtree(os.path.join(d, "expected"), ignore_errors=True)
    os.makedirs(os.path.join(d, "in"))
    return os.path.join(d, "in")


def refset(d, ibasis, count, seed):
    subprocess.run([MK, "--set", str(ibasis), "--count", str(count), "--seed", str(seed), "--out", d],
                   check=True, stdout=subprocess.DEVNULL)


def sample_values(ibasis, seed, n, first=None, last=None):
    """The CD values of the n samples the generator prints."""
    cmd = [MK, "--samples", str(n), "--seed", str(seed), "--set", str(ibasis)]
    if first is not None:
        cmd += ["--range", str(first), str(last)]
    text = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout.split("\n")
    out, cur, in_values = [], [], False
    for line in text:
        if line.startswith("# CDDATA"):
            in_values, cur = True, []
        elif in_values and line.startswith("#"):
            in_values = False
            out.append(cur)
        elif in_values:
            cur += [float(v) for v in line.split()]
    return out


def protein_values(cddata, p):
    """The 83 values (260..178 nm) of protein p (from 1) of a CDDATA file, as
    written there."""
    lines = open(cddata).read().split("\n")[2:]
    block = lines[(p - 1) * 7 + 1:(p - 1) * 7 + 7]
    vals = []
    for l in block:
        vals += [l[c:c + 6].strip() for c in range(0, len(l), 6) if l[c:c + 6].strip()]
    assert len(vals) == 83, len(vals)
    return vals


def job(values, ibasis=1, iprint=0, title="Synthetic sample", first=260.0, last=178.0, factor=1.0,
        guess=None, fmt="%8.3f"):
    """One job in the layout INBUILD writes; `values` are numbers or the texts
    to write as they are."""
    lines = ["#" + " " * 50,
             "# PRINT   Basis_1    Basis_2     Basis_3    SEGMENT".ljust(51),
             "   %4d      %4d       %4d        %4d       %4d" % (iprint, ibasis, 0, 0, 1),
             "#" + " " * 50,
             "# 1 Title Line".ljust(51),
             title,
             "#" + " " * 50,
             "#     WL_Begin     WL_End       Factor".ljust(51),
             "%12.4f%12.4f%12.4f" % (first, last, factor),
             "#" + " " * 50,
             "# CDDATA (Long->Short Wavelength; 260 - 178 LIMITS "]
    cells = [v if isinstance(v, str) else fmt % v for v in values]
    for i in range(0, len(cells), 10):
        lines.append("".join(c.rjust(8) for c in cells[i:i + 10]))
    lines += ["#" + " " * 50, "#  IGuess  Str1   Str2   Str3   Str4   Str5    Str6"]
    if guess is not None:
        lines.append(guess)
    else:
        lines.append((" " * 8 + "0").ljust(51))
    return "\n".join(lines) + "\n"


def guess_line(iguess, fractions):
    return "%4d" % iguess + "".join("%8.3f" % f for f in fractions)


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


EARLIER_RECORD = (
    "_" * 80 + "\n\n"
    " SAMPLE:  " + "Record of an earlier run".ljust(50) + "\n"
    " PROGRAM:     KESTRA \n"
    " Protein Set: 29 Reference Set\n"
    " Structure:    H(r)    H(d)    S(r)    S(d)    Trn     Unrd\n"
    " Fractions:   0.310   0.190   0.120   0.080   0.120   0.180\n"
    " RMSD(Exp-Calc):     0.123\n")


def long_runs():
    """Cases of long first stages against larger sets.  Sample 1 of seed 24
    against 30 proteins of seed 7 reacts sharply to its scale: 1.458
    converges after 18 iterations, 1.46 runs into the bound, 1.48 finds no
    solution at iteration 17."""
    s24 = sample_values(1, 24, 1)[0]
    for case, factor, title in (("many_iterations", 1.458, "Converges after 18 iterations"),
                                ("bound_large_set", 1.46, "No convergence in 19 iterations, 31 proteins"),
                                ("late_partial", 1.48, "No solution at iteration 17")):
        d = fresh(case)
        refset(d, 1, 30, 7)
        write(os.path.join(d, "INPUT"), job(s24, factor=factor, title=title))

    # Five jobs against 50 proteins (NP = 51, the largest working set and
    # the longest solution table), intermediate printing on throughout.
    d = fresh("large_set_printed")
    refset(d, 1, 50, 1)
    a = sample_values(1, 1, 5)
    b = sample_values(1, 10, 1)[0]
    c = sample_values(1, 2, 1)[0]
    write(os.path.join(d, "INPUT"),
          job(a[0], iprint=1, title="Converges in two iterations") +
          job(b, factor=1.4, title="No solution at iteration 4") +
          job(c, factor=1.6, title="Rule 4 finds no helix window") +
          job(a[1], factor=-1.0, title="Inverted spectrum") +
          job(a[2], title="Own guess", guess=guess_line(1, [0.25, 0.10, 0.20, 0.10, 0.15, 0.20])))


def main():
    global MK, ONLY, SCRATCH
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    MK = find_tool(sys.argv[1], "cdsec_mkrefs")
    ONLY = set(sys.argv[2:])
    with tempfile.TemporaryDirectory() as SCRATCH:
        everything_else()
        long_runs()


def everything_else():

    # Set 1 of 12 proteins and samples of seed 101 serve most cases.
    s1 = sample_values(1, 101, 5)

    # IPrint 1 in the first job keeps printing on in the second (IPrint 0);
    # IGuess 0, then a user guess given as IGuess 2; an 80-character title;
    # records appended after one of an earlier run; Enter pressed twice.
    d = fresh("print_carries_over")
    refset(d, 1, 12, 1)
    write(os.path.join(d, "INPUT"),
          job(s1[0], iprint=1, title="Sample one, intermediate printing on") +
          job(s1[1], iprint=0, title="Sample two: an 80-character title line that MORVAN3 cuts after 64 characters!!",
              guess=guess_line(2, [0.300, 0.050, 0.200, 0.150, 0.100, 0.200])))
    write(os.path.join(d, "ProtSS.out"), EARLIER_RECORD)
    write(os.path.join(HERE, "print_carries_over", "stdin"), "\n\n")

    # Range fitting: 260..178 with set 3 (both ends clipped, 83 -> 56 points,
    # the 21st value first); 250..170 with set 1 (short end only, 81 values
    # read, 73 used from the first); 240.3..190.3 inside set 1 (no message).
    d = fresh("range_clipping")
    refset(d, 3, 12, 2)
    refset(d, 1, 12, 1)
    s3 = sample_values(3, 201, 1, 260, 178)[0]
    long1 = sample_values(1, 102, 1, 250, 178)[0] + [-1.5, -1.2, -0.9, -0.6, -0.3, 0.0, 0.3, 0.6]
    mid1 = sample_values(1, 103, 1, 240, 190)[0]
    write(os.path.join(d, "INPUT"),
          job(s3, ibasis=3, title="Set 3, measured 260 to 178 nm") +
          job(long1, ibasis=1, first=250.0, last=170.0, title="Set 1, measured 250 to 170 nm") +
          job(mid1, ibasis=1, first=240.3, last=190.3, title="Set 1, 240.3 to 190.3 nm"))

    # Factor 1, factor 0 (read as 1: the same analysis) and factor -1 (the
    # inverted spectrum finds no solution).
    d = fresh("factor_zero_and_minus_one")
    refset(d, 1, 12, 1)
    write(os.path.join(d, "INPUT"),
          job(s1[2], factor=1.0, title="Factor 1") + job(s1[2], factor=0.0, title="Factor 0") +
          job(s1[2], factor=-1.0, title="Factor -1"))

    # Set 5 (five classes, no segments), then set 1 (six classes, segments).
    d = fresh("set5_then_set1")
    refset(d, 5, 12, 4)
    refset(d, 1, 12, 1)
    s5 = sample_values(5, 301, 1)[0]
    write(os.path.join(d, "INPUT"),
          job(s5, ibasis=5, first=240.0, last=185.0, title="Set 5 sample") +
          job(s1[3], ibasis=1, title="Set 1 sample after set 5"))

    # The sample is reference protein 3 itself: it is left out of the
    # working set (12 proteins with the sample, not 13).
    d = fresh("sample_is_reference")
    refset(d, 1, 12, 1)
    write(os.path.join(d, "INPUT"),
          job(protein_values(os.path.join(d, "CDDATA.29"), 3), title="Reference protein P003 as a sample"))

    # First-stage failure: a set of four proteins (NP = 5 < 6, no trial at
    # all), then half the spectrum's size against set 1.
    d = fresh("first_stage_failure")
    refset(d, 4, 4, 5)
    refset(d, 1, 12, 1)
    s4 = sample_values(4, 401, 1)[0]
    write(os.path.join(d, "INPUT"),
          job(s4, ibasis=4, first=240.0, last=190.0, title="Set 4 of only four proteins") +
          job(s1[1], factor=0.5, title="Half the spectrum"))

    # Second-stage failure: every first-stage solution misses the spectrum
    # by more than 0.55 in both RMS measures.
    d = fresh("second_stage_failure")
    refset(d, 1, 12, 1)
    write(os.path.join(d, "INPUT"), job(s1[4], title="No solution passes rule 3"))

    # A later iteration without solutions (PARTIALLY COMPLETED, the previous
    # iteration's positions carried on), then a job that does not converge
    # within 19 iterations.
    d = fresh("partial_and_bound")
    refset(d, 1, 12, 1)
    write(os.path.join(d, "INPUT"),
          job(s1[1], factor=0.7, title="Iteration without solutions") +
          job(s1[3], factor=1.4, title="No convergence in 19 iterations"))

    # Rule 4: with six proteins the all-basis estimate follows the user's
    # guess; an unordered guess puts the helix window far below every
    # solution (CRASHED, the second-stage table stays in CalcCD.OUT); a
    # helical guess gives the window of HelDP >= 0.65.
    d = fresh("rule4_failure")
    refset(d, 1, 5, 3)
    s6 = sample_values(1, 55, 1)[0]
    write(os.path.join(d, "INPUT"),
          job(s6, title="Unordered guess", guess=guess_line(1, [0, 0, 0, 0, 0, 1.0])) +
          job(s6, title="Helical guess", guess=guess_line(1, [1.0, 0, 0, 0, 0, 0])))

    # No job at all.
    d = fresh("empty_input")
    write(os.path.join(d, "INPUT"), "")

    # A finished job, then a job whose CD values end early: the first job
    # stays in every file; the fixed error message ends the run.
    d = fresh("error_after_job")
    refset(d, 1, 12, 1)
    cut = job(s1[0], title="Values cut short").split("\n")
    write(os.path.join(d, "INPUT"), job(s1[3], title="Complete job") + "\n".join(cut[:16]) + "\n")

    # An unreadable CD value.
    d = fresh("bad_cd_value")
    refset(d, 1, 12, 1)
    vals = ["%.3f" % v for v in s1[0]]
    vals[24] = "-0.8.1"
    write(os.path.join(d, "INPUT"), job(vals, title="A value with two decimal points"))

    # The file ends before the title line.
    d = fresh("eof_at_title")
    write(os.path.join(d, "INPUT"), "\n".join(job(s1[0]).split("\n")[:5]) + "\n")

    # Orderly stops, each after a finished job where that matters.
    d = fresh("bad_ibasis")
    refset(d, 1, 12, 1)
    write(os.path.join(d, "INPUT"), job(s1[3], title="Complete job") + job(s1[0], ibasis=9, title="Set 9"))

    d = fresh("too_many_values")
    refset(d, 1, 12, 1)
    write(os.path.join(d, "INPUT"), job(s1[0][:1] * 5 + s1[0], first=265.0, last=178.0, title="88 values"))

    d = fresh("missing_guess_line")
    refset(d, 1, 12, 1)
    write(os.path.join(d, "INPUT"), job(s1[3], title="Complete job") +
          "\n".join(job(s1[0], title="No guess line").split("\n")[:-2]) + "\n")

    d = fresh("truncated_reference")
    refset(d, 1, 12, 1)
    cd = open(os.path.join(d, "CDDATA.29")).read().split("\n")
    write(os.path.join(d, "CDDATA.29"), "\n".join(cd[:2 + 4 * 7 + 3]) + "\n")
    write(os.path.join(d, "INPUT"), job(s1[0], title="Truncated CDDATA.29"))

    d = fresh("range_outside_set")
    refset(d, 1, 12, 1)
    write(os.path.join(d, "INPUT"),
          job(s1[0][:36], first=300.0, last=265.0, title="Measured above the set's range"))

    d = fresh("trailing_blank_line")
    refset(d, 1, 12, 1)
    write(os.path.join(d, "INPUT"), job(s1[3], title="Complete job") + "\n")

    # 51 reference proteins that all differ from the sample: one too many.
    d = fresh("overflow")
    refset(d, 1, 51, 6)
    write(os.path.join(d, "INPUT"), job(s1[0], title="Too many reference proteins"))


if __name__ == "__main__":
    main()
