// One command from measured exports to a report: convert every export,
// write the jobs for each chosen reference set into INPUT, run both
// analysis programs on it as a user would (standard input closed, run
// records on, KESTRA_SEED fixed), check the spectra's magnitude, summarise
// and write report.html.
//
// Everything is built in a directory beside DIR and renamed to DIR at the
// end, so a refusal leaves no half-written DIR behind.
#pragma once

#include <array>
#include <iosfwd>
#include <string>
#include <vector>

#include "cdref/convert.hpp"

namespace cdref {

struct AnalyseOptions {
  std::vector<std::string> files;     // exports to convert
  ConvertOptions convert;             // how to read and convert them
  std::string title;                  // job titles; "" = each file's name without extension
  std::string input;                  // an existing job file instead of files
  std::vector<int> sets;              // empty: chosen from the spectra's range
  std::string out;                    // DIR; "" = named after the first file
  bool force = false;                 // replace an existing DIR
  std::string seed = "1";             // KESTRA_SEED
  bool scale = true;                  // the magnitude check
  std::array<std::string, 2> exe;     // MORVAN3, KESTRA; "" = found as for crossval
  int job_timeout = 120;
  std::vector<std::string> command;   // the command line, for the record
};

// The sets meant for native proteins (not 6 and 7, which are for unfolded
// conditions) whose valid range lies inside [shorter, longer] nm.
std::vector<int> native_sets_covered(int longer, int shorter);

// Runs it all; the summary and progress go to `out` and `progress`,
// refusals and failed jobs to `err`.  Returns 0 when every spectrum has a
// result from at least one method, 3 when some have none, 1 when nothing
// was analysed (and DIR is left as it was).
int run_analyse(const AnalyseOptions& opt, std::ostream& out, std::ostream& progress, std::ostream& err);

}  // namespace cdref
