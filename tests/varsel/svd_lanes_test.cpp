// The decomposition with 8-wide and with 4-wide vectors must give the same
// bits (a NaN may differ only in its sign): on the shapes KESTRA and MORVAN3
// decompose, on shapes whose lengths leave every remainder of 4 and 8, with
// zero and repeated columns, with values small enough to underflow, with
// the iteration limit reached and with either set of vectors switched off.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "frame/matrix.hpp"
#include "frame/svd.hpp"

namespace {

using cdsec::Matrix;
using cdsec::Vector;

struct Arrays {
  Matrix<100, 51> a, u;
  Matrix<100, 51> v;
  Vector<51> w, rv1;
};

bool same_bits(const float* x, const float* y, std::size_t n, std::string* where) {
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isnan(x[i]) && std::isnan(y[i])) continue;
    if (std::memcmp(&x[i], &y[i], sizeof(float)) != 0) {
      *where = "entry " + std::to_string(i) + ": " + std::to_string(x[i]) + " vs " + std::to_string(y[i]);
      return false;
    }
  }
  return true;
}

TEST(SvdLanes, EightAndFourWideGiveTheSameBits) {
  if (!cdsec::svd_wide_available()) GTEST_SKIP() << "no 8-wide vectors on this processor";
  auto p = std::make_unique<Arrays>();
  auto q = std::make_unique<Arrays>();
  std::mt19937 gen(2024);
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  int compared = 0;
  for (int t = 0; t < 6000; ++t) {
    int m, n;
    switch (t % 6) {
      case 0: m = 83; n = 9; break;                                     // a KESTRA trial
      case 1: m = 9; n = 5 + t % 2; break;                              // its fraction matrix
      case 2: m = 40 + static_cast<int>(gen() % 61); n = 9; break;      // other spectrum lengths
      case 3: m = 83; n = 10 + static_cast<int>(gen() % 42); break;     // all-basis and MORVAN3 sizes
      case 4: m = 1 + static_cast<int>(gen() % 20); n = 1 + static_cast<int>(gen() % 20); break;
      default: m = 1 + static_cast<int>(gen() % 100); n = 1 + static_cast<int>(gen() % 51); break;
    }
    for (int j = 1; j <= n; ++j)
      for (int i = 1; i <= m; ++i) p->a(i, j) = d(gen);
    switch ((t / 6) % 5) {
      case 1:
        for (int i = 1; i <= m; ++i) p->a(i, 1 + static_cast<int>(gen() % n)) = 0.0f;
        break;
      case 2:
        if (n > 1)
          for (int i = 1; i <= m; ++i) p->a(i, n) = p->a(i, 1);
        break;
      case 3:
        for (int j = 1; j <= n; ++j)
          for (int i = 1; i <= m; ++i) p->a(i, j) *= 1e-20f;
        break;
      default: break;
    }
    const bool matu = t % 37 != 5, matv = t % 41 != 7;
    const int iters = t % 13 == 0 ? 1 : 35;
    p->u.fill(9.0f);
    p->v.fill(9.0f);
    q->a = p->a;
    q->u = p->u;
    q->v = p->v;
    const int e8 = cdsec::SVD_lanes(8, m, n, p->a.view(), p->w.view(), matu, p->u.view(), matv, p->v.view(),
                                    p->rv1.view(), iters);
    const int e4 = cdsec::SVD_lanes(4, m, n, q->a.view(), q->w.view(), matu, q->u.view(), matv, q->v.view(),
                                    q->rv1.view(), iters);
    SCOPED_TRACE(testing::Message() << "case " << t << ": " << m << " x " << n);
    ASSERT_EQ(e8, e4);
    std::string where;
    ASSERT_TRUE(same_bits(p->w.data(), q->w.data(), static_cast<std::size_t>(n), &where)) << "W " << where;
    ASSERT_TRUE(same_bits(p->rv1.data(), q->rv1.data(), static_cast<std::size_t>(n), &where)) << "rv1 " << where;
    ASSERT_TRUE(same_bits(&p->u(1, 1), &q->u(1, 1), 100u * 51u, &where)) << "U " << where;
    ASSERT_TRUE(same_bits(&p->v(1, 1), &q->v(1, 1), 100u * 51u, &where)) << "V " << where;
    ++compared;
  }
  EXPECT_EQ(compared, 6000);
}

}  // namespace
