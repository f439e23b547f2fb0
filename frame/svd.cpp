// Golub-Reinsch singular-value decomposition in single precision, and the
// sort and solution operations built on it.
//
// The decomposition reproduces the published EISPACK routine operation for
// operation.  Both analyses average hundreds of truncated solutions and print
// them to three decimals; the variable-selection analysis moreover uses the
// triplets in the order the QR iteration leaves them.  So every intermediate
// is a float, every expression is evaluated in the order the routine writes
// it (the build forbids contraction into fused multiply-adds), and nothing is
// "improved": no scaled hypotenuse, no relative convergence test, no sorting.
#include "frame/svd.hpp"

#include <array>
#include <cmath>
#include <cstring>

namespace cdsec {

namespace {

// Fortran SIGN(a, b): |a| with the sign of b, taken as positive for b == 0.
inline float sign(float a, float b) { return b >= 0.0f ? std::fabs(a) : -std::fabs(a); }

// A value is negligible when adding it to ANORM does not change ANORM in
// single precision.  The sum is stored in a float before the comparison so
// that no wider intermediate can decide the test.
inline bool negligible(float x, float anorm) {
  const float t = std::fabs(x) + anorm;
  return t == anorm;
}

// The plane rotation of two columns, a' = a*c + b*s and b' = -a*s + b*c,
// four rows per step.  Each lane performs the scalar operations in the
// same order (no fused multiply-add: the build forbids contraction), so the
// result is the scalar loop's bit for bit, only faster.
inline void rotate(float* a, float* b, int n, float c, float s) {
  typedef float v4 __attribute__((vector_size(16)));
  const v4 vc = {c, c, c, c};
  const v4 vs = {s, s, s, s};
  int j = 0;
  for (; j + 4 <= n; j += 4) {
    v4 x, z;
    std::memcpy(&x, a + j, sizeof x);
    std::memcpy(&z, b + j, sizeof z);
    const v4 na = x * vc + z * vs;
    const v4 nb = -x * vs + z * vc;
    std::memcpy(a + j, &na, sizeof na);
    std::memcpy(b + j, &nb, sizeof nb);
  }
  for (; j < n; ++j) {
    const float x = a[j];
    const float z = b[j];
    a[j] = x * c + z * s;
    b[j] = -x * s + z * c;
  }
}

}  // namespace

int SVD(int m, int n, MatrixView<const float> a, VecView<float> w, bool matu,
        MatrixView<float> u, bool matv, MatrixView<float> v, VecView<float> rv1,
        int max_iter) {
  assert(n >= 1 && m >= 0);
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= m; ++i) u(i, j) = a(i, j);

  // Householder reduction to upper bidiagonal form: diagonal in w,
  // superdiagonal in rv1(2..n); rv1(1) stays 0.
  float g = 0.0f;
  float scale = 0.0f;
  float anorm = 0.0f;
  int l = 1;
  for (int i = 1; i <= n; ++i) {
    l = i + 1;
    rv1(i) = scale * g;
    g = 0.0f;
    float s = 0.0f;
    scale = 0.0f;
    if (i <= m) {
      for (int k = i; k <= m; ++k) scale = scale + std::fabs(u(k, i));
      // A zero column below the diagonal needs no reflection; skipping it
      // also avoids the division by a zero scale.
      if (scale != 0.0f) {
        for (int k = i; k <= m; ++k) {
          u(k, i) = u(k, i) / scale;
          s = s + u(k, i) * u(k, i);
        }
        float f = u(i, i);
        g = -sign(std::sqrt(s), f);
        const float h = f * g - s;
        u(i, i) = f - g;
        // Each column j needs only its own sum and column i, so four
        // columns are reduced side by side (every sum still in its own
        // order): the additions no longer wait on one another.
        int j = l;
        const float* ci = u.column(i).data() + (i - 1);
        const int len = m - i + 1;
        for (; j + 3 <= n; j += 4) {
          float* c0 = u.column(j).data() + (i - 1);
          float* c1 = u.column(j + 1).data() + (i - 1);
          float* c2 = u.column(j + 2).data() + (i - 1);
          float* c3 = u.column(j + 3).data() + (i - 1);
          float s0 = 0.0f, s1 = 0.0f, s2 = 0.0f, s3 = 0.0f;
          for (int k = 0; k < len; ++k) {
            const float x = ci[k];
            s0 = s0 + x * c0[k];
            s1 = s1 + x * c1[k];
            s2 = s2 + x * c2[k];
            s3 = s3 + x * c3[k];
          }
          const float f0 = s0 / h, f1 = s1 / h, f2 = s2 / h, f3 = s3 / h;
          for (int k = 0; k < len; ++k) {
            const float x = ci[k];
            c0[k] = c0[k] + f0 * x;
            c1[k] = c1[k] + f1 * x;
            c2[k] = c2[k] + f2 * x;
            c3[k] = c3[k] + f3 * x;
          }
        }
        for (; j <= n; ++j) {
          s = 0.0f;
          for (int k = i; k <= m; ++k) s = s + u(k, i) * u(k, j);
          f = s / h;
          for (int k = i; k <= m; ++k) u(k, j) = u(k, j) + f * u(k, i);
        }
        for (int k = i; k <= m; ++k) u(k, i) = scale * u(k, i);
      }
    }
    w(i) = scale * g;
    g = 0.0f;
    s = 0.0f;
    scale = 0.0f;
    if (i <= m && i != n) {
      for (int k = l; k <= n; ++k) scale = scale + std::fabs(u(i, k));
      if (scale != 0.0f) {
        for (int k = l; k <= n; ++k) {
          u(i, k) = u(i, k) / scale;
          s = s + u(i, k) * u(i, k);
        }
        const float f = u(i, l);
        g = -sign(std::sqrt(s), f);
        const float h = f * g - s;
        u(i, l) = f - g;
        for (int k = l; k <= n; ++k) rv1(k) = u(i, k) / h;
        for (int j = l; j <= m; ++j) {
          s = 0.0f;
          for (int k = l; k <= n; ++k) s = s + u(j, k) * u(i, k);
          for (int k = l; k <= n; ++k) u(j, k) = u(j, k) + s * rv1(k);
        }
        for (int k = l; k <= n; ++k) u(i, k) = scale * u(i, k);
      }
    }
    const float t = std::fabs(w(i)) + std::fabs(rv1(i));
    if (t > anorm) anorm = t;
  }

  // Right-hand transformations, last first.  g and l carry over from one
  // step to the next (g = rv1(i+1), l = i+1); the pair of divisions guards
  // against underflow of U(i,j) * (1 / (U(i,i+1) * G)).
  if (matv) {
    for (int i = n; i >= 1; --i) {
      if (i != n) {
        if (g != 0.0f) {
          for (int j = l; j <= n; ++j) v(j, i) = (u(i, j) / u(i, l)) / g;
          for (int j = l; j <= n; ++j) {
            float s = 0.0f;
            for (int k = l; k <= n; ++k) s = s + u(i, k) * v(k, j);
            for (int k = l; k <= n; ++k) v(k, j) = v(k, j) + s * v(k, i);
          }
        }
        for (int j = l; j <= n; ++j) {
          v(i, j) = 0.0f;
          v(j, i) = 0.0f;
        }
      }
      v(i, i) = 1.0f;
      g = rv1(i);
      l = i;
    }
  }

  // Left-hand transformations, last first.  With m < n only the first m
  // columns are left vectors of the reduction; the others are cleared rows.
  if (matu) {
    const int mn = m < n ? m : n;
    for (int i = mn; i >= 1; --i) {
      l = i + 1;
      g = w(i);
      if (i != n)
        for (int j = l; j <= n; ++j) u(i, j) = 0.0f;
      if (g != 0.0f) {
        if (i != mn) {
          // Independent columns again, four at a time as in the reduction.
          int j = l;
          const float* ci = u.column(i).data() + (i - 1);
          const int len = m - i + 1;  // rows i..m; the sums start at row l
          for (; j + 3 <= n; j += 4) {
            float* c0 = u.column(j).data() + (i - 1);
            float* c1 = u.column(j + 1).data() + (i - 1);
            float* c2 = u.column(j + 2).data() + (i - 1);
            float* c3 = u.column(j + 3).data() + (i - 1);
            float s0 = 0.0f, s1 = 0.0f, s2 = 0.0f, s3 = 0.0f;
            for (int k = 1; k < len; ++k) {
              const float x = ci[k];
              s0 = s0 + x * c0[k];
              s1 = s1 + x * c1[k];
              s2 = s2 + x * c2[k];
              s3 = s3 + x * c3[k];
            }
            const float uii = ci[0];
            const float f0 = (s0 / uii) / g, f1 = (s1 / uii) / g, f2 = (s2 / uii) / g, f3 = (s3 / uii) / g;
            for (int k = 0; k < len; ++k) {
              const float x = ci[k];
              c0[k] = c0[k] + f0 * x;
              c1[k] = c1[k] + f1 * x;
              c2[k] = c2[k] + f2 * x;
              c3[k] = c3[k] + f3 * x;
            }
          }
          for (; j <= n; ++j) {
            float s = 0.0f;
            for (int k = l; k <= m; ++k) s = s + u(k, i) * u(k, j);
            const float f = (s / u(i, i)) / g;
            for (int k = i; k <= m; ++k) u(k, j) = u(k, j) + f * u(k, i);
          }
        }
        for (int j = i; j <= m; ++j) u(j, i) = u(j, i) / g;
      } else {
        for (int j = i; j <= m; ++j) u(j, i) = 0.0f;
      }
      u(i, i) = u(i, i) + 1.0f;
    }
  }

  // Diagonalisation of the bidiagonal form by implicitly shifted QR, one
  // singular value at a time from the bottom.
  for (int k = n; k >= 1; --k) {
    const int k1 = k - 1;
    int its = 0;
    for (;;) {
      // Split test.  rv1(1) is always 0, so the search ends at l = 1 at the
      // latest; stopping there explicitly keeps W(0) out of reach even when
      // a non-finite input has made ANORM NaN.
      bool cancel = false;
      int ls = k;
      for (; ls >= 1; --ls) {
        if (negligible(rv1(ls), anorm) || ls == 1) break;
        if (negligible(w(ls - 1), anorm)) {
          cancel = true;
          break;
        }
      }
      l = ls;
      const int l1 = l - 1;

      // W(l-1) is negligible: rotate rv1(l) away against the rows below so
      // that the matrix splits at l.
      if (cancel) {
        float c = 0.0f;
        float s = 1.0f;
        for (int i = l; i <= k; ++i) {
          const float f = s * rv1(i);
          rv1(i) = c * rv1(i);
          if (negligible(f, anorm)) break;
          g = w(i);
          const float h = std::sqrt(f * f + g * g);
          w(i) = h;
          c = g / h;
          s = -f / h;
          if (matu && m >= 1) rotate(u.column(l1).data(), u.column(i).data(), m, c, s);
        }
      }

      float z = w(k);
      if (l == k) {
        // Converged.  Singular values are non-negative: flip the sign into
        // the right vector.
        if (z < 0.0f) {
          w(k) = -z;
          if (matv)
            for (int j = 1; j <= n; ++j) v(j, k) = -v(j, k);
        }
        break;
      }

      if (its == max_iter) return k;
      ++its;

      // Shift from the bottom 2 x 2 minor.
      float x = w(l);
      float y = w(k1);
      g = rv1(k1);
      float h = rv1(k);
      float f = ((y - z) * (y + z) + (g - h) * (g + h)) / (2.0f * h * y);
      g = std::sqrt(f * f + 1.0f);
      f = ((x - z) * (x + z) + h * (y / (f + sign(g, f)) - h)) / x;

      // One QR sweep chasing the bulge from l to k.
      float c = 1.0f;
      float s = 1.0f;
      for (int i1 = l; i1 <= k1; ++i1) {
        const int i = i1 + 1;
        g = rv1(i);
        y = w(i);
        h = s * g;
        g = c * g;
        z = std::sqrt(f * f + h * h);
        rv1(i1) = z;
        c = f / z;
        s = h / z;
        f = x * c + g * s;
        g = -x * s + g * c;
        h = y * s;
        y = y * c;
        if (matv) rotate(v.column(i1).data(), v.column(i).data(), n, c, s);
        z = std::sqrt(f * f + h * h);
        w(i1) = z;
        // Any rotation annihilates a zero vector: keep the previous one.
        if (z != 0.0f) {
          c = f / z;
          s = h / z;
        }
        f = c * g + s * y;
        x = -s * g + c * y;
        if (matu && m >= 1) rotate(u.column(i1).data(), u.column(i).data(), m, c, s);
      }
      rv1(l) = 0.0f;
      rv1(k) = f;
      w(k) = x;
    }
  }
  return 0;
}

void EIGEN(int n, int m, VecView<float> w, MatrixView<float> u, MatrixView<float> v) {
  constexpr int kRows = 83;
  constexpr int kCols = 51;
  assert(n >= 0 && n <= kCols && m >= 0 && m <= kRows);
  Matrix<kRows, kCols> us;
  Matrix<kCols, kCols> vs;
  Vector<kCols> ws;
  Vector<kCols, int> src;
  std::array<bool, kCols + 1> taken{};

  for (int pass = 1; pass <= n; ++pass) {
    int best = 0;
    for (int j = 1; j <= n; ++j) {
      if (taken[j]) continue;
      // Strictly greater: among equal values the lower position is kept.
      if (best == 0 || w(j) > w(best)) best = j;
    }
    taken[best] = true;
    ws(pass) = w(best);
    src(pass) = best;
    for (int i = 1; i <= m; ++i) us(i, pass) = u(i, best);
    for (int i = 1; i <= n; ++i) vs(i, pass) = v(i, best);
  }
  for (int j = 1; j <= n; ++j) {
    w(j) = ws(j);
    for (int i = 1; i <= m; ++i) u(i, j) = us(i, j);
    for (int i = 1; i <= n; ++i) v(i, j) = vs(i, j);
  }
}

void SVSOL(int k, int m, int n, VecView<const float> w, MatrixView<const float> u,
           MatrixView<const float> v, VecView<const float> b, VecView<float> x) {
  for (int p = 1; p <= n; ++p) x(p) = 0.0f;
  for (int j = 1; j <= k; ++j) {
    float s = 0.0f;
    for (int i = 1; i <= m; ++i) s = s + u(i, j) * b(i);
    // A zero singular value contributes its projection undivided rather
    // than failing the whole solution.
    if (w(j) != 0.0f) s = s / w(j);
    for (int p = 1; p <= n; ++p) x(p) = x(p) + s * v(p, j);
  }
}

void SVSOLT(int m, int n, VecView<const float> w, MatrixView<const float> u,
            MatrixView<const float> v, VecView<const float> f, VecView<float> x) {
  for (int p = 1; p <= m; ++p) x(p) = 0.0f;
  for (int j = 1; j <= n; ++j) {
    float s = 0.0f;
    for (int l = 1; l <= n; ++l) s = s + v(l, j) * f(l);
    if (w(j) != 0.0f) s = s / w(j);
    for (int p = 1; p <= m; ++p) x(p) = x(p) + s * u(p, j);
  }
}

void SVREC(int k, int m, int p, VecView<const float> w, MatrixView<const float> u,
           MatrixView<const float> v, MatrixView<float> b) {
  for (int q = 1; q <= p; ++q) {
    for (int i = 1; i <= m; ++i) {
      float s = 0.0f;
      for (int j = 1; j <= k; ++j) s = s + u(i, j) * v(q, j) * w(j);
      b(i, q) = s;
    }
  }
}

}  // namespace cdsec
