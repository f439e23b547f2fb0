#include "cdref/instrument.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <tuple>

#include "frame/platform.hpp"
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

// "KEY<tab>value", "KEY,value" or "KEY value": the key in upper case
// (unless `keep_case`).  The comma form pads its lines with empty fields
// ("DATE,29/04/2024,,,,") and leaves commas inside a value unquoted
// ("JASCO Corp., J-1500, Rev. 1.00"): the value is the rest of the line,
// less the padding.
std::pair<std::string, std::string> key_value(std::string_view line, bool keep_case = false) {
  std::string_view t = trim(line);
  std::size_t cut = t.find('\t');
  if (cut == std::string_view::npos) cut = t.find(',');
  // Settings keep their names whole ("[Measurement Information]").
  if (cut == std::string_view::npos && !keep_case) cut = t.find(' ');
  std::string key(trim(t.substr(0, cut)));
  if (!keep_case)
    for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string_view v = cut == std::string_view::npos ? std::string_view() : t.substr(cut + 1);
  while (!v.empty() && (is_blank_char(v.back()) || v.back() == ',' || v.back() == ';')) v.remove_suffix(1);
  return {key, std::string(trim(v))};
}

// "Channel 3" (padded like any header line): the start of a channel block.
bool is_channel_line(std::string_view line, int& number) {
  auto [key, value] = key_value(line);
  std::string_view rest;
  if (key == "CHANNEL") {
    rest = value;
  } else if (key.rfind("CHANNEL", 0) == 0 && value.empty()) {
    rest = std::string_view(key).substr(7);  // "Channel1"
  } else {
    return false;
  }
  rest = trim(rest);
  long long n = 0;
  if (rest.empty() || rest.size() > 3 || !cdsec::parse_int(rest, n) || n < 1) return false;
  number = static_cast<int>(n);
  return true;
}

// A field that spells a value which is not a finite number: "nan", "-inf",
// "Infinity", "1.#INF" (as some spreadsheets write them).
bool spells_non_finite(std::string_view f) {
  std::string t = lower(trim(f));
  if (!t.empty() && (t[0] == '+' || t[0] == '-')) t.erase(0, 1);
  return t == "nan" || t == "inf" || t == "infinity" || t.rfind("nan(", 0) == 0 || t == "1.#inf" ||
         t == "1.#qnan" || t == "1.#ind" || t == "#num!" || t == "#div/0!";
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
bool names_ht(std::string_view text);

// A channel or column of absorbance, recorded beside the CD.
bool names_absorbance(std::string_view text) {
  for (const std::string& w : words(text))
    if (w == "abs" || w == "absorbance" || w == "od" || w == "extinction") return true;
  return false;
}

// A channel whose units name the CD signal: "CD [mdeg]", "mdeg",
// "Mol. Ellip.", "delta epsilon".  2 when it says "CD", 1 when it names a
// unit of the signal only, 0 otherwise.
int names_cd(std::string_view text) {
  int found = 0;
  for (const std::string& w : words(text)) {
    if (w == "cd") return 2;
    if (w == "mdeg" || w == "deg" || w == "ellipticity" || w == "ellip" || w == "theta" || w == "epsilon" ||
        w == "mre")
      found = 1;
  }
  return found;
}

// XUNITS of a melt followed at one wavelength.
bool names_temperature(std::string_view text) {
  const std::string t(trim(text));
  if (t == "C" || t == "K" || t == "\xC2\xB0""C" || t == "deg C" || t == "degC") return true;
  for (const std::string& w : words(text))
    if (w == "temperature" || w == "temp" || w == "celsius" || w == "kelvin" || w == "degc") return true;
  return false;
}

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
  // Read as a number, so that the row is a row and the value is refused by
  // name where it stands.
  if (spells_non_finite(f)) {
    value = std::numeric_limits<float>::quiet_NaN();
    return true;
  }
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

namespace {

constexpr std::size_t kMaxHeader = 1000;

// The value of a chosen column: a number, finite.  `role` names the column
// in messages ("CD", "HT", "wavelength").
bool take(const std::vector<std::string>& f, int col, DecimalMark mark, float& v, int& commas, const std::string& path,
          int line_no, const std::string& role, std::string_view line) {
  if (col > static_cast<int>(f.size())) return false;
  const std::string& t = f[static_cast<std::size_t>(col - 1)];
  bool comma = false;
  if (!parse_measured(t, mark, v, comma)) return false;
  if (!std::isfinite(v))
    fail_at(path, line_no, "the " + role + " value \"" + std::string(trim(t)) + "\" (column " + std::to_string(col) +
                               ") is not a finite number",
            line);
  if (comma) ++commas;
  return true;
}

std::string units_key(int channel) {
  return channel == 1 ? std::string("YUNITS") : "Y" + std::to_string(channel) + "UNITS";
}

struct Tail {
  int lines = 0, first = 0;
  std::vector<HeaderEntry> extended;
  int extended_line = 0;
};

// What follows the data: text (counted, ignored) and the Extended
// Information block (kept), but no row of numbers.
void read_tail(cdsec::LineReader& in, std::string& line, bool have_line, Separator sep, DecimalMark mark,
               const std::string& path, Tail& t) {
  bool more = have_line;
  if (!more) more = in.next(line);
  for (; more; more = in.next(line)) {
    if (is_blank(line)) continue;
    if (t.extended_line == 0 && trim(line).rfind("#####", 0) == 0) {
      t.extended_line = in.line_no();
      if (t.first == 0) t.first = in.line_no();
      ++t.lines;
      continue;
    }
    if (t.first == 0) t.first = in.line_no();
    ++t.lines;
    if (t.extended_line) {
      // Settings, as "key<sep>value"; their values may be numbers.
      if (t.extended.size() < kMaxHeader) {
        auto [key, value] = key_value(line, true);
        t.extended.push_back({in.line_no(), std::move(key), std::move(value)});
      }
      continue;
    }
    if (row_separator(line, sep, mark) != Separator::kAuto)
      fail_at(path, in.line_no(),
              "a row of numbers after the data ended at line " + std::to_string(t.first) +
                  " (the rows must form one block)",
              line);
  }
}

void check_npoints(const Measurement& m, std::size_t rows) {
  if (m.npoints_line > 0 && m.npoints_declared != static_cast<int>(rows))
    fail(m.path, m.npoints_line,
         "NPOINTS says " + std::to_string(m.npoints_declared) + " points, but " + std::to_string(rows) +
             " rows follow XYDATA: the file is incomplete or its header is wrong");
}

std::string channel_list(const std::vector<HeaderText>& units) {
  std::string out;
  for (std::size_t i = 0; i < units.size(); ++i)
    out += (i ? ", " : "") + std::to_string(i + 1) + " \"" + units[i].text + "\"";
  return out;
}

// The channel blocks after XYDATA; `line` holds the first "Channel" line.
std::vector<Measurement> read_channels(cdsec::LineReader& in, std::string& line, Measurement& m,
                                       const ReadOptions& opt) {
  const std::string& path = m.path;
  if (opt.columns_given || opt.x.given() || opt.y.given() || opt.third.given() || !opt.more_y.empty() ||
      (opt.ht.given() && !opt.ht.none))
    fail(path, m.xydata_line,
         "the data are in channel blocks: choose the CD channel with --channel N, not columns with --columns");

  // The channels' units, from the header: channel k is named by YUNITS,
  // Y2UNITS, Y3UNITS, ...
  auto units_of = [&](int k) {
    const std::string key = units_key(k);
    for (const HeaderEntry& h : m.header)
      if (h.key == key) return HeaderText{h.key, h.value, h.line};
    return HeaderText{key, "", 0};
  };

  struct Block {
    int number = 0, line = 0;
    int series_line = 0;
    std::vector<std::string> series;
  };
  Separator sep = opt.separator;
  std::vector<Block> blocks;
  std::vector<float> wl;         // per row, from the first block
  std::vector<int> cd_line, ht_line;
  std::vector<float> cd, ht;     // row-major: row * spectra + spectrum
  int cd_ch = 0, ht_ch = 0, spectra = 0;
  bool have_line = true;         // `line` holds a line not yet handled

  // Which channel holds what: decided from the header before the values
  // are read, so that only those two are kept.
  auto decide = [&](int channels_known) {
    if (opt.channel > 0) {
      cd_ch = opt.channel;
    } else {
      int best = 0, count = 0;
      for (int k = 1; k <= channels_known; ++k) {
        const int s = names_cd(units_of(k).text);
        if (s > best) {
          best = s;
          count = 0;
          cd_ch = k;
        }
        if (s == best && s > 0) ++count;
      }
      if (best == 0) cd_ch = 0;
      if (count > 1) cd_ch = -1;
    }
  };

  while (have_line) {
    int number = 0;
    if (is_blank(line)) {
      have_line = in.next(line);
      continue;
    }
    if (!is_channel_line(line, number)) break;
    Block b;
    b.number = number;
    b.line = in.line_no();
    if (number != static_cast<int>(blocks.size()) + 1)
      fail_at(path, b.line, "channel " + std::to_string(blocks.size() + 1) + " expected here", line);
    if (blocks.empty()) {
      // The header names the channels; the blocks follow in that order.
      int known = 0;
      while (units_of(known + 1).line > 0) ++known;
      decide(std::max(known, 1));
    }
    // The series row: its first field is empty.
    std::string series_text;
    do {
      if (!in.next(line))
        throw ReadError(ReadError::Kind::kEndOfFile, path, b.line,
                        "Channel " + std::to_string(number) + " is followed by no series row");
    } while (is_blank(line));
    b.series_line = in.line_no();
    if (sep == Separator::kAuto) {
      const char c = line.empty() ? '\0' : line[0];
      sep = c == '\t' ? Separator::kTab : c == ';' ? Separator::kSemicolon : c == ',' ? Separator::kComma
                                                                                     : Separator::kAuto;
      if (sep == Separator::kAuto) sep = line.find('\t') != std::string::npos ? Separator::kTab : Separator::kComma;
    }
    b.series = split_fields(line, sep, path, b.series_line);
    drop_trailing_empty(b.series);
    if (b.series.size() < 2 || !b.series[0].empty())
      fail_at(path, b.series_line,
              "expected the row of series values after Channel " + std::to_string(number) +
                  " (an empty first field, then one value per spectrum)",
              line);
    b.series.erase(b.series.begin());
    for (std::size_t i = 0; i < b.series.size(); ++i)
      if (b.series[i].empty())
        fail_at(path, b.series_line, "the series value of spectrum " + std::to_string(i + 1) + " is empty", line);
    if (blocks.empty()) {
      spectra = static_cast<int>(b.series.size());
      if (static_cast<long long>(spectra) * 2 > kMaxRows)
        fail(path, b.series_line, "more than " + std::to_string(kMaxRows / 2) + " spectra");
    } else if (b.series != blocks.front().series) {
      fail_at(path, b.series_line,
              "the series values of Channel " + std::to_string(number) + " differ from those of Channel 1 (line " +
                  std::to_string(blocks.front().series_line) + ")",
              line);
    }
    const bool keep_cd = number == cd_ch, keep_ht = number != cd_ch && ht_ch == 0 && !opt.ht.none &&
                                                    names_ht(units_of(number).text);
    if (keep_ht) ht_ch = number;

    // The rows: wavelength, then one value per spectrum.
    std::size_t row = 0;
    const std::string cd_role = "CD", ht_role = "HT";
    while ((have_line = in.next(line))) {
      if (is_blank(line)) continue;
      int next_number;
      if (is_channel_line(line, next_number) || trim(line).rfind("#####", 0) == 0) break;
      std::vector<std::string> f = split_fields(line, sep, path, in.line_no());
      drop_trailing_empty(f);
      float x;
      int commas = 0;
      if (f.empty() || !take(f, 1, opt.decimal, x, commas, path, in.line_no(), "wavelength", line)) {
        if (row_separator(line, sep, opt.decimal) != Separator::kAuto)
          fail_at(path, in.line_no(), "no number in column 1 (the wavelength)", line);
        break;  // text: the data end
      }
      if (static_cast<int>(f.size()) != spectra + 1)
        fail_at(path, in.line_no(),
                std::to_string(f.size()) + " fields, but the series row (line " + std::to_string(b.series_line) +
                    ") names " + std::to_string(spectra) + (spectra == 1 ? " spectrum" : " spectra") +
                    ": a wavelength and one value per spectrum are expected" +
                    (static_cast<int>(f.size()) > spectra + 1 && sep == Separator::kComma
                         ? " (a decimal comma in a comma-separated file?)"
                         : ""),
                line);
      if (blocks.empty()) {
        if (static_cast<long long>(wl.size() + 1) * spectra > kMaxRows)
          throw ReadError(ReadError::Kind::kTooMany, path, in.line_no(),
                          "more than " + std::to_string(kMaxRows) + " values in a channel");
        wl.push_back(x);
      } else if (row >= wl.size() || wl[row] != x) {
        fail_at(path, in.line_no(),
                row >= wl.size() ? "Channel " + std::to_string(number) + " has more rows than Channel 1 (" +
                                       std::to_string(wl.size()) + ")"
                                 : "the wavelength differs from row " + std::to_string(row + 1) +
                                       " of Channel 1 (" + std::string(trim(f[0])) + ")",
                line);
      }
      if (keep_cd || keep_ht) {
        std::vector<float>& dst = keep_cd ? cd : ht;
        (keep_cd ? cd_line : ht_line).push_back(in.line_no());
        const std::string& role = keep_cd ? cd_role : ht_role;
        for (int s = 1; s <= spectra; ++s) {
          float v;
          if (!take(f, s + 1, opt.decimal, v, commas, path, in.line_no(), role, line))
            fail_at(path, in.line_no(),
                    "no number in column " + std::to_string(s + 1) + " (the " + role + " of spectrum " +
                        std::to_string(s) + ")",
                    line);
          dst.push_back(v);
        }
        m.decimal_commas += commas;
      } else {
        // A channel not used: still a row of numbers.
        for (int s = 1; s <= spectra; ++s) {
          float v;
          bool comma;
          if (!parse_measured(f[static_cast<std::size_t>(s)], opt.decimal, v, comma))
            fail_at(path, in.line_no(), "no number in column " + std::to_string(s + 1), line);
        }
      }
      ++row;
    }
    if (row == 0) fail(path, b.line, "Channel " + std::to_string(number) + " holds no rows");
    if (row != wl.size())
      fail(path, b.line,
           "Channel " + std::to_string(number) + " has " + std::to_string(row) + " rows, Channel 1 " +
               std::to_string(wl.size()));
    blocks.push_back(std::move(b));
  }

  m.channels = static_cast<int>(blocks.size());
  for (int k = 1; k <= m.channels; ++k) m.channel_units.push_back(units_of(k));
  if (cd_ch == -1)
    fail(path, m.xydata_line,
         "more than one channel's units say CD (" + channel_list(m.channel_units) + "); choose one with --channel N");
  if (cd_ch == 0)
    fail(path, m.xydata_line,
         "no channel's units say CD (" + channel_list(m.channel_units) + "); choose it with --channel N");
  if (cd_ch > m.channels)
    fail(path, m.xydata_line,
         "--channel " + std::to_string(cd_ch) + ": the file has " + std::to_string(m.channels) +
             (m.channels == 1 ? " channel (" : " channels (") + channel_list(m.channel_units) + ")");
  const HeaderText& cdu = m.channel_units[static_cast<std::size_t>(cd_ch - 1)];
  if (cdu.line > 0 && names_ht(cdu.text))
    fail(path, cdu.line,
         "the channel chosen for CD (" + std::to_string(cd_ch) + ") holds the HT voltage (" + cdu.key + " \"" +
             cdu.text + "\"); choose the CD channel with --channel");
  check_npoints(m, wl.size());

  Tail tail;
  read_tail(in, line, have_line, sep, opt.decimal, path, tail);
  m.trailing_lines = tail.lines;
  m.first_trailing_line = tail.first;
  m.extended = std::move(tail.extended);
  m.extended_line = tail.extended_line;

  m.format = ExportFormat::kInstrument;
  m.separator = sep;
  m.fields = spectra + 1;
  m.channel = cd_ch;
  m.ht_channel = ht_ch;
  m.has_ht = ht_ch > 0;
  for (const HeaderEntry& h : m.header)
    if (h.key == "XUNITS") {
      m.x_units = {h.key, h.value, h.line};
      break;
    }
  m.y_units = cdu;
  if (ht_ch) m.ht_units = m.channel_units[static_cast<std::size_t>(ht_ch - 1)];
  m.x = {1, m.x_units.text, "channel blocks"};
  m.y = {cd_ch, cdu.text, opt.channel ? "--channel" : "header, line " + std::to_string(cdu.line) + ": " + cdu.key};
  if (ht_ch) m.ht = {ht_ch, m.ht_units.text, "header, line " + std::to_string(m.ht_units.line) + ": " + m.ht_units.key};
  else if (opt.ht.none) m.ht.how = "--columns none";
  m.header_lines = blocks.front().line - 1;
  m.spectra = spectra;
  m.series_line = blocks[static_cast<std::size_t>(cd_ch - 1)].series_line;

  std::vector<Measurement> out(static_cast<std::size_t>(spectra), m);
  const std::size_t rows = wl.size(), n = static_cast<std::size_t>(spectra);
  for (std::size_t s = 0; s < n; ++s) {
    Measurement& e = out[s];
    e.spectrum = static_cast<int>(s) + 1;
    e.series_label = blocks.front().series[s];
    e.points.reserve(rows);
    for (std::size_t r = 0; r < rows; ++r)
      e.points.push_back({cd_line[r], wl[r], cd[r * n + s], ht_ch ? ht[r * n + s] : 0.0f, ht_ch ? ht_line[r] : 0});
  }
  return out;
}

}  // namespace

std::vector<Measurement> read_spectra(const std::string& path, const ReadOptions& opt) {
  cdsec::LineReader in;
  in.open(cdsec::os::path_from_utf8(path));
  Measurement m;
  m.path = path;
  const bool chosen = opt.columns_given || opt.x.given() || opt.y.given() || opt.ht.given() || opt.third.given() ||
                      !opt.more_y.empty();

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
      // A melt followed at one wavelength has the layout of a spectrum.
      for (const HeaderEntry& h : m.header)
        if (h.key == "XUNITS" && names_temperature(h.value))
          fail(path, h.line,
               "XUNITS \"" + h.value +
                   "\": this export follows the signal against temperature at one wavelength (a thermal melt), "
                   "not a spectrum; cdref convert reads spectra against the wavelength in nm");
      continue;
    }
    int channel;
    if (xydata && is_channel_line(line, channel)) {
      m.format = ExportFormat::kInstrument;
      for (const HeaderEntry& h : m.header)
        if (h.key == "NPOINTS" && m.npoints_line == 0) {
          long long n;
          if (!cdsec::parse_int(h.value, n) || n < 0 || n > kMaxRows)
            fail_at(path, h.line, "NPOINTS is not a count of points", h.key + " " + h.value);
          m.npoints_declared = static_cast<int>(n);
          m.npoints_line = h.line;
        }
      return read_channels(in, line, m, opt);
    }
    sep = row_separator(line, opt.separator, opt.decimal);
    if (sep != Separator::kAuto) break;
    if (xydata)
      fail_at(path, in.line_no(), "expected a row of numbers after XYDATA (line " + std::to_string(m.xydata_line) + ")",
              line);
    if (m.header.size() < kMaxHeader) {
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
    if (!opt.x.name.empty() || !opt.y.name.empty() || !opt.ht.name.empty() || !opt.third.name.empty() ||
        std::any_of(opt.more_y.begin(), opt.more_y.end(), [](const ColumnChoice& c) { return !c.name.empty(); }))
      fail(path, m.xydata_line, "an instrument export names no columns: choose them by number with --columns");
    units.resize(static_cast<std::size_t>(m.fields));
    for (const HeaderEntry& h : m.header) {
      for (int c = 0; c < 4 && c < m.fields; ++c)
        if (h.key == (c == 0 ? std::string("XUNITS") : units_key(c)) && units[static_cast<std::size_t>(c)].line == 0)
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
      } else if (!chosen && cand.size() >= 2 && static_cast<int>(cand.size()) < m.fields) {
        // "222,-29,9" under "Wavelength,CD": a decimal comma read as a
        // separator would shift the values into the wrong columns.
        fail_at(path, first_row,
                std::to_string(m.fields) + " fields, but line " + std::to_string(last_text_line) + " names " +
                    std::to_string(cand.size()) + " columns (" + column_list(cand) +
                    "): a decimal comma in a comma-separated file? Choose the separator and the decimal mark with "
                    "--separator and --decimal, or the columns with --columns",
                line);
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
  auto is_ht_column = [&](int c) {
    const HeaderText& u = units[static_cast<std::size_t>(c - 1)];
    return u.line > 0 && names_ht(u.text);
  };
  auto [xc, xhow] = resolve(opt.x, "wavelength", 1);
  std::vector<std::pair<int, std::string>> ys;
  int hc = 0;
  std::string hhow;
  if (opt.y.given()) {
    ys.push_back(resolve(opt.y, "CD", 2));
  } else if (!chosen && m.names_line > 0) {
    // Every numeric column after the wavelength that is not the detector
    // voltage or an absorbance.
    for (int c = xc + 1; c <= m.fields; ++c) {
      const std::string& name = names[static_cast<std::size_t>(c - 1)];
      if (is_ht_column(c) || names_absorbance(name) || first_fields[static_cast<std::size_t>(c - 1)].empty()) continue;
      ys.push_back({c, "every numeric column after the wavelength"});
    }
    if (ys.size() == 1) ys.front().second = "default";
  }
  if (ys.empty()) ys.push_back({2, "default"});
  if (opt.third.given()) {
    auto t = resolve(opt.third, "third", 0);
    if (t.first <= m.fields && (m.names_line == 0 || is_ht_column(t.first))) {
      hc = t.first;
      hhow = t.second;
    } else {
      ys.push_back(t);
    }
  }
  for (const ColumnChoice& c : opt.more_y) ys.push_back(resolve(c, "CD", 0));
  if (opt.ht.none) {
    hhow = "--columns none";
  } else if (opt.ht.given()) {
    std::tie(hc, hhow) = resolve(opt.ht, "HT", 0);
  } else if (hc == 0) {
    for (int c = 1; c <= m.fields && hc == 0; ++c) {
      const HeaderText& u = units[static_cast<std::size_t>(c - 1)];
      bool used = c == xc;
      for (const auto& y : ys) used = used || c == y.first;
      if (!used && is_ht_column(c)) {
        hc = c;
        hhow = "header, line " + std::to_string(u.line) + ": " + u.key + " \"" + u.text + "\"";
      }
    }
  }
  {
    std::vector<int> all = {xc};
    for (const auto& y : ys) all.push_back(y.first);
    if (hc) all.push_back(hc);
    std::vector<int> sorted = all;
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
      std::string list;
      for (int c : all) list += (list.empty() ? "" : ", ") + std::to_string(c);
      fail(path, first_row, "the wavelength, CD and HT columns must differ (columns " + list + ")");
    }
    const int needed = sorted.back();
    if (needed > m.fields)
      fail_at(path, first_row,
              "column " + std::to_string(needed) + " is chosen, but the first row has " + std::to_string(m.fields) +
                  (m.fields == 1 ? " field" : " fields") + skip_hint,
              line);
  }
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
  m.ht = column(hc, hhow);
  m.has_ht = hc > 0;
  m.x_units = units[static_cast<std::size_t>(xc - 1)];
  if (hc > 0) m.ht_units = units[static_cast<std::size_t>(hc - 1)];
  for (const auto& y : ys) {
    const HeaderText& u = units[static_cast<std::size_t>(y.first - 1)];
    if (u.line > 0 && names_ht(u.text))
      fail(path, u.line,
           "the column chosen for CD (" + std::to_string(y.first) + ") holds the HT voltage (" + u.key + " \"" +
               u.text + "\"); choose the CD column with --columns");
  }

  // The rows, then nothing but text (and the Extended Information block).
  const std::size_t n = ys.size();
  std::vector<std::vector<MeasuredPoint>> points(n);
  const int most_fields = m.names_line > 0 && !chosen ? static_cast<int>(names.size()) : 0;
  bool have_line = true, in_data = true;
  do {
    if (is_blank(line)) continue;
    std::vector<std::string> f = split_fields(line, sep, path, in.line_no());
    float x = 0, h = 0;
    int commas = 0;
    bool ok = take(f, xc, opt.decimal, x, commas, path, in.line_no(), "wavelength", line) &&
              (hc == 0 || take(f, hc, opt.decimal, h, commas, path, in.line_no(), "HT", line));
    std::vector<float> v(n);
    for (std::size_t k = 0; k < n && ok; ++k)
      ok = take(f, ys[k].first, opt.decimal, v[k], commas, path, in.line_no(), "CD", line);
    if (ok) {
      if (most_fields > 0) {
        drop_trailing_empty(f);
        if (static_cast<int>(f.size()) > most_fields)
          fail_at(path, in.line_no(),
                  std::to_string(f.size()) + " fields, but line " + std::to_string(m.names_line) + " names " +
                      std::to_string(most_fields) +
                      " columns: a decimal comma in a comma-separated file? Choose the columns with --columns",
                  line);
      }
      if (static_cast<long long>(points[0].size() + 1) * static_cast<long long>(n) > kMaxRows)
        throw ReadError(ReadError::Kind::kTooMany, path, in.line_no(), "more than " + std::to_string(kMaxRows) + " rows");
      for (std::size_t k = 0; k < n; ++k) points[k].push_back({in.line_no(), x, v[k], h});
      m.decimal_commas += commas;
      continue;
    }
    // A row of numbers that lacks a chosen column, or holds something
    // else there, is a fault; a line of text ends the data.
    if (row_separator(line, sep, opt.decimal) != Separator::kAuto) {
      std::vector<std::pair<int, std::string>> cols = {{xc, "wavelength"}};
      for (const auto& y : ys) cols.push_back({y.first, "CD"});
      if (hc) cols.push_back({hc, "HT"});
      for (const auto& [c, role] : cols) {
        if (c > static_cast<int>(f.size()))
          fail_at(path, in.line_no(),
                  std::to_string(f.size()) + " fields, but the " + role + " is column " + std::to_string(c), line);
        float w;
        bool comma;
        if (!parse_measured(f[static_cast<std::size_t>(c - 1)], opt.decimal, w, comma))
          fail_at(path, in.line_no(), "no number in column " + std::to_string(c) + " (the " + role + ")", line);
      }
    }
    in_data = false;
  } while (in_data && (have_line = in.next(line)));

  Tail tail;
  read_tail(in, line, have_line && !in_data, sep, opt.decimal, path, tail);
  m.trailing_lines = tail.lines;
  m.first_trailing_line = tail.first;
  m.extended = std::move(tail.extended);
  m.extended_line = tail.extended_line;
  check_npoints(m, points[0].size());

  m.spectra = static_cast<int>(n);
  std::vector<Measurement> out;
  out.reserve(n);
  for (std::size_t k = 0; k < n; ++k) {
    Measurement e = k + 1 < n ? m : std::move(m);
    e.y = column(ys[k].first, ys[k].second);
    e.y_units = units[static_cast<std::size_t>(ys[k].first - 1)];
    e.spectrum = static_cast<int>(k) + 1;
    if (n > 1) {
      e.series_label = e.y.label.empty() ? "column " + std::to_string(ys[k].first) : e.y.label;
      e.series_line = e.names_line;
    }
    e.points = std::move(points[k]);
    out.push_back(std::move(e));
  }
  return out;
}

Measurement read_measurement(const std::string& path, const ReadOptions& opt) {
  std::vector<Measurement> all = read_spectra(path, opt);
  if (all.size() != 1)
    fail(path, all.front().series_line,
         "the file holds " + std::to_string(all.size()) + " spectra; one was expected here");
  return std::move(all.front());
}

}  // namespace cdref
