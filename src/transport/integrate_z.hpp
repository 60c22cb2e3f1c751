// Single-particle integrations in z through the run context: the design
// particle, field probes and the push of one particle of the particle block.
// They keep the side results of every derivative evaluation in the run
// context (beta_s, gamma_s, last_E, last_B, ilost) and are not reentrant;
// the particle loop of the stepping template uses push_lanes_z instead.
#pragma once

#include "transport/transport_context.hpp"
#include "transport/push_z.hpp"

namespace linac {

// A field source that keeps the run context's record of the last
// evaluation: last_E, last_B, and ilost := -1 outside the aperture.
template <class Source>
struct TrackedField {
  TransportContext* sim;
  FieldAt<Source> field;
  bool operator()(double x, double y, double z, double t, Vec3& E, Vec3& B) const {
    const bool inside = field(x, y, z, t, E, B);
    note_field_evaluation(*sim, inside, E, B);
    return inside;
  }
};

// field_at of the current element type as a tracked field source.
struct SimField {
  TransportContext* sim;
  bool operator()(double x, double y, double z, double t, Vec3& E, Vec3& B) const;
};

// dY/dz at (z, Y) with Q/A = qa_push; beta_s := beta, gamma_s := gamma.
template <class Tracked>
void derivs_z(TransportContext& sim, const Tracked& field, double z, const State6& Y, State6& dY) {
  double gamma = 0.0;
  derivs_z(field, z, Y, dY, sim.ref.qa_push, sim.ref.wavelength_2pi, gamma);
  sim.ref.beta_s = Y[5];
  sim.ref.gamma_s = gamma;
}

// One classical Runge-Kutta step of length h; z advances by h. The
// derivative at the start is always evaluated (h = 0 probes the field);
// steps shorter than 1e-8 cm change nothing. Never looks at ilost.
template <class Tracked>
void rk4_z(TransportContext& sim, const Tracked& field, double& z, double h, State6& Y) {
  const State6 Y0 = Y;
  State6 k1;
  State6 k2;
  State6 k3;
  State6 k4;
  derivs_z(sim, field, z, Y0, k1);
  if (std::abs(h) < kRk4MinStep) return;
  const double h2 = h / 2.0;
  for (int j = 0; j < 6; ++j) Y[j] = Y0[j] + h2 * k1[j];
  z = z + h2;
  derivs_z(sim, field, z, Y, k2);
  for (int j = 0; j < 6; ++j) Y[j] = Y0[j] + h2 * k2[j];
  derivs_z(sim, field, z, Y, k3);
  for (int j = 0; j < 6; ++j) Y[j] = Y0[j] + h * k3[j];
  z = z + h2;
  derivs_z(sim, field, z, Y, k4);
  const double h6 = h / 6.0;
  for (int j = 0; j < 6; ++j) Y[j] = Y0[j] + h6 * (k1[j] + 2.0 * k2[j] + 2.0 * k3[j] + k4[j]);
}

// The same through field_at of the current element.
void derivs_z(TransportContext& sim, double z, const State6& Y, State6& dY);
void rk4_z(TransportContext& sim, double& z, double h, State6& Y);

// One step of particle (i, iq) of the particle block through field_at;
// ilost := -1 when it is lost, 0 otherwise (qa_push := its Q/A).
void push_particle_z(TransportContext& sim, int i, int iq, double h);

// Integrates a state to the exit plane z = exit_pz: steps of h while
// z < exit_pz (at least one), then one step of h := exit_pz - z back onto the
// plane; h keeps that last value. A step shorter than 1e-8 cm could never
// reach the plane and stops the run with a message.
void integrate_to_element_end(TransportContext& sim, double& z, double& h, State6& Y);

}  // namespace linac
