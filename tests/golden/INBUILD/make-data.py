#!/usr/bin/env python3
"""Writes the synthetic instrument data files of the INBUILD golden cases.

The spectrum is a smooth two-band curve in delta-epsilon units: a negative
band near 220 nm and a positive one near 192 nm.  Lines between whole
nanometres (files with several values per nm) carry 99.9, so that a point
taken from a wrong line shows at once in INPUT.  Run from this directory;
the files it writes are committed as the cases' inputs.
"""
import math
import os


def de(nm):
    return -9.0 * math.exp(-((nm - 220.0) / 12.0) ** 2) + 14.0 * math.exp(-((nm - 192.0) / 6.0) ** 2)


def put(case, name, lines):
    os.makedirs(os.path.join(case, "in"), exist_ok=True)
    with open(os.path.join(case, "in", name), "w") as f:
        f.write("".join(line + "\n" for line in lines))


def per_nm(first, last, step_lines, sep="  ", extra=""):
    """Lines from first to last nm, step_lines lines per nm."""
    out = []
    n = abs(first - last) * step_lines
    d = (1 if last > first else -1) / step_lines
    for i in range(n + 1):
        wl = first + i * d
        v = de(wl) if i % step_lines == 0 else 99.9
        out.append(f"{wl:.1f}{sep}{v:.4f}{extra}")
    return out


put("new_260_178", "cd.dat", per_nm(260, 178, 1))
put("reversed_178_260", "rising.dat", per_nm(178, 260, 1))
put("five_per_nm_190", "fine.dat", per_nm(240, 190, 5))
put("threshold_181", "j181.csv", [f"{nm}.0,{de(nm):.4f},{400 + nm}" for nm in range(200, 180, -1)])
put("append_existing", "cd2.dat", per_nm(240, 190, 1))
put("append_no_input", "cd.dat", per_nm(250, 200, 1))
put("eof_keeps_input", "short.dat", per_nm(260, 220, 1))
put("stdin_ends", "cd.dat", per_nm(240, 200, 1))

# Molar ellipticity: 3300 is one delta-epsilon unit; two points are exact.
molar = []
for nm in range(230, 184, -1):
    v = 3300.0 if nm == 230 else -33000.0 if nm == 220 else 3300.0 * de(nm)
    molar.append(f"{nm}.0  {v:.1f}")
put("molar_185", "molar.dat", molar)

bad = per_nm(240, 200, 1)
bad[29] = "211.0  ******"  # what an overflowing instrument field looks like
put("bad_point_keeps_input", "cd.dat", bad)

header = ["TITLE\tsynthetic two-band protein", "DATA TYPE\t", "ORIGIN\tJASCO", "OWNER\t",
          "DATE\t26/01/15", "TIME\t10:12:00", "SPECTROMETER/DATA SYSTEM\tJ-815",
          "RESOLUTION\t", "DELTAX\t-0.5", "XUNITS\tNANOMETERS", "YUNITS\tCD",
          "Y2UNITS\tHT[V]", "FIRSTX\t260", "LASTX\t190", "NPOINTS\t141", "XYDATA"]
put("header_block", "jasco.txt", header + per_nm(260, 190, 2, sep="\t", extra="\t250.5"))

put("no_data_line", "notes.txt", ["This file holds", "no measured points", "", "at all"])
put("answers_retyped", "cd.dat", per_nm(230, 190, 1))

# The full name exists; its first 12 characters name no file.
put("missing_file_long_name", "spectrum_long_name.txt", per_nm(240, 230, 1))

# A date line that starts with numbers, then 250-178 nm at 2 lines per nm:
# entered first as 260-178 at 1 line per nm, then 250-178 at 1, then right.
put("wavelengths_asked_again", "dated.txt", ["02 05 2023 10:31"] + per_nm(250, 178, 2))
# A rising scan entered as falling: refused, and the answers end there.
put("wavelengths_keep_input", "rising.dat", per_nm(178, 260, 1))
