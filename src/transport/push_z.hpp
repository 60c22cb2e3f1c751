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
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "transport/field_at.hpp"
#include "transport/field_lanes.hpp"

namespace linac {

struct TransportContext;

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

// Where push_lanes_z keeps the end-of-step derivative of each slot for the
// slot's next step (k: six values per slot; valid: whether they hold). The
// caller clears `valid` whenever a particle's state or the field may change
// between two steps; without arrays nothing is kept.
struct FirstStageCache {
  double* k = nullptr;
  std::uint8_t* valid = nullptr;
};

// Whether the states S[.][l] of the lanes are usable (state_usable): every
// value finite (v - v is 0 exactly then, NaN for an infinity or a NaN) and
// 0 < beta < 1; all values and lanes tested together on vector registers.
template <int W>
inline void lanes_usable(const double (&S)[6][W], bool* usable) {
  if constexpr (W == 4) {
    using V = double __attribute__((vector_size(32)));
    using M = long __attribute__((vector_size(32)));
    V v[6];
    std::memcpy(v, S, sizeof v);
    const V zero{};
    M ok = (v[5] > zero) & (v[5] < zero + 1.0);
    for (int j = 0; j < 6; ++j) ok = ok & (v[j] - v[j] == zero);
    for (int l = 0; l < W; ++l) usable[l] = ok[l] != 0;
  } else {
    for (int l = 0; l < W; ++l) {
      bool ok = S[5][l] > 0.0 && S[5][l] < 1.0;
      for (int j = 0; j < 6; ++j) ok = ok && S[j][l] - S[j][l] == 0.0;
      usable[l] = ok;
    }
  }
}

// K[j][l] := K[j][l] where skip[l], else 0 where dead[l], else D[j][l];
// for four lanes on vector registers.
template <int W>
inline void keep_or_take(double (&K)[6][W], const double (&D)[6][W], const bool* skip, const bool* dead) {
  if constexpr (W == 4) {
    using V = double __attribute__((vector_size(32)));
    using M = long __attribute__((vector_size(32)));
    M keep;
    M zero;
    bool any_keep = false;
    for (int l = 0; l < W; ++l) {
      keep[l] = skip[l] ? -1 : 0;
      zero[l] = dead[l] ? -1 : 0;
      any_keep = any_keep || skip[l];
    }
    for (int j = 0; j < 6; ++j) {
      V d;
      std::memcpy(&d, D[j], sizeof d);
      V k = zero ? V{} : d;
      // K is read only where it is kept (a stage without kept lanes may
      // come with K not yet written).
      if (any_keep) {
        V kept;
        std::memcpy(&kept, K[j], sizeof kept);
        k = keep ? kept : k;
      }
      std::memcpy(K[j], &k, sizeof k);
    }
  } else {
    for (int j = 0; j < 6; ++j)
      for (int l = 0; l < W; ++l) K[j][l] = skip[l] ? K[j][l] : (dead[l] ? 0.0 : D[j][l]);
  }
}

// Writes lane l of a block back to its slot i: the state y and position z
// after the lane's last step, and its end-point derivative k as the first
// stage of the slot's next step when the caller keeps first stages.
template <int W>
inline void store_lane(const SlotView& p, const FirstStageCache& cache, int i, int l, const double (&k)[6][W],
                       const double (&y)[6][W], double z) {
  if (cache.valid != nullptr) {
    for (int j = 0; j < 6; ++j) cache.k[6 * static_cast<std::ptrdiff_t>(i) + j] = k[j][l];
    cache.valid[i] = 1;
  }
  p.x[i] = y[0][l];
  p.xp[i] = y[1][l];
  p.y[i] = y[2][l];
  p.yp[i] = y[3][l];
  p.phase[i] = y[4][l];
  p.beta[i] = y[5][l];
  p.z[i] = z;
}

// Stages 2 to 4 and the end point of push_lanes_z in a field that is +0
// everywhere (field_is_zero), from the start states of the slots and the
// first stage's derivative k1[6][W] of the lanes, or, with k1 = nullptr,
// the kept derivatives of all live lanes (dead: lost so far), for nsteps
// steps in a row: lost_step[l] := the step (1..nsteps) in which lane l was
// lost, 0 if it was not. Each lane is written back, with its kept
// derivative, as it stood after its last step; a lane lost in the first
// step is not written. The stage states, their usability and
// aperture tests and the Runge-Kutta sums are those of push_lanes_z, the
// same operations in the same order on vector registers; only the
// derivative of each stage is not formed from the equations of motion:
//   in a +0 field the derivative of x' and y' is F S (+0) and that of beta
//   F/gamma^2 (+0), signed zeros that depend only on the sign of Q/A, so a
//   stage moves x' and y' by a zero at most (a -0 slope may become +0) and
//   leaves beta as it is; the derivative of the phase, S/(beta lambda/2pi),
//   sees x'^2, y'^2 and beta, the same at every stage. Those four
//   components of k1 are therefore, bit for bit, what every later stage and
//   the end point would give, and only dx/dz = x', dy/dz = y' change: they
//   are taken from each stage's state.
// A stage whose state is not usable (a force that overflowed to a NaN)
// loses its lane before its derivative is used, as in push_lanes_z.
template <int W, class Field>
inline void push_stages_zero_field(const Field& field, const SlotView& p, const int* slots, int count, double h,
                                   const double (*k1)[W], bool* dead, int nsteps, int* lost_step,
                                   const FirstStageCache& cache) {
  static_assert(W == 4, "four lanes fill one vector register");
  using V = double __attribute__((vector_size(32)));
  using M = long __attribute__((vector_size(32)));
  // The start states and, when every live lane's first stage was kept,
  // that stage are read from the particle arrays and the kept derivatives
  // straight into vector registers: push_lanes_z holds the same values in
  // its arrays, but reading back what was just stored value by value would
  // wait on the stores.
  int at[W];
  for (int l = 0; l < W; ++l) at[l] = slots[l < count ? l : 0];
  const double* const rows[6] = {p.x, p.xp, p.y, p.yp, p.phase, p.beta};
  V y0[6];
  for (int j = 0; j < 6; ++j) y0[j] = V{rows[j][at[0]], rows[j][at[1]], rows[j][at[2]], rows[j][at[3]]};
  V zv{p.z[at[0]], p.z[at[1]], p.z[at[2]], p.z[at[3]]};
  V k[6];  // the derivative of the stage before
  if (k1 == nullptr) {
    for (int j = 0; j < 6; ++j) {
      const double* kj = cache.k + j;
      k[j] = V{kj[6 * static_cast<std::ptrdiff_t>(at[0])], kj[6 * static_cast<std::ptrdiff_t>(at[1])],
               kj[6 * static_cast<std::ptrdiff_t>(at[2])], kj[6 * static_cast<std::ptrdiff_t>(at[3])]};
    }
  } else {
    std::memcpy(k, k1, sizeof k);  // k1[6][W]
  }
  const double h2 = h / 2.0;
  const double h6 = h / 6.0;
  double Y[6][W];
  double zs_l[W];
  for (int l = 0; l < W; ++l) lost_step[l] = 0;
  // The usability and aperture tests of the state Y at zs_l.
  auto test = [&]() {
    bool ok[W];
    lanes_usable<W>(Y, ok);
    for (int l = 0; l < W; ++l) ok[l] = ok[l] & !dead[l];
    bool inside[W];
    aperture_lanes<W>(field, Y[0], Y[2], zs_l, Y[4], ok, inside);
    for (int l = 0; l < W; ++l) dead[l] = !inside[l];
  };
  // Each step starts from the end state and derivative of the step before,
  // kept in registers; a lane lost in a step keeps its state from before it.
  for (int step = 1; step <= nsteps; ++step) {
    V sum[6];  // k1 + 2 k2 + 2 k3 + k4, added in that order
    for (int j = 0; j < 6; ++j) sum[j] = k[j];
    V zs = zv + h2;
    V ks[6];  // the derivative of the stage before, within the step
    for (int j = 0; j < 6; ++j) ks[j] = k[j];
    // Stage state Y0 + c k, its tests, and its dx/dz, dy/dz into ks.
    auto stage = [&](double c) {
      V y[6];
      for (int j = 0; j < 6; ++j) y[j] = y0[j] + c * ks[j];
      std::memcpy(Y, y, sizeof Y);
      std::memcpy(zs_l, &zs, sizeof zs_l);
      test();
      ks[0] = y[1];
      ks[2] = y[3];
    };
    stage(h2);  // stage 2 at z + h/2
    for (int j = 0; j < 6; ++j) sum[j] = sum[j] + 2.0 * ks[j];
    stage(h2);  // stage 3 at z + h/2
    for (int j = 0; j < 6; ++j) sum[j] = sum[j] + 2.0 * ks[j];
    zs = zs + h2;
    stage(h);  // stage 4 at z + h
    for (int j = 0; j < 6; ++j) sum[j] = sum[j] + ks[j];
    // The end point: its derivative is the first stage of the next step.
    V y[6];
    for (int j = 0; j < 6; ++j) y[j] = y0[j] + h6 * sum[j];
    std::memcpy(Y, y, sizeof Y);
    zs = zv + h;
    std::memcpy(zs_l, &zs, sizeof zs_l);
    test();
    ks[0] = y[1];
    ks[2] = y[3];
    M live;
    bool any = false;
    for (int l = 0; l < W; ++l) {
      if (dead[l] && lost_step[l] == 0 && l < count) lost_step[l] = step;
      live[l] = dead[l] ? 0 : -1;
      any = any || !dead[l];
    }
    for (int j = 0; j < 6; ++j) {
      y0[j] = live ? y[j] : y0[j];
      k[j] = live ? ks[j] : k[j];
    }
    zv = live ? zs : zv;
    if (!any) break;
  }
  double K[6][W];
  double Yk[6][W];
  double Z[W];
  std::memcpy(K, k, sizeof K);
  std::memcpy(Yk, y0, sizeof Yk);
  std::memcpy(Z, &zv, sizeof Z);
  // Every lane that made at least one step is written back as it stood
  // after its last step.
  for (int l = 0; l < count; ++l) {
    if (lost_step[l] == 1) continue;
    store_lane<W>(p, cache, slots[l], l, K, Yk, Z[l]);
  }
}

// nsteps steps of length h of the slots of a block (count <= 4) in a field
// that is +0 everywhere, the first stage of every live slot kept in cache:
// each slot gets exactly the pushes of nsteps calls of push_lanes_z, the
// state carried from step to step in registers. lost_step[l] is the step
// (1..nsteps) in which lane l was lost, 0 if it was not; a lost slot keeps
// its state from before that step. Call it only where field_is_zero(field)
// and cache.valid is set for every slot.
template <class Field>
inline void push_block_zero_field_steps(const Field& field, const SlotView& p, const int* slots, int count,
                                        double h, int nsteps, int* lost_step, const FirstStageCache& cache) {
  if (std::abs(h) < kPushMinStep) {
    for (int l = 0; l < 4; ++l) lost_step[l] = 0;
    return;
  }
  bool dead[4];
  for (int l = 0; l < 4; ++l) dead[l] = l >= count;
  push_stages_zero_field<4>(field, p, slots, count, h, nullptr, dead, nsteps, lost_step, cache);
}

// The same compiled for processors with AVX2 (see push_lanes_z_avx2).
template <class Field>
[[gnu::target("avx2"), gnu::flatten]] void push_block_zero_field_steps_avx2(
    const Field& field, const SlotView& p, const int* slots, int count, double h, int nsteps, int* lost_step,
    const FirstStageCache& cache) {
  push_block_zero_field_steps(field, p, slots, count, h, nsteps, lost_step, cache);
}

// The same step for up to W slots at once (slots[0..count-1], count <= W):
// the lanes advance in lockstep, so the divisions and square roots of
// different particles overlap in the processor instead of waiting on each
// other. Each lane performs exactly the operations of push_slot_z in the
// same order, so the results are bit for bit those of push_slot_z; lost[l]
// tells whether lane l was lost (its slot then keeps its state). A lost lane
// is not evaluated in the field again.
template <int W, class Field>
inline void push_lanes_z(const Field& field, const SlotView& p, const int* slots, int count,
                         double h, double wavelength_2pi, bool* lost,
                         const FirstStageCache& cache = {}) {
  // A field that is +0 everywhere needs no derivative once the first stage
  // of every live lane is kept (see push_stages_zero_field).
  if constexpr (W == 4) {
    if (field_is_zero(field) && cache.valid != nullptr) {
      bool all_kept = true;
      for (int l = 0; l < count; ++l) all_kept = all_kept && cache.valid[slots[l]] != 0;
      if (all_kept) {
        // Kept first stages are of usable states inside the aperture.
        int lost_step[W];
        push_block_zero_field_steps(field, p, slots, count, h, 1, lost_step, cache);
        for (int l = 0; l < count; ++l) lost[l] = lost_step[l] != 0;
        return;
      }
    }
  }
  double Y0[6][W];
  double Y[6][W];
  double k1[6][W];
  double k2[6][W];
  double k3[6][W];
  double k4[6][W];
  double qa[W];
  double z[W];
  bool dead[W];
  bool cached[W];
  for (int l = 0; l < W; ++l) {
    const int i = slots[l < count ? l : 0];
    cached[l] = cache.valid != nullptr && l < count && cache.valid[i] != 0;
    qa[l] = p.qa[i];
    Y0[0][l] = p.x[i];
    Y0[1][l] = p.xp[i];
    Y0[2][l] = p.y[i];
    Y0[3][l] = p.yp[i];
    Y0[4][l] = p.phase[i];
    Y0[5][l] = p.beta[i];
    z[l] = p.z[i];
    dead[l] = l >= count;
  }
  // One derivative evaluation for every live lane at (zs[l], S): marks lanes
  // whose state is unusable or whose point is outside the aperture. The
  // equations of motion are evaluated for every lane (a dead lane's values
  // are discarded) so the lanes run together on vector registers.
  // Lanes with skip[l] set keep K as it is (known inside, usable).
  auto stage = [&](const double (&S)[6][W], const double* zs, double (&K)[6][W], const bool* skip) {
    // Nothing to evaluate when every lane is lost or keeps K: the loops
    // below would leave dead and K as they are.
    bool any = false;
    for (int l = 0; l < W; ++l) any = any || (!dead[l] && !skip[l]);
    if (!any) {
      for (int j = 0; j < 6; ++j)
        for (int l = 0; l < W; ++l) K[j][l] = skip[l] ? K[j][l] : 0.0;
      return;
    }
    // Lanes to evaluate: live, not keeping K, with a usable state.
    bool active[W];
    lanes_usable<W>(S, active);
    for (int l = 0; l < W; ++l) active[l] = active[l] & !dead[l] & !skip[l];
    bool inside[W];
    double E[3][W];
    double B[3][W];
    field_lanes<W>(field, S[0], S[2], zs, S[4], active, E, B, inside);
    for (int l = 0; l < W; ++l) dead[l] = !inside[l] & !skip[l];
    double D[6][W];
    for (int l = 0; l < W; ++l) {
      const double xp = S[1][l];
      const double yp = S[3][l];
      const double beta = S[5][l];
      const double gamma = 1.0 / std::sqrt(1.0 - beta * beta);
      const double Sp = std::sqrt(1.0 + xp * xp + yp * yp);
      const double F = qa[l] * kForceK / (beta * gamma);
      D[0][l] = xp;
      D[1][l] = F * Sp * ((E[0][l] - xp * E[2][l]) * Sp / beta + B[0][l] * xp * yp - B[1][l] * (1.0 + xp * xp) + B[2][l] * yp);
      D[2][l] = yp;
      D[3][l] = F * Sp * ((E[1][l] - yp * E[2][l]) * Sp / beta + B[0][l] * (1.0 + yp * yp) - B[1][l] * xp * yp - B[2][l] * xp);
      D[4][l] = Sp / (beta * wavelength_2pi);
      D[5][l] = F / (gamma * gamma) * (E[0][l] * xp + E[1][l] * yp + E[2][l]);
    }
    keep_or_take<W>(K, D, skip, dead);
  };
  const bool none[W] = {};
  double zs[W];
  // The first stage of a lane whose end-of-step derivative is remembered
  // is that derivative: the same state at the same z in the same field.
  for (int l = 0; l < W; ++l)
    for (int j = 0; j < 6; ++j)
      k1[j][l] = cached[l] ? cache.k[6 * static_cast<std::ptrdiff_t>(slots[l]) + j] : 0.0;
  stage(Y0, z, k1, cached);
  if (std::abs(h) < kPushMinStep) {
    for (int l = 0; l < count; ++l) lost[l] = dead[l];
    return;
  }
  const double h2 = h / 2.0;
  // A field that is +0 everywhere needs no derivative after the first.
  if constexpr (W == 4) {
    if (field_is_zero(field)) {
      int lost_step[W];
      push_stages_zero_field<W>(field, p, slots, count, h, k1, dead, 1, lost_step, cache);
      for (int l = 0; l < count; ++l) lost[l] = lost_step[l] != 0;
      return;
    }
  }
  for (int l = 0; l < W; ++l) zs[l] = z[l] + h2;
  for (int j = 0; j < 6; ++j)
    for (int l = 0; l < W; ++l) Y[j][l] = Y0[j][l] + h2 * k1[j][l];
  stage(Y, zs, k2, none);
  for (int j = 0; j < 6; ++j)
    for (int l = 0; l < W; ++l) Y[j][l] = Y0[j][l] + h2 * k2[j][l];
  stage(Y, zs, k3, none);
  for (int l = 0; l < W; ++l) zs[l] = zs[l] + h2;
  for (int j = 0; j < 6; ++j)
    for (int l = 0; l < W; ++l) Y[j][l] = Y0[j][l] + h * k3[j][l];
  stage(Y, zs, k4, none);
  const double h6 = h / 6.0;
  for (int j = 0; j < 6; ++j)
    for (int l = 0; l < W; ++l)
      Y[j][l] = Y0[j][l] + h6 * (k1[j][l] + 2.0 * k2[j][l] + 2.0 * k3[j][l] + k4[j][l]);
  for (int l = 0; l < W; ++l) zs[l] = z[l] + h;
  // End-point probe of the aperture; its derivative is the first stage of
  // the particle's next step when the caller keeps it.
  stage(Y, zs, k1, none);
  for (int l = 0; l < count; ++l) {
    lost[l] = dead[l];
    if (dead[l]) continue;
    store_lane<W>(p, cache, slots[l], l, k1, Y, zs[l]);
  }
}

// push_lanes_z compiled for processors with AVX2: the four lanes fill one
// vector register. Only the instruction set differs (no fused multiply-add),
// every operation is the same correctly rounded one in the same order, so
// the results are bit for bit those of push_lanes_z. Call it only where
// cpu_has_avx2() holds.
template <int W, class Field>
[[gnu::target("avx2"), gnu::flatten]] void push_lanes_z_avx2(
    const Field& field, const SlotView& p, const int* slots, int count, double h,
    double wavelength_2pi, bool* lost, const FirstStageCache& cache) {
  push_lanes_z<W>(field, p, slots, count, h, wavelength_2pi, lost, cache);
}

// Whether the processor running the program has AVX2.
inline bool cpu_has_avx2() { return __builtin_cpu_supports("avx2"); }

// The particle arrays of charge state iq.
SlotView slot_view(TransportContext& sim, int iq);

// The last particle slot of charge state iq: slots 0..NPAT + ntest hold the
// beam and the test particles.
int last_slot(const TransportContext& sim, int iq);

// The single-particle integrations through the run context (derivs_z,
// rk4_z, push_particle_z, integrate_to_element_end) are in
// transport/integrate_z.hpp.

}  // namespace linac
