// Fixed-capacity, 1-based, column-major storage for the analysis programs.
//
// The method is written in terms of matrices indexed from 1 and stored column
// by column, each passed with the leading dimension of the array that holds
// it (an 83 x 51 CD matrix of which only NW rows and NP columns are in use,
// say).  These two small types keep that index arithmetic in one place:
//
//   Matrix<83, 51> cd;            // owns 83*51 floats, zero-initialised
//   cd(i, p) = x;                 // row i, column p, both from 1
//   MatrixView<float> v = cd.view();   // pointer + leading dimension 83
//
// Nothing here allocates: storage is a std::array sized at compile time, so a
// job allocates its working set once, outside every iteration.
// Bounds are checked by assert() (on in Debug and sanitizer builds).
#pragma once

#include <array>
#include <cassert>
#include <span>

namespace cdsec {

// A caller's column-major array seen through its leading dimension.
// Element (i, j) lives at data[(j-1)*ld + (i-1)].
template <class T>
class MatrixView {
 public:
  MatrixView() = default;
  MatrixView(T* data, int ld, int rows, int cols) : data_(data), ld_(ld), rows_(rows), cols_(cols) {}

  T& operator()(int i, int j) const {
    assert(i >= 1 && i <= rows_ && j >= 1 && j <= cols_);
    return data_[static_cast<long>(j - 1) * ld_ + (i - 1)];
  }
  // Column j as a contiguous run of `rows()` values (entry 0 is row 1).
  std::span<T> column(int j) const {
    assert(j >= 1 && j <= cols_);
    return {data_ + static_cast<long>(j - 1) * ld_, static_cast<std::size_t>(rows_)};
  }
  int ld() const { return ld_; }
  int rows() const { return rows_; }  // declared rows (== ld)
  int cols() const { return cols_; }  // declared columns
  T* data() const { return data_; }

  operator MatrixView<const T>() const { return {data_, ld_, rows_, cols_}; }

 private:
  T* data_ = nullptr;
  int ld_ = 0, rows_ = 0, cols_ = 0;
};

// A caller's vector seen from 1: v(k) is data[k-1]; n is the declared length.
template <class T>
class VecView {
 public:
  VecView() = default;
  VecView(T* data, int n) : data_(data), n_(n) {}
  T& operator()(int k) const {
    assert(k >= 1 && k <= n_);
    return data_[k - 1];
  }
  int size() const { return n_; }
  T* data() const { return data_; }
  operator VecView<const T>() const { return {data_, n_}; }

 private:
  T* data_ = nullptr;
  int n_ = 0;
};

// Owned fixed-size matrix of Rows x Cols single-precision values.
template <int Rows, int Cols, class T = float>
class Matrix {
 public:
  static constexpr int kRows = Rows;  // also the leading dimension
  static constexpr int kCols = Cols;

  T& operator()(int i, int j) {
    assert(i >= 1 && i <= Rows && j >= 1 && j <= Cols);
    return a_[static_cast<std::size_t>(j - 1) * Rows + (i - 1)];
  }
  const T& operator()(int i, int j) const {
    assert(i >= 1 && i <= Rows && j >= 1 && j <= Cols);
    return a_[static_cast<std::size_t>(j - 1) * Rows + (i - 1)];
  }
  MatrixView<T> view() { return {a_.data(), Rows, Rows, Cols}; }
  MatrixView<const T> view() const { return {a_.data(), Rows, Rows, Cols}; }
  operator MatrixView<T>() { return view(); }
  operator MatrixView<const T>() const { return view(); }

  std::span<T> column(int j) { return view().column(j); }
  std::span<const T> column(int j) const { return view().column(j); }
  void fill(T v) { a_.fill(v); }

 private:
  std::array<T, static_cast<std::size_t>(Rows) * Cols> a_{};
};

// Owned fixed-size vector indexed from 1.
template <int N, class T = float>
class Vector {
 public:
  static constexpr int kSize = N;
  T& operator()(int i) {
    assert(i >= 1 && i <= N);
    return a_[static_cast<std::size_t>(i - 1)];
  }
  const T& operator()(int i) const {
    assert(i >= 1 && i <= N);
    return a_[static_cast<std::size_t>(i - 1)];
  }
  // The first n entries (1..n) as a span; entry 0 of the span is element 1.
  std::span<T> first(int n) {
    assert(n >= 0 && n <= N);
    return {a_.data(), static_cast<std::size_t>(n)};
  }
  std::span<const T> first(int n) const {
    assert(n >= 0 && n <= N);
    return {a_.data(), static_cast<std::size_t>(n)};
  }
  T* data() { return a_.data(); }
  const T* data() const { return a_.data(); }
  VecView<T> view() { return {a_.data(), N}; }
  VecView<const T> view() const { return {a_.data(), N}; }
  operator VecView<T>() { return view(); }
  operator VecView<const T>() const { return view(); }
  void fill(T v) { a_.fill(v); }

 private:
  std::array<T, N> a_{};
};

}  // namespace cdsec
