#include "frame/refsets.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <stdexcept>

#include "frame/layout.hpp"
#include "frame/package.hpp"
#include "frame/platform.hpp"
#include "frame/summary.hpp"

namespace cdsec {

namespace {

// Regular and distorted helix, regular and distorted strand, turns,
// unordered: the split that allows the segment estimate (segment_flag 1).
constexpr std::array<std::string_view, 6> kSplitLabels = {"H(r)", "H(d)", "S(r)", "S(d)", "Trn ", "Unrd"};

constexpr RefSetInfo kCatalogue[8] = {
    {1, "29", 6, kSplitLabels, 260.0f, 178.0f, 1, " 29 "},
    {2, "23", 6, {"AHel", "3/10", "BSht", "Turn", "PP2 ", "Unrd"}, 260.0f, 178.0f, 0, " 22 "},
    {3, "37", 6, kSplitLabels, 240.0f, 185.0f, 1, " 37 "},
    {4, "43", 6, kSplitLabels, 240.0f, 190.0f, 1, " 43 "},
    {5, "P2", 5, {"AHel", "BSht", "Turn", "PP2 ", "Unrd", "Unrd"}, 240.0f, 185.0f, 0, " 37 "},
    {6, "42", 6, kSplitLabels, 240.0f, 185.0f, 1, " 42 "},
    {7, "48", 6, kSplitLabels, 240.0f, 190.0f, 1, " 48 "},
    {8, "CA", 6, kSplitLabels, 240.0f, 190.0f, 1, " CA "},
};

// CDDATA: 83 values in lines of 15 fields of 6 columns, two implied decimals.
constexpr int kCdPerLine = 15, kCdWidth = 6, kCdDecimals = 2;
// SSDATA: fields of 8 columns, three implied decimals.
constexpr int kSsWidth = 8, kSsDecimals = 3;

std::string_view structures_text(const RefSetInfo& set) {
  switch (set.ibasis) {
    case 2:
      return "    Structures: A-Helix, 310-Helix, B-Sheet, Turns, PP2 and Unordered";
    case 5:
      return "    Structures: Helix, Sheet, Turns, P2, and Unordered";
    default:
      return "    Structures: Helix1, Helix2, Strand1, Strand2, Turns and Unordered";
  }
}

// K0: the database points (one per nm from 260 nm) that lie before the
// sample's first wavelength.  The sample must lie inside the 83 points.
int database_offset(float first, int nw, const char* who) {
  float k = std::trunc(kRefLongNm - first);
  if (!(k >= 0.0f && k <= static_cast<float>(kRefPoints - 1)) || nw < 1 ||
      static_cast<int>(k) + nw > kRefPoints) {
    std::string nm = edit_F(first, 12, 1);
    nm.erase(0, nm.find_first_not_of(' '));
    throw std::invalid_argument(std::string(who) + ": a sample of " + std::to_string(nw) + " points from " + nm +
                                " nm does not lie within the reference spectra (260 to 178 nm)");
  }
  return static_cast<int>(k);
}

const RefSetInfo& require_set(int ibasis) {
  const RefSetInfo* set = find_ref_set(ibasis);
  if (!set)
    throw std::invalid_argument("reference set number " + std::to_string(ibasis) + " is not one of 1 to 8");
  return *set;
}

}  // namespace

const RefSetInfo* find_ref_set(int ibasis) {
  if (ibasis < 1 || ibasis > 8) return nullptr;
  return &kCatalogue[ibasis - 1];
}

float helix_fraction(float first, float second, int ibasis) {
  return (ibasis == 2 || ibasis == 5) ? first : first + second;
}

std::string_view summary_code(int ibasis) {
  const RefSetInfo* set = find_ref_set(ibasis);
  return set ? set->summary_code : std::string_view("    ");
}

void write_set_texts(std::ostream& report, const RefSetInfo& set) {
  // Set 2 was compiled by an outside author, whom the file line credits.
  std::string_view credit = set.ibasis == 2 ? ". Set contributed by its author" : "";
  put(report, R"([/, /, "    Reference PROTEIN Set Selected:", /, "     CDDATA.", A2, "; SSDATA.", A2, A])",
      set.suffix, set.suffix, credit);
  put(report, R"([/, A, /])", structures_text(set));
  if (set.segment_flag == 1) put(report, R"([/, /, "   Number of Helices and Strands Calculated", /, /])");
}

// ---------------------------------------------------------------- finding the files

std::vector<RefSearchPlace> ref_search_places() {
  namespace fs = std::filesystem;
  using From = RefFileLocation::From;
  std::vector<RefSearchPlace> places;
  places.push_back({From::kWorkingDir, "", "the working directory"});
  const char* refdir = std::getenv("CDSEC_REFDIR");
  if (refdir && *refdir)
    places.push_back({From::kRefDirVariable, refdir, std::string(refdir) + " (CDSEC_REFDIR)"});
  else
    places.push_back({From::kRefDirVariable, "", "CDSEC_REFDIR (not set)"});

  std::error_code ec;
  const fs::path program = os::executable_path();
  fs::path beside;  // the data that came with the program
  if (!program.empty()) {
    const fs::path program_dir = program.parent_path();
    if (fs::equivalent(program_dir.parent_path(), os::path_from_utf8(build_tree_dir()), ec)) {
      places.push_back({From::kSourceTree, std::string(source_data_dir()),
                        std::string(source_data_dir()) + " (source tree of this build)"});
    } else {
      beside = (program_dir / os::path_from_utf8(data_dir_from_program_dir())).lexically_normal();
      places.push_back(
          {From::kInstalled, os::path_to_utf8(beside), os::path_to_utf8(beside) + " (installed with the program)"});
    }
  }
  const fs::path configured = os::path_from_utf8(configured_data_dir()).lexically_normal();
  if (beside.empty() || configured != beside)
    places.push_back(
        {From::kInstalled, os::path_to_utf8(configured), os::path_to_utf8(configured) + " (installed data)"});
  return places;
}

RefFileLocation locate_ref_file(std::string_view file_name) {
  namespace fs = std::filesystem;
  const std::string name(file_name);
  std::error_code ec;
  // A file of that name that cannot be read as one (a directory, a pipe, a
  // link to a device) is refused rather than passed over for another set.
  auto found = [&](const fs::path& p) {
    if (fs::is_regular_file(p, ec)) return true;
    if (fs::exists(p, ec))
      throw ReadError(ReadError::Kind::kCannotOpen, os::path_to_utf8(p), 0,
                      "is not a regular file (a directory, a pipe, a device or a link to one); refused");
    return false;
  };
  const std::vector<RefSearchPlace> places = ref_search_places();
  std::string tried;
  for (std::size_t k = 0; k < places.size(); ++k) {
    const RefSearchPlace& place = places[k];
    std::string where = place.description;
    if (place.from == RefFileLocation::From::kWorkingDir) {
      if (found(os::path_from_utf8(name))) return {name, place.from};
    } else if (!place.dir.empty()) {
      const fs::path dir = os::path_from_utf8(place.dir), p = dir / os::path_from_utf8(name);
      const bool dir_ok = fs::is_directory(dir, ec);
      if (dir_ok && found(p)) return {os::path_to_utf8(p), place.from};
      if (!dir_ok && place.from == RefFileLocation::From::kRefDirVariable && fs::exists(dir, ec))
        where = place.dir + " (CDSEC_REFDIR, which is not a directory)";
    }
    tried += (k == 0 ? "" : k + 1 == places.size() ? " and " : ", ") + where;
  }
  throw ReadError(ReadError::Kind::kCannotOpen, name, 0, "reference data file not found; looked in " + tried);
}

// ---------------------------------------------------------------- the kept set

namespace {

using os::FileId;

bool file_id(const std::string& path, FileId& id) { return os::file_id(os::path_from_utf8(path), id); }

// File times advance in clock ticks of up to a few milliseconds (seconds on
// some file systems): a file modified this close to its reading may change
// again without its time moving, so only its bytes can tell.
constexpr long long kRacyWindowNs = 2000000000LL;

constexpr int kMaxKeptProteins = 128;
constexpr std::size_t kMaxKeptBytes = 64 * 1024;

struct KeptFile {
  std::string path;
  FileId id;
  bool racy = false;
  std::size_t nbytes = 0;
  std::array<char, kMaxKeptBytes> bytes;  // the contents, kept for a racy file only
};

// Reads the whole of `path` into `out` (at most out.size() bytes); false
// when it cannot be read or is longer.
bool read_bytes(const std::string& path, std::span<char> out, std::size_t& n) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  n = std::fread(out.data(), 1, out.size(), f);
  const bool whole = !std::ferror(f) && (n < out.size() || std::fgetc(f) == EOF) && !std::ferror(f);
  std::fclose(f);
  return whole;
}

// True when `path` holds exactly the kept bytes.
bool same_bytes(const std::string& path, const KeptFile& k) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  char buf[4096];
  std::size_t at = 0;
  bool same = true;
  for (;;) {
    const std::size_t got = std::fread(buf, 1, sizeof buf, f);
    if (got == 0) break;
    if (at + got > k.nbytes || std::memcmp(buf, k.bytes.data() + at, got) != 0) {
      same = false;
      break;
    }
    at += got;
  }
  if (std::ferror(f)) same = false;
  std::fclose(f);
  return same && at == k.nbytes;
}

bool keep_file(KeptFile& k, const std::string& path, const FileId& id, long long read_start) {
  k.path = path;
  k.id = id;
  k.racy = id.mtime_ns >= read_start - kRacyWindowNs;
  k.nbytes = 0;
  if (!k.racy) return true;
  std::size_t n = 0;
  if (!read_bytes(path, k.bytes, n) || static_cast<long long>(n) != id.size) return false;
  k.nbytes = n;
  return true;
}

bool still_kept(const KeptFile& k, const std::string& path) {
  FileId id;
  if (path != k.path || !file_id(path, id) || !(id == k.id)) return false;
  return !k.racy || same_bytes(path, k);
}

std::mutex g_cache_mutex;
RefCacheCounts g_counts;

}  // namespace

struct RefSetCacheSlot {
  bool valid = false;
  int ibasis = 0;
  bool want_scale = false;
  int nfrac = 0;
  KeptFile cd, ss;
  int count = 0;
  std::string end_note;
  std::array<RefProtein, kMaxKeptProteins> proteins;
};

namespace {
RefSetCacheSlot g_slot;
}

RefCacheCounts ref_cache_counts() {
  std::lock_guard<std::mutex> lock(g_cache_mutex);
  return g_counts;
}

// ---------------------------------------------------------------- reading a set

RefSetReader::~RefSetReader() { close(); }

void RefSetReader::open(const RefSetInfo& set) {
  replay_ = nullptr;
  read_count_ = 0;
  end_note_.clear();
  const std::string suffix(set.suffix);
  cd_loc_ = locate_ref_file("CDDATA." + suffix);
  ss_loc_ = locate_ref_file("SSDATA." + suffix);
  cd_.open(os::path_from_utf8(cd_loc_.path));
  ss_.open(os::path_from_utf8(ss_loc_.path));
  if (!cd_.skip() || !cd_.skip()) cd_.fail_eof("the two header lines");
}

void RefSetReader::open_cached(const RefSetInfo& set, bool want_scale, int nfrac) {
  if (nfrac < 0 || nfrac > 6) throw std::invalid_argument("RefSetReader::open_cached: nfrac " + std::to_string(nfrac));
  if (!holds_cache_) {
    g_cache_mutex.lock();
    holds_cache_ = true;
  }
  open(set);
  RefSetCacheSlot& slot = g_slot;
  if (slot.valid && slot.ibasis == set.ibasis && slot.want_scale == want_scale && slot.nfrac == nfrac &&
      still_kept(slot.cd, cd_loc_.path) && still_kept(slot.ss, ss_loc_.path)) {
    cd_.close();
    ss_.close();
    replay_ = &slot;
    replay_pos_ = 0;
    ++g_counts.reused;
    return;
  }
  slot.valid = false;
  if (fill(slot, want_scale, nfrac)) {
    slot.ibasis = set.ibasis;
    slot.want_scale = want_scale;
    slot.nfrac = nfrac;
    slot.valid = true;
    cd_.close();
    ss_.close();
    replay_ = &slot;
    replay_pos_ = 0;
    ++g_counts.parsed;
    return;
  }
  // Not kept (an error, a change while reading, or too large a set): read
  // the files again as they stand, so that whatever is wrong with them is
  // reported where the reading meets it.
  slot.valid = false;
  open(set);
}

// Reads the open files to their end into `slot`; false when anything stands
// in the way of keeping them.
bool RefSetReader::fill(RefSetCacheSlot& slot, bool want_scale, int nfrac) {
  const long long start = os::now_ns();
  FileId cd_id, ss_id;
  if (!file_id(cd_loc_.path, cd_id) || !file_id(ss_loc_.path, ss_id)) return false;
  if (!keep_file(slot.cd, cd_loc_.path, cd_id, start) || !keep_file(slot.ss, ss_loc_.path, ss_id, start))
    return false;
  slot.count = 0;
  try {
    RefProtein p;
    while (next_from_files(p, want_scale, nfrac)) {
      if (slot.count == kMaxKeptProteins) return false;
      slot.proteins[static_cast<std::size_t>(slot.count++)] = p;
    }
  } catch (const ReadError&) {
    return false;
  }
  slot.end_note = end_note_;
  FileId cd_after, ss_after;
  return file_id(cd_loc_.path, cd_after) && cd_after == cd_id && file_id(ss_loc_.path, ss_after) &&
         ss_after == ss_id;
}

bool RefSetReader::next(RefProtein& p, bool want_scale, int nfrac) {
  if (!replay_) return next_from_files(p, want_scale, nfrac);
  if (want_scale != replay_->want_scale || nfrac != replay_->nfrac)
    throw std::invalid_argument("RefSetReader::next: not the reading the set was opened for");
  if (replay_pos_ >= replay_->count) {
    end_note_ = replay_->end_note;
    p.name.clear();
    p.ss_name.clear();
    p.scale = 0.0f;
    p.cd.fill(0.0f);
    p.ss.fill(0.0f);
    return false;
  }
  p = replay_->proteins[static_cast<std::size_t>(replay_pos_++)];
  return true;
}

bool RefSetReader::next_from_files(RefProtein& p, bool want_scale, int nfrac) {
  if (nfrac < 0 || nfrac > 6) throw std::invalid_argument("RefSetReader::next: nfrac " + std::to_string(nfrac));
  // Fields are filled as they are read, so that after a failure the caller
  // sees how far the protein got (empty name: not even the name line).
  p.name.clear();
  p.ss_name.clear();
  p.scale = 0.0f;
  p.cd.fill(0.0f);
  p.ss.fill(0.0f);

  std::string line;
  if (!cd_.next(line)) {
    // SSDATA going on where CDDATA ends would silently make a smaller set.
    while (ss_.next(line)) {
      if (trim_blanks(line).empty()) continue;
      end_note_ = ss_.name() + ", line " + std::to_string(ss_.line_no()) + ": " + cd_.name() + " ends after " +
                  std::to_string(read_count_) + " proteins, but this file goes on (\"" +
                  std::string(trim_right_blanks(line.substr(0, 40))) + "\"); the set is read as " +
                  std::to_string(read_count_) + " proteins";
      break;
    }
    return false;
  }
  const int name_line = cd_.line_no();
  {
    FixedLine f(line, cd_);
    p.name = f.A(2, 4);
    if (want_scale) p.scale = f.F(6, 6, 3);
  }
  const std::string what = "the CD values of protein \"" + p.name + "\"";
  for (int k = 1; k <= kRefPoints;) {
    cd_.require(line, what);
    FixedLine f(line, cd_);
    for (int j = 0; j < kCdPerLine && k <= kRefPoints; ++j, ++k) {
      const int col = 1 + kCdWidth * j;
      p.cd(k) = f.F(col, kCdWidth, kCdDecimals);
      // Such a value is no delta epsilon; it would carry the analysis
      // beyond any limit its selection rules can reach.
      if (!(std::fabs(p.cd(k)) <= kMaxAbsCd))
        throw ReadError(ReadError::Kind::kBadValue, cd_.name(), cd_.line_no(),
                        "a CD value beyond " + std::to_string(static_cast<int>(kMaxAbsCd)) + " in magnitude is no delta-epsilon value",
                        col, col + kCdWidth - 1, f.A(col, kCdWidth), true);
    }
  }
  if (want_scale && p.scale != 0.0f)
    for (int k = 1; k <= kRefPoints; ++k)
      if (!(std::fabs(p.cd(k) * p.scale) <= kMaxAbsCd))
        throw ReadError(ReadError::Kind::kBadValue, cd_.name(), name_line,
                        "the scale factor " + shown_real(p.scale, 3) + " takes the CD value at " +
                            std::to_string(261 - k) + " nm of protein \"" + p.name + "\" beyond " +
                            std::to_string(static_cast<int>(kMaxAbsCd)) + " in magnitude",
                        6, 11);

  ss_.require(line, "the name line of protein \"" + p.name + "\" (the next one in " + cd_.name() + ")");
  p.ss_name = FixedLine(line, ss_).A(2, 4);
  ss_.require(line, "the fractions of protein \"" + p.ss_name + "\"");
  FixedLine f(line, ss_);
  for (int j = 1; j <= nfrac; ++j) {
    const int col = 1 + kSsWidth * (j - 1);
    p.ss(j) = f.F(col, kSsWidth, kSsDecimals);
    if (!(p.ss(j) >= -1.0f && p.ss(j) <= 2.0f))
      throw ReadError(ReadError::Kind::kBadValue, ss_.name(), ss_.line_no(),
                      "a structure fraction outside -1 to 2 (protein \"" + p.ss_name + "\")", col,
                      col + kSsWidth - 1, f.A(col, kSsWidth), true);
  }
  ++read_count_;
  return true;
}

void RefSetReader::close() {
  cd_.close();
  ss_.close();
  replay_ = nullptr;
  if (holds_cache_) {
    holds_cache_ = false;
    g_cache_mutex.unlock();
  }
}

// ---------------------------------------------------------------- self-consistent program

void SELBAS(std::string_view sample_name, VecView<const float> sample, int nw, int ns, float first, int ibasis,
            WorkingSet& ws, std::ostream& basis, std::ostream& report) {
  const RefSetInfo& set = require_set(ibasis);
  if (ns < 1 || ns > 6) throw std::invalid_argument("SELBAS: " + std::to_string(ns) + " structure classes");
  const int k0 = database_offset(first, nw, "SELBAS");
  if (nw > kMaxPointsSC || sample.size() < nw)
    throw std::invalid_argument("SELBAS: " + std::to_string(nw) + " sample points");

  ws.np = 1;
  ws.names[0] = std::string(sample_name.substr(0, 4));
  ws.names[0].resize(4, ' ');
  ws.dist(1) = 0.0f;
  for (int i = 1; i <= nw; ++i) ws.cd(i, 1) = sample(i);
  // The sample's own fractions are set when the set is ordered; until then
  // (and in the listing) its row is zero.
  for (int j = 1; j <= 6; ++j) ws.ss(1, j) = 0.0f;

  RefSetReader rd;
  ws.cd_file = ws.ss_file = {};
  ws.notes.clear();
  try {
    rd.open_cached(set, /*want_scale=*/true, 6);
  } catch (const ReadError&) {
    ws.cd_file = rd.cd_file();  // the spectra file when only SSDATA is missing
    throw;
  }
  ws.cd_file = rd.cd_file();
  ws.ss_file = rd.ss_file();
  RefProtein p;
  Vector<kRefPoints> spectrum;
  for (;;) {
    bool more;
    try {
      more = rd.next(p, /*want_scale=*/true, 6);
    } catch (const ReadError&) {
      // What the lines read so far would have written before the failure.
      if (!p.name.empty()) put(basis, R"([2X, A4])", p.name);
      if (!p.ss_name.empty() && p.ss_name != p.name)
        put(report, R"([" NAMES OF PROTEINS IN CDDATA:", A4, " AND SSDATA:", A4, " DONOT MATCH !"])", p.name,
            p.ss_name);
      throw;
    }
    if (!more) {
      if (!rd.end_note().empty()) ws.notes.push_back(rd.end_note());
      break;
    }
    put(basis, R"([2X, A4])", p.name);
    if (p.scale != 0.0f)
      for (int k = 1; k <= kRefPoints; ++k) p.cd(k) *= p.scale;
    if (p.ss_name != p.name)
      put(report, R"([" NAMES OF PROTEINS IN CDDATA:", A4, " AND SSDATA:", A4, " DONOT MATCH !"])", p.name,
          p.ss_name);

    for (int i = 1; i <= nw; ++i) spectrum(i) = p.cd(k0 + i);
    const float d = RMS(sample, spectrum, nw);
    // An exact match is the sample itself, taken from this very set.
    if (d == 0.0f) continue;

    ws.np += 1;
    if (ws.np > kMaxWorkingSet) {
      put(report, R"([" Number of Proteins in the database is > MxPR", " For the program to work increase the dimension"])");
      ws.np = kMaxWorkingSet;
      rd.close();
      throw WorkingSetOverflow("more than " + std::to_string(kMaxWorkingSet - 1) +
                               " reference proteins differ from the sample in " + rd.cd_file().path);
    }
    const int np = ws.np;
    ws.names[static_cast<std::size_t>(np - 1)] = p.name;
    ws.dist(np) = d;
    for (int i = 1; i <= nw; ++i) ws.cd(i, np) = spectrum(i);
    for (int j = 1; j <= ns; ++j) ws.ss(np, j) = p.ss(j);
  }

  const int np = ws.np;
  put(basis, R"(["  Nbas=", I4])", np);
  // The names start on the line after the heading, 12 to a line, as a
  // WRITE of ('  Prtn :',/,(12(2X,A4))) lays them out.
  put(basis, R"(["  Prtn :", /, (12(2X, A4))])", std::span<const std::string>(ws.names.data(), np));
  put(basis, R"(["  No of sec str elements=", I5])", ns);
  Vector<6> row;
  for (int p_ = 1; p_ <= np; ++p_) {
    for (int j = 1; j <= ns; ++j) row(j) = ws.ss(p_, j);
    put(basis, R"([I4, 6F8.3])", p_, row.first(ns));
  }
  // Wavelengths as whole nanometres, from the sample's first one down.
  Vector<kMaxPointsSC, int> wl;
  const int top = static_cast<int>(std::trunc(first));
  for (int i = 1; i <= nw; ++i) wl(i) = top + 1 - i;
  put(basis, R"(["  Wavelength range", /, (8I5)])", std::span<const int>(wl.first(nw)));
  // Each protein's number stands on a line of its own, its spectrum on the
  // lines below, 10 values to a line: (I4,/,(10F8.2)).
  put(basis, R"(["  CD basis"])");
  for (int p_ = 1; p_ <= np; ++p_) put(basis, R"([I4, /, (10F8.2)])", p_, ws.cd.column(p_).first(nw));
  rd.close();
}

// ---------------------------------------------------------------- variable-selection program

void load_vs_references(const RefSetInfo& set, VecView<const float> sample, int nw, float first,
                        VsReferenceSet& refs) {
  const int k0 = database_offset(first, nw, "load_vs_references");
  if (sample.size() < nw) throw std::invalid_argument("load_vs_references: " + std::to_string(nw) + " sample points");
  refs.nbascd = 0;

  RefSetReader rd;
  refs.cd_file = refs.ss_file = {};
  refs.notes.clear();
  try {
    rd.open_cached(set, /*want_scale=*/false, set.ns);
  } catch (const ReadError&) {
    refs.cd_file = rd.cd_file();
    throw;
  }
  refs.cd_file = rd.cd_file();
  refs.ss_file = rd.ss_file();
  RefProtein p;
  Vector<kRefPoints> spectrum;
  // Only the first 50 proteins of the files are read; any after them are
  // ignored, with a note.
  for (int read = 0;; ++read) {
    if (read == kMaxRefsVS) {
      bool more = true;
      try {
        more = rd.next(p, /*want_scale=*/false, set.ns);
      } catch (const ReadError&) {
        // Whatever follows the 50th protein is not read, good or bad.
      }
      if (more)
        refs.notes.push_back(rd.cd_file().path + ": the set holds more than " + std::to_string(kMaxRefsVS) +
                             " proteins; only the first " + std::to_string(kMaxRefsVS) + " are used");
      else if (!rd.end_note().empty())
        refs.notes.push_back(rd.end_note());
      break;
    }
    if (!rd.next(p, /*want_scale=*/false, set.ns)) {
      if (!rd.end_note().empty()) refs.notes.push_back(rd.end_note());
      break;
    }
    for (int i = 1; i <= nw; ++i) spectrum(i) = p.cd(k0 + i);
    const float d = RMS(sample, spectrum, nw);
    if (d == 0.0f) continue;
    const int n = ++refs.nbascd;
    for (int i = 1; i <= nw; ++i) refs.cd(i, n) = spectrum(i);
    for (int j = 1; j <= set.ns; ++j) refs.ss(n, j) = p.ss(j);
  }
  rd.close();
}

}  // namespace cdsec
