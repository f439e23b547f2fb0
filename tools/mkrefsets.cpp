// cdsec_mkrefs: writes the synthetic reference sets that ship with cdsec,
// reference sets of any size for tests, and sample spectra that belong to no
// set.
//
// Measured reference sets cannot be redistributed with the package, so the
// bundled sets are made from a spectral model.  Everything below is
// deterministic: the random numbers come from a generator defined in this
// file (splitmix64), the model uses only IEEE single-precision +, -, *, /
// and an exponential built from them, so the files come out byte for byte the
// same on every machine and compiler (the build forbids fused
// multiply-add contraction).
//
// ---------------------------------------------------------------- the model
//
// A protein is a mixture of eight underlying structure kinds: regular and
// distorted alpha helix, 3-10 helix, regular and distorted beta strand,
// turns, poly-proline II (PPII) and unordered.  Each kind has a basis
// spectrum made of Gaussian bands in wavelength,
//     de * exp(-((lambda - centre) / width)^2),
// in delta-epsilon units per residue (M^-1 cm^-1).  Band positions, signs
// and magnitudes are approximate values as reported in the CD literature:
//   - alpha helix: n-pi* band near 222 nm (about -11 to -12), pi-pi*
//     parallel exciton band near 208 nm (about -10 to -11), perpendicular
//     band near 191-193 nm (about +23 to +25), negative again below about
//     180 nm.
//     Holzwarth & Doty, J. Am. Chem. Soc. 87 (1965) 218; Greenfield & Fasman,
//     Biochemistry 8 (1969) 4108; Woody, in Circular Dichroism and the
//     Conformational Analysis of Biomolecules (Fasman, ed., 1996).
//   - distorted helix (the residues at helix ends): the same bands, weaker
//     and with the 193 nm band slightly red-shifted.  Sreerama, Venyaminov &
//     Woody, Protein Sci. 8 (1999) 370.
//   - 3-10 helix: weaker n-pi* band at 222 nm than at 207 nm (ratio about
//     0.4), weaker positive band.  Toniolo et al., J. Am. Chem. Soc. 118
//     (1996) 2744.
//   - beta strand: negative near 216-218 nm (about -5), positive near
//     195-198 nm (about +8 to +9), negative below about 182 nm.  Greenfield &
//     Fasman 1969; Woody 1996; Kelly, Jess & Price, Biochim. Biophys. Acta
//     1751 (2005) 119.
//   - distorted strand: shifted to shorter wavelength and weaker.  Sreerama,
//     Venyaminov & Woody 1999.
//   - turns: weak negative near 225 nm, weak positive near 205 nm, negative
//     near 186 nm (a class-averaged, mostly type I/II turn spectrum).
//     Perczel & Fasman, Protein Sci. 1 (1992) 378; Sreerama & Woody, Anal.
//     Biochem. 287 (2000) 252.
//   - PPII: weak positive band near 218 nm (about +1), strong negative band
//     near 198-200 nm (about -8).  Woody, Adv. Biophys. Chem. 2 (1992) 37;
//     Rucker & Creamer, Protein Sci. 11 (2002) 980.
//   - unordered: strong negative band near 198 nm (about -5), weak negative
//     near 220 nm, weak positive below 185 nm.  Greenfield & Fasman 1969;
//     Sreerama & Woody 2000.
//
// Fractions.  Each protein is drawn from a fold type with realistic ranges
// of helix, strand, 3-10, turn and PPII content (all-alpha, all-beta,
// alpha/beta, alpha+beta, largely unordered, and unfolded-state-like for
// the sets meant for unfolding conditions); unordered takes the rest.
// Helices are split into regular and distorted parts as segment ends would
// split them (two residues at each end of a 10-14 residue helix: 55-70 %
// regular), strands likewise (one residue at each end of a 4-6 residue
// strand: 45-60 % regular).  The eight fractions are kept in whole
// thousandths that sum to exactly 1000, and each set's classes are sums of
// them (below), so the fractions written sum to 1.000 exactly.
//
// Protein-to-protein variation.  Per protein and kind the bands move
// together by about 1 nm (standard deviation) and each band by a further
// 0.4 nm; amplitudes vary by 10 % and widths by 6 %; the whole spectrum is
// scaled by a concentration/path-length error of 4 %, offset by a baseline
// error of 0.03, and about a third of the proteins carry an aromatic side
// chain band near 228 nm (up to about 0.4 either sign).
//
// Measurement noise.  Independent per point, standard deviation
// 0.03 + 0.20 t^3 with t = (260 - lambda) / 82, so about 0.03 at 260 nm and
// 0.23 at 178 nm, as the falling light throughput makes short wavelengths
// noisier.  Every file holds all 83 values 260..178 nm; outside the valid
// range of a set (below 185 nm for set 3, say, or above 240 nm) the values
// carry three times that noise, as data measured where the instrument or the
// sample's absorbance no longer allows reliable measurement.  Programs clip
// samples to the valid range, so these values are never used by them.
//
// The "normal" deviates are sums of four uniform deviates (mean 0, scaled
// to standard deviation 1): close enough to a normal shape for this purpose,
// bounded at 3.5 standard deviations, and free of log/cos.
//
// ---------------------------------------------------------------- the sets
//
// The bundled sets share proteins as measured sets do: a pool of 45 folded
// proteins R001..R045 and 5 unfolded-state-like proteins D001..D005, each
// drawn from its own stream of the fixed seed below, so a protein has the
// same spectrum (inside the valid ranges) and the same underlying
// composition in every set that holds it.
//     set 1  R001-R029                 set 2  R001-R023
//     set 3  R001-R037                 set 4  R001-R043
//     set 5  R001-R030                 set 6  R001-R037 and D001-D005
//     set 7  R001-R043 and D001-D005   set 8  R001-R045
// Class structure of the sets (underlying kinds summed into each class):
//     sets 1,3,4,6,7,8  H(r) = regular helix;  H(d) = distorted + 3-10 helix;
//                       S(r), S(d) = regular, distorted strand;  Trn = turns;
//                       Unrd = PPII + unordered
//     set 2             AHel = regular + distorted helix;  3/10;
//                       BSht = all strand;  Turn;  PP2;  Unrd
//     set 5             AHel = all helix, 3-10 included;  BSht;  Turn;
//                       PP2;  Unrd

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "frame/job.hpp"
#include "frame/layout.hpp"
#include "frame/platform.hpp"
#include "frame/refsets.hpp"

namespace {

using cdsec::put;

constexpr int kPoints = cdsec::kRefPoints;  // 260 .. 178 nm
constexpr std::uint64_t kBundledSeed = 1969;

// ---------------------------------------------------------------- random numbers

std::uint64_t splitmix64(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

// A stream identified by a seed and up to three labels: the same labels give
// the same numbers whatever else is drawn elsewhere.
std::uint64_t stream_id(std::uint64_t seed, std::uint64_t a, std::uint64_t b = 0, std::uint64_t c = 0) {
  std::uint64_t s = seed;
  std::uint64_t h = splitmix64(s);
  for (std::uint64_t v : {a, b, c}) {
    s = h ^ (v * 0xD6E8FEB86659FD93ULL);
    h = splitmix64(s);
  }
  return h;
}

class Rng {
 public:
  explicit Rng(std::uint64_t id) : state_(id) {}
  // Uniform on [0, 1), 24 random bits: exact in single precision.
  float uniform() { return static_cast<float>(splitmix64(state_) >> 40) * (1.0f / 16777216.0f); }
  float uniform(float lo, float hi) { return lo + (hi - lo) * uniform(); }
  // Mean 0, standard deviation 1 (sum of four uniforms, see above).
  float normal() {
    float s = uniform() + uniform() + uniform() + uniform();
    return (s - 2.0f) * 1.7320508f;
  }

 private:
  std::uint64_t state_;
};

// e^-x for x >= 0 from + - * / and an exact power of two, so that it gives
// the same bits everywhere (library exponentials differ in the last bit).
float exp_neg(float x) {
  if (x > 87.0f) return 0.0f;
  int k = static_cast<int>(x * 1.44269504f);  // x = k ln2 + r
  float r = x - static_cast<float>(k) * 0.693147181f;
  float term = 1.0f, sum = 1.0f;
  for (int n = 1; n <= 12; ++n) {
    term = term * (-r) / static_cast<float>(n);
    sum = sum + term;
  }
  return std::ldexp(sum, -k);
}

// ---------------------------------------------------------------- spectral model

enum Kind { kHelixReg, kHelixDis, kHelix310, kStrandReg, kStrandDis, kTurn, kPPII, kUnordered, kKinds };

struct Band {
  float centre, de, width;  // nm, delta epsilon per residue, nm
};

struct KindBasis {
  int nbands;
  Band bands[4];
};

// Sources and the meaning of each kind in the header comment.
constexpr KindBasis kBasis[kKinds] = {
    /* regular helix    */ {4, {{222.0f, -11.5f, 10.0f}, {208.0f, -10.5f, 7.0f}, {191.5f, 25.0f, 8.0f}, {170.0f, -10.0f, 8.0f}}},
    /* distorted helix  */ {4, {{222.0f, -9.0f, 10.0f}, {207.0f, -7.0f, 7.0f}, {193.0f, 15.0f, 8.5f}, {171.0f, -6.0f, 8.0f}}},
    /* 3-10 helix       */ {4, {{222.0f, -3.0f, 9.0f}, {206.0f, -7.0f, 7.0f}, {194.0f, 9.0f, 8.0f}, {172.0f, -4.0f, 8.0f}}},
    /* regular strand   */ {3, {{217.0f, -5.0f, 10.0f}, {197.0f, 8.5f, 8.0f}, {176.0f, -5.0f, 7.0f}}},
    /* distorted strand */ {3, {{214.0f, -3.0f, 10.0f}, {195.0f, 5.0f, 8.0f}, {176.0f, -2.5f, 7.0f}}},
    /* turns            */ {3, {{225.0f, -1.2f, 9.0f}, {205.0f, 2.5f, 8.0f}, {186.0f, -2.5f, 8.0f}}},
    /* PPII             */ {2, {{218.0f, 1.0f, 7.0f}, {199.0f, -8.0f, 8.0f}}},
    /* unordered        */ {3, {{221.0f, -1.0f, 12.0f}, {198.0f, -5.0f, 8.0f}, {180.0f, 1.5f, 8.0f}}},
};

enum Fold { kAllAlpha, kAllBeta, kAlphaSlashBeta, kAlphaPlusBeta, kLargelyUnordered, kUnfolded };

struct FoldRanges {
  const char* name;
  float helix[2], strand[2], h310[2], turn[2], ppii[2];
  float helix_regular[2], strand_regular[2];  // regular share of helix, strand
};

constexpr FoldRanges kFolds[] = {
    {"all-alpha", {0.55f, 0.80f}, {0.00f, 0.04f}, {0.01f, 0.05f}, {0.07f, 0.14f}, {0.02f, 0.05f}, {0.55f, 0.70f}, {0.45f, 0.60f}},
    {"all-beta", {0.00f, 0.08f}, {0.35f, 0.52f}, {0.00f, 0.03f}, {0.12f, 0.20f}, {0.04f, 0.09f}, {0.55f, 0.70f}, {0.45f, 0.60f}},
    {"alpha/beta", {0.30f, 0.45f}, {0.15f, 0.28f}, {0.02f, 0.05f}, {0.08f, 0.15f}, {0.02f, 0.06f}, {0.55f, 0.70f}, {0.45f, 0.60f}},
    {"alpha+beta", {0.18f, 0.35f}, {0.18f, 0.35f}, {0.01f, 0.05f}, {0.10f, 0.17f}, {0.03f, 0.07f}, {0.55f, 0.70f}, {0.45f, 0.60f}},
    {"unordered", {0.00f, 0.12f}, {0.00f, 0.12f}, {0.00f, 0.03f}, {0.10f, 0.18f}, {0.08f, 0.15f}, {0.50f, 0.65f}, {0.40f, 0.55f}},
    {"unfolded", {0.00f, 0.05f}, {0.00f, 0.04f}, {0.00f, 0.01f}, {0.04f, 0.10f}, {0.15f, 0.30f}, {0.20f, 0.40f}, {0.20f, 0.40f}},
};

// Fold types of the folded proteins in order; the mix of a set of n
// proteins follows from its first n entries, repeated.
constexpr Fold kFoldCycle[] = {kAllAlpha,  kAllBeta,      kAlphaSlashBeta, kAlphaPlusBeta,    kAllAlpha,
                               kAllBeta,   kAlphaSlashBeta, kAlphaPlusBeta, kLargelyUnordered, kAllAlpha};
constexpr int kFoldCycleLen = sizeof kFoldCycle / sizeof kFoldCycle[0];

struct Protein {
  std::string name;
  Fold fold;
  int milli[kKinds];   // thousandths of residues per kind, summing to 1000
  float cd[kPoints];   // 260 .. 178 nm, noise of the valid range included
  std::uint64_t id;    // stream of this protein (for the out-of-range noise)
};

float wavelength(int j) { return 260.0f - static_cast<float>(j); }

// Standard deviation of the measurement noise at point j.
float noise_sd(int j) {
  float t = static_cast<float>(j) / 82.0f;
  return 0.03f + 0.20f * t * t * t;
}

// Whole thousandths summing to exactly 1000: floors, then the remaining
// units to the largest remainders (lower kind first on ties).
void to_milli(const float f[kKinds], int milli[kKinds]) {
  float rem[kKinds];
  int total = 0;
  for (int k = 0; k < kKinds; ++k) {
    float x = f[k] * 1000.0f;
    milli[k] = static_cast<int>(x);
    rem[k] = x - static_cast<float>(milli[k]);
    total += milli[k];
  }
  while (total < 1000) {
    int best = 0;
    for (int k = 1; k < kKinds; ++k)
      if (rem[k] > rem[best]) best = k;
    ++milli[best];
    rem[best] = -1.0f;
    ++total;
  }
  while (total > 1000) {  // only if rounding pushed the sum over
    int best = kUnordered;
    for (int k = 0; k < kKinds; ++k)
      if (milli[k] > milli[best]) best = k;
    --milli[best];
    --total;
  }
}

void draw_composition(Rng& rng, Fold fold, int milli[kKinds]) {
  const FoldRanges& r = kFolds[fold];
  float helix = rng.uniform(r.helix[0], r.helix[1]);
  float strand = rng.uniform(r.strand[0], r.strand[1]);
  float h310 = rng.uniform(r.h310[0], r.h310[1]);
  float turn = rng.uniform(r.turn[0], r.turn[1]);
  float ppii = rng.uniform(r.ppii[0], r.ppii[1]);
  float hreg = rng.uniform(r.helix_regular[0], r.helix_regular[1]);
  float sreg = rng.uniform(r.strand_regular[0], r.strand_regular[1]);
  float ordered = helix + strand + h310 + turn + ppii;
  // Every protein keeps at least 5 % unordered residues (termini, loops).
  if (ordered > 0.95f) {
    float s = 0.95f / ordered;
    helix = helix * s;
    strand = strand * s;
    h310 = h310 * s;
    turn = turn * s;
    ppii = ppii * s;
    ordered = helix + strand + h310 + turn + ppii;
  }
  float f[kKinds];
  f[kHelixReg] = helix * hreg;
  f[kHelixDis] = helix - f[kHelixReg];
  f[kHelix310] = h310;
  f[kStrandReg] = strand * sreg;
  f[kStrandDis] = strand - f[kStrandReg];
  f[kTurn] = turn;
  f[kPPII] = ppii;
  f[kUnordered] = 1.0f - ordered;
  to_milli(f, milli);
}

// The protein's own version of every band, its scale, baseline and aromatic
// band, then the noise.  The number and order of draws do not depend on the
// composition, so one protein's numbers never shift another's.
void draw_spectrum(Rng& rng, const int milli[kKinds], float cd[kPoints]) {
  Band own[kKinds][4];
  for (int k = 0; k < kKinds; ++k) {
    float shift = 1.0f * rng.normal();
    for (int b = 0; b < kBasis[k].nbands; ++b) {
      const Band& ref = kBasis[k].bands[b];
      own[k][b].centre = ref.centre + shift + 0.4f * rng.normal();
      own[k][b].de = ref.de * (1.0f + 0.10f * rng.normal());
      own[k][b].width = ref.width * (1.0f + 0.06f * rng.normal());
    }
  }
  float scale = 1.0f + 0.04f * rng.normal();
  float baseline = 0.03f * rng.normal();
  bool aromatic = rng.uniform() < 0.33f;
  float arom_de = 0.2f * rng.normal();
  float arom_centre = 228.0f + 3.0f * rng.normal();
  for (int j = 0; j < kPoints; ++j) {
    float nm = wavelength(j);
    float v = 0.0f;
    for (int k = 0; k < kKinds; ++k) {
      float part = 0.0f;
      for (int b = 0; b < kBasis[k].nbands; ++b) {
        float z = (nm - own[k][b].centre) / own[k][b].width;
        part = part + own[k][b].de * exp_neg(z * z);
      }
      v = v + (static_cast<float>(milli[k]) / 1000.0f) * part;
    }
    v = v * scale + baseline;
    if (aromatic) {
      float z = (nm - arom_centre) / 6.0f;
      v = v + arom_de * exp_neg(z * z);
    }
    cd[j] = v + noise_sd(j) * rng.normal();
  }
}

Protein make_protein(std::uint64_t id, Fold fold, std::string name) {
  Protein p;
  p.name = std::move(name);
  p.fold = fold;
  p.id = id;
  Rng rng(id);
  draw_composition(rng, fold, p.milli);
  draw_spectrum(rng, p.milli, p.cd);
  return p;
}

// The protein's spectrum as a given set holds it: values outside the set's
// valid range get their extra noise from a stream of their own.
void spectrum_for_set(const Protein& p, const cdsec::RefSetInfo& set, float out[kPoints]) {
  Rng rng(stream_id(p.id, 0x5E7, static_cast<std::uint64_t>(set.ibasis)));
  for (int j = 0; j < kPoints; ++j) {
    float extra = 2.0f * noise_sd(j) * rng.normal();  // 1 + 2 = three times the noise
    float nm = wavelength(j);
    out[j] = p.cd[j];
    if (nm > set.long_limit || nm < set.short_limit) out[j] = out[j] + extra;
  }
}

// The set's class fractions in thousandths (ns of them).
int fractions_for_set(const Protein& p, const cdsec::RefSetInfo& set, int out[6]) {
  const int* m = p.milli;
  if (set.ibasis == 2) {
    out[0] = m[kHelixReg] + m[kHelixDis];
    out[1] = m[kHelix310];
    out[2] = m[kStrandReg] + m[kStrandDis];
    out[3] = m[kTurn];
    out[4] = m[kPPII];
    out[5] = m[kUnordered];
    return 6;
  }
  if (set.ibasis == 5) {
    out[0] = m[kHelixReg] + m[kHelixDis] + m[kHelix310];
    out[1] = m[kStrandReg] + m[kStrandDis];
    out[2] = m[kTurn];
    out[3] = m[kPPII];
    out[4] = m[kUnordered];
    out[5] = 0;
    return 5;
  }
  out[0] = m[kHelixReg];
  out[1] = m[kHelixDis] + m[kHelix310];
  out[2] = m[kStrandReg];
  out[3] = m[kStrandDis];
  out[4] = m[kTurn];
  out[5] = m[kPPII] + m[kUnordered];
  return 6;
}

// ---------------------------------------------------------------- names

// prefix followed by the serial number (from 1) in the remaining columns:
// decimal while the set's count fits, base 36 (0-9, A-Z) otherwise.
std::string protein_name(const std::string& prefix, int serial, int count) {
  int width = 4 - static_cast<int>(prefix.size());
  int decimal_max = 1;
  for (int i = 0; i < width; ++i) decimal_max *= 10;
  int base = count < decimal_max ? 10 : 36;
  std::string digits(static_cast<std::size_t>(width), '0');
  int v = serial;
  for (int i = width - 1; i >= 0; --i) {
    digits[static_cast<std::size_t>(i)] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"[v % base];
    v /= base;
  }
  return prefix + digits;
}

int max_count(const std::string& prefix) {
  int width = 4 - static_cast<int>(prefix.size());
  int n = 1;
  for (int i = 0; i < width; ++i) n *= 36;
  return n - 1;
}

// ---------------------------------------------------------------- writing

struct SetRequest {
  const cdsec::RefSetInfo* set;
  std::vector<const Protein*> proteins;
  std::uint64_t seed;
  bool has_scale = false;
  float scale = 0.0f;
};

void open_out(std::ofstream& f, const std::filesystem::path& path) {
  f.open(path, std::ios::out | std::ios::trunc | std::ios::binary);
  if (!f) throw std::runtime_error(cdsec::os::path_to_utf8(path) + ": cannot be opened for writing");
}

void close_out(std::ofstream& f, const std::filesystem::path& path) {
  f.close();
  if (!f) throw std::runtime_error(cdsec::os::path_to_utf8(path) + ": writing failed");
}

void write_set(const SetRequest& req, const std::filesystem::path& dir) {
  const cdsec::RefSetInfo& set = *req.set;
  std::string suffix(set.suffix);
  std::filesystem::path cd_path = dir / cdsec::os::path_from_utf8("CDDATA." + suffix),
                        ss_path = dir / cdsec::os::path_from_utf8("SSDATA." + suffix);
  std::ofstream cd, ss;
  open_out(cd, cd_path);
  open_out(ss, ss_path);

  int n = static_cast<int>(req.proteins.size());
  put(cd, R"([" Synthetic reference set", I2, " (CDDATA.", A, "), ", I3, " proteins: model spectra, not measurements"])",
      set.ibasis, suffix, n);
  put(cd, R"([" Delta epsilon per residue, 260 to 178 nm; valid", I4, " to", I4, " nm; cdsec_mkrefs seed ", A])",
      static_cast<int>(set.long_limit), static_cast<int>(set.short_limit), std::to_string(req.seed));

  for (const Protein* p : req.proteins) {
    float values[kPoints];
    spectrum_for_set(*p, set, values);
    for (float v : values)
      if (!(v > -99.99f && v < 999.99f))
        throw std::runtime_error("protein " + p->name + ": a value does not fit the 6-column field");
    if (req.has_scale)
      put(cd, "[1X, A4, F6.3]", p->name, req.scale);
    else
      put(cd, "[1X, A4]", p->name);
    put(cd, "[15F6.2]", std::span<const float>(values, kPoints));

    int milli[6];
    int ns = fractions_for_set(*p, set, milli);
    float frac[6];
    for (int k = 0; k < ns; ++k) frac[k] = static_cast<float>(milli[k]) / 1000.0f;
    put(ss, "[1X, A4]", p->name);
    put(ss, "[6F8.3]", std::span<const float>(frac, static_cast<std::size_t>(ns)));
  }
  close_out(cd, cd_path);
  close_out(ss, ss_path);
}

// ---------------------------------------------------------------- the three modes

const cdsec::RefSetInfo& set_or_die(int ibasis) {
  const cdsec::RefSetInfo* s = cdsec::find_ref_set(ibasis);
  if (!s) throw std::runtime_error("--set " + std::to_string(ibasis) + ": the reference sets are numbered 1 to 8");
  return *s;
}

void write_bundled(const std::filesystem::path& dir) {
  constexpr int kFolded = 45, kDenatured = 5;
  std::vector<Protein> folded, denatured;
  for (int i = 0; i < kFolded; ++i)
    folded.push_back(make_protein(stream_id(kBundledSeed, 1, static_cast<std::uint64_t>(i)),
                                  kFoldCycle[i % kFoldCycleLen], protein_name("R", i + 1, kFolded)));
  for (int i = 0; i < kDenatured; ++i)
    denatured.push_back(
        make_protein(stream_id(kBundledSeed, 2, static_cast<std::uint64_t>(i)), kUnfolded, protein_name("D", i + 1, kDenatured)));

  struct Plan {
    int ibasis, nfolded, ndenatured;
  };
  constexpr Plan kPlans[] = {{1, 29, 0}, {2, 23, 0}, {3, 37, 0}, {4, 43, 0}, {5, 30, 0}, {6, 37, 5}, {7, 43, 5}, {8, 45, 0}};
  for (const Plan& plan : kPlans) {
    SetRequest req{&set_or_die(plan.ibasis), {}, kBundledSeed};
    for (int i = 0; i < plan.nfolded; ++i) req.proteins.push_back(&folded[static_cast<std::size_t>(i)]);
    for (int i = 0; i < plan.ndenatured; ++i) req.proteins.push_back(&denatured[static_cast<std::size_t>(i)]);
    write_set(req, dir);
  }
}

// Fold type of protein i of a set made on request: the folded cycle, with
// every eighth protein unfolded-state-like in the sets for unfolding
// conditions (6 and 7).
Fold fold_for(int ibasis, int i) {
  if ((ibasis == 6 || ibasis == 7) && i % 8 == 7) return kUnfolded;
  return kFoldCycle[i % kFoldCycleLen];
}

void write_one_set(int ibasis, int count, std::uint64_t seed, const std::string& prefix, bool has_scale, float scale,
                   const std::filesystem::path& dir) {
  std::vector<Protein> proteins;
  for (int i = 0; i < count; ++i)
    proteins.push_back(make_protein(stream_id(seed, 3, static_cast<std::uint64_t>(i)), fold_for(ibasis, i),
                                    protein_name(prefix, i + 1, count)));
  SetRequest req{&set_or_die(ibasis), {}, seed, has_scale, scale};
  for (const Protein& p : proteins) req.proteins.push_back(&p);
  write_set(req, dir);
}

// Sample spectra: jobs for INPUT, each made from its own stream (never a
// member of any set: set proteins use other streams).  The fractions they
// were made from go, one line per sample, to `truth` when given.
// fold < 0: the fold types in turn.
void write_samples(std::ostream& out, std::ostream* truth, int ibasis, int count, std::uint64_t seed,
                   const std::string& prefix, int first, int last, int only_fold) {
  const cdsec::RefSetInfo& set = set_or_die(ibasis);
  constexpr Fold kSampleCycle[] = {kAllAlpha, kAllBeta, kAlphaSlashBeta, kAlphaPlusBeta, kLargelyUnordered};
  for (int i = 0; i < count; ++i) {
    Fold fold = kSampleCycle[i % 5];
    if ((ibasis == 6 || ibasis == 7) && fold == kLargelyUnordered) fold = kUnfolded;
    if (only_fold >= 0) fold = static_cast<Fold>(only_fold);
    Protein p = make_protein(stream_id(seed, 4, static_cast<std::uint64_t>(i)), fold, protein_name(prefix, i + 1, count));
    std::string title = "Synthetic sample " + p.name + ", " + kFolds[fold].name;
    cdsec::write_job(out, ibasis, title, static_cast<float>(first), static_cast<float>(last),
                     std::span<const float>(p.cd + (260 - first), static_cast<std::size_t>(first - last + 1)));
    if (truth) {
      int milli[6];
      int ns = fractions_for_set(p, set, milli);
      float frac[6];
      for (int k = 0; k < ns; ++k) frac[k] = static_cast<float>(milli[k]) / 1000.0f;
      if (i == 0)
        put(*truth, R"([" Name Set Fold       ", 6(3X, A4)])",
            std::span<const std::string_view>(set.labels.data(), static_cast<std::size_t>(ns)));
      put(*truth, "[1X, A4, I3, 1X, A10, 6F7.3]", p.name, ibasis, std::string_view(kFolds[fold].name),
          std::span<const float>(frac, static_cast<std::size_t>(ns)));
    }
  }
}

// ---------------------------------------------------------------- command line

constexpr const char* kUsage = R"(usage:
  cdsec_mkrefs --out DIR
      writes the eight bundled reference sets (CDDATA.29/SSDATA.29 ...
      CDDATA.CA/SSDATA.CA) into DIR.
  cdsec_mkrefs --set K --count N --seed S --out DIR [--name-prefix XX] [--scale F]
      writes one set of N proteins (1 <= N <= 999 with the default prefix) in
      the class structure of set K (1..8) into DIR, as CDDATA.<suffix> and
      SSDATA.<suffix>.  Names are the prefix (1-3 characters, default "P")
      followed by a serial number.  --scale writes F as the scale factor on
      every CDDATA name line (the values themselves are not changed).
  cdsec_mkrefs --samples N --seed S --set K [--range FIRST LAST] [--name-prefix XX]
               [--fold TYPE] [--truth FILE]
      prints N sample spectra as jobs for INPUT (reference set K, the set's
      valid range unless --range gives whole nanometres inside 260..178),
      made like the reference proteins but belonging to no set.  The fold
      types (all-alpha, all-beta, alpha/beta, alpha+beta, unordered;
      unfolded instead of unordered for sets 6 and 7) follow in turn unless
      --fold names one for all.  --truth writes the fractions each sample
      was made from, one line per sample.
The model and its literature sources are described in tools/mkrefsets.cpp.
)";

struct Options {
  std::string out, prefix = "P", truth;
  bool has_set = false, has_count = false, has_seed = false, has_samples = false, has_scale = false, has_range = false;
  int set = 0, count = 0, samples = 0, first = 0, last = 0, fold = -1;
  std::uint64_t seed = 0;
  float scale = 0.0f;
};

[[noreturn]] void usage_error(const std::string& why) {
  std::cerr << "cdsec_mkrefs: " << why << "\n" << kUsage;
  std::exit(2);
}

long long number_arg(const std::string& opt, const char* text, long long lo, long long hi) {
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi)
    usage_error(opt + " " + text + ": expected a whole number from " + std::to_string(lo) + " to " + std::to_string(hi));
  return v;
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](int k = 1) -> const char* {
      if (i + k >= argc) usage_error(a + " needs a value");
      return argv[i + k];
    };
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      std::exit(0);
    } else if (a == "--out") {
      o.out = value();
      ++i;
    } else if (a == "--set") {
      o.set = static_cast<int>(number_arg(a, value(), 1, 8));
      o.has_set = true;
      ++i;
    } else if (a == "--count") {
      o.count = static_cast<int>(number_arg(a, value(), 1, 46655));
      o.has_count = true;
      ++i;
    } else if (a == "--samples") {
      o.samples = static_cast<int>(number_arg(a, value(), 1, 999));
      o.has_samples = true;
      ++i;
    } else if (a == "--seed") {
      o.seed = static_cast<std::uint64_t>(number_arg(a, value(), 0, 9223372036854775807LL));
      o.has_seed = true;
      ++i;
    } else if (a == "--name-prefix") {
      o.prefix = value();
      ++i;
      if (o.prefix.empty() || o.prefix.size() > 3) usage_error("--name-prefix: 1 to 3 characters");
      for (char c : o.prefix)
        if (c <= ' ' || c > '~') usage_error("--name-prefix: printable characters without blanks");
    } else if (a == "--scale") {
      const char* t = value();
      ++i;
      char* end = nullptr;
      o.scale = std::strtof(t, &end);
      if (end == t || *end != '\0' || !(o.scale > 0.0f && o.scale < 99.0f))
        usage_error(std::string("--scale ") + t + ": expected a number between 0 and 99");
      o.has_scale = true;
    } else if (a == "--range") {
      o.first = static_cast<int>(number_arg(a, value(1), 178, 260));
      o.last = static_cast<int>(number_arg(a, value(2), 178, 260));
      i += 2;
      if (o.last >= o.first) usage_error("--range FIRST LAST: FIRST must be the longer wavelength");
      o.has_range = true;
    } else if (a == "--fold") {
      std::string name = value();
      ++i;
      for (int f = 0; f < static_cast<int>(sizeof kFolds / sizeof kFolds[0]); ++f)
        if (name == kFolds[f].name) o.fold = f;
      if (o.fold < 0)
        usage_error("--fold " + name + ": one of all-alpha, all-beta, alpha/beta, alpha+beta, unordered, unfolded");
    } else if (a == "--truth") {
      o.truth = value();
      ++i;
    } else {
      usage_error("unknown argument " + a);
    }
  }
  return o;
}

int run(const Options& o) {
  if (o.has_samples) {
    if (!o.has_set || !o.has_seed) usage_error("--samples needs --set and --seed");
    if (!o.out.empty() || o.has_count || o.has_scale) usage_error("--samples prints jobs; --out, --count and --scale do not apply");
    const cdsec::RefSetInfo& set = set_or_die(o.set);
    int first = o.has_range ? o.first : static_cast<int>(set.long_limit);
    int last = o.has_range ? o.last : static_cast<int>(set.short_limit);
    std::ofstream truth;
    if (!o.truth.empty()) open_out(truth, cdsec::os::path_from_utf8(o.truth));
    write_samples(std::cout, o.truth.empty() ? nullptr : &truth, o.set, o.samples, o.seed, o.prefix, first, last, o.fold);
    if (!o.truth.empty()) close_out(truth, cdsec::os::path_from_utf8(o.truth));
    std::cout.flush();
    if (!std::cout) throw std::runtime_error("standard output: writing failed");
    return 0;
  }
  if (o.out.empty()) usage_error("--out DIR is needed");
  if (o.has_range || !o.truth.empty() || o.fold >= 0) usage_error("--range, --fold and --truth belong to --samples");
  const std::filesystem::path dir = cdsec::os::path_from_utf8(o.out);
  if (!std::filesystem::is_directory(dir)) throw std::runtime_error(o.out + ": not a directory");
  if (!o.has_set && !o.has_count && !o.has_seed) {
    if (o.has_scale || o.prefix != "P") usage_error("--name-prefix and --scale belong to --set");
    write_bundled(dir);
    return 0;
  }
  if (!o.has_set || !o.has_count || !o.has_seed) usage_error("--set, --count and --seed go together");
  if (o.count > max_count(o.prefix))
    usage_error("--count " + std::to_string(o.count) + ": at most " + std::to_string(max_count(o.prefix)) +
                " unique names with prefix \"" + o.prefix + "\"");
  write_one_set(o.set, o.count, o.seed, o.prefix, o.has_scale, o.scale, dir);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(parse(argc, argv));
  } catch (const std::exception& e) {
    std::cerr << "cdsec_mkrefs: " << e.what() << "\n";
    return 1;
  }
}
