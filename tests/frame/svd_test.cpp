// The decomposition kernel: exact results where the algorithm fixes them;
// scale-free residual and orthogonality ratios and known singular values on
// matrices in the analyses' array shapes; the iteration limit, the sort and
// the three solution operations.
#include "frame/svd.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using cdsec::Matrix;
using cdsec::MatrixView;
using cdsec::VecView;
using cdsec::Vector;

constexpr double kEps = FLT_EPSILON;

// The arrays one call works on, declared as the calling program declares
// them: A and U share leading dimension LD, V has leading dimension LDV.
template <int LD, int NC, int LDV>
struct Decomposition {
  Matrix<LD, NC> a, u;
  Matrix<LDV, NC> v;
  Vector<NC> w, rv1;
  int m = 0, n = 0;

  int run(int rows, int cols, int max_iter = 30, bool matu = true, bool matv = true) {
    m = rows;
    n = cols;
    return cdsec::SVD(m, n, a.view(), w.view(), matu, u.view(), matv, v.view(), rv1.view(), max_iter);
  }
};

// Uniform in [-1, 1) from the raw generator output, so the matrices are the
// same with every standard library.
class Rng {
 public:
  explicit Rng(std::uint32_t seed) : g_(seed) {}
  float next() { return static_cast<float>(g_() >> 8) * (1.0f / 16777216.0f) * 2.0f - 1.0f; }

 private:
  std::mt19937 g_;
};

template <class M>
void fill_random(M& a, int m, int n, std::uint32_t seed) {
  Rng r(seed);
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= m; ++i) a(i, j) = r.next();
}

// Sets the leading rows x cols block of a matrix from values given row by row.
void set_rows(MatrixView<float> a, int rows, int cols, std::initializer_list<float> values) {
  auto it = values.begin();
  for (int i = 1; i <= rows; ++i)
    for (int j = 1; j <= cols; ++j) a(i, j) = *it++;
}

// A = Q diag(s) P^T from orthonormal Q (m x n) and P (n x n) built by
// Gram-Schmidt in double, so the truncated solutions are known without the
// routine under test.
struct KnownFactors {
  int m, n;
  std::vector<double> q, p, s;
  KnownFactors(int m_, int n_, std::vector<double> s_, std::uint32_t seed) : m(m_), n(n_), s(std::move(s_)) {
    q = orthonormal(m, n, seed);
    p = orthonormal(n, n, seed + 1);
  }
  static std::vector<double> orthonormal(int r, int c, std::uint32_t seed) {
    Rng g(seed);
    std::vector<double> x(static_cast<std::size_t>(r) * c);
    for (double& e : x) e = g.next();
    for (int j = 0; j < c; ++j)
      for (int pass = 0; pass < 2; ++pass) {
        for (int k = 0; k < j; ++k) {
          double d = 0;
          for (int i = 0; i < r; ++i) d += x[k * r + i] * x[j * r + i];
          for (int i = 0; i < r; ++i) x[j * r + i] -= d * x[k * r + i];
        }
        double nrm = 0;
        for (int i = 0; i < r; ++i) nrm += x[j * r + i] * x[j * r + i];
        for (int i = 0; i < r; ++i) x[j * r + i] /= std::sqrt(nrm);
      }
    return x;
  }
  double a(int i, int j) const {
    double t = 0;
    for (int k = 0; k < n; ++k) t += q[k * m + i - 1] * s[k] * p[k * n + j - 1];
    return t;
  }
  // x = sum over the k largest values of P(:,l) (Q(:,l) . b) / s(l).
  std::vector<double> truncated(int k, const std::vector<double>& b) const {
    std::vector<int> order(n);
    for (int l = 0; l < n; ++l) order[l] = l;
    std::sort(order.begin(), order.end(), [&](int x, int y) { return s[x] > s[y]; });
    std::vector<double> x(n, 0.0);
    for (int t = 0; t < k; ++t) {
      const int l = order[t];
      double proj = 0;
      for (int i = 0; i < m; ++i) proj += q[l * m + i] * b[i];
      for (int j = 0; j < n; ++j) x[j] += p[l * n + j] * proj / s[l];
    }
    return x;
  }
};

// ||A - U B V^T||_1 / (n ||A||_1 eps) with B = diag(W), plus the
// superdiagonal e(2..n) when e is given (the state an interrupted iteration
// leaves): the backward error of the decomposition in units of the rounding
// error one expects from n steps.
double residual_ratio(int m, int n, MatrixView<const float> a, VecView<const float> w, MatrixView<const float> u,
                      MatrixView<const float> v, const VecView<const float>* e = nullptr) {
  double anorm = 0.0, rnorm = 0.0;
  for (int j = 1; j <= n; ++j) {
    double acol = 0.0, rcol = 0.0;
    for (int i = 1; i <= m; ++i) {
      double s = 0.0;
      for (int k = 1; k <= n; ++k) {
        double bv = double(w(k)) * v(j, k);
        if (e && k < n) bv += double((*e)(k + 1)) * v(j, k + 1);
        s += double(u(i, k)) * bv;
      }
      acol += std::fabs(a(i, j));
      rcol += std::fabs(a(i, j) - s);
    }
    anorm = std::max(anorm, acol);
    rnorm = std::max(rnorm, rcol);
  }
  if (anorm == 0.0) return rnorm / kEps;
  return rnorm / (n * anorm * kEps);
}

template <class D>
double residual_ratio(const D& d) {
  return residual_ratio(d.m, d.n, d.a.view(), d.w.view(), d.u.view(), d.v.view());
}

// max |I - Q^T Q| / (rows eps) over columns 1..cols of Q.
double orthogonality_ratio(int rows, int cols, MatrixView<const float> q) {
  double worst = 0.0;
  for (int j = 1; j <= cols; ++j)
    for (int k = 1; k <= cols; ++k) {
      double s = 0.0;
      for (int i = 1; i <= rows; ++i) s += double(q(i, j)) * q(i, k);
      worst = std::max(worst, std::fabs((j == k ? 1.0 : 0.0) - s));
    }
  return worst / (rows * kEps);
}

// Golub-Reinsch is backward stable: its error grows like a small multiple
// of n eps ||A||, which the ratios divide out.  They stay at or below about 1
// on every matrix below; LAPACK's tests accept 30.  10 leaves a margin and
// still rejects an error of one part in 10^3 in a single value or vector
// entry (PerturbedDecompositionIsRejected).
constexpr double kResidualLimit = 10.0;
constexpr double kOrthogonalityLimit = 10.0;

template <class D>
void expect_valid_decomposition(const D& d, int ierr, const char* what) {
  SCOPED_TRACE(what);
  EXPECT_EQ(ierr, 0);
  for (int k = 1; k <= d.n; ++k) EXPECT_GE(d.w(k), 0.0f) << "W(" << k << ")";
  EXPECT_LT(residual_ratio(d), kResidualLimit);
  EXPECT_LT(orthogonality_ratio(d.n, d.n, d.v.view()), kOrthogonalityLimit);
  if (d.m >= d.n) {
    EXPECT_LT(orthogonality_ratio(d.m, d.n, d.u.view()), kOrthogonalityLimit);
  }
}

TEST(SvdExact, ZeroMatrixGivesIdentityVectorsAndZeroValues) {
  for (auto [m, n] : {std::pair{5, 3}, std::pair{3, 3}, std::pair{2, 4}}) {
    SCOPED_TRACE(testing::Message() << m << " x " << n);
    auto d = std::make_unique<Decomposition<6, 6, 6>>();
    EXPECT_EQ(d->run(m, n), 0);
    for (int j = 1; j <= n; ++j) {
      EXPECT_EQ(d->w(j), 0.0f);
      for (int i = 1; i <= n; ++i) EXPECT_EQ(d->v(i, j), i == j ? 1.0f : 0.0f) << "V" << i << j;
      for (int i = 1; i <= m; ++i)
        EXPECT_EQ(d->u(i, j), (i == j && i <= std::min(m, n)) ? 1.0f : 0.0f) << "U" << i << j;
    }
  }
}

TEST(SvdExact, OrthogonalColumnsNeedNoIterationAndKeepColumnOrder) {
  // Already diagonal: every value converges at once, even with no iterations
  // allowed, and W lists the column norms in column order, unsorted.
  Decomposition<8, 4, 4> d;
  const float diag[] = {1.0f, 4.0f, 0.5f, 2.0f};
  for (int j = 1; j <= 4; ++j) d.a(j + 1, j) = diag[j - 1];
  EXPECT_EQ(d.run(6, 4, /*max_iter=*/0), 0);
  for (int j = 1; j <= 4; ++j) EXPECT_EQ(d.w(j), diag[j - 1]);
  EXPECT_LT(residual_ratio(d), 1.0);
}

// Reference bits from a Fortran transcription of the published routine
// (REAL throughout), compiled with gfortran -O0 -ffp-contract=off.  Any
// change in the order of a single operation shows up here.
constexpr float kGoldA[5][4] = {{0.9f, -0.3f, 0.2f, 0.7f},
                                {0.1f, 0.8f, -0.6f, 0.4f},
                                {-0.5f, 0.2f, 0.9f, 0.3f},
                                {0.3f, 0.6f, 0.1f, -0.8f},
                                {0.7f, -0.4f, 0.5f, 0.2f}};
struct GoldResult {
  int ierr;
  float w[4], rv1[4], u[4][5], v[4][4];  // u and v by column
};
constexpr GoldResult kGoldConverged = {
    0,
    {0x1.901f1ap+0f, 0x1.3ec336p+0f, 0x1.0867cap+0f, 0x1.c141b6p-1f},
    {0x0p+0f, -0x1p-29f, 0x1p-42f, 0x0p+0f},
    {{-0x1.64b956p-1f, 0x1.0ae71ep-2f, -0x1.4f5afap-4f, 0x1.5197a8p-2f, -0x1.26acccp-1f},
     {0x1.70297ap-2f, 0x1.3a19bep-1f, -0x1.648d68p-1f, 0x1.8d621ep-4f, -0x1.6b0278p-9f},
     {0x1.81ae9ep-5f, 0x1.de02e2p-2f, 0x1.541336p-2f, -0x1.80d9a2p-1f, -0x1.4b290cp-2f},
     {-0x1.dac044p-3f, -0x1.fa18a4p-2f, -0x1.41c222p-1f, -0x1.0feef8p-1f, -0x1.43ab36p-3f}},
    {{-0x1.1b099ap-1f, 0x1.0f9fe2p-1f, -0x1.98f716p-2f, -0x1.01c2d4p-1f},
     {0x1.389fa8p-1f, 0x1.f24cd8p-3f, -0x1.7814aap-1f, 0x1.595d74p-3f},
     {-0x1.062d2ep-1f, 0x1.9cdd3cp-4f, -0x1.9db618p-3f, 0x1.a851bap-1f},
     {-0x1.f304fcp-3f, -0x1.9c87eap-1f, -0x1.05252cp-1f, -0x1.6a4062p-3f}}};
TEST(SvdExact, MatchesPublishedRoutineToTheBit) {
  Decomposition<5, 4, 5> d;
  for (int i = 1; i <= 5; ++i)
    for (int j = 1; j <= 4; ++j) d.a(i, j) = kGoldA[i - 1][j - 1];
  const GoldResult& gold = kGoldConverged;
  EXPECT_EQ(d.run(5, 4), gold.ierr);
  for (int j = 1; j <= 4; ++j) {
    EXPECT_EQ(d.w(j), gold.w[j - 1]) << "W(" << j << ")";
    EXPECT_EQ(d.rv1(j), gold.rv1[j - 1]) << "work(" << j << ")";
    for (int i = 1; i <= 5; ++i) EXPECT_EQ(d.u(i, j), gold.u[j - 1][i - 1]) << "U(" << i << "," << j << ")";
    for (int i = 1; i <= 4; ++i) EXPECT_EQ(d.v(i, j), gold.v[j - 1][i - 1]) << "V(" << i << "," << j << ")";
  }
}

TEST(SvdExact, NegligibleMeansLostWhenAddedToAnormInSinglePrecision) {
  // [[1, e], [0, 1]].  ANORM = fl(|W(1)| + |work(2)|) = fl(1 + e).
  // e = 2^-24: ANORM rounds to 1 and e + 1 == 1, so e is negligible at once
  // and W = (1, 1) with no iteration.  e = 1.5 * 2^-24: ANORM = 1 + 2^-23
  // and e + ANORM rounds up, so the pair is iterated apart into
  // 1 - 2^-24 and 1 with vectors at 45 degrees (reference bits).
  {
    Decomposition<2, 2, 2> d;
    set_rows(d.a.view(), 2, 2, {1.0f, 0x1p-24f, 0.0f, 1.0f});
    EXPECT_EQ(d.run(2, 2, 0), 0);
    EXPECT_EQ(d.w(1), 1.0f);
    EXPECT_EQ(d.w(2), 1.0f);
    EXPECT_EQ(std::fabs(d.v(1, 1)), 1.0f);
    EXPECT_EQ(d.v(2, 1), 0.0f);
  }
  // Second case, and one where work(2) dominates ANORM ([[1, 1], [0, d]]);
  // W, U and V by column, from the Fortran reference build.
  struct Case {
    float a12, a22, w[2], u[4], v[4];
  };
  const Case cases[] = {
      {0x1.8p-24f, 1.0f, {0x1.fffffep-1f, 0x1p+0f},
       {0x1.6a09e8p-1f, -0x1.6a09e6p-1f, 0x1.6a09e6p-1f, 0x1.6a09e8p-1f},
       {0x1.6a09e8p-1f, -0x1.6a09e4p-1f, 0x1.6a09e4p-1f, 0x1.6a09e8p-1f}},
      {1.0f, 0.63f, {0x1.b12d18p-2f, 0x1.7d415cp+0f},
       {-0x1.4ec9ep-2f, 0x1.e3dcdcp-1f, -0x1.e3dcdcp-1f, -0x1.4ec9ep-2f},
       {-0x1.8bb588p-1f, 0x1.44e5bap-1f, -0x1.44e5bap-1f, -0x1.8bb588p-1f}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.a12);
    Decomposition<2, 2, 2> d;
    set_rows(d.a.view(), 2, 2, {1.0f, c.a12, 0.0f, c.a22});
    EXPECT_EQ(d.run(2, 2), 0);
    for (int j = 1; j <= 2; ++j) {
      EXPECT_EQ(d.w(j), c.w[j - 1]);
      for (int i = 1; i <= 2; ++i) {
        EXPECT_EQ(d.u(i, j), c.u[2 * (j - 1) + i - 1]) << "U(" << i << "," << j << ")";
        EXPECT_EQ(d.v(i, j), c.v[2 * (j - 1) + i - 1]) << "V(" << i << "," << j << ")";
      }
    }
  }
}

TEST(SvdExact, FewerRowsThanColumnsStopAtValueMPlusOneWithNoIterations) {
  // No left reflection beyond row m: W(m+1..n) start at exactly 0 and the
  // left vectors fill columns 1..m only.  With no iterations allowed the
  // routine stops at value m+1, the first that needs one, in that state.
  for (auto [m, n] : {std::pair{3, 5}, std::pair{1, 3}, std::pair{40, 51}}) {
    SCOPED_TRACE(testing::Message() << m << " x " << n);
    auto d = std::make_unique<Decomposition<83, 51, 51>>();
    fill_random(d->a, m, n, 50u + m);
    EXPECT_EQ(d->run(m, n, 0), m + 1);
    for (int k = m + 1; k <= n; ++k) EXPECT_EQ(d->w(k), 0.0f) << k;
    for (int j = m + 1; j <= n; ++j)
      for (int i = 1; i <= m; ++i) EXPECT_EQ(d->u(i, j), 0.0f) << i << "," << j;
    EXPECT_LT(orthogonality_ratio(m, m, d->u.view()), kOrthogonalityLimit);
  }
}

enum class Kind { Random, EqualColumns, Graded };
struct Shape {
  int m, n, max_iter;
  std::uint32_t seed;
  Kind kind = Kind::Random;
};

// Every shape: a valid decomposition that leaves A alone, values beyond the
// rank negligible, the known values of a graded matrix, and after the sort W
// descending with A still reproduced.
template <int LD, int NC, int LDV>
void check_shapes(std::initializer_list<Shape> shapes) {
  auto d = std::make_unique<Decomposition<LD, NC, LDV>>();
  for (const Shape& s : shapes) {
    SCOPED_TRACE(testing::Message() << "arrays " << LD << " x " << NC << ", V " << LDV << " x " << NC << "; " << s.m
                                    << " x " << s.n << ", kind " << int(s.kind));
    d->a.fill(0.0f);
    if (s.kind == Kind::Graded) {
      // Singular values 1 down to 1e-4 (as ill-conditioned as a set of
      // measured CD spectra) on known orthonormal factors.
      std::vector<double> sv(s.n);
      for (int k = 0; k < s.n; ++k) sv[k] = std::pow(1e-4, double(k) / (s.n - 1));
      const KnownFactors f(s.m, s.n, sv, s.seed);
      for (int j = 1; j <= s.n; ++j)
        for (int i = 1; i <= s.m; ++i) d->a(i, j) = static_cast<float>(f.a(i, j));
    } else {
      fill_random(d->a, s.m, s.n, s.seed);
      if (s.kind == Kind::EqualColumns)
        for (int i = 1; i <= s.m; ++i) d->a(i, 4) = d->a(i, 2);  // two identical spectra
    }
    const auto before = d->a;
    expect_valid_decomposition(*d, d->run(s.m, s.n, s.max_iter), "decomposition");
    EXPECT_EQ(std::memcmp(&before, &d->a, sizeof before), 0) << "A was written";
    std::vector<float> w(d->w.data(), d->w.data() + s.n);
    std::sort(w.begin(), w.end(), std::greater<>());
    const int rank = std::min(s.m, s.n) - (s.kind == Kind::EqualColumns ? 1 : 0);
    for (int k = rank; k < s.n; ++k) EXPECT_LT(w[k], 10 * s.n * kEps * w[0]) << "beyond the rank, " << k;
    EXPECT_GT(w[rank - 1], 1e-5 * w[0]) << "within the rank";
    if (s.kind == Kind::Graded) {
      for (int k = 0; k < s.n; ++k) EXPECT_NEAR(w[k], std::pow(1e-4, double(k) / (s.n - 1)), 10 * s.n * kEps) << k;
    }
    if (s.m <= 83 && s.n <= 51) {
      cdsec::EIGEN(s.n, s.m, d->w.view(), d->u.view(), d->v.view());
      for (int k = 2; k <= s.n; ++k) EXPECT_GE(d->w(k - 1), d->w(k)) << k;
      EXPECT_LT(residual_ratio(*d), kResidualLimit) << "sorted";
      // With fewer rows than columns: the left vectors of the m values that
      // can be non-zero, sorted to the front, are orthonormal.
      if (s.m < s.n) {
        EXPECT_LT(orthogonality_ratio(s.m, s.m, d->u.view()), kOrthogonalityLimit);
      }
    }
  }
}

TEST(SvdProperties, ArrayShapesOfTheAnalyses) {
  // Self-consistent program: CD matrix in 83 x 51 arrays (V 51 x 51) with NW
  // rows in use, fewer rows than proteins included; structure matrix in
  // 51 x 6 arrays with V 6 x 6.
  check_shapes<83, 51, 51>({{83, 51, 30, 1},
                            {61, 51, 30, 2},
                            {61, 20, 30, 3},
                            {40, 51, 30, 4},
                            {83, 6, 30, 5},
                            {81, 51, 30, 6, Kind::Graded},
                            {81, 12, 30, 7, Kind::Graded},
                            {20, 5, 30, 41, Kind::EqualColumns},
                            {3, 5, 30, 53},
                            {1, 3, 30, 51}});
  check_shapes<51, 6, 6>({{51, 6, 30, 11}, {9, 6, 30, 12}, {9, 5, 30, 13}, {51, 6, 30, 14, Kind::Graded}});
  // Variable-selection program: a combination of 8 proteins and the sample
  // in 100 x 51 arrays, V sharing their leading dimension, 35 iterations;
  // its structure matrix 9 x 6 in 51 x 6 arrays.
  check_shapes<100, 51, 100>({{83, 9, 35, 21}, {100, 9, 35, 22}, {61, 51, 35, 23}});
  check_shapes<51, 6, 51>({{9, 6, 35, 31}});
}

TEST(SvdProperties, PerturbedDecompositionIsRejected) {
  auto d = std::make_unique<Decomposition<83, 51, 51>>();
  fill_random(d->a, 61, 51, 7u);
  ASSERT_EQ(d->run(61, 51), 0);
  ASSERT_LT(residual_ratio(*d), kResidualLimit);
  ASSERT_LT(orthogonality_ratio(51, 51, d->v.view()), kOrthogonalityLimit);
  const float w1 = d->w(1);
  d->w(1) = w1 * (1.0f + 1e-3f);
  EXPECT_GT(residual_ratio(*d), kResidualLimit);
  d->w(1) = w1;
  d->v(3, 4) += 1e-3f;
  EXPECT_GT(orthogonality_ratio(51, 51, d->v.view()), kOrthogonalityLimit);
  EXPECT_GT(residual_ratio(*d), kResidualLimit);
}

TEST(SvdProperties, NonFiniteInputEndsWithoutFault) {
  for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
    auto d = std::make_unique<Decomposition<83, 51, 51>>();
    fill_random(d->a, 30, 10, 71u);
    d->a(4, 3) = bad;
    const int ierr = d->run(30, 10);
    EXPECT_GE(ierr, 0);
    EXPECT_LE(ierr, 10);
  }
}

TEST(SvdIterationLimit, ReportsFirstValueThatRanOutAndKeepsLaterOnesFinal) {
  auto full = std::make_unique<Decomposition<83, 51, 51>>();
  fill_random(full->a, 30, 12, 81u);
  ASSERT_EQ(full->run(30, 12), 0);

  // A generic bidiagonal has a non-zero last superdiagonal entry, so the
  // bottom value needs at least one iteration.
  auto d = std::make_unique<Decomposition<83, 51, 51>>();
  d->a = full->a;
  EXPECT_EQ(d->run(30, 12, 0), 12);

  int previous = 12;
  bool interior_seen = false;
  for (int limit = 1; limit <= 30; ++limit) {
    SCOPED_TRACE(testing::Message() << "limit " << limit);
    const int k = d->run(30, 12, limit);
    ASSERT_GE(k, 0);
    if (k == 0) {
      EXPECT_EQ(std::memcmp(&d->w, &full->w, sizeof d->w), 0);
      break;
    }
    // Values N..K+1 converged within the limit and take the same steps
    // whatever the limit, so a larger limit can only stop further up.
    EXPECT_LE(k, previous);
    previous = k;
    if (k < 12) interior_seen = true;
    // Values K+1..N and their vectors are final: identical to the bit with
    // those of the unlimited run.
    for (int j = k + 1; j <= 12; ++j) {
      EXPECT_EQ(d->w(j), full->w(j)) << "W(" << j << ")";
      for (int i = 1; i <= 12; ++i) EXPECT_EQ(d->v(i, j), full->v(i, j)) << "V(" << i << "," << j << ")";
      for (int i = 1; i <= 30; ++i) EXPECT_EQ(d->u(i, j), full->u(i, j)) << "U(" << i << "," << j << ")";
    }
    // What the callers go on with is a consistent intermediate state:
    // orthogonal U and V with A = U B V^T for the bidiagonal B that W and
    // the work vector hold.
    const VecView<const float> e = d->rv1.view();
    EXPECT_LT(residual_ratio(30, 12, d->a.view(), d->w.view(), d->u.view(), d->v.view(), &e), kResidualLimit);
    EXPECT_LT(orthogonality_ratio(30, 12, d->u.view()), kOrthogonalityLimit);
    EXPECT_LT(orthogonality_ratio(12, 12, d->v.view()), kOrthogonalityLimit);
  }
  EXPECT_TRUE(interior_seen) << "no limit stopped above the bottom value";
}

// U and V in the layout EIGEN addresses, with every entry naming its column.
struct Marked {
  Matrix<83, 51> u;
  Matrix<51, 51> v;
  Vector<51> w;
  Marked(int m, int n) {
    for (int c = 1; c <= n; ++c) {
      for (int i = 1; i <= m; ++i) u(i, c) = 100.0f * c + i;
      for (int i = 1; i <= n; ++i) v(i, c) = -100.0f * c - i;
    }
  }
  // Which original column now stands at position c (0 if none matches).
  int source(int m, int n, int c) const {
    for (int s = 1; s <= n; ++s) {
      bool match = true;
      for (int i = 1; i <= m; ++i) match = match && u(i, c) == 100.0f * s + i;
      for (int i = 1; i <= n; ++i) match = match && v(i, c) == -100.0f * s - i;
      if (match) return s;
    }
    return 0;
  }
};

TEST(SvdEigen, SortsDescendingLowestPositionFirstAmongEquals) {
  struct Case {
    std::vector<float> w, sorted;
    std::vector<int> source;
  };
  const Case cases[] = {
      {{2, 5, 5}, {5, 5, 2}, {2, 3, 1}},
      {{3, 0, 0}, {3, 0, 0}, {1, 2, 3}},
      {{0, 0, 0}, {0, 0, 0}, {1, 2, 3}},
      {{1, 4, 2, 4, 0, 9}, {9, 4, 4, 2, 1, 0}, {6, 2, 4, 3, 1, 5}},
  };
  for (const Case& c : cases) {
    for (int m : {7, 2}) {  // more rows than values, and fewer
      const int n = static_cast<int>(c.w.size());
      auto d = std::make_unique<Marked>(m, n);
      for (int j = 1; j <= n; ++j) d->w(j) = c.w[j - 1];
      cdsec::EIGEN(n, m, d->w.view(), d->u.view(), d->v.view());
      for (int j = 1; j <= n; ++j) {
        EXPECT_EQ(d->w(j), c.sorted[j - 1]) << "position " << j;
        EXPECT_EQ(d->source(m, n, j), c.source[j - 1]) << "position " << j << ", m = " << m;
      }
    }
  }
}

TEST(SvdSolve, TruncatedSolutionsMatchKnownFactors) {
  const KnownFactors f(30, 5, {1.0, 8.0, 0.5, 4.0, 2.0}, 111u);
  auto d = std::make_unique<Decomposition<83, 51, 51>>();
  for (int i = 1; i <= 30; ++i)
    for (int j = 1; j <= 5; ++j) d->a(i, j) = static_cast<float>(f.a(i, j));
  ASSERT_EQ(d->run(30, 5), 0);
  cdsec::EIGEN(5, 30, d->w.view(), d->u.view(), d->v.view());

  Rng g(112u);
  Vector<83> b;
  std::vector<double> bd(30);
  for (int i = 1; i <= 30; ++i) bd[i - 1] = b(i) = g.next();
  for (int k = 1; k <= 5; ++k) {
    SCOPED_TRACE(testing::Message() << "K = " << k);
    Vector<51> x;
    cdsec::SVSOL(k, 30, 5, d->w.view(), d->u.view(), d->v.view(), b.view(), x.view());
    const std::vector<double> want = f.truncated(k, bd);
    double scale = 0;
    for (double e : want) scale = std::max(scale, std::fabs(e));
    // Condition 16 and singular gaps of at least 2: the float solution is
    // good to a few hundred eps of its size.
    for (int j = 1; j <= 5; ++j) EXPECT_NEAR(x(j), want[j - 1], 1e-4 * scale) << j;
  }
}

TEST(SvdSolve, ZeroSingularValuesAddUndividedProjections) {
  // Hand-made decomposition: U = first columns of I, V swaps, W = (2, 0).
  Matrix<83, 51> u;
  Matrix<51, 51> v;
  Vector<51> w, x;
  Vector<83> b;
  set_rows(u.view(), 2, 2, {1, 0, 0, 1});
  set_rows(v.view(), 2, 2, {0, 1, 1, 0});
  w(1) = 2.0f;
  b(1) = 4.0f, b(2) = 3.0f, b(3) = 7.0f;
  // K = 1: t1 = 4 / 2 = 2 lands on protein 2; K = 2: t2 = 3, undivided since
  // W(2) = 0, lands on protein 1.
  for (auto [k, x1] : {std::pair{1, 0.0f}, std::pair{2, 3.0f}}) {
    cdsec::SVSOL(k, 3, 2, w.view(), u.view(), v.view(), b.view(), x.view());
    EXPECT_EQ(x(1), x1) << k;
    EXPECT_EQ(x(2), 2.0f) << k;
  }
}

TEST(SvdSolveTransposed, HandComputedAndReproducesFractions) {
  // U 3 x 2, V 2 x 2, W = (2, 0.5): t = (V^T f) / W, x = U t.
  Matrix<51, 6> u;
  Matrix<6, 6> v;
  Vector<6> w, f;
  Vector<51> x;
  set_rows(u.view(), 3, 2, {0.6f, 0, 0.8f, 0, 0, 1});
  set_rows(v.view(), 2, 2, {0.6f, 0.8f, -0.8f, 0.6f});
  w(1) = 2.0f, w(2) = 0.5f;
  f(1) = 1.0f, f(2) = 2.0f;
  cdsec::SVSOLT(3, 2, w.view(), u.view(), v.view(), f.view(), x.view());
  // t1 = (0.6 - 1.6) / 2 = -0.5, t2 = (0.8 + 1.2) / 0.5 = 4.
  EXPECT_FLOAT_EQ(x(1), -0.3f);
  EXPECT_FLOAT_EQ(x(2), -0.4f);
  EXPECT_FLOAT_EQ(x(3), 4.0f);
  w(2) = 0.0f;  // undivided: t2 = 2
  cdsec::SVSOLT(3, 2, w.view(), u.view(), v.view(), f.view(), x.view());
  EXPECT_FLOAT_EQ(x(3), 2.0f);

  // On a real decomposition of a 9 x 6 structure matrix F, x = SVSOLT(f)
  // weights the rows so that F^T x = f.
  auto d = std::make_unique<Decomposition<51, 6, 6>>();
  fill_random(d->a, 9, 6, 121u);
  ASSERT_EQ(d->run(9, 6), 0);
  for (int j = 1; j <= 6; ++j) f(j) = 0.1f * j;
  cdsec::SVSOLT(9, 6, d->w.view(), d->u.view(), d->v.view(), f.view(), x.view());
  for (int j = 1; j <= 6; ++j) {
    double s = 0;
    for (int i = 1; i <= 9; ++i) s += double(d->a(i, j)) * x(i);
    EXPECT_NEAR(s, f(j), 1e-5) << j;
  }
}

TEST(SvdReconstruct, HandComputedAndFullRankReproducesA) {
  // U = [1 0; 0 1; 1 1], V = [1 2; 3 4], W = (2, 10); column 3 of B lies
  // beyond P and stays.
  Matrix<83, 51> u, b;
  Matrix<51, 51> v;
  Vector<51> w;
  set_rows(u.view(), 3, 2, {1, 0, 0, 1, 1, 1});
  set_rows(v.view(), 2, 2, {1, 2, 3, 4});
  w(1) = 2, w(2) = 10;
  b(1, 3) = -5.0f;
  for (int k : {1, 2}) {
    cdsec::SVREC(k, 3, 2, w.view(), u.view(), v.view(), b.view());
    const float want[2][3][2] = {{{2, 6}, {0, 0}, {2, 6}}, {{2, 6}, {20, 40}, {22, 46}}};
    for (int i = 1; i <= 3; ++i)
      for (int q = 1; q <= 2; ++q) EXPECT_EQ(b(i, q), want[k - 1][i - 1][q - 1]) << k << ": " << i << q;
  }
  EXPECT_EQ(b(1, 3), -5.0f);

  auto d = std::make_unique<Decomposition<83, 51, 51>>();
  fill_random(d->a, 50, 12, 131u);
  ASSERT_EQ(d->run(50, 12), 0);
  cdsec::EIGEN(12, 50, d->w.view(), d->u.view(), d->v.view());
  auto r = std::make_unique<Matrix<83, 51>>();
  cdsec::SVREC(12, 50, 12, d->w.view(), d->u.view(), d->v.view(), r->view());
  double worst = 0;
  for (int j = 1; j <= 12; ++j)
    for (int i = 1; i <= 50; ++i) worst = std::max(worst, double(std::fabs((*r)(i, j) - d->a(i, j))));
  EXPECT_LT(worst, 50 * kEps * d->w(1));
}

}  // namespace
