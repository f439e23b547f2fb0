#include "cdref/csv.hpp"

#include <set>

#include "frame/platform.hpp"
#include "frame/text_input.hpp"

namespace cdref {

using cdsec::ReadError;

namespace {

std::string trim(std::string_view s) {
  std::size_t b = s.find_first_not_of(" \t");
  if (b == std::string_view::npos) return {};
  std::size_t e = s.find_last_not_of(" \t");
  return std::string(s.substr(b, e - b + 1));
}

}  // namespace

int CsvTable::column(std::string_view name) const {
  for (std::size_t i = 0; i < header.size(); ++i)
    if (header[i] == name) return static_cast<int>(i);
  return -1;
}

std::vector<std::string> split_csv_line(std::string_view line, const std::string& path, int line_no) {
  std::vector<std::string> out;
  std::size_t i = 0, n = line.size();
  while (true) {
    std::size_t start = i;
    while (i < n && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i < n && line[i] == '"') {
      std::size_t open = i;
      std::string field;
      ++i;
      bool closed = false;
      while (i < n) {
        if (line[i] == '"') {
          if (i + 1 < n && line[i + 1] == '"') {
            field += '"';
            i += 2;
            continue;
          }
          closed = true;
          ++i;
          break;
        }
        field += line[i++];
      }
      if (!closed)
        throw ReadError(ReadError::Kind::kBadValue, path, line_no,
                        "a quoted field that does not end on its line", static_cast<int>(open) + 1);
      while (i < n && (line[i] == ' ' || line[i] == '\t')) ++i;
      if (i < n && line[i] != ',')
        throw ReadError(ReadError::Kind::kBadValue, path, line_no, "text after the closing quote of a field",
                        static_cast<int>(i) + 1, 0, std::string(line.substr(i, line.find(',', i) - i)), true);
      out.push_back(field);
    } else {
      std::size_t comma = line.find(',', start);
      std::size_t end = comma == std::string_view::npos ? n : comma;
      out.push_back(trim(line.substr(start, end - start)));
      i = end;
    }
    if (i >= n) break;
    ++i;  // the comma
    if (i == n) {
      out.emplace_back();  // a trailing comma ends with an empty field
      break;
    }
  }
  return out;
}

CsvTable read_csv(const std::string& path) {
  CsvTable t;
  t.path = path;
  cdsec::LineReader in;
  in.open(cdsec::os::path_from_utf8(path));
  std::string line;
  bool first = true;
  std::set<std::string> seen;
  while (in.next(line)) {
    if (first && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    first = false;
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    std::vector<std::string> cells = split_csv_line(line, path, in.line_no());
    if (t.header.empty()) {
      t.header = std::move(cells);
      t.header_line = in.line_no();
      for (std::size_t c = 0; c < t.header.size(); ++c) {
        if (t.header[c].empty())
          throw ReadError(ReadError::Kind::kBadValue, path, in.line_no(),
                          "column " + std::to_string(c + 1) + " of the header has no name");
        if (!seen.insert(t.header[c]).second)
          throw ReadError(ReadError::Kind::kBadValue, path, in.line_no(),
                          "the header names column \"" + t.header[c] + "\" twice");
      }
      continue;
    }
    if (cells.size() != t.header.size())
      throw ReadError(ReadError::Kind::kBadValue, path, in.line_no(),
                      std::to_string(cells.size()) + " fields where the header names " +
                          std::to_string(t.header.size()) + " columns");
    t.rows.push_back({in.line_no(), std::move(cells)});
  }
  if (t.header.empty()) throw ReadError(ReadError::Kind::kEndOfFile, path, 0, "no header line: the file is empty");
  return t;
}

}  // namespace cdref
