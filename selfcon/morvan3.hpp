// MORVAN3, the self-consistent analysis program: the job loop over INPUT.
//
// Files of the working directory, opened at start and kept open for the run:
//   INPUT        the jobs, read in order until the file ends at a job's start
//   MORVAN3.OUT  the report
//   BASIS        the listing of every loaded working set
//   CalcCD.OUT   measured and calculated spectrum of every analysed sample
// and ProtSS.out, to which a summary record is appended per analysed sample.
#pragma once

#include <ostream>

namespace cdsec {

// MESSAGE: code 1 writes the start banner, code 2 the end message followed
// by the wait for Enter; any other code does nothing.
void MESSAGE(int code, std::ostream& console);

// Runs the whole program in the current directory; returns the exit status
// (0 at the normal end, 1 after a stop on bad input or an unwritable file).
int run_morvan3();

}  // namespace cdsec
