#include "frame/summary.hpp"

#include <cassert>
#include <cmath>
#include <limits>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "frame/layout.hpp"
#include "frame/platform.hpp"
#include "frame/refsets.hpp"
#include "frame/safe_file.hpp"
#include "frame/text_input.hpp"

namespace cdsec {

float RMS(VecView<const float> a, VecView<const float> b, int n) {
  // No points, no difference (a NaN here would pass for a real distance).
  if (n <= 0) return 0.0f;
  float sum = 0.0f;
  for (int i = 1; i <= n; ++i) {
    float d = a(i) - b(i);
    sum += d * d;
  }
  return std::sqrt(sum / static_cast<float>(n));
}

Segments SEGMENT(VecView<const float> fractions, int /*ns*/) {
  assert(fractions.size() >= 4);
  const float f1 = fractions(1), f2 = fractions(2), f3 = fractions(3), f4 = fractions(4);
  Segments s{};
  s.helix_segments = f2 * 100.0f / 4.0f;
  s.strand_segments = f4 * 100.0f / 2.0f;
  if (s.helix_segments < 0.0f) s.helix_segments = 0.0f;
  if (s.strand_segments < 0.0f) s.strand_segments = 0.0f;
  s.helix_length = s.helix_segments == 0.0f ? 0.0f : (f2 + f1) * 100.0f / s.helix_segments;
  s.strand_length = s.strand_segments == 0.0f ? 0.0f : (f3 + f4) * 100.0f / s.strand_segments;
  return s;
}

void append_summary_record(const std::string& path, const SummaryRecord& rec) {
  if (rec.labels.size() != rec.fractions.size() || rec.labels.size() > 6)
    throw std::invalid_argument("summary record for " + path + ": " + std::to_string(rec.labels.size()) +
                                " labels and " + std::to_string(rec.fractions.size()) + " fractions");
  // The record is composed first so that the file sees it in one write.
  std::ostringstream r;
  put(r, R"([80("_"), /])");
  if (rec.program == SummaryProgram::kSelfConsistent) {
    // The title is held as 16 words of 4 characters.
    std::string title(rec.title.substr(0, 64));
    title.resize(64, ' ');
    put(r, R"([" SAMPLE:  ", 16A4])", Pieces{title, 4});
    put(r, R"([" PROGRAM:     MORVAN3"])");
  } else {
    std::string title(rec.title.substr(0, 50));
    title.resize(50, ' ');
    put(r, R"([" SAMPLE:  ", A50])", title);
    put(r, R"([" PROGRAM:     KESTRA "])");
  }
  put(r, R"([" Protein Set:", A4, "Reference Set"])", summary_code(rec.ibasis));
  put(r, R"([" Structure:", 2X, 6(2X, A4, 2X)])", rec.labels);
  put(r, R"([" Fractions:", 6F8.3])", rec.fractions);
  put(r, R"([" RMSD(Exp-Calc):", F10.3])", rec.rmsd);

  // One write at the end of the file, on a line of its own, cut back to the
  // old size when it fails: a half record would swallow the next one.
  const std::string why = append_file(os::path_from_utf8(path), r.str());
  if (!why.empty()) throw std::runtime_error(path + ": the summary record could not be appended: " + why);
}

}  // namespace cdsec

// ---------------------------------------------------------------- reading records back

namespace cdsec {

namespace {

constexpr std::string_view kSampleHead = " SAMPLE:  ";
constexpr std::string_view kProgramSC = " PROGRAM:     MORVAN3";
constexpr std::string_view kProgramVS = " PROGRAM:     KESTRA";
constexpr std::string_view kSetHead = " Protein Set:", kSetTail = "Reference Set";
constexpr std::string_view kStructureHead = " Structure:";
constexpr std::string_view kFractionsHead = " Fractions:";
constexpr std::string_view kRmsdHead = " RMSD(Exp-Calc):";


// A real of a record line: a number, or NaN for what the writer prints when
// a value is not a finite number that fits (NaN, Infinity, asterisks).
float record_value(const std::string& line, const std::string& name, int line_no, int col, int w) {
  FixedLine f(line, name, line_no);
  std::string text = f.A(col, w);
  std::string_view t = text;
  while (!t.empty() && t.front() == ' ') t.remove_prefix(1);
  t = trim_right_blanks(t);
  if (t == "NaN" || t == "Inf" || t == "-Inf" || t == "Infinity" || t == "-Infinity" ||
      (!t.empty() && t.find_first_not_of('*') == std::string_view::npos))
    return std::numeric_limits<float>::quiet_NaN();
  return f.F(col, w, 3);
}

}  // namespace

bool SummaryEntry::all_finite() const {
  if (!std::isfinite(rmsd)) return false;
  for (int j = 1; j <= ns; ++j)
    if (!std::isfinite(fractions(j))) return false;
  return true;
}

namespace {

const std::string kRecordRule(80, '_');

// Lines of ProtSS.out with one line of look-ahead: a row of underscores met
// where a record line was expected is the start of the next record, and is
// handed back to the record loop instead of being lost with the damage.
class RecordLines {
 public:
  explicit RecordLines(LineReader& in) : in_(in) {}
  bool next(std::string& line) {
    if (pending_) {
      pending_ = false;
      line = std::move(held_);
      line_no_ = held_no_;
      return true;
    }
    if (!in_.next(line)) return false;
    line_no_ = in_.line_no();
    return true;
  }
  // A line of the record after its first: never a row of underscores.
  void require(std::string& line, std::string_view expected) {
    if (!next(line)) in_.fail_eof(expected);
    if (line == kRecordRule) {
      hold(line);
      throw ReadError(ReadError::Kind::kBadValue, in_.name(), line_no_,
                      "the record ends early: expected " + std::string(expected) + ", found the start of the next record");
    }
  }
  void hold(std::string line) {
    held_ = std::move(line);
    held_no_ = line_no_;
    pending_ = true;
  }
  bool holding() const { return pending_; }
  int line_no() const { return line_no_; }
  const std::string& name() const { return in_.name(); }

 private:
  LineReader& in_;
  std::string held_;
  int held_no_ = 0, line_no_ = 0;
  bool pending_ = false;
};

[[noreturn]] void bad_record_line(const RecordLines& in, const std::string& what) {
  throw ReadError(ReadError::Kind::kBadValue, in.name(), in.line_no(), what);
}

// One record from its first line on (already read into `line`).
SummaryEntry read_one_record(RecordLines& in, std::string& line) {
  SummaryEntry e;
  e.line = in.line_no();
  if (line != kRecordRule) bad_record_line(in, "expected the row of 80 underscores that starts a summary record");
  in.require(line, "the empty line of the summary record");
  if (!trim_right_blanks(line).empty()) bad_record_line(in, "expected the empty second line of the summary record");

  in.require(line, "the SAMPLE line of the summary record");
  if (!line.starts_with(kSampleHead)) bad_record_line(in, "expected \" SAMPLE:  \" and the title");
  e.title = line.substr(kSampleHead.size());

  in.require(line, "the PROGRAM line of the summary record");
  const std::string_view prog = trim_right_blanks(line);
  if (prog == kProgramSC)
    e.program = SummaryProgram::kSelfConsistent;
  else if (prog == kProgramVS)
    e.program = SummaryProgram::kVariableSelection;
  else
    bad_record_line(in, "expected \" PROGRAM:     MORVAN3\" or \" PROGRAM:     KESTRA \"");

  in.require(line, "the Protein Set line of the summary record");
  if (!line.starts_with(kSetHead) || line.size() < kSetHead.size() + 4 ||
      trim_right_blanks(line).substr(kSetHead.size() + 4) != kSetTail)
    bad_record_line(in, "expected \" Protein Set:\", the set's label and \"Reference Set\"");
  e.set_code = line.substr(kSetHead.size(), 4);

  in.require(line, "the Structure line of the summary record");
  if (!line.starts_with(kStructureHead)) bad_record_line(in, "expected \" Structure:\" and the class labels");
  const std::string labels = line;

  // Six fractions at most, 8 columns each, and nothing after them: the
  // fraction count is the class count of the record.
  in.require(line, "the Fractions line of the summary record");
  const std::string_view fr = trim_right_blanks(line);
  const std::size_t body = fr.size() > kFractionsHead.size() ? fr.size() - kFractionsHead.size() : 0;
  if (!line.starts_with(kFractionsHead) || body == 0 || body % 8 != 0 || body / 8 > 6)
    bad_record_line(in, "expected \" Fractions:\" and one to six values of 8 columns");
  e.ns = static_cast<int>(body / 8);
  for (int j = 1; j <= e.ns; ++j)
    e.fractions(j) = record_value(line, in.name(), in.line_no(), static_cast<int>(kFractionsHead.size()) + 1 + 8 * (j - 1), 8);
  // Labels stand in 8-column slots after two blanks: "  H(r)  ".
  FixedLine lf(labels, in.name(), in.line_no() - 1);
  for (int j = 1; j <= e.ns; ++j) {
    std::string lab = lf.A(static_cast<int>(kStructureHead.size()) + 5 + 8 * (j - 1), 4);
    if (trim_right_blanks(lab).empty())
      throw ReadError(ReadError::Kind::kBadValue, in.name(), in.line_no() - 1,
                      "the Structure line has fewer labels than the Fractions line below it has values");
    e.labels[static_cast<std::size_t>(j - 1)] = lab;
  }
  const std::string_view all_labels = trim_right_blanks(labels);
  if (all_labels.size() > kStructureHead.size() + 8 * static_cast<std::size_t>(e.ns))
    throw ReadError(ReadError::Kind::kBadValue, in.name(), in.line_no() - 1,
                    "the Structure line has more labels than the Fractions line below it has values");

  in.require(line, "the RMSD line of the summary record");
  if (!line.starts_with(kRmsdHead) || trim_right_blanks(line).size() != kRmsdHead.size() + 10)
    bad_record_line(in, "expected \" RMSD(Exp-Calc):\" and a value of 10 columns");
  e.rmsd = record_value(line, in.name(), in.line_no(), static_cast<int>(kRmsdHead.size()) + 1, 10);
  return e;
}

std::vector<SummaryEntry> read_records(const std::string& path, std::vector<SummaryDamage>* damaged) {
  LineReader file;
  file.open(os::path_from_utf8(path));
  RecordLines in(file);
  std::vector<SummaryEntry> records;
  std::string line;
  while (in.next(line)) {
    const int first = in.line_no();
    try {
      records.push_back(read_one_record(in, line));
    } catch (const ReadError& e) {
      if (!damaged) throw;
      damaged->push_back({first, e});
      // Resume at the next record, unless the damage was its start.
      if (!in.holding())
        while (in.next(line))
          if (line == kRecordRule) {
            in.hold(line);
            break;
          }
    }
  }
  return records;
}

}  // namespace

std::vector<SummaryEntry> read_summary_records(const std::string& path) { return read_records(path, nullptr); }

std::vector<SummaryEntry> read_summary_records(const std::string& path, std::vector<SummaryDamage>& damaged) {
  return read_records(path, &damaged);
}

}  // namespace cdsec
