#include "varsel/cdinit.hpp"

#include <cmath>
#include <ostream>

#include "frame/layout.hpp"

namespace cdsec {

int job_point_count(float first, float last) {
  const float span = first - last;
  if (!(span > -1.0f)) return 0;
  if (span >= 1.0e6f) return 1000000;
  return static_cast<int>(std::trunc(span)) + 1;
}

RangeFit fit_range(float first, float last, float long_limit, float short_limit) {
  RangeFit r{false, first, last, 0, job_point_count(first, last)};
  if (long_limit < first || short_limit > last) {
    r.clipped = true;
    if (first > long_limit) r.sample_offset = static_cast<int>(std::trunc(first - long_limit));
    if (long_limit < first) r.first = long_limit;
    if (short_limit > last) r.last = short_limit;
    const float span = r.first - r.last;
    r.nw = span > -1.0f ? static_cast<int>(std::trunc(span)) + 1 : 0;
  }
  return r;
}

namespace {

std::string nm(float v) { return shown_real(v, 1); }

}  // namespace

bool CDINIT(JobReader& input, std::ostream& report, KestraJob& job) {
  if (!input.begin()) return false;
  input.read_print_basis(job.iprint, job.ibasis);
  const int basis_line = input.source().line_no();

  put(report, R"([/, 80("_"), /])");
  put(report, R"(["   THE FRACTIONS OF SECONDARY STRUCTURES FROM"])");
  put(report, R"L(["   THE Kestra Program (variable selection method)"])L");
  put(report, R"(["   Random combinations of eight reference proteins, SVD solution", /])");
  put(report, R"(["   Analysis program of the cdsec package"])");
  put(report, R"(["      For use with Vimbo reference proteins"])");
  put(report, R"([/, /, 5X, " IPrint  IBasis  ", /, 4X, 2I8])", job.iprint, job.ibasis);

  job.set = find_ref_set(job.ibasis);
  if (job.set == nullptr)
    throw KestraStop(input.source().name() + ", line " + std::to_string(basis_line) + ": reference set " +
                     std::to_string(job.ibasis) + " does not exist; IBasis must be 1 to 8");
  job.nsstr = job.set->ns;
  write_set_texts(report, *job.set);
  // The set's files must be there before the job is read any further.
  locate_ref_file("CDDATA." + std::string(job.set->suffix));
  locate_ref_file("SSDATA." + std::string(job.set->suffix));

  put(report, R"([/, 80("_"), /])");
  job.title = input.read_title(50);
  put(report, R"([/, A50])", job.title);

  float first = 0, last = 0;
  job.notes.clear();
  input.read_range(first, last, job.factor);
  const int n = job_point_count(first, last);
  // Too few values to determine the fractions: refused before anything
  // more is reported or read.
  if (n >= 1 && n < kMinPoints) input.require_points(n, "", job.notes);
  const RangeFit fit = fit_range(first, last, job.set->long_limit, job.set->short_limit);
  if (fit.clipped) {
    put(report,
        R"([/, /, " The wavelength range: ", 2F7.1, ", is different from that of", /, " the Database proteins:", 2F7.1, /, " The No. of CD points = ", I4, /, /, " The wavelengths are modified to be within the valid range"])",
        first, last, job.set->long_limit, job.set->short_limit, n);
  }
  if (n >= 1 && n <= kMaxPoints)
    input.require_points(fit.nw,
                         fit.clipped ? "fitted to the valid range " + shown_real(job.set->long_limit, 1) + " to " +
                                           shown_real(job.set->short_limit, 1) + " nm of reference set " +
                                           std::to_string(job.ibasis)
                                     : std::string(),
                         job.notes);

  input.read_cd(n, kMaxPoints, job.raw.view());
  input.check_cd(std::span<const float>(job.raw.data(), static_cast<std::size_t>(n)), job.factor, job.notes);
  if (fit.nw < 1 || fit.sample_offset + fit.nw > n)
    throw KestraStop(input.source().name() + ", line " + std::to_string(input.range_line()) + ": the range " +
                     nm(first) + " to " + nm(last) + " nm lies outside the valid range " + nm(job.set->long_limit) +
                     " to " + nm(job.set->short_limit) + " nm of reference set " + std::to_string(job.ibasis));
  input.skip_after_cd();
  input.skip_guess();

  job.first = fit.first;
  job.last = fit.last;
  job.sample_offset = fit.sample_offset;
  job.nwave = fit.nw;
  if (job.factor == 0.0f) job.factor = 1.0f;
  for (int i = 1; i <= job.nwave; ++i) job.sample(i) = job.raw(job.sample_offset + i) * job.factor;

  put(report,
      R"([/, " Beginning wavelength:", F8.2, "; Ending wavelength:", F8.2, /, " Total No of CD points", I4, /, " Secondary structural elements=", I4, /, " Multipilcation", " FACTOR for CD spectrum=", F6.3, /])",
      job.first, job.last, job.nwave, job.nsstr, job.factor);
  // The block above ends with its blank line; two more precede the sample,
  // as in the self-consistent program's report.
  put(report, R"([/, /, " SAMPLE CD: ", /, /, A80, /])", job.title);
  put(report, R"([(10F7.2)])", job.sample.first(job.nwave));

  load_vs_references(*job.set, job.sample.view(), job.nwave, job.first, job.refs);
  job.notes.insert(job.notes.end(), job.refs.notes.begin(), job.refs.notes.end());

  put(report, R"([/, "  Proteins:", I3, ";  CD data:", I3, ";  Sec Str:", I3, /, /, 80("_"), /])",
      job.refs.nbascd, job.nwave, job.nsstr);
  return true;
}

}  // namespace cdsec
