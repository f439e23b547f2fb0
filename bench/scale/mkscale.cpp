// Writes a large INPUT for the scale benchmark: N jobs, each a measured
// spectrum of a table of spectra (one protein per row, one column per nm,
// named by the wavelength) with Gaussian noise of a given fraction of that
// spectrum's RMS added, the proteins taken in turn.  The noise comes from a
// fixed-seed generator, so the same arguments give the same file.
//   cdsec_mkscale --spectra SPECTRA.csv --jobs N [--seed S] [--noise F] [--set K]
// writes the jobs to standard output (set K, default 1; F default 0.01).
#include <cmath>
#include <cstdio>
#include <exception>
#include <iostream>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "frame/job.hpp"
#include "frame/text_input.hpp"
#include "cdref/csv.hpp"

namespace {

struct Spectrum {
  std::string id;
  float longer = 0, shorter = 0;
  std::vector<float> cd;  // longer .. shorter, one per nm
};

// The wavelength columns of the table, from the longest down by 1 nm.
std::vector<Spectrum> read_spectra(const std::string& path) {
  const cdref::CsvTable t = cdref::read_csv(path);
  std::vector<int> cols;
  float first = 0, last = 0;
  for (std::size_t c = 0; c < t.header.size(); ++c) {
    float nm = 0;
    if (!cdsec::parse_real(t.header[c], nm)) continue;
    if (cols.empty())
      first = nm;
    else if (nm != last - 1.0f)
      throw cdsec::ReadError(cdsec::ReadError::Kind::kBadValue, path, t.header_line,
                             "wavelength columns must fall by 1 nm", 0, 0, t.header[c], true);
    last = nm;
    cols.push_back(static_cast<int>(c));
  }
  if (cols.size() < 2)
    throw cdsec::ReadError(cdsec::ReadError::Kind::kBadValue, path, t.header_line, "no wavelength columns");
  std::vector<Spectrum> out;
  for (const cdref::CsvRow& r : t.rows) {
    Spectrum s{r.cells[0], first, last, {}};
    for (int c : cols) {
      float v = 0;
      if (!cdsec::parse_real(r.cells[static_cast<std::size_t>(c)], v))
        throw cdsec::ReadError(cdsec::ReadError::Kind::kBadValue, path, r.line,
                               "CD value of column " + t.header[static_cast<std::size_t>(c)], 0, 0,
                               r.cells[static_cast<std::size_t>(c)], true);
      s.cd.push_back(v);
    }
    out.push_back(std::move(s));
  }
  if (out.empty()) throw cdsec::ReadError(cdsec::ReadError::Kind::kEndOfFile, path, 0, "no spectra");
  return out;
}

int usage() {
  std::cerr << "usage: cdsec_mkscale --spectra SPECTRA.csv --jobs N [--seed S] [--noise F] [--set K]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string spectra;
  long long jobs = 0, seed = 1, set = 1;
  float noise = 0.01f;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return usage();
    const std::string v = argv[++i];
    bool ok = true;
    if (a == "--spectra")
      spectra = v;
    else if (a == "--jobs")
      ok = cdsec::parse_int(v, jobs) && jobs >= 1 && jobs <= 1000000;
    else if (a == "--seed")
      ok = cdsec::parse_int(v, seed);
    else if (a == "--set")
      ok = cdsec::parse_int(v, set) && set >= 1 && set <= 8;
    else if (a == "--noise")
      ok = cdsec::parse_real(v, noise) && noise >= 0.0f;
    else
      return usage();
    if (!ok) {
      std::cerr << "cdsec_mkscale: bad value for " << a << ": " << v << "\n";
      return 2;
    }
  }
  if (spectra.empty() || jobs == 0) return usage();
  try {
    const std::vector<Spectrum> all = read_spectra(spectra);
    // Box-Muller on the standard 32-bit Mersenne twister: the same
    // numbers with every standard library.
    std::mt19937 gen(static_cast<std::uint32_t>(seed));
    const double two_pi = 6.283185307179586;
    auto gauss = [&gen, two_pi] {
      const double u1 = (static_cast<double>(gen()) + 0.5) / 4294967296.0;
      const double u2 = (static_cast<double>(gen()) + 0.5) / 4294967296.0;
      return std::sqrt(-2.0 * std::log(u1)) * std::cos(two_pi * u2);
    };
    std::vector<float> cd;
    for (long long j = 0; j < jobs; ++j) {
      const Spectrum& s = all[static_cast<std::size_t>(j) % all.size()];
      double sq = 0;
      for (float x : s.cd) sq += static_cast<double>(x) * x;
      const double sigma = noise * std::sqrt(sq / static_cast<double>(s.cd.size()));
      cd.assign(s.cd.begin(), s.cd.end());
      for (float& x : cd) x = static_cast<float>(x + sigma * gauss());
      const std::string title = s.id + " + noise, job " + std::to_string(j + 1);
      cdsec::write_job(std::cout, static_cast<int>(set), title, s.longer, s.shorter, cd);
    }
    std::cout.flush();
    if (!std::cout) {
      std::cerr << "cdsec_mkscale: cannot write the jobs\n";
      return 1;
    }
  } catch (const std::exception& e) {
    std::cerr << "cdsec_mkscale: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
