#include "matrices/section_matrix.hpp"

#include <cmath>


namespace linac {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRadToDeg = 180.0 / kPi;
// Half traces this close to 1 are periodic only to rounding: mu within
// 0.003 deg of a multiple of 180 deg.
constexpr double kUnstableMargin = 1e-9;

}  // namespace

double kinetic_energy_from_beta(double beta, double amu_kev) {
  const double b2 = beta * beta;
  const double gamma = 1.0 / std::sqrt(1.0 - b2);
  return b2 * gamma * gamma / (gamma + 1.0) * amu_kev;
}

double beta_from_kinetic_energy(double W, double amu_kev) {
  const double gm1 = W / amu_kev;
  const double gamma = 1.0 + gm1;
  return std::sqrt(gm1 * (gamma + 1.0)) / gamma;
}

std::array<double, 6> matrix_coordinates(double x, double xp, double y, double yp, double phase,
                                         double beta, double w0, double amu_kev) {
  const double W = kinetic_energy_from_beta(beta, amu_kev);
  return {x, xp * 1000.0, y, yp * 1000.0, phase * kRadToDeg, (W - w0) * 100.0 / w0};
}

Matrix6 section_matrix_from_differences(const std::array<std::array<double, 6>, 6>& minus,
                                        const std::array<std::array<double, 6>, 6>& plus,
                                        const std::array<double, 6>& steps) {
  Matrix6 R;
  for (int j = 1; j <= 6; ++j) {
    const auto jj = static_cast<std::size_t>(j - 1);
    if (steps[jj] == 0.0) continue;
    for (int i = 1; i <= 6; ++i) {
      const auto ii = static_cast<std::size_t>(i - 1);
      R(i, j) = (plus[jj][ii] - minus[jj][ii]) * 0.5 / steps[jj];
    }
  }
  return R;
}

Matrix6 drift_matrix6(double L, double gamma, double wavelength_2pi) {
  Matrix6 M;
  unit_matrix6(M);
  const double beta = std::sqrt((gamma - 1.0) * (gamma + 1.0)) / gamma;
  M(1, 2) = L / 1000.0;
  M(3, 4) = L / 1000.0;
  M(5, 6) = -(L / wavelength_2pi) / ((gamma + 1.0) * beta * gamma) * kRadToDeg / 100.0;
  return M;
}

std::array<double, 3> block_determinants(const Matrix6& M) {
  return {M(1, 1) * M(2, 2) - M(1, 2) * M(2, 1), M(3, 3) * M(4, 4) - M(3, 4) * M(4, 3),
          M(5, 5) * M(6, 6) - M(5, 6) * M(6, 5)};
}

Matrix6 symplectic_form(const Matrix6& A, const SectionEnds& e) {
  const double s_out[6] = {1.0, e.bg_out, 1.0, e.bg_out, e.omega_ns, 100.0 * e.gm1_out};
  const double s_in[6] = {1.0, e.bg_in, 1.0, e.bg_in, e.omega_ns, 100.0 * e.gm1_in};
  Matrix6 M;
  for (int j = 1; j <= 6; ++j)
    for (int i = 1; i <= 6; ++i) M(i, j) = s_out[i - 1] * A(i, j) / s_in[j - 1];
  return M;
}

Matrix6 symplecticity_matrix(const Matrix6& M) {
  // (J M)(i, j): row 2k-1 takes row 2k of M, row 2k takes minus row 2k-1.
  Matrix6 JM;
  for (int j = 1; j <= 6; ++j)
    for (int k = 1; k <= 5; k += 2) {
      JM(k, j) = M(k + 1, j);
      JM(k + 1, j) = -M(k, j);
    }
  Matrix6 K;
  for (int j = 1; j <= 6; ++j)
    for (int i = 1; i <= 6; ++i) {
      double s = 0.0;
      for (int k = 1; k <= 6; ++k) s += M(k, i) * JM(k, j);
      K(i, j) = s;
    }
  return K;
}

PlaneTwiss periodic_twiss(double a, double b, double c, double d, int plane) {
  PlaneTwiss t;
  t.cosmu = (a + d) / 2.0;
  if (!(1.0 - std::abs(t.cosmu) >= kUnstableMargin)) return t;
  t.stable = true;
  t.sinmu = std::sqrt(1.0 - t.cosmu * t.cosmu);
  if (b < 0.0) t.sinmu = -t.sinmu;
  t.beta = b / t.sinmu;
  t.alpha = (a - t.cosmu) / t.sinmu;
  t.gamma = -c / t.sinmu;
  double mu = std::acos(t.cosmu);
  if ((plane < 2 && t.sinmu < 0.0) || (plane == 2 && t.sinmu > 0.0)) mu = 2.0 * kPi - mu;
  t.mu_deg = mu * kRadToDeg;
  return t;
}

EffectiveSolenoid effective_solenoid(const Matrix6& R, double theta, double L, double eff_len,
                                     double B) {
  EffectiveSolenoid s;
  const double c = std::cos(theta);
  if (R(2, 1) == 0.0) return s;
  s.d = (R(1, 1) - c * c) / R(2, 1) * 1000.0;
  s.Heff = L - 2.0 * s.d;
  if (!std::isfinite(s.d) || s.Heff == 0.0) return s;
  s.Beff = eff_len * B / s.Heff;
  s.ok = std::isfinite(s.Beff);
  return s;
}

ThinGap thin_gap(const Matrix6& R, double L, double W_in, double W_out, double bg_out,
                 double wavelength_2pi, double amu_kev) {
  ThinGap g;
  g.W_in = W_in;
  g.W_out = W_out;
  g.W_m = (W_in + W_out) / 2.0;
  g.dW = W_out - W_in;
  const double gamma_m = 1.0 + g.W_m / amu_kev;
  Matrix6 exit_half = drift_matrix6(-L / 2.0, 1.0 + W_out / amu_kev, wavelength_2pi);
  Matrix6 entry_half = drift_matrix6(-L / 2.0, 1.0 + W_in / amu_kev, wavelength_2pi);
  Matrix6 RD;
  matmul6(R, entry_half, RD);
  matmul6(exit_half, RD, g.G);
  g.Z = -(gamma_m + 1.0) * (wavelength_2pi / 100.0) * (2.0 * bg_out * g.G(2, 1) / 10.0) * g.W_m;
  g.ETL = std::sqrt(g.dW * g.dW + g.Z * g.Z);
  if (g.ETL > 0.0) {
    g.Ph = std::acos(g.dW / g.ETL) * kRadToDeg;
    if (g.Z < 0.0) g.Ph = -g.Ph;
  }
  return g;
}

}  // namespace linac
