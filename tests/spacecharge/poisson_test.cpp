// The space-charge Poisson solver against the discrete problem it solves:
// eigenmodes of the difference Laplacian, the residual of random sources on
// every grid shape the run accepts, and the discrete Gauss law.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "spacecharge/poisson.hpp"

namespace linac {
namespace {

constexpr double kPi = 3.141592653589793;

struct Shape {
  int nx, ny, nz;
};

ScGrid make_grid(const Shape& s, bool model_2d, double hx, double hy, double hz) {
  ScGrid g;
  sc_fft_init(g, s.nx, s.ny, s.nz, model_2d);
  g.sc_half_x = 0.5 * hx * (s.nx - 1);
  g.sc_half_y = 0.5 * hy * (s.ny - 1);
  g.sc_half_z = 0.5 * hz * (s.nz - 1);
  sc_grid_setup(g);
  return g;
}

std::size_t at(const ScGrid& g, int i, int j, int l) {
  return static_cast<std::size_t>(i) + static_cast<std::size_t>(g.NX) * (j + static_cast<std::size_t>(g.NY) * l);
}

TEST(ScPoisson, SineTableLayout) {
  // For NZGRD = 65 the highest frequency 32 sits in the last coefficient
  // (its sine is 1) and the unused last node holds 0.
  ScGrid g;
  sc_fft_init(g, 33, 33, 65, false);
  EXPECT_EQ(g.sc_sin_z[0], 0.0);
  EXPECT_EQ(g.sc_sin_z[63], 1.0);
  EXPECT_EQ(g.sc_sin_z[64], 0.0);
  EXPECT_EQ(g.sc_sin_z[1], g.sc_sin_z[2]);
  EXPECT_DOUBLE_EQ(g.sc_sin_z[1], std::sin(kPi / 64));
  EXPECT_EQ(g.sc_norm, 4.0 * 32 * 32 * 64);
}

TEST(ScPoisson, DiscreteEigenmodesReturnSourceOverEigenvalue) {
  // rho = sin(p pi i/nx1) sin(q pi j/ny1) {cos, sin}(2 pi r l/nz1) is an
  // eigenvector of -Laplacian_h with lambda = sum (2 sin(k h/2)/h)^2.
  struct Case {
    Shape s;
    int p, q, r;
    bool sine;
  } cases[] = {
      {{17, 17, 17}, 1, 1, 0, false},   // mean along z
      {{17, 17, 17}, 3, 5, 2, false},
      {{17, 17, 17}, 2, 7, 3, true},
      {{17, 17, 17}, 15, 15, 8, false},  // Nyquist along z, highest sine modes
      {{12, 9, 12}, 4, 2, 5, true},      // odd nz1 = 11, odd lengths
      {{33, 17, 65}, 6, 3, 32, false},
  };
  for (const Case& c : cases) {
    const double hx = 0.1, hy = 0.13, hz = 0.07;
    ScGrid g = make_grid(c.s, false, hx, hy, hz);
    const int nx1 = c.s.nx - 1, ny1 = c.s.ny - 1, nz1 = c.s.nz - 1;
    auto sq = [](double v) { return v * v; };
    const double lambda = sq(2.0 * std::sin(0.5 * kPi * c.p / nx1) / hx) +
                          sq(2.0 * std::sin(0.5 * kPi * c.q / ny1) / hy) +
                          sq(2.0 * std::sin(kPi * c.r / nz1) / hz);
    auto mode = [&](int i, int j, int l) {
      const double a = 2.0 * kPi * c.r * l / nz1;
      return std::sin(kPi * c.p * i / nx1) * std::sin(kPi * c.q * j / ny1) *
             (c.sine ? std::sin(a) : std::cos(a));
    };
    for (int l = 0; l < c.s.nz; ++l)
      for (int j = 1; j < c.s.ny - 1; ++j)
        for (int i = 1; i < c.s.nx - 1; ++i) g.sc_grid3d[at(g, i, j, l)] = mode(i, j, l);
    sc_poisson_3d(g);
    double worst = 0.0;
    for (int l = 0; l < c.s.nz; ++l)
      for (int j = 0; j < c.s.ny; ++j)
        for (int i = 0; i < c.s.nx; ++i)
          worst = std::max(worst, std::abs(g.sc_grid3d[at(g, i, j, l)] - mode(i, j, l) / lambda));
    EXPECT_LT(worst, 1e-12 / lambda) << c.s.nx << "x" << c.s.ny << "x" << c.s.nz << " mode " << c.p
                                     << "," << c.q << "," << c.r;
  }
}

// The 7-point (5-point) residual of the solution of a random source, relative
// to the largest source value, on every accepted shape: transverse node
// counts above NZGRD included.
TEST(ScPoisson, RandomSourcesSolveTheDifferenceEquation) {
  struct Case {
    Shape s;
    bool model_2d;
  } cases[] = {
      {{17, 17, 17}, false},  {{33, 33, 65}, false},  {{129, 129, 65}, false},
      {{65, 65, 33}, false},  {{17, 129, 17}, false}, {{4, 5, 2}, false},
      {{20, 13, 10}, false},  {{129, 129, 65}, true}, {{33, 17, 65}, true},
  };
  std::mt19937_64 gen(7);
  std::uniform_real_distribution<double> d(-1.0, 1.0);
  for (const Case& c : cases) {
    const double hx = 0.11, hy = 0.07, hz = 0.23;
    ScGrid g = make_grid(c.s, c.model_2d, hx, hy, hz);
    const int nz = c.model_2d ? 1 : c.s.nz;
    std::vector<double>& u = c.model_2d ? g.sc_grid2d : g.sc_grid3d;
    for (int l = 0; l < nz; ++l)
      for (int j = 1; j < c.s.ny - 1; ++j)
        for (int i = 1; i < c.s.nx - 1; ++i) u[at(g, i, j, l)] = d(gen);
    if (!c.model_2d) {  // plane NZ-1 repeats plane 0
      for (int j = 0; j < c.s.ny; ++j)
        for (int i = 0; i < c.s.nx; ++i) u[at(g, i, j, nz - 1)] = u[at(g, i, j, 0)];
    }
    const std::vector<double> rho = u;
    if (c.model_2d)
      sc_poisson_2d(g);
    else
      sc_poisson_3d(g);
    double worst = 0.0;
    const int nz1 = c.model_2d ? 1 : c.s.nz - 1;
    for (int l = 0; l < nz1; ++l)
      for (int j = 1; j < c.s.ny - 1; ++j)
        for (int i = 1; i < c.s.nx - 1; ++i) {
          const double u0 = u[at(g, i, j, l)];
          double lap = (u[at(g, i + 1, j, l)] - 2 * u0 + u[at(g, i - 1, j, l)]) / (hx * hx) +
                       (u[at(g, i, j + 1, l)] - 2 * u0 + u[at(g, i, j - 1, l)]) / (hy * hy);
          if (!c.model_2d) {
            const int up = (l + 1) % nz1, dn = (l + nz1 - 1) % nz1;
            lap += (u[at(g, i, j, up)] - 2 * u0 + u[at(g, i, j, dn)]) / (hz * hz);
          }
          worst = std::max(worst, std::abs(-lap - rho[at(g, i, j, l)]));
        }
    EXPECT_LT(worst, 1e-10) << c.s.nx << "x" << c.s.ny << "x" << c.s.nz << (c.model_2d ? " 2-D" : "");
    // Walls stay at 0; plane NZ-1 equals plane 0.
    for (int l = 0; l < nz; ++l)
      for (int j = 0; j < c.s.ny; ++j) {
        EXPECT_EQ(u[at(g, 0, j, l)], 0.0);
        EXPECT_EQ(u[at(g, c.s.nx - 1, j, l)], 0.0);
      }
    if (!c.model_2d) {
      for (int j = 0; j < c.s.ny; ++j)
        for (int i = 0; i < c.s.nx; ++i) ASSERT_EQ(u[at(g, i, j, nz - 1)], u[at(g, i, j, 0)]);
    }
  }
}

TEST(ScPoisson, DiscreteGaussLaw) {
  // A compact charge in the middle of a long box: the flux of the
  // face-difference field out of a node-aligned box around it equals the
  // enclosed charge over eps0 (sum of rho/eps0 times the cell volume).
  const Shape s{33, 33, 65};
  const double hx = 0.1, hy = 0.12, hz = 0.15;
  ScGrid g = make_grid(s, false, hx, hy, hz);
  std::mt19937_64 gen(11);
  std::uniform_real_distribution<double> d(0.0, 1.0);
  double total = 0.0;
  for (int l = 28; l <= 36; ++l)
    for (int j = 12; j <= 20; ++j)
      for (int i = 12; i <= 20; ++i) {
        const double v = d(gen);
        g.sc_grid3d[at(g, i, j, l)] = v;
        total += v * hx * hy * hz;
      }
  sc_poisson_3d(g);
  const auto& u = g.sc_grid3d;
  // Box of nodes i0..i1 etc.; outward flux of -grad u through its faces,
  // each face difference times the face area of one node.
  const int i0 = 6, i1 = 26, j0 = 5, j1 = 27, l0 = 20, l1 = 44;
  double flux = 0.0;
  for (int l = l0; l <= l1; ++l)
    for (int j = j0; j <= j1; ++j) {
      flux += -(u[at(g, i1 + 1, j, l)] - u[at(g, i1, j, l)]) / hx * hy * hz;
      flux += (u[at(g, i0, j, l)] - u[at(g, i0 - 1, j, l)]) / hx * hy * hz;
    }
  for (int l = l0; l <= l1; ++l)
    for (int i = i0; i <= i1; ++i) {
      flux += -(u[at(g, i, j1 + 1, l)] - u[at(g, i, j1, l)]) / hy * hx * hz;
      flux += (u[at(g, i, j0, l)] - u[at(g, i, j0 - 1, l)]) / hy * hx * hz;
    }
  for (int j = j0; j <= j1; ++j)
    for (int i = i0; i <= i1; ++i) {
      flux += -(u[at(g, i, j, l1 + 1)] - u[at(g, i, j, l1)]) / hz * hx * hy;
      flux += (u[at(g, i, j, l0)] - u[at(g, i, j, l0 - 1)]) / hz * hx * hy;
    }
  EXPECT_NEAR(flux, total, 1e-10 * total);
}

TEST(ScPoisson, UniformInZEqualsTheTwoDimensionalSolve) {
  // A source the same in every plane has the potential of the 2-D solve of
  // one plane in every plane.
  const Shape s{17, 21, 17};
  ScGrid g3 = make_grid(s, false, 0.1, 0.2, 0.3);
  ScGrid g2 = make_grid(s, true, 0.1, 0.2, 0.3);
  std::mt19937_64 gen(3);
  std::uniform_real_distribution<double> d(0.0, 1.0);
  for (int j = 1; j < s.ny - 1; ++j)
    for (int i = 1; i < s.nx - 1; ++i) {
      const double v = d(gen);
      g2.sc_grid2d[at(g2, i, j, 0)] = v;
      for (int l = 0; l < s.nz; ++l) g3.sc_grid3d[at(g3, i, j, l)] = v;
    }
  sc_poisson_3d(g3);
  sc_poisson_2d(g2);
  for (int l = 0; l < s.nz; ++l)
    for (int j = 0; j < s.ny; ++j)
      for (int i = 0; i < s.nx; ++i)
        ASSERT_NEAR(g3.sc_grid3d[at(g3, i, j, l)], g2.sc_grid2d[at(g2, i, j, 0)],
                    1e-13 * std::abs(g2.sc_grid2d[at(g2, i, j, 0)]) + 1e-18)
            << i << " " << j << " " << l;
}

}  // namespace
}  // namespace linac
