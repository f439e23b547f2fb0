// KESTRA, the variable-selection analysis: every job of INPUT in the working
// directory, reports in Kestra.out and reconCD.out, one summary record per
// job in ProtSS.out.
#pragma once

#include <iosfwd>

#include "frame/summary.hpp"

namespace cdsec {

// The start banner (code 1) or the end message and its wait for Enter (2).
void MESSAGE(int code);

// The segment estimate: segments per 100 residues and average lengths.
void write_segment_block(std::ostream& report, const Segments& s);

// The whole program; returns the exit status (0, or 1 after an orderly stop).
int kestra_main();

}  // namespace cdsec
