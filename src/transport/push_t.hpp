// Particle push with time as independent variable: the step variable is
// c t in cm and the clock the RF phase (a step h advances it by
// h / wavelength_2pi). The state is Y = (x, y, z [cm, element frame],
// beta_x, beta_y, beta_z [velocity over c]); the equations of motion are the
// exact relativistic Lorentz-force equations for the velocity,
//   d(x, y, z)/d(ct) = beta
//   d beta/d(ct) = (Q/A) K / gamma (E + beta x B - (E . beta) beta)
// with E/c and B in tesla from the field source and K = e/(m_u c).
//
// The field-map elements push in time when iflag_dudt = 1: each live
// particle is carried to the step's target plane z = zref by
// advance_slot_to_zref, in time steps chosen by time_step_slot.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

#include "common/constants.hpp"
#include "transport/push_z.hpp"

namespace linac {

struct TransportContext;

// Time steps shorter than this (c t, cm) make no progress: a particle that
// needs one is lost.
inline constexpr double kTimeMinStep = 1e-8;
// A particle within this distance of the target plane has reached it, cm.
inline constexpr double kZrefTolerance = 1e-6;
// Most time steps one particle may take to reach the target of one element
// step; a particle that needs more is lost.
inline constexpr int kMaxTimeSteps = 100000;
// A particle whose forward velocity falls to beta/1000 or below has stopped
// or turns back, and is lost.
inline constexpr double kForwardFraction = 1e-3;

// dY/d(ct) at (t, Y) for a particle of charge-to-mass ratio qa. Returns
// false when the point lies outside the aperture; gamma of the state in
// `gamma`, the field (E/c and B, T) in E and B.
template <class Field>
inline bool derivs_t(const Field& field, double t, const State6& Y, State6& dY, double qa,
                     double& gamma, Vec3& E, Vec3& B) {
  const bool inside = field(Y[0], Y[1], Y[2], t, E, B);
  const double bx = Y[3];
  const double by = Y[4];
  const double bz = Y[5];
  gamma = 1.0 / std::sqrt(1.0 - (bx * bx + by * by + bz * bz));
  const double G = qa * kForceK / gamma;
  const double Eb = E[0] * bx + E[1] * by + E[2] * bz;
  dY[0] = bx;
  dY[1] = by;
  dY[2] = bz;
  dY[3] = G * (E[0] + by * B[2] - bz * B[1] - Eb * bx);
  dY[4] = G * (E[1] + bz * B[0] - bx * B[2] - Eb * by);
  dY[5] = G * (E[2] + bx * B[1] - by * B[0] - Eb * bz);
  return inside;
}

// A time state the equations can take: finite, with |beta| < 1.
inline bool time_state_usable(const State6& Y) {
  for (double v : Y)
    if (!std::isfinite(v)) return false;
  return Y[3] * Y[3] + Y[4] * Y[4] + Y[5] * Y[5] < 1.0;
}

// The particle arrays of one charge state that the push in time reads and
// writes.
struct TimeSlotView {
  double* x;
  double* xp;
  double* y;
  double* yp;
  double* z;
  double* betax;
  double* betay;
  double* betaz;
  double* beta;
  double* phase;
  const double* qa;
};

// The derivative dY/d(ct) and the field (E/c and B, T) at a slot's current
// state, kept between the time steps of one advance (see push_slot_t).
struct TimeStepStart {
  bool valid = false;
  State6 k{};
  Vec3 E{};
  Vec3 B{};
};

// The outcome of one time step of a slot: lost, and the field at its start.
struct TimeStepResult {
  bool lost = false;
  Vec3 E{};  // E/c at the start point, T
  Vec3 B{};  // B at the start point, T
};

// One fourth-order Runge-Kutta step in time of length h (c t, cm) of slot
// i, with a fifth field evaluation at the end point as aperture probe. The
// particle is lost when a stage or the end point lies outside the aperture
// or its state becomes unusable; nothing is written back then. With
// |h| < 1e-8 only the field at the start point is evaluated. On success x,
// y, z, the velocity, the phase, beta = |beta vector|, xp = beta_x/beta_z
// and yp = beta_y/beta_z are written. Reads and writes slot i only.
// `start`, when given, carries the derivative and field at the slot's
// current state from one call to the next: a valid one is used as the
// first stage instead of evaluating the field again (the same state at the
// same phase in the same field), and on success it is set to the end-point
// evaluation, which is the next step's start.
template <class Field>
inline TimeStepResult push_slot_t(const Field& field, const TimeSlotView& p, int i, double h,
                                  double wavelength_2pi, TimeStepStart* start = nullptr) {
  TimeStepResult r;
  const double qa = p.qa[i];
  const State6 Y0{p.x[i], p.y[i], p.z[i], p.betax[i], p.betay[i], p.betaz[i]};
  double t = p.phase[i];
  State6 k1;
  State6 k2;
  State6 k3;
  State6 k4;
  State6 Y;
  double gamma;
  Vec3 E;
  Vec3 B;
  if (start != nullptr && start->valid) {
    k1 = start->k;
    r.E = start->E;
    r.B = start->B;
  } else {
    r.lost = !time_state_usable(Y0) || !derivs_t(field, t, Y0, k1, qa, gamma, r.E, r.B);
    if (start != nullptr && !r.lost) *start = {true, k1, r.E, r.B};
  }
  if (r.lost || std::abs(h) < kTimeMinStep) return r;
  if (start != nullptr) start->valid = false;
  const double h2 = h / 2.0;
  t = t + h2 / wavelength_2pi;
  for (int j = 0; j < 6; ++j) Y[j] = Y0[j] + h2 * k1[j];
  if (!time_state_usable(Y) || !derivs_t(field, t, Y, k2, qa, gamma, E, B)) return r.lost = true, r;
  for (int j = 0; j < 6; ++j) Y[j] = Y0[j] + h2 * k2[j];
  if (!time_state_usable(Y) || !derivs_t(field, t, Y, k3, qa, gamma, E, B)) return r.lost = true, r;
  t = t + h2 / wavelength_2pi;
  for (int j = 0; j < 6; ++j) Y[j] = Y0[j] + h * k3[j];
  if (!time_state_usable(Y) || !derivs_t(field, t, Y, k4, qa, gamma, E, B)) return r.lost = true, r;
  const double h6 = h / 6.0;
  for (int j = 0; j < 6; ++j) Y[j] = Y0[j] + h6 * (k1[j] + 2.0 * k2[j] + 2.0 * k3[j] + k4[j]);
  if (!time_state_usable(Y) || !derivs_t(field, t, Y, k1, qa, gamma, E, B)) return r.lost = true, r;
  p.x[i] = Y[0];
  p.y[i] = Y[1];
  p.z[i] = Y[2];
  p.betax[i] = Y[3];
  p.betay[i] = Y[4];
  p.betaz[i] = Y[5];
  p.phase[i] = t;
  p.beta[i] = std::sqrt(Y[3] * Y[3] + Y[4] * Y[4] + Y[5] * Y[5]);
  p.xp[i] = Y[3] / Y[5];
  p.yp[i] = Y[4] / Y[5];
  if (start != nullptr) *start = {true, k1, E, B};
  return r;
}

// The c t step (cm) for slot i in an element of step length step_len (cm):
// the smallest of
//   h1 = 0.1 (gamma - 1) / (|qa| K max(|E . beta|, 1e-5 beta))  (about 10 %
//        of the kinetic energy per step),
//   h2 = 2 pi / ((|B| + 1e-10) |qa| K gamma 50)  (a fiftieth of a gyration
//        period near gamma = 1),
//   h3 = step_len / beta  (the time to cross one element step).
// The magnitude of qa keeps the step positive for negative ions. `lost` is
// set when the particle lies outside the aperture or has nearly stopped
// (beta_z <= beta/1000).
// `accel_z`, when given, receives d beta_z / d(ct) at the particle (1/cm).
template <class Field>
inline double time_step_slot(const Field& field, const TimeSlotView& p, int i, double step_len,
                             double wavelength_2pi, bool& lost, double* accel_z = nullptr,
                             TimeStepStart* start = nullptr) {
  const TimeStepResult probe = push_slot_t(field, p, i, 0.0, wavelength_2pi, start);
  lost = probe.lost;
  const double beta = p.beta[i];
  if (p.betaz[i] <= beta * kForwardFraction) lost = true;
  if (lost) return 0.0;
  const double gamma = 1.0 / std::sqrt(1.0 - beta * beta);
  const double G0 = std::abs(p.qa[i]) * kForceK;
  const Vec3& E = probe.E;
  const Vec3& B = probe.B;
  const double Eb = E[0] * p.betax[i] + E[1] * p.betay[i] + E[2] * p.betaz[i];
  if (accel_z)
    *accel_z = p.qa[i] * kForceK / gamma *
               (E[2] + p.betax[i] * B[1] - p.betay[i] * B[0] - Eb * p.betaz[i]);
  const double h1 = 0.1 * (gamma - 1.0) / (G0 * std::max(std::abs(Eb), beta * 1e-5));
  const double Bmag = std::sqrt(B[0] * B[0] + B[1] * B[1] + B[2] * B[2]);
  const double h2 = 2.0 * kPi / ((Bmag + 1e-10) * G0 * gamma * 50.0);
  const double h3 = step_len / beta;
  return std::min(h1, std::min(h2, h3));
}

// The velocity vector of slot i from its slopes and speed: beta_z =
// beta / sqrt(1 + x'^2 + y'^2), beta_x = x' beta_z, beta_y = y' beta_z. The
// push in z, the misalignment moves and the space-charge kick change only
// x', y' and beta, so the time push starts every advance from them.
inline void refresh_velocity(const TimeSlotView& p, int i) {
  const double xp = p.xp[i];
  const double yp = p.yp[i];
  const double bz = p.beta[i] / std::sqrt(1.0 + xp * xp + yp * yp);
  p.betaz[i] = bz;
  p.betax[i] = xp * bz;
  p.betay[i] = yp * bz;
}

// The c t a particle at forward velocity bz with forward acceleration a
// (d beta_z / d(ct), 1/cm) needs to cover the distance s (cm): the root of
// s = bz h + a h^2 / 2, shortened by a part in 1e8 so that the step ends
// before the target rather than beyond it. A step that ended beyond the
// element's exit would take its last Runge-Kutta stage outside a table
// field that ends there, and lose a sixth of that step's field.
inline double time_to_reach(double s, double bz, double a) {
  const double disc = bz * bz + 2.0 * a * s;
  const double h = disc > 0.0 ? 2.0 * s / (bz + std::sqrt(disc)) : s / bz;
  return h * (1.0 - 1e-8);
}

// Brings slot i to the plane z = zref in time steps; a particle beyond the
// plane is stepped back with negative steps, one within 1e-6 cm of it is
// not moved. Returns true when the particle is lost: outside the aperture,
// stopped, a time step below 1e-8 cm, or more than kMaxTimeSteps steps.
template <class Field>
inline bool advance_slot_to_zref(const Field& field, const TimeSlotView& p, int i, double zref,
                                 double step_len, double wavelength_2pi) {
  refresh_velocity(p, i);
  double d = p.z[i] - zref;
  // The field at the start of each time step: the step-size probe's
  // evaluation is the first Runge-Kutta stage, and a step's end-point probe
  // the next step's start.
  TimeStepStart start;
  for (int n = 0; std::abs(d) >= kZrefTolerance; ++n) {
    if (n >= kMaxTimeSteps) return true;
    bool lost = false;
    double accel = 0.0;
    const double T = time_step_slot(field, p, i, step_len, wavelength_2pi, lost, &accel, &start);
    if (lost || !(T >= kTimeMinStep)) return true;
    double h = d < 0.0 ? std::min(T, time_to_reach(-d, p.betaz[i], accel))
                       : -std::min(T, d / p.betaz[i]);
    if (push_slot_t(field, p, i, h, wavelength_2pi, &start).lost) return true;
    d = p.z[i] - zref;
  }
  return false;
}

// The arrays of charge state iq for the push in time.
TimeSlotView time_slot_view(TransportContext& sim, int iq);

// The single-particle operations through the run context, with the field
// of the current element (field_at) or a tracked field source (see
// integrate_z.hpp): they keep qa_push, gamma_s, last_E, last_B and ilost as
// the design-particle and scan code read them.

// dY/d(ct) at (t, Y) with Q/A = qa_push; gamma_s := gamma.
template <class Tracked>
void derivs_t(TransportContext& sim, const Tracked& field, double t, const State6& Y, State6& dY);

// One classical Runge-Kutta step in time of length h; t advances by
// h / wavelength_2pi. No threshold, no loss test.
template <class Tracked>
void rk4_t(TransportContext& sim, const Tracked& field, double& t, double h, State6& Y);

// Integrates a time state (t, Y) with steps h until the bending magnet's
// region flag reads 2 (exit fringe) and the state lies on or beyond the exit
// plane of step_geometry, then onto the plane by Newton steps, and returns it
// as an exit-frame state Y = (x_e, x'_e, y, y'_e, t, beta). A state that
// makes no progress towards the plane stops the run with a message naming
// the element.
template <class Tracked>
void ref_to_exit_plane_t(TransportContext& sim, const Tracked& field, double& t, double h, State6& Y);

// The same through field_at of the current element.
void derivs_t(TransportContext& sim, double t, const State6& Y, State6& dY);
void rk4_t(TransportContext& sim, double& t, double h, State6& Y);
void ref_to_exit_plane_t(TransportContext& sim, double& t, double h, State6& Y);

// One time step of particle (i, iq); ilost := -1 when lost, else 0.
void push_particle_t(TransportContext& sim, int i, int iq, double h);

// The c t step for particle (i, iq) (ilost := -1 when it is lost).
double time_step(TransportContext& sim, int i, int iq);

// Particle (i, iq) to the current step's zref: one push in z of step_len
// when iflag_dudt is not 1, time steps otherwise. ilost := -1 when lost.
void advance_to_zref(TransportContext& sim, int i, int iq);

}  // namespace linac

#include "transport/push_t_impl.hpp"
