// Validation of a reference set as the analysis programs will read it.
//
// The set's two files are found as the programs find them (working
// directory, then CDSEC_REFDIR, then the installed data) and read with the
// programs' own reader.  Around that, a pass over the lines checks the fixed
// layout itself, because the reader accepts some faults silently (a blank
// field reads as 0, text beyond the last field is never looked at, a name in
// columns 1-4 loses its last character).
//
// Every finding names the file and the line.  Problems are faults that make
// the programs read something other than what the file means, or that make
// the set unusable or misleading; notes are facts worth knowing that are not
// faults (a scale factor, which only one of the programs applies).
#pragma once

#include <string>
#include <vector>

#include "frame/refsets.hpp"

namespace cdref {

struct Finding {
  bool problem;      // false: a note
  std::string text;  // "<file>, line <n>: <what>"
};

struct CheckLimits {
  float sum_tolerance = 0.01f;  // |sum of fractions - 1| allowed
  float cd_low = -30.0f;        // plausible delta epsilon per residue,
  float cd_high = 40.0f;        // inside the set's valid range
};

struct CheckResult {
  std::string cd_path, ss_path;  // as located ("" when not found)
  int proteins = 0;              // read by the programs' reader
  std::vector<Finding> findings;
  int problems() const;
};

// Checks set `set` where the programs would find it from the current
// working directory.
CheckResult check_set(const cdsec::RefSetInfo& set, const CheckLimits& limits);

}  // namespace cdref
