#include "beam/matrix6.hpp"

namespace linac {

void unit_matrix6(Matrix6& A) {
  for (int j = 1; j <= 6; ++j)
    for (int i = 1; i <= 6; ++i) A(i, j) = (i == j) ? 1.0 : 0.0;
}

void matmul6(const Matrix6& A, const Matrix6& B, Matrix6& P) {
  for (int j = 1; j <= 6; ++j) {
    for (int i = 1; i <= 6; ++i) {
      double s = 0.0;
      for (int k = 1; k <= 6; ++k) s += A(i, k) * B(k, j);
      P(i, j) = s;
    }
  }
}

void matmul6_left(const Matrix6& A, Matrix6& B) {
  Matrix6 work;
  matmul6(A, B, work);
  B = work;
}

void sigma_transform(Matrix6& S, const Matrix6& M) {
  // W := M^T; W := S W; W := M W; S := W.
  Matrix6 w;
  for (int j = 1; j <= 6; ++j)
    for (int i = 1; i <= 6; ++i) w(i, j) = M(j, i);
  matmul6_left(S, w);
  matmul6_left(M, w);
  S = w;
}

}  // namespace linac
