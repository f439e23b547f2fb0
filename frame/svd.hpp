// Singular-value decomposition and the operations the analyses perform on it.
//
// Both analysis programs write a CD spectrum as a least-squares combination of
// reference spectra through a truncated SVD, and map structure fractions back
// to protein coefficients through the SVD of the fraction matrix.  The
// decomposition is the Golub-Reinsch algorithm (Householder bidiagonalisation,
// then implicitly shifted QR with plane rotations) in single precision, step
// for step as the classic EISPACK routine SVD has it.  It is written here and
// not taken from a library because the variable-selection program uses the
// singular triplets in exactly the order this iteration leaves them.
//
// All vectors and matrices are 1-based views (frame/matrix.hpp); a matrix
// view carries the leading dimension of the caller's array.
#pragma once

#include "frame/matrix.hpp"

namespace cdsec {

// A = U * diag(W) * V^T  for the m x n matrix A.
//   m, n  [in]   rows and columns; 1 <= n <= 64, m <= a.ld(), n <= v.ld().
//   a     [in]   m x n, never written.
//   w     [out]  W(1..n), all >= 0, in the order the iteration produced them
//                (EIGEN sorts them where a caller needs order).
//   matu  [in]   compute U;  u [out] U(1..m, 1..n) (same leading dimension as
//                a).  The reduction always works in u, whatever matu says.
//   matv  [in]   compute V;  v [out] V(1..n, 1..n).
//   rv1   [work] n entries (superdiagonal of the bidiagonal form).
//   max_iter [in] QR iterations allowed per singular value: 30 in the
//                self-consistent program, 35 in the variable-selection one.
// Returns IERR: 0 when every value converged, otherwise K, the index of the
// singular value whose iteration count ran out; W, U and V then hold what the
// iteration had reached (values K+1..n are final).
int SVD(int m, int n, MatrixView<const float> a, VecView<float> w, bool matu,
        MatrixView<float> u, bool matv, MatrixView<float> v, VecView<float> rv1,
        int max_iter);

// SVD with the independent element operations done 4 or 8 at a time
// (`lanes`; 8 only where svd_wide_available(), otherwise 4).  SVD takes the
// widest.  Every element undergoes the same operations in the same order
// with either width, so the results are the same bits, except that a NaN
// may come out with the other sign (which NaN of two an operation passes on
// depends on the instruction form); no comparison, no printed value and no
// other result depends on that sign.
int SVD_lanes(int lanes, int m, int n, MatrixView<const float> a, VecView<float> w, bool matu,
              MatrixView<float> u, bool matv, MatrixView<float> v, VecView<float> rv1, int max_iter);
bool svd_wide_available();

// Selection sort of a reference-spectra decomposition into descending order
// of W; among equal values the lower position comes first, so equal values
// keep their relative order.  Columns 1..n of U (rows 1..m) and of V (rows
// 1..n) move with their singular values.  Capacity: m <= 83, n <= 51.
void EIGEN(int n, int m, VecView<float> w, MatrixView<float> u, MatrixView<float> v);

// Truncated least-squares solution from the first k triplets:
//   t(j) = sum_i U(i,j) b(i), divided by W(j) unless W(j) == 0;
//   x(p) = sum_{j<=k} V(p,j) t(j),  p = 1..n.
void SVSOL(int k, int m, int n, VecView<const float> w, MatrixView<const float> u,
           MatrixView<const float> v, VecView<const float> b, VecView<float> x);

// Transposed solution from all n triplets of the m x n fraction matrix:
//   t(j) = sum_l V(l,j) f(l), divided by W(j) unless W(j) == 0;
//   x(p) = sum_j U(p,j) t(j),  p = 1..m.
void SVSOLT(int m, int n, VecView<const float> w, MatrixView<const float> u,
            MatrixView<const float> v, VecView<const float> f, VecView<float> x);

// Rank-k reconstruction of the first p columns:
//   B(i,q) = sum_{j<=k} U(i,j) V(q,j) W(j),  i = 1..m, q = 1..p
// (products formed in this order: U*V, then *W).
void SVREC(int k, int m, int p, VecView<const float> w, MatrixView<const float> u,
           MatrixView<const float> v, MatrixView<float> b);

}  // namespace cdsec
