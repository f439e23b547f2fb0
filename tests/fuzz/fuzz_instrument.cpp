// Any bytes as an instrument export (one table, or channel blocks of a
// series) or delimited text (one spectrum, or a wide table) for cdref
// convert.  The file is read with several reader settings; every spectrum
// read must hold
// finite numbers from the lines it names, and the steps that follow (order,
// cut, whole-nm grid) must keep their promises: grid points inside the
// measured range and the reference sets' wavelengths, each value between
// the values of its neighbours.  Then the whole conversion runs to a file:
// it must end with status 0 or 1, never with an escaping exception or a
// sanitizer report.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "frame/text_input.hpp"
#include "scratch.hpp"
#include "cdref/convert.hpp"
#include "cdref/instrument.hpp"

namespace {

using cdsec_fuzz::check;

void follow_steps(const cdref::Measurement& m) {
  check(!m.points.empty());
  int last_line = 0;
  for (const cdref::MeasuredPoint& p : m.points) {
    check(p.line > last_line);
    last_line = p.line;
    check(std::isfinite(p.wl) && std::isfinite(p.cd) && std::isfinite(p.ht));
  }
  if (m.channels > 0) {
    // Channel blocks: the CD and HT are channels, not columns.
    check(m.channel >= 1 && m.channel <= m.channels && m.y.number == m.channel);
    check(m.has_ht == (m.ht_channel > 0) && m.ht_channel != m.channel && m.ht_channel <= m.channels);
  } else {
    check(m.x.number >= 1 && m.y.number >= 1 && m.x.number != m.y.number);
    check(m.has_ht == (m.ht.number > 0));
  }

  cdref::Ordered o;
  try {
    o = cdref::order_points(m);
  } catch (const cdsec::ReadError&) {
    return;
  }
  check(o.points.size() == m.points.size());
  for (std::size_t i = 1; i < o.points.size(); ++i) check(o.points[i].wl < o.points[i - 1].wl);

  cdref::RangeOptions r;
  r.min_given = true;
  r.min_wl = 185.0f;
  const cdref::Cut cut = cdref::cut_short_end(o.points, m.has_ht, r);
  check(cut.kept >= 0 && cut.kept <= static_cast<int>(o.points.size()));
  if (cut.kept == 0) return;
  std::vector<float> values;
  for (const cdref::MeasuredPoint& p : o.points) values.push_back(p.cd);
  for (bool gaps : {false, true}) {
    cdref::Grid g;
    try {
      g = cdref::resample(o.points, values, cut.kept, 178, 260, gaps, m.path);
    } catch (const cdref::ConvertError&) {
      continue;
    }
    check(g.longer >= g.shorter && g.longer <= 260 && g.shorter >= 178);
    check(static_cast<int>(g.values.size()) == g.longer - g.shorter + 1);
    check(g.measured + g.interpolated == static_cast<int>(g.values.size()));
    check(static_cast<float>(g.longer) <= o.points.front().wl);
    check(static_cast<float>(g.shorter) >= o.points[static_cast<std::size_t>(cut.kept - 1)].wl);
    check(gaps || g.gaps.empty());
    // Each value lies within the values of the two measured points around it.
    std::size_t j = 0;
    for (std::size_t i = 0; i < g.values.size(); ++i) {
      const float x = static_cast<float>(g.longer - static_cast<int>(i));
      while (j + 1 < static_cast<std::size_t>(cut.kept) && o.points[j + 1].wl >= x) ++j;
      const float v = g.values[i];
      if (!std::isfinite(v)) continue;
      const float a = values[j], b = o.points[j].wl == x ? a : values[j + 1];
      const float lo = std::min(a, b), hi = std::max(a, b);
      const float slack = 1e-5f * std::max(std::abs(lo), std::abs(hi));
      check(v >= lo - slack && v <= hi + slack);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto& dir = cdsec_fuzz::scratch_dir();
  const std::string file = (dir / "export.txt").string();
  cdsec_fuzz::write_file(file, data, size);

  std::vector<cdref::ReadOptions> settings(7);
  settings[1].format = cdref::ExportFormat::kInstrument;
  settings[2].separator = cdref::Separator::kSemicolon;
  settings[2].decimal = cdref::DecimalMark::kComma;
  settings[3].x.name = "nm";
  settings[3].y.name = "CD";
  settings[3].ht.name = "HT";
  settings[4].skip = 2;
  settings[4].y.number = 3;
  settings[4].ht.none = true;
  settings[5].channel = 2;
  settings[6].x.number = 1;
  settings[6].y.number = 3;
  settings[6].third.number = 2;
  settings[6].more_y.push_back({4, "", false});
  for (const cdref::ReadOptions& o : settings) {
    try {
      const std::vector<cdref::Measurement> all = cdref::read_spectra(file, o);
      check(!all.empty());
      for (std::size_t k = 0; k < all.size(); ++k) {
        check(all[k].spectrum == static_cast<int>(k) + 1 && all[k].spectra == static_cast<int>(all.size()));
        check(all[k].points.size() == all.front().points.size());
        follow_steps(all[k]);
      }
    } catch (const cdsec::ReadError&) {
    }
  }

  // The whole command, with the header's units overridden so that most
  // inputs get as far as the output.
  for (const cdref::Unit units : {cdref::Unit::kMdeg, cdref::Unit::kDeltaEpsilon}) {
    cdref::ConvertOptions c;
    c.file = file;
    c.units_given = true;
    c.units = units;
    c.ignore_header_units = true;
    c.out_file = (dir / "out.de").string();
    c.force = true;
    c.range.allow_gaps = true;
    c.record = (dir / "record.json").string();
    if (units == cdref::Unit::kMdeg) {
      c.params.conc_given = c.params.path_given = true;
      c.params.conc = 20.0f;
      c.params.conc_unit = cdref::ConcUnit::kMicromolar;
      c.params.path = 1.0f;
      c.params.path_unit = cdref::PathUnit::kMm;
      c.params.residues = 129;
    }
    std::ostringstream out, err;
    const int status = cdref::run_convert(c, out, err);
    check(status == 0 || status == 1);
    check(status == 0 ? std::filesystem::exists(dir / "out.de") : !err.str().empty());
    std::error_code ec;
    std::filesystem::remove(dir / "out.de", ec);
  }

  // A series appended as jobs, the common range and each its own: all or
  // nothing reaches the job file.
  for (bool own : {false, true}) {
    cdref::ConvertOptions o;
    o.file = file;
    o.units_given = true;
    o.units = cdref::Unit::kDeltaEpsilon;
    o.ignore_header_units = true;
    o.range.allow_gaps = true;
    o.own_range = own;
    o.title = "fuzz";
    o.series_unit = "C";
    o.append = (dir / "INPUT").string();
    std::error_code ec;
    std::filesystem::remove(dir / "INPUT", ec);
    std::ostringstream out, err;
    const int status = cdref::run_convert(o, out, err);
    check(status == 0 || status == 1);
    check(status == 0 ? std::filesystem::exists(dir / "INPUT") : !std::filesystem::exists(dir / "INPUT"));
  }
  return 0;
}
