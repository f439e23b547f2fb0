// Console helpers shared by the programs.
#pragma once

#include <iosfwd>
#include <string_view>

namespace cdsec {

// Exit statuses of the analysis programs: 0 every job gave a result; 1 an
// error stopped the run (bad input, a file that could not be read or
// written); 2 the environment or the usage was refused before anything was
// done; kExitNoResult the run went through, but at least one job gave no
// result (its failure is in the report and on standard error).
constexpr int kExitNoResult = 3;

// The wait after an end message: reads one console line and ignores it.  At
// the end of standard input (a run from a script, stdin redirected from
// /dev/null) it returns at once instead of waiting for ever.
void wait_for_enter();

// An orderly stop on bad input: the report gets two blank lines and
// "  ERROR: <message>", the console (stderr) "<program>: <message>".  The
// caller then closes its files and exits with a non-zero status; everything
// written before stays in the files.
void report_stop(std::ostream* report, std::string_view program, std::string_view message);

}  // namespace cdsec
