// Building a reference set from measured data: a table of spectra and a
// table of structure fractions (both CSV, one protein per row), joined by a
// protein identifier, with the source's fraction columns summed into the
// classes of a catalogue set as the user maps them.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace cdref {

enum class Fill { kNone, kZero, kExtrapolateLinear };

struct ImportOptions {
  int ibasis = 0;
  std::string spectra, fractions, out_dir;
  std::string id_column;            // "" = the first column of the spectra table
  std::vector<std::string> maps;    // "CLASS=COL+COL..." per class (CLASS a label or 1..ns; COL "none" = no column)
  std::vector<std::string> ignore;  // fraction columns left out (the rest is rescaled to sum 1)
  std::vector<std::string> where;   // "COLUMN=VALUE": only spectra rows with that value
  int limit = 0;                    // > 0: the first `limit` rows after `where`
  Fill fill = Fill::kNone;
  bool molar_ellipticity = false;   // values are [theta] per residue: divided by 3300
  std::string name_prefix;          // "": names from the identifiers; else prefix + serial
  bool force = false;               // replace existing files
};

// Parses a --fill method name; false when unknown.
bool parse_fill(const std::string& name, Fill& fill);

// Fills the wavelengths a spectrum lacks.  `have[i]` tells whether value i
// (260 - i nm, i = 0..82) was measured.  kZero writes 0.  kExtrapolateLinear
// interpolates a gap between two measured points linearly and extends each
// end by the least-squares straight line through the nearest five measured
// points (two at least).  Returns false when the method cannot fill (fewer
// than two measured points for the linear method, or kNone).
bool fill_spectrum(float values[83], const bool have[83], Fill method);

// Writes CDDATA.<suffix> and SSDATA.<suffix> into out_dir.  Progress and the
// account of what was filled or rescaled go to `log`.  Throws
// std::runtime_error (or cdsec::ReadError for the input files) with a
// message naming the file, line and value at fault; nothing is written then.
void run_import(const ImportOptions& opt, std::ostream& log);

}  // namespace cdref
