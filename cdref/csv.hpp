// Comma-separated tables as spreadsheets and databases export them: a header
// row naming the columns, then one record per line.  Fields may be quoted
// ("a, b" and "say ""x""" hold a comma and a quote); blanks around a field
// are dropped; a byte-order mark before the header is ignored; empty lines
// are skipped.  A quoted field that runs past the end of its line is refused
// (no exported spectrum table needs one).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace cdref {

struct CsvRow {
  int line = 0;                    // line of the file, from 1
  std::vector<std::string> cells;  // as many as the header has columns
};

struct CsvTable {
  std::string path;
  int header_line = 0;
  std::vector<std::string> header;
  std::vector<CsvRow> rows;

  // Index of the column named `name`, or -1.
  int column(std::string_view name) const;
};

// Splits one line into fields.  Throws cdsec::ReadError naming `path`,
// `line_no` and the column of an unterminated quote or of text after a
// closing quote.
std::vector<std::string> split_csv_line(std::string_view line, const std::string& path, int line_no);

// Reads a whole table.  Throws cdsec::ReadError when the file cannot be
// opened, has no header, repeats a column name, or has a record with more or
// fewer fields than the header.
CsvTable read_csv(const std::string& path);

}  // namespace cdref
