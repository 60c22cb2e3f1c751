// 6 x 6 transfer and sigma matrices of the six phase-space coordinates.
#pragma once

#include <array>

namespace linac {

// Stored by columns: element (i, j), row i and column j in 1..6, is value
// number (j - 1) * 6 + i, i.e. index (j - 1) * 6 + (i - 1) here.
struct Matrix6 {
  std::array<double, 36> a{};
  double& operator()(int i, int j) { return a[static_cast<std::size_t>((j - 1) * 6 + (i - 1))]; }
  double operator()(int i, int j) const { return a[static_cast<std::size_t>((j - 1) * 6 + (i - 1))]; }
};

// A := identity.
void unit_matrix6(Matrix6& A);
// B := A * B, formed in a work matrix, so A and B may be the same matrix.
void matmul6_left(const Matrix6& A, Matrix6& B);
// P := A * B written straight into P; P must be distinct from A and B.
void matmul6(const Matrix6& A, const Matrix6& B, Matrix6& P);
// S := M * S * transpose(M).
void sigma_transform(Matrix6& S, const Matrix6& M);

}  // namespace linac
