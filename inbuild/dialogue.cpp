#include "inbuild/dialogue.hpp"

#include <charconv>
#include <cmath>
#include <istream>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>

#include "frame/layout.hpp"
#include "frame/platform.hpp"
#include "frame/text_input.hpp"
#include "inbuild/builder.hpp"

namespace cdsec::inbuild {

namespace fs = std::filesystem;

namespace {

// Thrown when the run ends early; the reason has been shown on the console.
struct Stop {};

bool is_blank(std::string_view s) { return s.find_first_not_of(" \t\f\v\r") == std::string_view::npos; }

std::string trimmed(std::string_view s) {
  std::size_t b = s.find_first_not_of(" \t");
  if (b == std::string_view::npos) return {};
  std::size_t e = s.find_last_not_of(" \t");
  return std::string(s.substr(b, e - b + 1));
}

std::string shortest(float v) {
  char buf[32];
  auto [p, ec] = std::to_chars(buf, buf + sizeof buf, v);
  return ec == std::errc() ? std::string(buf, p) : std::string("?");
}

// The rule between the steps of the dialogue.
void rule(std::ostream& out) { put(out, R"([/, 80"_", /])"); }

// Answers are one console line each.  A number is read in free format (its
// first value; the rest of the line is ignored, a blank line passed over);
// anything else is asked for again, and the end of the answers stops the run.
class Answers {
 public:
  Answers(std::istream& in, std::ostream& out) : in_(in), out_(out) {}

  std::string line(std::string_view what) {
    std::string s;
    out_.flush();
    if (!std::getline(in_, s)) {
      put(out_, R"([/, "  END OF INPUT while waiting for ", A, "; INPUT not changed"])", what);
      throw Stop{};
    }
    if (!s.empty() && s.back() == '\r') s.pop_back();
    return s;
  }

  float real(std::string_view what) {
    for (;;) {
      std::string s = line(what);
      if (is_blank(s)) continue;
      float v[1];
      std::string bad;
      if (parse_free_reals(s, v, &bad) == 1) return v[0];
      put(out_, R"(["  Not a number: """, A, """; enter ", A])", bad.empty() ? trimmed(s) : bad, what);
    }
  }

  // A whole number from lo to hi.
  int whole(std::string_view what, int lo, int hi) {
    for (;;) {
      float v = real(what);
      if (v != std::trunc(v)) {
        put(out_, R"(["  Not a whole number: ", A, "; enter ", A])", shortest(v), what);
      } else if (v < static_cast<float>(lo) || v > static_cast<float>(hi)) {
        put(out_, R"(["  Out of range (", A, " to ", A, "): ", A, "; enter ", A])", std::to_string(lo),
            std::to_string(hi), shortest(v), what);
      } else {
        return static_cast<int>(v);
      }
    }
  }

 private:
  std::istream& in_;
  std::ostream& out_;
};

void banner(std::ostream& out) {
  rule(out);
  put(out, R"([/, " This PROGRAM creates the input for MORVAN3", /, /, )"
               R"(" Some of the input values are accepted interactively", /, )"
               R"(" The CD data is read from a file with two values per line", /, )"
               R"(" First value is the wavelength, second CD data ", /, )"
               R"(" The wavelength is in the same order as range: say 260-180", /, /])");
  rule(out);
}

// Step 5: the number of CD values per nm, asked until it is above 0.
float ask_per_nm(Answers& ask, std::ostream& out) {
  rule(out);
  put(out, R"([/, /, "  The number of lines to be skipped in CD file", /, )"
               R"("  Enter the number of CD values per nm", /, )"
               R"("  IF the DATA is .. 240nm, 241nm, 242nm etc. enter 1", /, )"
               R"("  IF the DATA is .. 240nm, 240.5nm, 241nm etc. enter 2", /, )"
               R"("  IF the DATA is .. 240nm, 240.2nm, 240.4nm etc. enter 5", /, /])");
  for (;;) {
    const float v = ask.real("the number of CD values per nm");
    if (v > 0.0f) {
      put(out, R"([/, " Number of lines per nm in CD datafile", I4])", lines_per_nm(v));
      return v;
    }
    put(out, R"(["  The number of CD values per nm must be above 0, not ", A, "; enter it again"])", shortest(v));
  }
}

// Steps 6 and 7: the range, asked until it gives 1 to 100 points that the
// analysis programs will count as the builder does.
void ask_range(Answers& ask, std::ostream& out, float& initial, float& final_wl) {
  for (;;) {
    rule(out);
    put(out, R"([/, /, "  INPUT INITIAL wavelength: ", /])");
    initial = ask.real("the INITIAL wavelength");
    rule(out);
    put(out, R"([/, /, "  INPUT FINAL wavelength: ", /])");
    final_wl = ask.real("the FINAL wavelength");
    put(out, R"([" Wavelength Range: ", 2F7.1, " nm"])", initial, final_wl);
    switch (check_job_range(initial, final_wl)) {
      case RangeCheck::kOk:
        return;
      case RangeCheck::kEqual:
        put(out, R"(["  Initial and final wavelength are equal; enter the range again"])");
        break;
      case RangeCheck::kTooMany: {
        int n = range_point_count(initial, final_wl);
        std::string count = n > 0 ? std::to_string(n) : std::string("more than 100");
        put(out, R"(["  The range needs ", A, " points, at most 100 are allowed; enter the range again"])", count);
        break;
      }
      case RangeCheck::kUnwritable:
        put(out, R"(["  The range cannot be written to INPUT as entered (use whole nm); enter it again"])");
        break;
    }
  }
}

// Step 9: the data file name, of which the first 12 characters are used.
std::string ask_file_name(Answers& ask, std::ostream& out, bool& cut) {
  rule(out);
  put(out, R"~([/, /, " ASCII-file name (CD data)-MAX of 12 letters", /])~");
  for (;;) {
    std::string answer = ask.line("the name of the CD data file");
    std::string name = trimmed(std::string_view(answer).substr(0, 12));
    if (!name.empty()) {
      cut = answer.find_last_not_of(" \t") >= 12;
      return name;
    }
    put(out, R"(["  No file name given; enter the name of the CD data file"])");
  }
}

}  // namespace

int run(std::istream& in, std::ostream& out, const fs::path& dir) {
  Answers ask(in, out);
  try {
    banner(out);

    put(out, R"([/, "  Do you want to create a new INPUT file?", /, /, )"
                 R"("     If You Want to CREATE a NEW INPUT file, TYPE 0", /, )"
                 R"("     If you want to APPEND the existing INPUT file", "  TYPE 1", /])");
    const bool append = ask.whole("0 (new INPUT) or 1 (append)", -999999999, 999999999) != 0;
    // Nothing is written yet: INPUT changes only once the whole Job is known.
    if (append)
      put(out, R"([/, /, "  Data will be appended to existing INPUT "])");
    else
      put(out, R"([/, /, "  Any existing INPUT will be overwritten "])");

    const fs::path input = dir / "INPUT";
    if (const std::string why = job_file_refusal(input); !why.empty()) {
      put(out, R"([/, "  INPUT ", A, "; INPUT not changed"])", why);
      return 1;
    }

    JobDraft job;
    rule(out);
    put(out, R"([/, /, "  Enter TITLE  for your data - 40 characters", /, /])");
    job.title = ask.line("the TITLE").substr(0, 40);
    job.title.resize(40, ' ');
    put(out, R"([" TITLE:", 2X, A40])", job.title);

    // Steps 5 to 7 and 10 to 11 are gone through again while the wavelengths
    // of the data file disagree with the range and values per nm entered.
    float per_nm_given = 0.0f, initial = 0.0f, final_wl = 0.0f, divisor = 1.0f;
    std::string name, field;  // the name, and the name as its 12-character field
    int n = 0;
    Vector<kMaxJobPoints> read;
    int line_of[kMaxJobPoints] = {};
    for (bool first_pass = true;; first_pass = false) {
      per_nm_given = ask_per_nm(ask, out);
      const int per_nm = lines_per_nm(per_nm_given);
      ask_range(ask, out, initial, final_wl);

      if (first_pass) {
        rule(out);
        put(out, R"~([/, /, "  Is the CD data in Molar Ellipticity Units?", /, /, )~"
                      R"~("  IF IT IS TYPE 1; IF NOT TYPE 0", /, /, )~"
                      R"~("  If YOU TYPE 1 DATA WILL BE CONVERTED TO DELTA(e)", /, /])~");
        const int units = ask.whole("1 (molar ellipticity) or 0 (delta(e))", 0, 1);
        rule(out);
        if (units == 0) {
          put(out, R"~(["  CD DATA IS ALREADY IN DELTA(e) UNITS.", " NO CONVERSION DONE"])~");
        } else {
          divisor = 3300.0f;  // molar ellipticity [theta] / 3300 = delta epsilon
          put(out, R"~(["  CD DATA IS IN MOLAR ELLIPTICITY UNITS.", /, /, )~"
                        R"~(" IT WILL BE CONVERTED TO DELTA(e) UNITS.", /, /])~");
        }

        bool cut = false;
        name = ask_file_name(ask, out, cut);
        field = name;
        field.resize(12, ' ');
        put(out, R"([" CD data is contained in File:", A])", field);
        if (cut) put(out, R"(["  The name has more than 12 characters; its first 12 are used"])");
      }
      LineReader data;
      const fs::path data_path = dir / os::path_from_utf8(name);
      try {
        std::error_code ec;
        if (fs::is_directory(data_path, ec)) throw ReadError(ReadError::Kind::kCannotOpen, name, 0, "is a directory");
        data.open(data_path, name);
      } catch (const ReadError&) {
        put(out, R"([/, "  Cannot open the CD data file ", A, "; INPUT not changed"])", name);
        return 1;
      }

      rule(out);
      rule(out);
      put(out, R"([/, /, "  Step Resolution in JASCO file was", F6.2, /, )"
                   R"("   If it is not betn .05 and 1.0, collect data in this range", /, )"
                   R"("  Every ", I3, "-1 lines will be skipped in ", A, /])",
          per_nm_given, per_nm, field);

      n = range_point_count(initial, final_wl);
      const PointsRead got = read_points(data, initial, final_wl, per_nm, divisor, read.first(n), line_of, out);
      if (got.status == PointsRead::Status::kOk) break;
      switch (got.status) {
        case PointsRead::Status::kOk:
          break;
        case PointsRead::Status::kWrongWavelength:
          put(out, R"([/, "  ", A, /, "  Enter the values per nm and the range as the file holds them"])",
              got.detail);
          continue;
        case PointsRead::Status::kEndOfFile:
          put(out, R"([/, /, "  END OF FILE: ", A, " CHECK input parameters", /, /, )"
                       R"("  Wavelength range AND Step resolution", /, )"
                       R"("  Current values are: Range -", 2F6.1, " Step Rsln-", F4.1])",
              field, initial, final_wl, per_nm_given);
          put(out, R"(["  ", A])", got.detail);
          return 1;
        case PointsRead::Status::kBadPoint:
        case PointsRead::Status::kNoDataLine:
          put(out, R"(["  Error in reading CD data from ", A, " check input"])", field);
          put(out, R"(["  ", A])", got.detail);
          return 1;
      }
    }
    if (int k = first_unwritable(read.first(n)); k > 0) {
      ReadError e(ReadError::Kind::kTooMany, name, line_of[k - 1],
                  "delta(e) value " + shortest(read(k)) + " does not fit the 8 columns of INPUT; check the units");
      put(out, R"([/, "  ", A, "; INPUT not changed"])", std::string(e.what()));
      return 1;
    }

    // The Job runs from the long to the short wavelength.
    job.n = n;
    job.longer = final_wl < initial ? initial : final_wl;
    job.shorter = final_wl < initial ? final_wl : initial;
    for (int k = 1; k <= n; ++k) job.cd(k) = final_wl < initial ? read(k) : read(n + 1 - k);

    const int suggested = suggest_set(job.shorter);
    put(out, R"([/, /, " SELECT A REFERENCE SET Enter the number 1 to 7", /, /, )"
                 R"("  1 -> 29 Prot; CD Data 178-184 nm available", /, )"
                 R"("  3 -> 37 Prot; CD Data 185-189 nm available", /, )"
                 R"("  4 -> 43 Prot; CD Data below 190 NOT available", /, )"
                 R"("  6 -> 42 Prot; CD Data 185-189 nm available", /, )"
                 R"("  7 -> 48 Prot; CD Data below 190 NOT available", /, /, )"
                 R"(" Opt. 6 & 7 are for CD spectra unfolding cond", /, /, )"
                 R"(" Suggested Option:", I3, "  For CD data from:", F5.0, /, /])",
        suggested, job.shorter);
    // The integer line gives the set 4 columns.
    const int chosen = ask.whole("the number of the reference set", -999, 9999);
    job.ibasis = chosen == 0 ? suggested : chosen;

    std::ostringstream text;
    write_job(text, job);
    // Protected since the start of the dialogue?  A replacement would rename over it.
    std::string err = job_file_refusal(input);
    if (!err.empty()) err = "INPUT " + err;
    if (err.empty()) err = append ? append_file(input, text.str()) : replace_file(input, text.str());
    if (!err.empty()) {
      put(out, R"([/, "  INPUT not written: ", A])", err);
      return 1;
    }
    rule(out);
    put(out, R"(["  The INPUT file for MORVAN is", /])");
    rule(out);
    out << text.str();
    out.flush();
    return 0;
  } catch (const Stop&) {
    out.flush();
    return 1;
  }
}

}  // namespace cdsec::inbuild
