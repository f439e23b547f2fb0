// Readers of the text files that spectropolarimeters and spreadsheets
// export: wavelength, CD signal and, often, the detector's high tension (HT).
//
// Three layouts are read:
//   * the instrument export: a header block of "KEY<tab or comma>value" lines
//     (XUNITS, YUNITS, Y2UNITS, NPOINTS, ...; in the comma form padded with
//     empty fields, and a value may hold unquoted commas), a line XYDATA,
//     then one row per point: wavelength, CD, and the columns Y2UNITS,
//     Y3UNITS name;
//   * the same header followed, after XYDATA, by one block per recorded
//     quantity ("Channel 1", "Channel 2", ... in the order YUNITS, Y2UNITS,
//     Y3UNITS): a row of series values (the temperatures of a melt, say; its
//     first field is empty), then per wavelength the wavelength and one value
//     per spectrum.  This is how an instrument writes several quantities or
//     several spectra;
//   * delimited text: any lines of text first (skipped), then rows of
//     numbers separated by tabs, commas, semicolons or blanks; the last line
//     of text before the rows names the columns (a unit in brackets,
//     "CD [mdeg]", names the column's unit).  With such names, every numeric
//     column after the wavelength that is not the HT or an absorbance is a
//     spectrum (a wide table from a spreadsheet, its names the series
//     labels); without them, column 2.
// An export may end with an "##### Extended Information" block of settings
// (sample, concentration, bandwidth, ...): it is kept as read.  An export
// whose XUNITS is a temperature (a melt followed at one wavelength) is not a
// spectrum and is refused as such.
// In both, a decimal comma ("-1,234") is read as a decimal point wherever
// the comma cannot be the field separator, the data end at the first line
// that is not a row of numbers, and nothing but text may follow them: a row
// of numbers after that line means the data were interrupted, and is refused.
// Every failure is a cdsec::ReadError naming the file, the line and the text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace cdref {

enum class ExportFormat { kAuto, kInstrument, kDelimited };
enum class Separator { kAuto, kTab, kComma, kSemicolon, kBlank };
enum class DecimalMark { kAuto, kPoint, kComma };

// A column as the user names it: by number (from 1) or by its header name.
struct ColumnChoice {
  int number = 0;     // 0: not given by number
  std::string name;   // "": not given by name
  bool none = false;  // the HT column only: "none", no HT column at all
  bool given() const { return number > 0 || !name.empty() || none; }
};

struct ReadOptions {
  ExportFormat format = ExportFormat::kAuto;
  Separator separator = Separator::kAuto;
  DecimalMark decimal = DecimalMark::kAuto;
  int skip = 0;  // lines passed over before looking for anything
  ColumnChoice x, y, ht;
  // --columns X,Y,Z: the third entry, when neither `ht` nor `more_y` says
  // what it is.  It is the HT column when the file names no columns or
  // names this one as the detector voltage (the form X,Y,HT), else a
  // second spectrum.
  ColumnChoice third;
  std::vector<ColumnChoice> more_y;  // further spectra: --columns X,Y1,Y2,Y3...
  bool columns_given = false;        // the columns are chosen, not found
  int channel = 0;  // channel blocks: the CD channel (from 1); 0: the one whose units say CD
};

// A text of the header that says something about a column, and where.
struct HeaderText {
  std::string key;   // "YUNITS", or "column name"
  std::string text;  // as written, blanks trimmed
  int line = 0;      // 0: the header says nothing
};

struct HeaderEntry {
  int line;
  std::string key, value;
};

struct UsedColumn {
  int number = 0;     // from 1; 0 for an absent HT column
  std::string label;  // header name or units text, "" when none
  std::string how;    // why this column: "--columns", "default", "header (...)"
};

struct MeasuredPoint {
  int line;         // line of the file (of the CD value)
  float wl;         // nm
  float cd;         // as exported
  float ht;         // V; 0 when there is no HT column
  int ht_line = 0;  // line of the HT value when not `line` (channel blocks)
};

constexpr int kMaxRows = 1000000;

struct Measurement {
  std::string path;
  ExportFormat format = ExportFormat::kDelimited;
  Separator separator = Separator::kBlank;
  int decimal_commas = 0;  // values read with a decimal comma
  int header_lines = 0;    // lines before the first row (skipped ones included)
  int names_line = 0;      // the line naming the columns; 0 when none
  int xydata_line = 0;     // instrument export: the XYDATA line
  int fields = 0;          // fields of the first row
  int trailing_lines = 0;  // lines of text after the data, ignored
  int first_trailing_line = 0;
  UsedColumn x, y, ht;
  bool has_ht = false;
  HeaderText x_units, y_units, ht_units;
  int npoints_declared = -1;          // NPOINTS of the export header
  int npoints_line = 0;               // its line; 0 when the header has none
  std::vector<HeaderEntry> header;    // the export header, KEY in upper case
  std::vector<MeasuredPoint> points;  // in file order

  // A file of several spectra: this one's place and series value.
  int spectrum = 1, spectra = 1;  // from 1, in file order
  std::string series_label;       // the series row's value or the column's name, as written; "" when alone
  int series_line = 0;            // where it is written
  // Channel blocks: the channels read, and how many the file has (0: none).
  int channel = 0, ht_channel = 0, channels = 0;
  std::vector<HeaderText> channel_units;  // per channel, from YUNITS, Y2UNITS, ...
  std::vector<HeaderEntry> extended;      // the Extended Information block, as read
  int extended_line = 0;                  // its "#####" line; 0 when there is none
};

// Reads every spectrum of the file, in file order.  ReadError on any
// failure: no rows, a row lacking a chosen column or holding something other
// than a finite number there, a row with more fields than the header names
// columns (unless the columns are chosen), an interrupted block, a column
// name not in the header, channel blocks that disagree in their series or
// wavelengths, NPOINTS that disagree with the rows, more than kMaxRows rows,
// a melt at one wavelength.
std::vector<Measurement> read_spectra(const std::string& path, const ReadOptions& opt);

// The same for a file that holds one spectrum; ReadError when it holds more.
Measurement read_measurement(const std::string& path, const ReadOptions& opt);

// The pieces, for the tests and for the fuzz target.

// Splits a line at `sep` (kBlank: runs of blanks and tabs; kComma: quoted
// fields as in CSV; kTab and kSemicolon: fields trimmed of blanks and of one
// pair of enclosing double quotes).  kAuto is not allowed here.
std::vector<std::string> split_fields(std::string_view line, Separator sep, const std::string& path, int line_no);

// A value: a real as the job file writes them, or with a decimal comma for a
// decimal point (unless `mark` is kPoint).  False when it is neither.
bool parse_measured(std::string_view field, DecimalMark mark, float& value, bool& used_comma);

// The separator that makes `line` a row of at least two numbers (every
// non-empty field a number), or kAuto when no separator does.  A given
// separator (not kAuto) is only checked.
Separator row_separator(std::string_view line, Separator given, DecimalMark mark);

std::string_view separator_name(Separator s);

}  // namespace cdref
