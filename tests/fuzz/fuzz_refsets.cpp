// Any bytes as a reference set: up to the first NUL byte they are CDDATA,
// after it SSDATA.  The files are read protein by protein, then loaded as
// both analysis programs load them, for a fixed sample.  Each reading must
// end normally or with a ReadError (or, for the self-consistent loading,
// the overflow stop); anything else is a fault.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>

#include "frame/refsets.hpp"
#include "frame/summary.hpp"
#include "scratch.hpp"

namespace {

using cdsec_fuzz::check;

// The sample: 56 points from 240 nm (database points 21..76), a smooth
// curve unlike anything a reference file is likely to hold exactly.
constexpr int kNw = 56;
constexpr float kFirst = 240.0f;

const cdsec::Vector<100>& sample() {
  static const cdsec::Vector<100> s = [] {
    cdsec::Vector<100> v;
    for (int i = 1; i <= kNw; ++i) v(i) = 3.0f * std::sin(0.15f * static_cast<float>(i)) - 0.7f;
    return v;
  }();
  return s;
}

void read_proteins(const cdsec::RefSetInfo& set) {
  cdsec::RefSetReader rd;
  rd.open(set);
  cdsec::RefProtein p;
  while (rd.next(p, true, 6)) {
    check(p.name.size() == 4 && p.ss_name.size() == 4);
    check(std::isfinite(p.scale));
    for (int k = 1; k <= cdsec::kRefPoints; ++k) check(std::isfinite(p.cd(k)));
    for (int j = 1; j <= 6; ++j) check(std::isfinite(p.ss(j)));
  }
  rd.close();
}

void load_self_consistent() {
  static cdsec::WorkingSet ws;
  std::ostringstream basis, report;
  try {
    cdsec::SELBAS("TEST", sample(), kNw, 6, kFirst, 1, ws, basis, report);
  } catch (const cdsec::WorkingSetOverflow&) {
    check(ws.np == cdsec::kMaxWorkingSet);
    check(report.str().find("> MxPR") != std::string::npos);
    return;
  }
  check(ws.np >= 1 && ws.np <= cdsec::kMaxWorkingSet);
  check(ws.dist(1) == 0.0f && ws.names[0] == "TEST");
  for (int p = 2; p <= ws.np; ++p) check(ws.dist(p) != 0.0f && ws.names[static_cast<std::size_t>(p - 1)].size() == 4);
  check(basis.str().find("  CD basis\n") != std::string::npos);
}

void load_variable_selection() {
  static cdsec::VsReferenceSet refs;
  cdsec::load_vs_references(*cdsec::find_ref_set(5), sample(), kNw, kFirst, refs);
  check(refs.nbascd >= 0 && refs.nbascd <= cdsec::kMaxRefsVS);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The files are found through CDSEC_REFDIR; one in the working directory
  // would be taken first and defeat the target.
  for (const char* f : {"CDDATA.29", "SSDATA.29", "CDDATA.P2", "SSDATA.P2"}) {
    if (std::filesystem::exists(f)) {
      std::fprintf(stderr, "fuzz_refsets: run it from a directory without %s\n", f);
      std::exit(2);
    }
  }
  ::setenv("CDSEC_REFDIR", cdsec_fuzz::scratch_dir().c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto* nul = static_cast<const std::uint8_t*>(std::memchr(data, 0, size));
  const std::size_t cd_size = nul ? static_cast<std::size_t>(nul - data) : size;
  const std::uint8_t* ss = nul ? nul + 1 : data + size;
  const std::size_t ss_size = static_cast<std::size_t>(data + size - ss);
  const auto& dir = cdsec_fuzz::scratch_dir();
  for (const char* suffix : {"29", "P2"}) {
    cdsec_fuzz::write_file(dir / (std::string("CDDATA.") + suffix), data, cd_size);
    cdsec_fuzz::write_file(dir / (std::string("SSDATA.") + suffix), ss, ss_size);
  }
  try {
    read_proteins(*cdsec::find_ref_set(1));
  } catch (const cdsec::ReadError&) {
  }
  try {
    load_self_consistent();
  } catch (const cdsec::ReadError&) {
  }
  try {
    load_variable_selection();
  } catch (const cdsec::ReadError&) {
  }
  return 0;
}
