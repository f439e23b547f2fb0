#include "cdref/check.hpp"

#include <cmath>
#include <filesystem>
#include <map>
#include <optional>

#include "frame/layout.hpp"
#include "frame/platform.hpp"
#include "frame/text_input.hpp"

namespace cdref {

namespace {

namespace fs = std::filesystem;
using cdsec::FixedLine;
using cdsec::LineReader;
using cdsec::os::path_from_utf8;
using cdsec::os::path_to_utf8;
using cdsec::ReadError;

// The fixed layout of the two files (the same as the programs' reader).
constexpr int kCdPerLine = 15, kCdWidth = 6, kCdLines = 6, kCdLastLine = 83 - 5 * kCdPerLine;
constexpr int kSsWidth = 8, kSsFields = 6;
constexpr int kMaxProteins = 50;       // the bound of both programs
constexpr int kCombination = 8;        // proteins per trial of the variable-selection program
constexpr int kFindingsPerFile = 30;   // after these, the rest of a file is summarised

// The name line of protein k (from 1) and the lines of its record: the
// files have no variable parts, so positions follow from k.
int cd_name_line(int k) { return 3 + (k - 1) * (1 + kCdLines); }
int ss_name_line(int k) { return 1 + (k - 1) * 2; }

std::string display(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::absolute(path_from_utf8(path), ec);
  return ec ? path : path_to_utf8(p.lexically_normal());
}

class Findings {
 public:
  explicit Findings(std::vector<Finding>& out) : out_(out) {}
  void problem(const std::string& file, int line, const std::string& what) { add(true, file, line, what); }
  void note(const std::string& file, int line, const std::string& what) { add(false, file, line, what); }
  void problem(const std::string& text) { out_.push_back({true, text}); }
  void note(const std::string& text) { out_.push_back({false, text}); }
  // Layout findings of one file, capped.
  bool layout_full(const std::string& file) {
    int& n = per_file_[file];
    if (n == kFindingsPerFile) {
      out_.push_back({true, file + ": further layout problems not listed"});
      ++n;
    }
    return n > kFindingsPerFile;
  }
  void layout(const std::string& file, int line, const std::string& what) {
    if (layout_full(file)) return;
    ++per_file_[file];
    problem(file, line, what);
  }

 private:
  void add(bool problem, const std::string& file, int line, const std::string& what) {
    out_.push_back({problem, file + (line > 0 ? ", line " + std::to_string(line) : std::string()) + ": " + what});
  }
  std::vector<Finding>& out_;
  std::map<std::string, int> per_file_;
};

std::string cols(int from, int to) { return "columns " + std::to_string(from) + "-" + std::to_string(to); }

// A real with d decimals, without padding (or as it reads back, when too wide).
std::string num(float v, int d) { return cdsec::shown_real(v, d); }

bool blank(std::string_view s) { return s.find_first_not_of(" \t") == std::string_view::npos; }

std::string_view field(const std::string& line, int col, int w) {
  std::size_t b = static_cast<std::size_t>(col - 1);
  if (b >= line.size()) return {};
  return std::string_view(line).substr(b, static_cast<std::size_t>(w));
}

// A numeric field: blank (reads as 0), unreadable, or fine.
void check_number(Findings& f, const std::string& file, const LineReader& in, const std::string& line, int col, int w,
                  int d, const std::string& what) {
  if (blank(field(line, col, w))) {
    f.layout(file, in.line_no(), what + " (" + cols(col, col + w - 1) + ") is blank and reads as 0");
    return;
  }
  try {
    (void)FixedLine(line, file, in.line_no()).F(col, w, d);
  } catch (const ReadError& e) {
    f.layout(file, in.line_no(), what + " (" + cols(col, col + w - 1) + "): not a number, \"" +
                                     std::string(field(line, col, w)) + "\"");
  }
}

void check_after(Findings& f, const std::string& file, const LineReader& in, const std::string& line, int last_col) {
  if (static_cast<int>(line.size()) > last_col && !blank(std::string_view(line).substr(static_cast<std::size_t>(last_col))))
    f.layout(file, in.line_no(), "text after column " + std::to_string(last_col) + " is never read: \"" +
                                     line.substr(static_cast<std::size_t>(last_col)) + "\"");
}

void check_name_line(Findings& f, const std::string& file, const LineReader& in, const std::string& line) {
  if (!line.empty() && line[0] != ' ')
    f.note(file, in.line_no(), "column 1 holds \"" + line.substr(0, 1) +
                                   "\", which is not read: the name is columns 2-5, \"" + std::string(field(line, 2, 4)) + "\"");
  if (blank(field(line, 2, 4))) f.layout(file, in.line_no(), "the protein name (columns 2-5) is blank");
}

// The line-by-line layout of CDDATA.
void lint_cd(Findings& f, const std::string& path, const std::string& file) {
  LineReader in;
  in.open(path_from_utf8(path), file);
  std::string line;
  if (!in.skip() || !in.skip()) {
    f.layout(file, in.line_no() + 1, "the file ends before its two header lines");
    return;
  }
  while (in.next(line)) {
    if (f.layout_full(file)) return;
    if (blank(line)) {
      f.layout(file, in.line_no(), "a blank line where a protein's name line is expected");
      continue;
    }
    check_name_line(f, file, in, line);
    if (!blank(field(line, 6, 6))) check_number(f, file, in, line, 6, 6, 3, "the scale factor");
    check_after(f, file, in, line, 11);
    std::string name(field(line, 2, 4));
    for (int l = 1; l <= kCdLines; ++l) {
      if (!in.next(line)) {
        f.layout(file, in.line_no() + 1, "the file ends inside the CD values of protein \"" + name + "\" (" +
                                         std::to_string(l - 1) + " of 6 lines)");
        return;
      }
      int n = l < kCdLines ? kCdPerLine : kCdLastLine;
      for (int k = 0; k < n; ++k)
        check_number(f, file, in, line, 1 + kCdWidth * k, kCdWidth, 2,
                     "value " + std::to_string(kCdPerLine * (l - 1) + k + 1) + " of protein \"" + name + "\"");
      check_after(f, file, in, line, kCdWidth * n);
    }
  }
}

// The line-by-line layout of SSDATA.  Returns the names of its proteins.
std::vector<std::string> lint_ss(Findings& f, const std::string& path, const std::string& file, int ns) {
  std::vector<std::string> names;
  LineReader in;
  in.open(path_from_utf8(path), file);
  std::string line;
  while (in.next(line)) {
    if (f.layout_full(file)) return names;
    if (blank(line)) {
      f.layout(file, in.line_no(), "a blank line where a protein's name line is expected");
      continue;
    }
    check_name_line(f, file, in, line);
    check_after(f, file, in, line, 5);
    std::string name(field(line, 2, 4));
    names.push_back(name);
    if (!in.next(line)) {
      f.layout(file, in.line_no() + 1, "the file ends before the fractions of protein \"" + name + "\"");
      return names;
    }
    for (int k = 0; k < ns; ++k)
      check_number(f, file, in, line, 1 + kSsWidth * k, kSsWidth, 3, "fraction " + std::to_string(k + 1) + " of \"" + name + "\"");
    if (ns < kSsFields && !blank(field(line, 1 + kSsWidth * ns, kSsWidth)))
      f.note(file, in.line_no(), "field " + std::to_string(ns + 1) + " is not used by this set of " +
                                     std::to_string(ns) + " classes");
    check_after(f, file, in, line, kSsWidth * kSsFields);
  }
  return names;
}

std::string nm_range(const cdsec::RefSetInfo& set) {
  return std::to_string(static_cast<int>(set.long_limit)) + "-" + std::to_string(static_cast<int>(set.short_limit)) + " nm";
}

}  // namespace

int CheckResult::problems() const {
  int n = 0;
  for (const Finding& f : findings) n += f.problem ? 1 : 0;
  return n;
}

CheckResult check_set(const cdsec::RefSetInfo& set, const CheckLimits& limits) {
  CheckResult r;
  Findings f(r.findings);
  const std::string suffix(set.suffix);
  std::optional<cdsec::RefFileLocation> cd_loc, ss_loc;
  for (const char* kind : {"CDDATA.", "SSDATA."}) {
    try {
      auto loc = cdsec::locate_ref_file(kind + suffix);
      (kind[0] == 'C' ? cd_loc : ss_loc) = loc;
    } catch (const ReadError& e) {
      f.problem(e.what());
    }
  }
  if (!cd_loc || !ss_loc) return r;
  r.cd_path = display(cd_loc->path);
  r.ss_path = display(ss_loc->path);
  if (cd_loc->from != ss_loc->from)
    f.note(r.ss_path + ": read from another place than " + r.cd_path + "; the programs pair them all the same");

  // What the programs read.
  struct Read {
    cdsec::RefProtein p;
  };
  std::vector<Read> proteins;
  bool read_to_end = false;
  try {
    cdsec::RefSetReader reader;
    reader.open(set);
    cdsec::RefProtein p;
    while (reader.next(p, true, set.ns)) proteins.push_back({p});
    reader.close();
    read_to_end = true;
  } catch (const ReadError& e) {
    std::string msg = e.what();
    // The reader names files as located; show them in full.
    if (msg.rfind(e.path(), 0) == 0) msg = display(e.path()) + msg.substr(e.path().size());
    f.problem(msg + " (the programs stop here)");
  }
  r.proteins = static_cast<int>(proteins.size());

  // The layout, line by line.
  lint_cd(f, cd_loc->path, r.cd_path);
  const std::vector<std::string> ss_names = lint_ss(f, ss_loc->path, r.ss_path, set.ns);

  // Counts.
  const int n = r.proteins;
  // The programs read proteins while CDDATA has them: fractions beyond its
  // end are dropped without a word, and the set is smaller than meant.
  if (read_to_end && static_cast<int>(ss_names.size()) > n) {
    const int extra = static_cast<int>(ss_names.size()) - n;
    const std::string who = extra == 1 ? "protein " + std::to_string(n + 1)
                                       : "proteins " + std::to_string(n + 1) + " to " + std::to_string(n + extra);
    f.problem(r.ss_path, ss_name_line(n + 1),
              who + " (\"" + ss_names[static_cast<std::size_t>(n)] + "\"" + (extra > 1 ? " and on" : "") +
                  (extra > 1 ? ") have" : ") has") + " fractions but no spectrum: " + r.cd_path + " ends after protein " + std::to_string(n) +
                  (n > 0 ? " (line " + std::to_string(cd_name_line(n) + kCdLines) + ")" : std::string()) +
                  ", so the programs read " + std::to_string(n) + " proteins, not " +
                  std::to_string(ss_names.size()));
  }
  if (n == 0) f.problem(r.cd_path + ": no proteins");
  if (n > kMaxProteins)
    f.problem(r.cd_path + ": " + std::to_string(n) + " proteins; the programs hold at most 50 (MORVAN3 stops, KESTRA reads the first 50)");
  if (n > 0 && n < kCombination)
    f.problem(r.cd_path + ": " + std::to_string(n) + (n == 1 ? " protein" : " proteins") +
              "; KESTRA combines eight at a time and needs at least 8");

  // Names, fractions and spectra of each protein.
  const int k_long = static_cast<int>(260.0f - set.long_limit);   // first index inside the valid range
  const int k_short = static_cast<int>(260.0f - set.short_limit);  // last index inside it
  std::map<std::string, int> first_with_name;
  for (int k = 1; k <= n; ++k) {
    const cdsec::RefProtein& p = proteins[static_cast<std::size_t>(k - 1)].p;
    const int cd_line = cd_name_line(k), ss_line = ss_name_line(k);
    if (p.name != p.ss_name)
      f.problem(r.ss_path, ss_line, "protein " + std::to_string(k) + " is \"" + p.ss_name + "\" here but \"" + p.name +
                                        "\" in " + r.cd_path + " (line " + std::to_string(cd_line) + ")");
    auto [it, fresh] = first_with_name.emplace(p.name, k);
    if (!fresh)
      f.problem(r.cd_path, cd_line, "the name \"" + p.name + "\" is used again (first for protein " +
                                        std::to_string(it->second) + ", line " + std::to_string(cd_name_line(it->second)) + ")");
    if (p.scale != 0.0f)
      f.note(r.cd_path, cd_line, "scale factor " + num(p.scale, 3) +
                                     ": MORVAN3 multiplies the values by it, KESTRA ignores it");

    float sum = 0.0f;
    for (int c = 1; c <= set.ns; ++c) {
      float v = p.ss(c);
      sum += v;
      if (v < -0.0005f || v > 1.0005f)
        f.problem(r.ss_path, ss_line + 1, "fraction " + std::to_string(c) + " (" + std::string(set.labels[static_cast<std::size_t>(c - 1)]) +
                                              ") of \"" + p.ss_name + "\" is " + num(v, 3) +
                                              ", outside 0 to 1");
    }
    if (std::fabs(sum - 1.0f) > limits.sum_tolerance)
      f.problem(r.ss_path, ss_line + 1, "the fractions of \"" + p.ss_name + "\" sum to " + num(sum, 3) +
                                            ", not 1 within " + num(limits.sum_tolerance, 3));

    float lo = 0, hi = 0;
    int at_lo = 0, at_hi = 0;
    bool all_zero = true;
    for (int i = k_long + 1; i <= k_short + 1; ++i) {
      float v = p.cd(i);
      if (v != 0.0f) all_zero = false;
      if (v < lo || at_lo == 0) lo = v, at_lo = i;
      if (v > hi || at_hi == 0) hi = v, at_hi = i;
    }
    auto nm = [](int i) { return std::to_string(261 - i) + " nm"; };
    if (all_zero)
      f.problem(r.cd_path, cd_line, "the spectrum of \"" + p.name + "\" is zero throughout the valid range " + nm_range(set));
    if (lo < limits.cd_low)
      f.problem(r.cd_path, cd_line, "\"" + p.name + "\" has " + num(lo, 2) + " at " + nm(at_lo) +
                                        ", below the plausible " + num(limits.cd_low, 1) +
                                        " (delta epsilon per residue; ellipticity not converted?)");
    if (hi > limits.cd_high)
      f.problem(r.cd_path, cd_line, "\"" + p.name + "\" has " + num(hi, 2) + " at " + nm(at_hi) +
                                        ", above the plausible " + num(limits.cd_high, 1) +
                                        " (delta epsilon per residue; ellipticity not converted?)");
    for (int q = 1; q < k; ++q) {
      const cdsec::RefProtein& o = proteins[static_cast<std::size_t>(q - 1)].p;
      bool same = true;
      for (int i = k_long + 1; i <= k_short + 1 && same; ++i) same = o.cd(i) == p.cd(i);
      if (same)
        f.problem(r.cd_path, cd_line, "\"" + p.name + "\" has the same spectrum over " + nm_range(set) + " as \"" +
                                          o.name + "\" (line " + std::to_string(cd_name_line(q)) +
                                          "): a duplicate protein");
    }
  }
  return r;
}

}  // namespace cdref
