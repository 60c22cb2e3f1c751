// Particle push with the longitudinal position z as independent variable.
//
// State vector Y = (x [cm], x' = dx/dz, y [cm], y' = dy/dz, phase [rad, RF
// phase at the operating harmonic], beta = v/c). The equations of motion are
// the exact relativistic Lorentz-force equations of a charge Q e with mass
// A m_u rewritten with z as independent variable (no paraxial
// approximation), with E/c and B in tesla from the field source:
//   S = sqrt(1 + x'^2 + y'^2), F = (Q/A) K / (beta gamma)
//   x'' = F S ((Ex - x' Ez) S/beta + Bx x' y' - By (1 + x'^2) + Bz y')
//   y'' = F S ((Ey - y' Ez) S/beta + Bx (1 + y'^2) - By x' y' - Bz x')
//   phase' = S / (beta lambda/2pi),  beta' = F/gamma^2 (Ex x' + Ey y' + Ez)
// with K = e/(m_u c) = 0.0032184034535 1/(T cm).
#pragma once

#include <array>
#include <cmath>

#include "transport/field_at.hpp"

namespace linac {

struct Sim;

inline constexpr double kForceK = 0.0032184034535;  // e/(m_u c), 1/(T cm)

// Steps shorter than these are not taken, cm.
inline constexpr double kRk4MinStep = 1e-8;
inline constexpr double kPushMinStep = 1e-6;

using State6 = std::array<double, 6>;

// dY/dz at (z, Y) for a particle of charge-to-mass ratio qa in the field
// `field` (a FieldAt<...> or any callable of that form). Returns false when
// the point lies outside the aperture; gamma of the state in `gamma`.
template <class Field>
inline bool derivs_z(const Field& field, double z, const State6& Y, State6& dY, double qa,
                     double wavelength_2pi, double& gamma) {
  Vec3 E;
  Vec3 B;
  const bool inside = field(Y[0], Y[2], z, Y[4], E, B);
  const double xp = Y[1];
  const double yp = Y[3];
  const double beta = Y[5];
  gamma = 1.0 / std::sqrt(1.0 - beta * beta);
  const double S = std::sqrt(1.0 + xp * xp + yp * yp);
  const double F = qa * kForceK / (beta * gamma);
  dY[0] = xp;
  dY[1] = F * S * ((E[0] - xp * E[2]) * S / beta + B[0] * xp * yp - B[1] * (1.0 + xp * xp) + B[2] * yp);
  dY[2] = yp;
  dY[3] = F * S * ((E[1] - yp * E[2]) * S / beta + B[0] * (1.0 + yp * yp) - B[1] * xp * yp - B[2] * xp);
  dY[4] = S / (beta * wavelength_2pi);
  dY[5] = F / (gamma * gamma) * (E[0] * xp + E[1] * yp + E[2]);
  return inside;
}

// A state the equations of motion can take: finite, with 0 < beta < 1.
inline bool state_usable(const State6& Y) {
  for (double v : Y)
    if (!std::isfinite(v)) return false;
  return Y[5] > 0.0 && Y[5] < 1.0;
}

// The particle arrays of one charge state.
struct SlotView {
  double* x;
  double* xp;
  double* y;
  double* yp;
  double* phase;
  double* beta;
  double* z;
  const double* qa;
};

// One fourth-order Runge-Kutta step of length h (cm) of slot i, with a fifth
// field evaluation at the end point as aperture probe. Returns true when the
// particle is lost: a stage or the end point outside the aperture, or a
// state with beta outside (0, 1) or not finite. A lost particle keeps its
// state from before the step (nothing is written back); steps shorter than
// 1e-6 cm only test the start point. Reads and writes slot i only.
template <class Field>
inline bool push_slot_z(const Field& field, const SlotView& p, int i, double h,
                        double wavelength_2pi) {
  const double qa = p.qa[i];
  const State6 Y0{p.x[i], p.xp[i], p.y[i], p.yp[i], p.phase[i], p.beta[i]};
  const double z = p.z[i];
  State6 k1;
  State6 k2;
  State6 k3;
  State6 k4;
  State6 Y;
  double gamma;
  if (!state_usable(Y0) || !derivs_z(field, z, Y0, k1, qa, wavelength_2pi, gamma)) return true;
  if (std::abs(h) < kPushMinStep) return false;
  const double h2 = h / 2.0;
  double zs = z + h2;
  for (int j = 0; j < 6; ++j) Y[j] = Y0[j] + h2 * k1[j];
  if (!state_usable(Y) || !derivs_z(field, zs, Y, k2, qa, wavelength_2pi, gamma)) return true;
  for (int j = 0; j < 6; ++j) Y[j] = Y0[j] + h2 * k2[j];
  if (!state_usable(Y) || !derivs_z(field, zs, Y, k3, qa, wavelength_2pi, gamma)) return true;
  zs = zs + h2;
  for (int j = 0; j < 6; ++j) Y[j] = Y0[j] + h * k3[j];
  if (!state_usable(Y) || !derivs_z(field, zs, Y, k4, qa, wavelength_2pi, gamma)) return true;
  const double h6 = h / 6.0;
  for (int j = 0; j < 6; ++j) Y[j] = Y0[j] + h6 * (k1[j] + 2.0 * k2[j] + 2.0 * k3[j] + k4[j]);
  const double z_end = z + h;
  State6 k_end;
  if (!state_usable(Y) || !derivs_z(field, z_end, Y, k_end, qa, wavelength_2pi, gamma)) return true;
  p.x[i] = Y[0];
  p.xp[i] = Y[1];
  p.y[i] = Y[2];
  p.yp[i] = Y[3];
  p.phase[i] = Y[4];
  p.beta[i] = Y[5];
  p.z[i] = z_end;
  return false;
}

// The particle arrays of charge state iq.
SlotView slot_view(Sim& sim, int iq);

// The single-particle integrations through the run context (derivs_z,
// rk4_z, push_particle_z, integrate_to_element_end) are in
// transport/integrate_z.hpp.

}  // namespace linac
