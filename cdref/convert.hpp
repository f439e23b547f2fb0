// cdref convert: from an instrument's export to a spectrum the analysis
// programs can use.
//
// The steps, each printed with the numbers it used (and recorded as JSON
// with --record):
//   read     the export (cdref/instrument.hpp): columns and the units
//            the header names;
//   units    the signal's unit, from the header or --units (a disagreement
//            is an error), and its conversion to delta epsilon per residue
//            with the concentration, path length, residue count or mean
//            residue weight it needs (a missing one is named; one that the
//            unit does not use is refused, so that no number is silently
//            ignored);
//   order    wavelengths strictly ascending or descending (a repeated or
//            out-of-order wavelength names its line), then long to short;
//   range    the short end cut where the detector's HT first exceeds its
//            limit (the data beyond are noise) and at --min-wavelength;
//   grid     linear interpolation to whole nanometres inside the measured
//            range (no extrapolation), within the wavelengths the reference
//            sets cover; more than 2 nm without a measurement is refused
//            unless allowed;
//   set      the reference set (the builder's suggestion from the short end
//            unless --basis), and enough points inside its valid range;
//   output   a two-column file the INPUT builder reads, or a Job appended to
//            INPUT, written atomically (on any error INPUT stays as it was).
#pragma once

#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "cdref/instrument.hpp"

namespace cdref {

// A conversion refused for a reason the message states.
struct ConvertError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------- units

enum class Unit { kNone, kMdeg, kDeg, kMolarEllipticity, kMre, kDeltaA, kDeltaEpsilon };

std::string_view unit_name(Unit u);  // the --units spelling
bool parse_unit(std::string_view name, Unit& u);
constexpr unsigned unit_bit(Unit u) { return 1u << static_cast<unsigned>(u); }
// The units a header text can mean, as unit_bit()s; 0 when it names none.
// "Mol. Ellip." or "deg cm2 dmol-1" alone can be per protein or per
// residue, and gives both bits.
unsigned units_named_by(std::string_view text);

enum class ConcUnit { kNone, kMgPerMl, kMolar, kMillimolar, kMicromolar };
enum class PathUnit { kNone, kCm, kMm };
bool parse_conc_unit(std::string_view name, ConcUnit& u);
bool parse_path_unit(std::string_view name, PathUnit& u);

struct UnitParams {
  bool conc_given = false;
  float conc = 0.0f;
  ConcUnit conc_unit = ConcUnit::kNone;
  bool path_given = false;
  float path = 0.0f;
  PathUnit path_unit = PathUnit::kNone;
  int residues = 0;  // 0: not given
  float mrw = 0.0f;  // mean residue weight, g/mol (Da); 0: not given
};

// How values in one unit become delta epsilon per residue (M-1 cm-1).
struct Conversion {
  Unit unit = Unit::kNone;
  bool mass = false;        // concentration by mass (with the MRW), else molar (with residues)
  float conc_mg_ml = 0.0f;  // the concentration in the formula's unit
  float conc_molar = 0.0f;
  float path_cm = 0.0f;
  int residues = 0;
  float mrw = 0.0f;
  std::vector<std::string> formula;  // the relations applied, in order, with their sources
  std::string parameters;            // the values used, with their units
};

// Checks the parameters against the unit: each one the unit needs must be
// given, each one given must be used.  Throws ConvertError naming the
// option otherwise.
Conversion plan_conversion(Unit unit, const UnitParams& p);
float to_delta_epsilon(const Conversion& c, float value);

// ---------------------------------------------------------------- wavelengths

// The points from the long to the short wavelength.  Throws ReadError naming
// the line of a repeated wavelength or of one out of order, or when fewer
// than two rows were read.
struct Ordered {
  bool ascending = false;  // as the file had them
  float min_step = 0.0f, max_step = 0.0f;
  std::vector<MeasuredPoint> points;
};
Ordered order_points(const Measurement& m);

struct RangeOptions {
  float ht_max = 600.0f;  // V
  bool ht_max_given = false;
  float min_wl = 0.0f;
  bool min_given = false;
  bool allow_gaps = false;
};

// The short end of the measurement (points long to short): the first `kept`
// points stay.
struct Cut {
  int kept = 0;
  int ht_at = -1;    // index of the first point whose HT exceeds the limit, -1: none
  int min_at = -1;   // index of the first point below --min-wavelength, -1: none
  float max_ht = 0;  // the highest HT among the points kept
};
Cut cut_short_end(const std::vector<MeasuredPoint>& points, bool has_ht, const RangeOptions& r);

struct Gap {
  float longer, shorter;  // nm
  int longer_line, shorter_line;
  int grid_points;  // whole nanometres inside it that are interpolated
};

// Values (one per point, long to short) on whole nanometres from `longer`
// down to `shorter`.
struct Grid {
  int longer = 0, shorter = 0;
  std::vector<float> values;
  int measured = 0;      // whole nanometres that were measured
  int interpolated = 0;  // the others
  std::vector<Gap> gaps;
};

// Whole nanometres within the first `kept` points and within [lo, hi] nm.
// Throws ConvertError when there is none, or when a gap of more than 2 nm
// lies inside the range and gaps are not allowed.
Grid resample(const std::vector<MeasuredPoint>& points, const std::vector<float>& values, int kept, int lo, int hi,
              bool allow_gaps, const std::string& path);

// The wavelengths of all reference sets together (the catalogue's longest
// long limit and shortest short limit), and the fewest points a set's valid
// range holds.
struct CatalogueSpan {
  int longest = 0, shortest = 0;
  int min_points = 0;
  std::string min_sets;  // the sets with that range, "4, 7, 8"
};
CatalogueSpan catalogue_span();

// ---------------------------------------------------------------- the command

struct ConvertOptions {
  std::string file;
  ReadOptions read;
  bool units_given = false;
  Unit units = Unit::kNone;
  bool ignore_header_units = false;
  UnitParams params;
  RangeOptions range;
  std::string out_file;
  bool force = false;
  std::string append;
  std::string title;
  int basis = 0;  // 0: the suggested set
  std::string record;
  std::vector<std::string> args;  // the command line after "convert"
  // A file of several spectra (a melt, a titration): the ones to convert
  // (from 1, in file order; empty: all), each spectrum's own range instead
  // of the range all of them support, and the unit of the series value
  // written after it in each title ("lysozyme 25.1 C").
  std::vector<int> spectra;
  bool own_range = false;
  std::string series_unit;
};

// One converted spectrum: the job it makes.
struct ConvertedSpectrum {
  int spectrum = 1;          // its place in the file, from 1
  std::string series_label;  // its series value as written; "" for a file of one spectrum
  std::string title;         // the job's title
  int ibasis = 0;
  Grid grid;                 // delta epsilon per whole nm, long to short
};

// What a conversion gives without writing anything: the spectra in file
// order, and the steps as JSON ({"steps": [...], "warnings": [...]}); the
// steps are also printed to `steps`.  Throws ConvertError or cdsec::ReadError
// when the file is refused.
struct Converted {
  std::vector<ConvertedSpectrum> spectra;
  std::string provenance_json;
};
Converted convert_spectra(const ConvertOptions& o, std::ostream& steps);

// The title of a spectrum of a series: the title given, then the series
// value (a decimal comma made a point) and its unit.  ConvertError when it
// does not fit the 40 characters of a job's title.
std::string series_title(const std::string& title, const std::string& label, const std::string& unit);

// The spectra chosen by --spectra "1,3-5" (from 1, ascending, no repeats).
// False when the text is not such a list.
bool parse_spectrum_list(std::string_view text, std::vector<int>& out);

// Runs the conversion, printing every step to `out` and a refusal to `err`.
// Returns the exit status: 0 when written, 1 when refused.
int run_convert(const ConvertOptions& o, std::ostream& out, std::ostream& err);

}  // namespace cdref
