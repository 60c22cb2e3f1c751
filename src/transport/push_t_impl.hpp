// Templates of the single-particle time integrations (included by
// push_t.hpp).
#pragma once

#include "transport/transport_context.hpp"
#include "transport/integrate_z.hpp"

namespace linac {

// Stops the run: the design particle cannot reach the exit plane (why).
[[noreturn]] void exit_plane_not_reached(const TransportContext& sim, const State6& Y, const char* why);

template <class Tracked>
void derivs_t(TransportContext& sim, const Tracked& field, double t, const State6& Y, State6& dY) {
  double gamma = 0.0;
  Vec3 E;
  Vec3 B;
  derivs_t(field, t, Y, dY, sim.ref.qa_push, gamma, E, B);
  sim.ref.gamma_s = gamma;
}

template <class Tracked>
void rk4_t(TransportContext& sim, const Tracked& field, double& t, double h, State6& Y) {
  const double wl = sim.ref.wavelength_2pi;
  const State6 Y0 = Y;
  State6 k1;
  State6 k2;
  State6 k3;
  State6 k4;
  derivs_t(sim, field, t, Y0, k1);
  const double h2 = h / 2.0;
  for (int j = 0; j < 6; ++j) Y[j] = Y0[j] + h2 * k1[j];
  t = t + h2 / wl;
  derivs_t(sim, field, t, Y, k2);
  for (int j = 0; j < 6; ++j) Y[j] = Y0[j] + h2 * k2[j];
  derivs_t(sim, field, t, Y, k3);
  for (int j = 0; j < 6; ++j) Y[j] = Y0[j] + h * k3[j];
  t = t + h2 / wl;
  derivs_t(sim, field, t, Y, k4);
  const double h6 = h / 6.0;
  for (int j = 0; j < 6; ++j) Y[j] = Y0[j] + h6 * (k1[j] + 2.0 * k2[j] + 2.0 * k3[j] + k4[j]);
}

// Newton steps onto the exit plane at most.
inline constexpr int kMaxPlaneNewtonSteps = 100;

template <class Tracked>
void ref_to_exit_plane_t(TransportContext& sim, const Tracked& field, double& t, double h, State6& Y) {
  const StepGeometry& g = sim.transport.step;
  auto distance = [&](const State6& s) {
    return (s[0] - g.exit_px) * g.exit_nx + (s[2] - g.exit_pz) * g.exit_nz;
  };
  if (!(h >= kTimeMinStep)) exit_plane_not_reached(sim, Y, "integration step below 1e-8 cm");
  double d = 0.0;
  int n = 0;
  do {
    if (++n > kMaxTimeSteps) exit_plane_not_reached(sim, Y, "no progress in 100000 time steps");
    rk4_t(sim, field, t, h, Y);
    if (!time_state_usable(Y)) exit_plane_not_reached(sim, Y, "state not finite or beta >= 1");
    d = distance(Y);
  } while (!(sim.state.bmag_region == 2 && d >= 0.0));
  // Newton steps along the velocity normal to the plane.
  for (n = 0; std::abs(d) > kZrefTolerance; ++n) {
    const double vn = g.exit_nx * Y[3] + g.exit_nz * Y[5];
    if (n >= kMaxPlaneNewtonSteps || !(vn > 0.0))
      exit_plane_not_reached(sim, Y, "the path does not cross the plane");
    rk4_t(sim, field, t, -d / vn, Y);
    d = distance(Y);
  }
  const double vn = g.exit_nx * Y[3] + g.exit_nz * Y[5];
  const double vt = g.exit_nz * Y[3] - g.exit_nx * Y[5];
  const double xe = (Y[0] - g.exit_px) * g.exit_nz - (Y[2] - g.exit_pz) * g.exit_nx;
  const double y = Y[1];
  const double by = Y[4];
  Y = {xe, vt / vn, y, by / vn, t, std::sqrt(vn * vn + by * by + vt * vt)};
}

}  // namespace linac
