// report.html: one self-contained page (XHTML serialisation, inline CSS and
// SVG, no script, nothing fetched) that shows a result and can be printed.
// Its numbers are formatted by the summary's CSV writer, so the page and
// summary.csv say the same.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "cdref/summary.hpp"

namespace cdref {

// One method's fit: the measured spectrum as the program read it and the
// spectrum it calculated from its fractions.
struct ReportFit {
  std::string method;  // "MORVAN3/1"
  std::vector<double> wavelength_nm, experimental, calculated;
  double rmsd = 0, normalised = 0;  // normalised: RMSD / RMS of the measured spectrum
};

struct ReportSample {
  std::string title;
  const SampleSummary* summary = nullptr;  // nullptr: no method reported anything
  std::vector<double> wavelength_nm, measured;  // the spectrum as converted
  std::vector<ReportFit> fits;
  std::string magnitude;  // the magnitude check's verdict; "" when not run
  bool magnitude_warning = false;
  std::vector<std::string> warnings;  // conversion notes, failed jobs
};

struct ReportFile {
  std::string role, path, sha256;
};

struct ReportData {
  std::string heading;
  const SummaryTable* table = nullptr;
  std::vector<ReportSample> samples;
  std::string series_svg;  // an <svg> element shown first; "" for none
  std::string sets_note;
  std::vector<std::string> warnings;
  std::string version, command, seed;
  std::vector<std::string> steps;  // what was run, as commands a user could type
  std::vector<ReportFile> files;
  std::vector<std::pair<std::string, std::vector<std::string>>> conversion;  // file, steps
};

std::string report_html(const ReportData& d);

}  // namespace cdref
