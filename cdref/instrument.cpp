#include "cdref/instrument.hpp"

#include <algorithm>
#include <cctype>
#include <tuple>

#include "frame/text_input.hpp"
#include "cdref/csv.hpp"

namespace cdref {

using cdsec::ReadError;

namespace {

bool is_blank_char(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

bool is_blank(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return is_blank_char(c); });
}

std::string_view trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && is_blank_char(s[b])) ++b;
  while (e > b && is_blank_char(s[e - 1])) --e;
  return s.substr(b, e - b);
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// A line quoted in a message, cut when it is long.
std::string shown(std::string_view line) {
  constexpr std::size_t kShown = 60;
  std::string t(trim(line));
  return t.size() <= kShown ? t : t.substr(0, kShown) + "...";
}

[[noreturn]] void fail(const std::string& path, int line, const std::string& what) {
  throw ReadError(ReadError::Kind::kBadValue, path, line, what);
}

[[noreturn]] void fail_at(const std::string& path, int line, const std::string& what, std::string_view text) {
  throw ReadError(ReadError::Kind::kBadValue, path, line, what, 0, 0, shown(text), true);
}

// "KEY<tab>value", "KEY,value" or "KEY value": the key in upper case.
std::pair<std::string, std::string> key_value(std::string_view line) {
  std::string_view t = trim(line);
  std::size_t cut = t.find('\t');
  if (cut == std::string_view::npos) cut = t.find(',');
  if (cut == std::string_view::npos) cut = t.find(' ');
  std::string key(trim(t.substr(0, cut)));
  for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string value = cut == std::string_view::npos ? std::string() : std::string(trim(t.substr(cut + 1)));
  return {key, value};
}

bool is_xydata(std::string_view line) {
  auto [key, value] = key_value(line);
  return key == "XYDATA" && value.find_first_not_of(",;\t ") == std::string::npos;
}

// Words of letters, in lower case.
std::vector<std::string> words(std::string_view text) {
  std::vector<std::string> out;
  std::string w;
  for (char c : text) {
    if (std::isalpha(static_cast<unsigned char>(c))) {
      w += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    } else if (!w.empty()) {
      out.push_back(w);
      w.clear();
    }
  }
  if (!w.empty()) out.push_back(w);
  return out;
}

// The detector voltage goes by many names: HT, HV, "High Tension",
// "Voltage", "Dynode".
bool names_ht(std::string_view text) {
  for (const std::string& w : words(text))
    if (w == "ht" || w == "hv" || w == "voltage" || w == "volts" || w == "volt" || w == "dynode") return true;
  return lower(text).find("high tension") != std::string::npos;
}

// A header name without its unit: "CD [mdeg]", "CD (mdeg)", "CD/mdeg" -> "CD".
std::string base_name(std::string_view name) {
  std::size_t cut = name.find_first_of("[(/");
  return lower(trim(name.substr(0, cut)));
}

void drop_trailing_empty(std::vector<std::string>& f) {
  while (!f.empty() && f.back().empty()) f.pop_back();
}

std::string column_list(const std::vector<std::string>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i)
    out += (i ? ", " : "") + std::to_string(i + 1) + " \"" + names[i] + "\"";
  return out;
}

// The column a choice names among the header's names (number from 1).
int find_named(const std::vector<std::string>& names, const std::string& want, const std::string& path,
               int names_line) {
  const std::string w = lower(trim(want)), wb = base_name(want);
  int found = 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (lower(trim(names[i])) == w || base_name(names[i]) == w || (!wb.empty() && base_name(names[i]) == wb)) {
      if (found)
        fail(path, names_line,
             "the column name \"" + want + "\" fits columns " + std::to_string(found) + " and " +
                 std::to_string(i + 1) + "; choose by number");
      found = static_cast<int>(i) + 1;
    }
  }
  if (!found) fail(path, names_line, "no column is named \"" + want + "\" (the columns: " + column_list(names) + ")");
  return found;
}

}  // namespace

std::string_view separator_name(Separator s) {
  switch (s) {
    case Separator::kTab:
      return "tab";
    case Separator::kComma:
      return "comma";
    case Separator::kSemicolon:
      return "semicolon";
    case Separator::kBlank:
      return "blank";
    case Separator::kAuto:
      break;
  }
  return "auto";
}

std::vector<std::string> split_fields(std::string_view line, Separator sep, const std::string& path, int line_no) {
  std::vector<std::string> out;
  switch (sep) {
    case Separator::kComma:
      return split_csv_line(line, path, line_no);
    case Separator::kBlank: {
      std::size_t i = 0, n = line.size();
      while (true) {
        while (i < n && is_blank_char(line[i])) ++i;
        if (i >= n) break;
        std::size_t b = i;
        while (i < n && !is_blank_char(line[i])) ++i;
        out.emplace_back(line.substr(b, i - b));
      }
      return out;
    }
    case Separator::kTab:
    case Separator::kSemicolon: {
      const char c = sep == Separator::kTab ? '\t' : ';';
      std::size_t b = 0;
      while (true) {
        std::size_t e = line.find(c, b);
        std::string_view f = trim(line.substr(b, e == std::string_view::npos ? std::string_view::npos : e - b));
        if (f.size() >= 2 && f.front() == '"' && f.back() == '"') f = f.substr(1, f.size() - 2);
        out.emplace_back(f);
        if (e == std::string_view::npos) break;
        b = e + 1;
      }
      return out;
    }
    case Separator::kAuto:
      break;
  }
  throw ReadError(ReadError::Kind::kBadValue, path, line_no, "no separator chosen");
}

bool parse_measured(std::string_view f, DecimalMark mark, float& value, bool& used_comma) {
  used_comma = false;
  if (f.empty()) return false;
  if (mark != DecimalMark::kComma && cdsec::parse_real(f, value)) return true;
  if (mark == DecimalMark::kPoint) return false;
  const std::size_t c = f.find(',');
  if (c == std::string_view::npos)
    return mark == DecimalMark::kComma && f.find('.') == std::string_view::npos && cdsec::parse_real(f, value);
  // One comma between two digits, and no point: "-1,234", "2,5E-3".
  if (f.find(',', c + 1) != std::string_view::npos || f.find('.') != std::string_view::npos) return false;
  if (c == 0 || c + 1 >= f.size() || !std::isdigit(static_cast<unsigned char>(f[c - 1])) ||
      !std::isdigit(static_cast<unsigned char>(f[c + 1])))
    return false;
  std::string t(f);
  t[c] = '.';
  if (!cdsec::parse_real(t, value)) return false;
  used_comma = true;
  return true;
}

Separator row_separator(std::string_view line, Separator given, DecimalMark mark) {
  auto is_row = [&](Separator s) {
    std::vector<std::string> fields;
    try {
      fields = split_fields(line, s, std::string(), 0);
    } catch (const ReadError&) {
      return false;
    }
    int numbers = 0;
    for (const std::string& f : fields) {
      if (f.empty()) continue;
      float v;
      bool comma;
      if (!parse_measured(f, mark, v, comma)) return false;
      ++numbers;
    }
    return numbers >= 2;
  };
  if (given != Separator::kAuto) return is_row(given) ? given : Separator::kAuto;
  if (line.find('\t') != std::string_view::npos && is_row(Separator::kTab)) return Separator::kTab;
  if (line.find(';') != std::string_view::npos && is_row(Separator::kSemicolon)) return Separator::kSemicolon;
  if (line.find(',') != std::string_view::npos && is_row(Separator::kComma)) return Separator::kComma;
  return is_row(Separator::kBlank) ? Separator::kBlank : Separator::kAuto;
}

Measurement read_measurement(const std::string& path, const ReadOptions& opt) {
  cdsec::LineReader in;
  in.open(path);
  Measurement m;
  m.path = path;

  // Header: everything before the first row of numbers.
  std::string line, last_text;
  int last_text_line = 0;
  bool xydata = false;
  Separator sep = Separator::kAuto;
  while (true) {
    if (!in.next(line)) {
      if (xydata)
        throw ReadError(
            ReadError::Kind::kEndOfFile, path, m.xydata_line,
            "XYDATA is followed by no row of numbers (the file ends at line " + std::to_string(in.line_no()) + ")");
      if (opt.format == ExportFormat::kInstrument)
        throw ReadError(ReadError::Kind::kEndOfFile, path, 0,
                        "no XYDATA line: not an instrument export (" + std::to_string(in.line_no()) + " lines read)");
      throw ReadError(ReadError::Kind::kEndOfFile, path, 0,
                      in.line_no() == 0 ? std::string("the file is empty")
                                        : "no row of numbers in the " + std::to_string(in.line_no()) + " lines read");
    }
    if (in.line_no() == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    if (in.line_no() <= opt.skip || is_blank(line)) continue;
    if (!xydata && opt.format != ExportFormat::kDelimited && is_xydata(line)) {
      xydata = true;
      m.xydata_line = in.line_no();
      continue;
    }
    sep = row_separator(line, opt.separator, opt.decimal);
    if (sep != Separator::kAuto) break;
    if (xydata)
      fail_at(path, in.line_no(), "expected a row of numbers after XYDATA (line " + std::to_string(m.xydata_line) + ")",
              line);
    if (m.header.size() < 1000) {
      auto [key, value] = key_value(line);
      m.header.push_back({in.line_no(), std::move(key), std::move(value)});
    }
    last_text = line;
    last_text_line = in.line_no();
  }
  const int first_row = in.line_no();
  m.header_lines = first_row - 1;
  m.separator = sep;
  if (opt.format == ExportFormat::kInstrument && !xydata)
    fail_at(path, first_row, "a row of numbers before any XYDATA line: not an instrument export", line);
  m.format = xydata ? ExportFormat::kInstrument : ExportFormat::kDelimited;

  std::vector<std::string> first_fields = split_fields(line, sep, path, first_row);
  drop_trailing_empty(first_fields);
  m.fields = static_cast<int>(first_fields.size());
  const std::string skip_hint =
      "; if the lines before it are a header, pass them over with --skip " + std::to_string(first_row);

  // Column names and units.
  std::vector<std::string> names;  // per column, "" when unnamed
  std::vector<HeaderText> units;   // per column
  if (m.format == ExportFormat::kInstrument) {
    if (!opt.x.name.empty() || !opt.y.name.empty() || !opt.ht.name.empty())
      fail(path, m.xydata_line, "an instrument export names no columns: choose them by number with --columns");
    const char* keys[] = {"XUNITS", "YUNITS", "Y2UNITS", "Y3UNITS"};
    units.resize(static_cast<std::size_t>(m.fields));
    for (const HeaderEntry& h : m.header) {
      for (int c = 0; c < 4 && c < m.fields; ++c)
        if (h.key == keys[c] && units[static_cast<std::size_t>(c)].line == 0)
          units[static_cast<std::size_t>(c)] = {h.key, h.value, h.line};
      if (h.key == "NPOINTS" && m.npoints_line == 0) {
        long long n;
        if (!cdsec::parse_int(h.value, n) || n < 0 || n > kMaxRows)
          fail_at(path, h.line, "NPOINTS is not a count of points", h.key + " " + h.value);
        m.npoints_declared = static_cast<int>(n);
        m.npoints_line = h.line;
      }
    }
    names.assign(static_cast<std::size_t>(m.fields), std::string());
  } else {
    m.header.clear();
    if (last_text_line > 0) {
      std::vector<std::string> cand;
      try {
        cand = split_fields(last_text, sep, path, last_text_line);
      } catch (const ReadError&) {
        cand.clear();
      }
      drop_trailing_empty(cand);
      if (static_cast<int>(cand.size()) == m.fields) {
        names = cand;
        m.names_line = last_text_line;
      }
    }
    if (names.empty()) names.assign(static_cast<std::size_t>(m.fields), std::string());
    units.resize(static_cast<std::size_t>(m.fields));
    for (int c = 0; c < m.fields; ++c)
      if (!names[static_cast<std::size_t>(c)].empty())
        units[static_cast<std::size_t>(c)] = {"column name", names[static_cast<std::size_t>(c)], m.names_line};
  }

  auto resolve = [&](const ColumnChoice& ch, const char* role, int fallback) -> std::pair<int, std::string> {
    if (ch.number > 0) return {ch.number, "--columns"};
    if (!ch.name.empty()) {
      if (m.names_line == 0)
        fail(path, first_row,
             std::string("--columns names the ") + role + " column \"" + ch.name +
                 "\", but no line before the first row names the columns");
      return {find_named(names, ch.name, path, m.names_line), "--columns \"" + ch.name + "\""};
    }
    return {fallback, "default"};
  };
  auto [xc, xhow] = resolve(opt.x, "wavelength", 1);
  auto [yc, yhow] = resolve(opt.y, "CD", 2);
  int hc = 0;
  std::string hhow;
  if (opt.ht.none) {
    hhow = "--columns none";
  } else if (opt.ht.given()) {
    std::tie(hc, hhow) = resolve(opt.ht, "HT", 0);
  } else {
    for (int c = 1; c <= m.fields && hc == 0; ++c) {
      const HeaderText& u = units[static_cast<std::size_t>(c - 1)];
      if (c != xc && c != yc && u.line > 0 && names_ht(u.text)) {
        hc = c;
        hhow = "header, line " + std::to_string(u.line) + ": " + u.key + " \"" + u.text + "\"";
      }
    }
  }
  if (xc == yc || (hc != 0 && (hc == xc || hc == yc)))
    fail(path, first_row,
         "the wavelength, CD and HT columns must differ (columns " + std::to_string(xc) + ", " + std::to_string(yc) +
             (hc ? ", " + std::to_string(hc) : std::string()) + ")");
  const int needed = std::max({xc, yc, hc});
  if (needed > m.fields)
    fail_at(path, first_row,
            "column " + std::to_string(needed) + " is chosen, but the first row has " + std::to_string(m.fields) +
                (m.fields == 1 ? " field" : " fields") + skip_hint,
            line);
  auto column = [&](int c, std::string how) {
    UsedColumn u;
    u.number = c;
    u.how = std::move(how);
    if (c > 0) {
      u.label = names[static_cast<std::size_t>(c - 1)];
      if (u.label.empty()) u.label = units[static_cast<std::size_t>(c - 1)].text;
    }
    return u;
  };
  m.x = column(xc, xhow);
  m.y = column(yc, yhow);
  m.ht = column(hc, hhow);
  m.has_ht = hc > 0;
  m.x_units = units[static_cast<std::size_t>(xc - 1)];
  m.y_units = units[static_cast<std::size_t>(yc - 1)];
  if (hc > 0) m.ht_units = units[static_cast<std::size_t>(hc - 1)];
  if (m.y_units.line > 0 && names_ht(m.y_units.text))
    fail(path, m.y_units.line,
         "the column chosen for CD (" + std::to_string(yc) + ") holds the HT voltage (" + m.y_units.key + " \"" +
             m.y_units.text + "\"); choose the CD column with --columns");

  // The rows, then nothing but text.
  const char* roles[] = {"wavelength", "CD", "HT"};
  const int cols[] = {xc, yc, hc};
  bool in_data = true;
  do {
    if (is_blank(line)) continue;
    if (in_data) {
      std::vector<std::string> f = split_fields(line, sep, path, in.line_no());
      float v[3] = {0.0f, 0.0f, 0.0f};
      bool ok = true;
      for (int k = 0; k < 3 && ok; ++k) {
        if (cols[k] == 0) continue;
        bool comma = false;
        ok = cols[k] <= static_cast<int>(f.size()) &&
             parse_measured(f[static_cast<std::size_t>(cols[k] - 1)], opt.decimal, v[k], comma);
        if (ok && comma) ++m.decimal_commas;
      }
      if (ok) {
        if (static_cast<int>(m.points.size()) >= kMaxRows)
          throw ReadError(ReadError::Kind::kTooMany, path, in.line_no(),
                          "more than " + std::to_string(kMaxRows) + " rows");
        m.points.push_back({in.line_no(), v[0], v[1], v[2]});
        continue;
      }
      // A row of numbers that lacks a chosen column, or holds something
      // else there, is a fault; a line of text ends the data.
      if (row_separator(line, sep, opt.decimal) != Separator::kAuto) {
        for (int k = 0; k < 3; ++k) {
          if (cols[k] == 0) continue;
          if (cols[k] > static_cast<int>(f.size()))
            fail_at(path, in.line_no(),
                    std::to_string(f.size()) + " fields, but the " + roles[k] + " is column " + std::to_string(cols[k]),
                    line);
          float w;
          bool comma;
          if (!parse_measured(f[static_cast<std::size_t>(cols[k] - 1)], opt.decimal, w, comma))
            fail_at(path, in.line_no(),
                    std::string("no number in column ") + std::to_string(cols[k]) + " (the " + roles[k] + ")", line);
        }
      }
      in_data = false;
      m.first_trailing_line = in.line_no();
    }
    if (row_separator(line, sep, opt.decimal) != Separator::kAuto)
      fail_at(path, in.line_no(),
              "a row of numbers after the data ended at line " + std::to_string(m.first_trailing_line) +
                  " (the rows must form one block)",
              line);
    ++m.trailing_lines;
  } while (in.next(line));

  if (m.npoints_line > 0 && m.npoints_declared != static_cast<int>(m.points.size())) {
    fail(path, m.npoints_line,
         "NPOINTS says " + std::to_string(m.npoints_declared) + " points, but " + std::to_string(m.points.size()) +
             " rows follow XYDATA: the file is incomplete or its header is wrong");
  }
  return m;
}

}  // namespace cdref
