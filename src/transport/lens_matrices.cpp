#include "transport/lens_matrices.hpp"

#include <cmath>

namespace linac {

LensDesign lens_design(const ReferenceBlock& ref) {
  return {ref.w0, ref.amu_kev, ref.wavelength_2pi};
}

LensDrifts lens_drifts(double L, double Lf, const LensDesign& d) {
  LensDrifts e;
  e.Lf = Lf;
  e.d = (L - Lf) / 2.0;
  e.amu_kev = d.amu_kev;
  e.wavelength_2pi = d.wavelength_2pi;
  const double gamma0 = d.w0 / d.amu_kev + 1.0;
  const double beta0 = std::sqrt(1.0 - 1.0 / (gamma0 * gamma0));
  e.d56 = phase_row_term(e.d, d.wavelength_2pi, beta0, gamma0);
  e.lf_over_lb = Lf / d.wavelength_2pi;
  e.rigidity_scale = 2.0 * kRigidityGcmPerKeV * d.amu_kev;
  return e;
}

Matrix6 lens_matrix6(const LensMap& m) {
  Matrix6 M;
  unit_matrix6(M);
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) M(i + 1, j + 1) = m.t[i][j];
  M(5, 6) = m.m56;
  return M;
}

Matrix6 drift_matrix(double L, const LensDesign& d) {
  const LensDrifts e = lens_drifts(2.0 * L, 0.0, d);
  Matrix6 M;
  unit_matrix6(M);
  M(1, 2) = L;
  M(3, 4) = L;
  M(5, 6) = e.d56;
  return M;
}

Matrix6 rotation_matrix(double theta) {
  const double c = std::cos(theta);
  const double s = std::sin(theta);
  Matrix6 R;
  R(1, 1) = R(2, 2) = R(3, 3) = R(4, 4) = c;
  R(1, 3) = R(2, 4) = s;
  R(3, 1) = R(4, 2) = -s;
  R(5, 5) = R(6, 6) = 1.0;
  return R;
}

Matrix6 sol_matrix(double qa, double B, double L, double Lf, double beta, const LensDesign& d) {
  return lens_matrix6(sol_map(lens_drifts(L, Lf, d), qa, B, particle_speed(beta)));
}

Matrix6 quad_matrix(double qa, double G, double L, double Lf, double beta, const LensDesign& d) {
  return lens_matrix6(quad_map(lens_drifts(L, Lf, d), qa, G, particle_speed(beta)));
}

}  // namespace linac
