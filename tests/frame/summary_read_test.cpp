// Reading ProtSS.out summary records back: records of both programs as the
// writer makes them, five and six classes, values that are not numbers, and
// files that are not what the programs write (each refused naming the line).
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "frame/summary.hpp"
#include "frame/text_input.hpp"
#include "tests/scratch_dir.hpp"

namespace fs = std::filesystem;
using cdsec::SummaryProgram;

namespace {

// A file of a scratch folder of its own.
class TempFile {
 public:
  std::string str() const { return path_.string(); }
  void write(const std::string& text) const { cdsec_test::write_file(path_, text); }

 private:
  cdsec_test::ScratchDir dir_{"summary-read"};
  fs::path path_ = dir_ / "ProtSS.out";
};

const std::array<std::string_view, 6> kSplit{"H(r)", "H(d)", "S(r)", "S(d)", "Trn ", "Unrd"};
const std::array<std::string_view, 5> kSet5{"AHel", "BSht", "Turn", "PP2 ", "Unrd"};

std::string record_text(const std::string& title, const std::string& program, const std::string& code,
                        const std::string& labels, const std::string& fractions, const std::string& rmsd) {
  return std::string(80, '_') + "\n\n SAMPLE:  " + title + "\n" + program + "\n Protein Set:" + code +
         "Reference Set\n Structure:  " + labels + "\n Fractions:" + fractions + "\n RMSD(Exp-Calc):" + rmsd + "\n";
}

// The error a file gives, or "" when it reads.
std::string error_of(const TempFile& f, const std::string& text, int* line = nullptr) {
  f.write(text);
  try {
    cdsec::read_summary_records(f.str());
  } catch (const cdsec::ReadError& e) {
    if (line) *line = e.line();
    return e.what();
  }
  return "";
}

TEST(SummaryRead, RecordsOfBothProgramsComeBackAsWritten) {
  TempFile f;
  const std::array<float, 6> a{0.301f, 0.152f, 0.120f, 0.081f, 0.143f, 0.203f};
  const std::array<float, 5> b{0.25f, 0.30f, 0.15f, 0.05f, 0.25f};
  const std::string t1 = "lysozyme" + std::string(56, ' ');
  cdsec::append_summary_record(f.str(), {SummaryProgram::kSelfConsistent, t1, 4, kSplit, a, 0.1234f});
  cdsec::append_summary_record(f.str(), {SummaryProgram::kVariableSelection, "myoglobin", 5, kSet5, b, 1.5f});
  const auto recs = cdsec::read_summary_records(f.str());
  ASSERT_EQ(recs.size(), 2u);

  EXPECT_EQ(recs[0].line, 1);
  EXPECT_EQ(recs[0].program, SummaryProgram::kSelfConsistent);
  EXPECT_EQ(recs[0].title, t1);
  EXPECT_EQ(recs[0].set_code, " 43 ");
  ASSERT_EQ(recs[0].ns, 6);
  for (int j = 1; j <= 6; ++j) {
    EXPECT_EQ(recs[0].labels[static_cast<std::size_t>(j - 1)], kSplit[static_cast<std::size_t>(j - 1)]);
    EXPECT_FLOAT_EQ(recs[0].fractions(j), a[static_cast<std::size_t>(j - 1)]);
  }
  EXPECT_FLOAT_EQ(recs[0].rmsd, 0.123f);  // as printed, three decimals
  EXPECT_TRUE(recs[0].all_finite());

  EXPECT_EQ(recs[1].line, 9);
  EXPECT_EQ(recs[1].program, SummaryProgram::kVariableSelection);
  EXPECT_EQ(recs[1].title, "myoglobin" + std::string(41, ' '));
  EXPECT_EQ(recs[1].set_code, " 37 ");
  ASSERT_EQ(recs[1].ns, 5);
  EXPECT_EQ(recs[1].labels[3], "PP2 ");
  EXPECT_FLOAT_EQ(recs[1].fractions(2), 0.30f);
  EXPECT_FLOAT_EQ(recs[1].rmsd, 1.5f);
}

// A record after a line cut short, as the programs append it (the golden
// cases summary_own_line): the damaged line is lost, not the record.
TEST(SummaryRead, ARecordAfterALineCutShortIsRead) {
  const fs::path p = fs::path(CDSEC_SOURCE_DIR) / "tests/golden/MORVAN3/summary_own_line/expected/ProtSS.out";
  std::vector<cdsec::SummaryDamage> damaged;
  EXPECT_EQ(cdsec::read_summary_records(p.string(), damaged).size(), 1u);
}

TEST(SummaryRead, AnEmptyFileHoldsNoRecordAndAMissingOneIsNamed) {
  TempFile f;
  f.write("");
  EXPECT_TRUE(cdsec::read_summary_records(f.str()).empty());
  fs::remove(f.str());
  try {
    cdsec::read_summary_records(f.str());
    ADD_FAILURE() << "no error for a missing file";
  } catch (const cdsec::ReadError& e) {
    EXPECT_EQ(e.kind(), cdsec::ReadError::Kind::kCannotOpen);
    EXPECT_NE(std::string(e.what()).find(f.str()), std::string::npos) << e.what();
  }
}

TEST(SummaryRead, ValuesThatAreNotNumbersReadAsNaN) {
  TempFile f;
  const std::array<float, 6> a{std::nanf(""), 0.1f, 1.0e5f, 0.1f, 0.1f, 0.1f};
  cdsec::append_summary_record(f.str(), {SummaryProgram::kSelfConsistent, "x", 1, kSplit, a,
                                         std::numeric_limits<float>::infinity()});
  const auto recs = cdsec::read_summary_records(f.str());
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_TRUE(std::isnan(recs[0].fractions(1)));  // "NaN"
  EXPECT_FLOAT_EQ(recs[0].fractions(2), 0.1f);
  EXPECT_TRUE(std::isnan(recs[0].fractions(3)));  // too wide: asterisks
  EXPECT_TRUE(std::isnan(recs[0].rmsd));          // "Infinity"
  EXPECT_FALSE(recs[0].all_finite());
}

TEST(SummaryRead, TrailingBlanksStrippedByAnEditorStillRead) {
  TempFile f;
  f.write(record_text("t", " PROGRAM:     KESTRA", " 29 ", "  H(r)    H(d)", "   0.500   0.250", "     0.010"));
  const auto recs = cdsec::read_summary_records(f.str());
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].program, SummaryProgram::kVariableSelection);
  EXPECT_EQ(recs[0].ns, 2);
  EXPECT_EQ(recs[0].labels[1], "H(d)");
  EXPECT_FLOAT_EQ(recs[0].fractions(2), 0.25f);
}

TEST(SummaryRead, WhatTheProgramsDoNotWriteIsRefusedNamingTheLine) {
  TempFile f;
  auto rec = [](const char* code, const char* labels, const char* fractions, const char* rmsd) {
    return record_text("t", " PROGRAM:     MORVAN3", code, labels, fractions, rmsd);
  };
  const std::string good = rec(" 29 ", "  H(r)    H(d)", "   0.500   0.250", "     0.010");
  std::string other = good, second = good;
  other.replace(other.find("MORVAN3"), 7, "HAVORKN");
  second.insert(second.begin() + 81, 'x');
  const struct {
    std::string text, says;
    int line;  // 0: not checked
  } cases[] = {
      {good + good.substr(0, good.find(" PROGRAM")), "PROGRAM line", 0},  // a second record cut after its title
      {"some other file\n", "80 underscores", 1},
      {second, "empty", 2},  // the second line must be empty
      {other, "PROGRAM", 4},
      {rec(" 29", "  H(r)    H(d)", "   0.500   0.250", "     0.010"), "Protein Set", 5},
      {rec(" 29 ", "  H(r)", "   0.500   0.250", "     0.010"), "fewer labels", 6},
      {rec(" 29 ", "  H(r)    H(d)    S(r)", "   0.500   0.250", "     0.010"), "more labels", 0},
      {rec(" 29 ", "  H(r)    H(d)", "   0.500  0.250", "     0.010"), "Fractions", 7},  // not 8-column fields
      {rec(" 29 ", "  H(r)    H(d)", "   0.500   0.2x0", "     0.010"), "0.2x0", 7},
      {rec(" 29 ", "  H(r)    H(d)", "   0.500   0.250", " 0.010"), "RMSD", 8},
  };
  for (const auto& c : cases) {
    int line = 0;
    const std::string err = error_of(f, c.text, &line);
    EXPECT_NE(err.find(c.says), std::string::npos) << err;
    EXPECT_NE(err.find(f.str()), std::string::npos) << err;
    if (c.line) {
      EXPECT_EQ(line, c.line) << c.says;
    }
  }
  EXPECT_EQ(error_of(f, good + good), "");
}

}  // namespace
