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

// Several independent elements at a time: V is a vector of 4 floats, or of
// 8 where the processor has the instructions for them.  Every lane performs
// the scalar operation of its element, in the same order (no fused
// multiply-add: the build forbids contraction), so a loop over elements that
// do not depend on one another gives the scalar loop's result bit for bit.
// Loads and stores stay inside the range given; the remainder is done one
// by one.
// The helpers pass 8-wide vectors by value; they are internal and inlined
// into the kernel, so the calling convention for such values never matters.
#pragma GCC diagnostic ignored "-Wpsabi"
typedef float v4 __attribute__((vector_size(16)));
typedef float v8 __attribute__((vector_size(32)));
template <class V>
constexpr int kLanes = static_cast<int>(sizeof(V) / sizeof(float));
template <class V>
inline V load(const float* p) {
  V x;
  std::memcpy(&x, p, sizeof x);
  return x;
}
template <class V>
inline void store(float* p, V x) {
  std::memcpy(p, &x, sizeof x);
}
template <class V>
inline V splat(float x) {
  V v;
  for (int i = 0; i < kLanes<V>; ++i) v[i] = x;
  return v;
}

// p[k] = p[k] / d
template <class V>
inline void divide(float* p, int len, float d) {
  constexpr int L = kLanes<V>;
  const V vd = splat<V>(d);
  int k = 0;
  for (; k + L <= len; k += L) store(p + k, load<V>(p + k) / vd);
  for (; k < len; ++k) p[k] = p[k] / d;
}

// p[k] = c * p[k]
template <class V>
inline void multiply(float* p, int len, float c) {
  constexpr int L = kLanes<V>;
  const V vc = splat<V>(c);
  int k = 0;
  for (; k + L <= len; k += L) store(p + k, vc * load<V>(p + k));
  for (; k < len; ++k) p[k] = c * p[k];
}

// y[k] = y[k] + f * x[k]
template <class V>
inline void add_multiple(float* y, const float* x, int len, float f) {
  constexpr int L = kLanes<V>;
  const V vf = splat<V>(f);
  int k = 0;
  for (; k + L <= len; k += L) store(y + k, load<V>(y + k) + vf * load<V>(x + k));
  for (; k < len; ++k) y[k] = y[k] + f * x[k];
}

// Sum of |p[k]|, k in order.
inline float abs_sum(const float* p, int len) {
  float s = 0.0f;
  for (int k = 0; k < len; ++k) s = s + std::fabs(p[k]);
  return s;
}

// The dot products s_c = sum_k x[k] * col_c[k] (k in order, from 0.0) of
// one vector with NC columns at once: each sum keeps its own order, the
// columns only share the pass so that the additions of different sums
// overlap instead of waiting on one another.
template <int NC>
inline void dots(const float* x, float* const* col, int len, float* out) {
  float s[NC];
  for (int c = 0; c < NC; ++c) s[c] = 0.0f;
  for (int k = 0; k < len; ++k) {
    const float xk = x[k];
#pragma GCC unroll 8
    for (int c = 0; c < NC; ++c) s[c] = s[c] + xk * col[c][k];
  }
  for (int c = 0; c < NC; ++c) out[c] = s[c];
}

inline void dots_any(const float* x, float* const* col, int nc, int len, float* out) {
  for (; nc >= 8; nc -= 8, col += 8, out += 8) dots<8>(x, col, len, out);
  switch (nc) {
    case 7: dots<7>(x, col, len, out); break;
    case 6: dots<6>(x, col, len, out); break;
    case 5: dots<5>(x, col, len, out); break;
    case 4: dots<4>(x, col, len, out); break;
    case 3: dots<3>(x, col, len, out); break;
    case 2: dots<2>(x, col, len, out); break;
    case 1: dots<1>(x, col, len, out); break;
    default: break;
  }
}

// The plane rotation of two columns, a' = a*c + b*s and b' = -a*s + b*c.
template <class V>
inline void rotate(float* a, float* b, int n, float c, float s) {
  constexpr int L = kLanes<V>;
  const V vc = splat<V>(c);
  const V vs = splat<V>(s);
  int j = 0;
  for (; j + L <= n; j += L) {
    const V x = load<V>(a + j);
    const V z = load<V>(b + j);
    store(a + j, x * vc + z * vs);
    store(b + j, -x * vs + z * vc);
  }
  for (; j < n; ++j) {
    const float x = a[j];
    const float z = b[j];
    a[j] = x * c + z * s;
    b[j] = -x * s + z * c;
  }
}

// The right-hand reflection of one row applied to rows r0 .. r0+nr-1 of
// columns col[0..nc-1]: for each row, s = sum_c u(row, c) * ui[c] in column
// order, then u(row, c) = u(row, c) + s * rv[c].  Rows are independent, so
// several of them go side by side.
template <class V>
inline void reflect_rows(float* const* col, const float* ui, const float* rv, int nc, int r0, int nr) {
  constexpr int L = kLanes<V>;
  int r = r0;
  const int end = r0 + nr;
  for (; r + L <= end; r += L) {
    V s = splat<V>(0.0f);
    for (int c = 0; c < nc; ++c) s = s + load<V>(col[c] + r) * splat<V>(ui[c]);
    for (int c = 0; c < nc; ++c) store(col[c] + r, load<V>(col[c] + r) + s * splat<V>(rv[c]));
  }
  for (; r < end; ++r) {
    float s = 0.0f;
    for (int c = 0; c < nc; ++c) s = s + col[c][r] * ui[c];
    for (int c = 0; c < nc; ++c) col[c][r] = col[c][r] + s * rv[c];
  }
}

constexpr int kMaxSvdCols = 64;

template <class V>
inline int svd_kernel(int m, int n, MatrixView<const float> a, VecView<float> w, bool matu, MatrixView<float> u,
                      bool matv, MatrixView<float> v, VecView<float> rv1, int max_iter) {
  assert(n >= 1 && m >= 0 && n <= kMaxSvdCols);
  // Column starts of U, and the scratch of one reflection step.
  float* uc[kMaxSvdCols];
  float* colp[kMaxSvdCols];
  float rowi[kMaxSvdCols];
  float rvs[kMaxSvdCols];
  float sums[kMaxSvdCols];
  for (int j = 1; j <= n; ++j) {
    uc[j - 1] = u.column(j).data();
    if (m > 0) std::memmove(uc[j - 1], a.column(j).data(), sizeof(float) * static_cast<std::size_t>(m));
  }

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
      float* ci = uc[i - 1] + (i - 1);  // rows i..m of column i
      const int len = m - i + 1;
      scale = abs_sum(ci, len);
      // A zero column below the diagonal needs no reflection; skipping it
      // also avoids the division by a zero scale.
      if (scale != 0.0f) {
        divide<V>(ci, len, scale);
        for (int k = 0; k < len; ++k) s = s + ci[k] * ci[k];
        float f = ci[0];
        g = -sign(std::sqrt(s), f);
        const float h = f * g - s;
        ci[0] = f - g;
        // Each later column needs only its own sum and column i.
        const int nc = n - i;
        for (int c = 0; c < nc; ++c) colp[c] = uc[i + c] + (i - 1);
        dots_any(ci, colp, nc, len, sums);
        for (int c = 0; c < nc; ++c) add_multiple<V>(colp[c], ci, len, sums[c] / h);
        multiply<V>(ci, len, scale);
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
        const int nc = n - l + 1;
        for (int c = 0; c < nc; ++c) {
          colp[c] = uc[l - 1 + c];
          rowi[c] = u(i, l + c);
          rvs[c] = rv1(l + c);
        }
        reflect_rows<V>(colp, rowi, rvs, nc, l - 1, m - l + 1);
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
          float* vi = v.column(i).data();
          for (int j = l; j <= n; ++j) vi[j - 1] = (u(i, j) / u(i, l)) / g;
          const int nc = n - l + 1;
          for (int c = 0; c < nc; ++c) rowi[c] = u(i, l + c);
          for (int j = l; j <= n; ++j) {
            float* vj = v.column(j).data();
            float sj = 0.0f;
            for (int c = 0; c < nc; ++c) sj = sj + rowi[c] * vj[l - 1 + c];
            add_multiple<V>(vj + (l - 1), vi + (l - 1), nc, sj);
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
      float* ci = uc[i - 1] + (i - 1);  // rows i..m of column i
      const int len = m - i + 1;
      if (g != 0.0f) {
        if (i != mn) {
          // The sums run over rows l..m, the updates over rows i..m.
          const int nc = n - i;
          for (int c = 0; c < nc; ++c) colp[c] = uc[i + c] + i;
          dots_any(ci + 1, colp, nc, len - 1, sums);
          const float uii = ci[0];
          for (int c = 0; c < nc; ++c) add_multiple<V>(colp[c] - 1, ci, len, (sums[c] / uii) / g);
        }
        divide<V>(ci, len, g);
      } else {
        for (int k = 0; k < len; ++k) ci[k] = 0.0f;
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
          if (matu && m >= 1) rotate<V>(u.column(l1).data(), u.column(i).data(), m, c, s);
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
        if (matv) rotate<V>(v.column(i1).data(), v.column(i).data(), n, c, s);
        z = std::sqrt(f * f + h * h);
        w(i1) = z;
        // Any rotation annihilates a zero vector: keep the previous one.
        if (z != 0.0f) {
          c = f / z;
          s = h / z;
        }
        f = c * g + s * y;
        x = -s * g + c * y;
        if (matu && m >= 1) rotate<V>(u.column(i1).data(), u.column(i).data(), m, c, s);
      }
      rv1(l) = 0.0f;
      rv1(k) = f;
      w(k) = x;
    }
  }
  return 0;
}

// The kernel with 8-wide vectors, compiled for processors that have them;
// everything it calls is inlined into it so that it is compiled so too.
__attribute__((target("avx2"), flatten)) int svd_wide(int m, int n, MatrixView<const float> a, VecView<float> w,
                                                      bool matu, MatrixView<float> u, bool matv, MatrixView<float> v,
                                                      VecView<float> rv1, int max_iter) {
  return svd_kernel<v8>(m, n, a, w, matu, u, matv, v, rv1, max_iter);
}

}  // namespace

bool svd_wide_available() {
  static const bool wide = __builtin_cpu_supports("avx2");
  return wide;
}

int SVD_lanes(int lanes, int m, int n, MatrixView<const float> a, VecView<float> w, bool matu,
              MatrixView<float> u, bool matv, MatrixView<float> v, VecView<float> rv1, int max_iter) {
  if (lanes == 8 && svd_wide_available()) return svd_wide(m, n, a, w, matu, u, matv, v, rv1, max_iter);
  return svd_kernel<v4>(m, n, a, w, matu, u, matv, v, rv1, max_iter);
}

int SVD(int m, int n, MatrixView<const float> a, VecView<float> w, bool matu,
        MatrixView<float> u, bool matv, MatrixView<float> v, VecView<float> rv1,
        int max_iter) {
  return SVD_lanes(svd_wide_available() ? 8 : 4, m, n, a, w, matu, u, matv, v, rv1, max_iter);
}

void EIGEN(int n, int m, VecView<float> w, MatrixView<float> u, MatrixView<float> v) {
  constexpr int kRows = 83;
  constexpr int kCols = 51;
  assert(n >= 0 && n <= kCols && m >= 0 && m <= kRows);
  // Scratch for the reordered columns: only the leading m x n and n x n
  // parts are written and read back, so it is left uninitialised rather than
  // cleared on every call.
  float us_store[kRows * kCols];
  float vs_store[kCols * kCols];
  float ws_store[kCols];
  MatrixView<float> us(us_store, kRows, kRows, kCols);
  MatrixView<float> vs(vs_store, kCols, kCols, kCols);
  VecView<float> ws(ws_store, kCols);
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
