#include "frame/summary.hpp"

#include <cassert>
#include <cmath>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "frame/layout.hpp"
#include "frame/refsets.hpp"

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

  std::ofstream out(path, std::ios::out | std::ios::app | std::ios::binary);
  if (!out.is_open()) throw std::runtime_error(path + ": cannot be opened for appending the summary record");
  const std::string text = r.str();
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.flush();
  if (!out) throw std::runtime_error(path + ": the summary record could not be written");
  out.close();
  if (out.fail()) throw std::runtime_error(path + ": the summary record could not be written (close failed)");
}

}  // namespace cdsec
