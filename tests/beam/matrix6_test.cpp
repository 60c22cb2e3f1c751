#include <gtest/gtest.h>

#include "beam/matrix6.hpp"

namespace linac {
namespace {

// Transfer matrix of a field-free drift of length L in all three planes:
// q' unchanged, q += L q'.
Matrix6 drift(double L) {
  Matrix6 m;
  unit_matrix6(m);
  m(1, 2) = L;
  m(3, 4) = L;
  m(5, 6) = L;
  return m;
}

Matrix6 sample_sigma() {
  // A symmetric positive matrix with every element distinct.
  Matrix6 s;
  for (int i = 1; i <= 6; ++i)
    for (int j = 1; j <= 6; ++j) s(i, j) = (i == j) ? 10.0 + i : 0.1 * (i + j) + 0.01 * i * j;
  return s;
}

TEST(Matrix6, StoredByColumns) {
  Matrix6 m;
  m(2, 1) = 5.0;
  m(1, 2) = 7.0;
  m(6, 6) = 9.0;
  EXPECT_EQ(m.a[1], 5.0);   // (2,1) is value number 2
  EXPECT_EQ(m.a[6], 7.0);   // (1,2) is value number 7
  EXPECT_EQ(m.a[35], 9.0);  // (6,6) is value number 36
}

TEST(Matrix6, IdentityTimesMatrixCopiesIt) {
  Matrix6 id, b = sample_sigma(), p;
  unit_matrix6(id);
  matmul6(id, b, p);
  EXPECT_EQ(p.a, b.a);
  matmul6(b, id, p);
  EXPECT_EQ(p.a, b.a);
}

TEST(Matrix6, SquareInPlace) {
  // Two drifts of 0.5 are one drift of 1 (exact in binary).
  Matrix6 a = drift(0.5);
  matmul6_left(a, a);
  EXPECT_EQ(a.a, drift(1.0).a);
  // A general matrix squared in place equals the product into a third matrix.
  Matrix6 s = sample_sigma(), p;
  matmul6(s, s, p);
  matmul6_left(s, s);
  EXPECT_EQ(s.a, p.a);
}

TEST(Matrix6, ProductAgainstHandValues) {
  // A = rows (1..6) scaled unit steps; (A B)(i,j) = sum_k A(i,k) B(k,j).
  Matrix6 a, b, p;
  for (int i = 1; i <= 6; ++i)
    for (int j = 1; j <= 6; ++j) {
      a(i, j) = (i == j) ? 2.0 : 0.0;
      b(i, j) = i * 10 + j;
    }
  a(1, 6) = 1.0;  // row 1 also picks up row 6 of B
  matmul6(a, b, p);
  EXPECT_EQ(p(1, 1), 2.0 * 11 + 61);
  EXPECT_EQ(p(1, 3), 2.0 * 13 + 63);
  EXPECT_EQ(p(4, 2), 2.0 * 42);
}

TEST(Matrix6, SigmaTransformCases) {
  const Matrix6 s0 = sample_sigma();
  // Identity leaves S unchanged.
  {
    Matrix6 s = s0, id;
    unit_matrix6(id);
    sigma_transform(s, id);
    EXPECT_EQ(s.a, s0.a);
  }
  // diag(2,1,1,1,1,1): S(1,1) x 4, the rest of row and column 1 x 2.
  {
    Matrix6 s = s0, m;
    unit_matrix6(m);
    m(1, 1) = 2.0;
    sigma_transform(s, m);
    EXPECT_EQ(s(1, 1), 4.0 * s0(1, 1));
    for (int j = 2; j <= 6; ++j) {
      EXPECT_EQ(s(1, j), 2.0 * s0(1, j));
      EXPECT_EQ(s(j, 1), 2.0 * s0(j, 1));
    }
    EXPECT_EQ(s(3, 5), s0(3, 5));
  }
  // Drift of length L: s11 -> s11 + 2 L s12 + L^2 s22, s12 -> s12 + L s22,
  // s22 unchanged (propagation of the beam ellipse in free space).
  {
    const double L = 0.75;
    Matrix6 s = s0;
    sigma_transform(s, drift(L));
    for (int p = 0; p < 3; ++p) {
      const int a = 2 * p + 1, b = 2 * p + 2;
      EXPECT_NEAR(s(a, a), s0(a, a) + 2.0 * L * s0(a, b) + L * L * s0(b, b), 1e-12);
      EXPECT_NEAR(s(a, b), s0(a, b) + L * s0(b, b), 1e-12);
      EXPECT_NEAR(s(b, a), s(a, b), 1e-12);
      EXPECT_NEAR(s(b, b), s0(b, b), 1e-12);
    }
  }
}

}  // namespace
}  // namespace linac
