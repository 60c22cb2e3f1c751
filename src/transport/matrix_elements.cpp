#include "transport/matrix_elements.hpp"

#include <cmath>

#include <fmt/format.h>

#include "beam/stats.hpp"
#include "transport/transport_context.hpp"
#include "platform/fatal.hpp"
#include "transport/frame.hpp"
#include "transport/lens_matrices.hpp"
#include "transport/misalign.hpp"
#include "transport/point_elements.hpp"
#include "transport/reference.hpp"
#include "transport/seams.hpp"
#include "transport/stepping.hpp"

namespace linac {

namespace {

// The lens line of element n: length, effective length and aperture radius.
struct LensLine {
  double L = 0.0;   // cm
  double Lf = 0.0;  // cm
  double a = 0.0;   // cm
};

LensLine read_lens_line(TransportContext& sim, std::int32_t n) {
  const auto& P = sim.elements.elem_par[n];
  LensLine l{P[2], P[3], P[4]};
  // The gradient P1/a and the aperture test need a positive radius.
  if (!(l.a > 0.0))
    fatal({fmt::format(" {}: aperture radius P4 = {} cm of a lens by matrix", element_label(sim, n),
                       l.a),
           " give a positive radius"},
          true);
  sim.ref.elem_len = l.L;
  sim.ref.eff_len = l.Lf;
  sim.ref.aperture_r = l.a;
  return l;
}

// The one-shot scan factor, when it is meant for this lens, then the
// element's relative field error, on the field scale.
double scaled_field(TransportContext& sim, double scale) {
  ScanState& sc = sim.scan;
  if (sc.scan_mode == 2 && sc.elem == sc.cur_cdump) {
    scale = scale * sc.factor;
    sc.factor = 1.0;
  }
  return scale * (1.0 + sim.transport.misalign.rel_field_error);
}

// Steps 2..6 of a matrix lens: placement (and the error draw), reference,
// and the beam into the element. False in the error-drawing pass.
bool lens_entrance(TransportContext& sim, const LensLine& l) {
  ReferenceBlock& r = sim.ref;
  RunState& s = sim.state;
  place_element(sim, 0.0, l.L, 1.0, 0.0);
  if (s.idraw == 1) {
    misalign_draw(sim);
    return false;
  }
  r.aper_x = l.a;
  r.aper_y = l.a;
  ref_path_straight(sim, l.L);
  if (s.ipass == 1) {
    ReferenceHistory& h = sim.history;
    h.ref_W_in[s.ipos] = r.w0;
    h.elem_rf_phase[s.ipos] = 0.0;
    r.gamma_s = r.w0 / r.amu_kev + 1.0;
    r.beta_s = std::sqrt(1.0 - 1.0 / (r.gamma_s * r.gamma_s));
    // The design particle's phase advance over L.
    h.ref_phase_out[s.ipos] = l.L / (r.beta_s * r.wavelength_2pi);
    h.ref_W_out[s.ipos] = r.w0;
    ref_path_ends(sim);
  }
  ref_path_ends(sim);
  misalign_reuse(sim);
  misalign_in(sim);
  stat(sim, 0);
  return true;
}

// Carries every live particle through the lens whose map for (qa, beta) is
// map(qa, speed): entrance aperture, u = M v, exit aperture. The phase takes
// the design advance plus M(5,6) dW/W; beta (the energy) is unchanged.
// Losses are recorded in (charge state, slot) order, and elem_matrix is
// the matrix of the last particle carried through in that order.
template <class MapFn>
void carry_through_lens(TransportContext& sim, std::int32_t n, const LensLine& l, const MapFn& map) {
  ParticleArrays& p = sim.particles;
  ReferenceBlock& r = sim.ref;
  const int ipos = sim.state.ipos;
  const double W_in = sim.history.ref_W_in[ipos];
  const double phase_out = sim.history.ref_phase_out[ipos];
  const double amu = r.amu_kev;
  const double a2 = l.a * l.a;
  const double L = l.L;
  int last_iq = 0;
  int last_i = -1;
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
    double* x = p.x[iq];
    double* xp = p.xp[iq];
    double* y = p.y[iq];
    double* yp = p.yp[iq];
    double* phase = p.phase[iq];
    double* z = p.z[iq];
    const double* beta = p.beta[iq];
    const double* qa = p.qa[iq];
    const std::int8_t* outcome = judge_slots(sim, n, iq, [&](int i) {
      if (x[i] * x[i] + y[i] * y[i] > a2) return kSlotLostAtEntry;
      const ParticleSpeed sp = particle_speed(beta[i]);
      const LensMap m = map(qa[i], sp);
      const double dww = ((sp.gamma - 1.0) * amu - W_in) / W_in;
      const double v[4] = {x[i], xp[i], y[i], yp[i]};
      double u[4];
      for (int row = 0; row < 4; ++row)
        u[row] = m.t[row][0] * v[0] + m.t[row][1] * v[1] + m.t[row][2] * v[2] + m.t[row][3] * v[3];
      x[i] = u[0];
      xp[i] = u[1];
      y[i] = u[2];
      yp[i] = u[3];
      phase[i] = phase[i] + m.m56 * dww + phase_out;
      z[i] = L;
      return u[0] * u[0] + u[2] * u[2] > a2 ? kSlotLost : kSlotPassed;
    });
    for (int i = last_slot(sim, iq); i >= 0; --i) {
      if (outcome[i] == kSlotPassed || outcome[i] == kSlotLost) {
        last_iq = iq;
        last_i = i;
        break;
      }
    }
  }
  if (last_i < 0) return;
  const double qa_last = p.qa[last_iq][last_i];
  sim.transport.elem_matrix = lens_matrix6(map(qa_last, particle_speed(p.beta[last_iq][last_i])));
  // Scratch values the matrix routines leave: the last particle's Q/A and
  // the design speed of the drift parts.
  r.qa_push = qa_last;
  r.gamma_s = r.w0 / amu + 1.0;
  r.beta_s = std::sqrt(1.0 - 1.0 / (r.gamma_s * r.gamma_s));
}

}  // namespace

void sol_matrix_element(TransportContext& sim, std::int32_t n) {
  ReferenceBlock& r = sim.ref;
  sim.state.ipos += 1;
  sim.state.itype = 2;
  const double B = sim.elements.elem_par[n][1];
  r.field1 = std::abs(B) < kLensFieldMin ? kLensFieldMin : B;
  const LensLine l = read_lens_line(sim, n);
  if (!lens_entrance(sim, l)) return;
  r.field1 = scaled_field(sim, r.field1);
  const double field = r.field1;
  const LensDrifts e = lens_drifts(l.L, l.Lf, lens_design(r));
  // The design particle's Larmor angle Lf / Rb (rad), for the sections that
  // undo the solenoid rotation.
  const double gamma0 = 1.0 + r.w0 / r.amu_kev;
  const ParticleSpeed v0 = particle_speed(std::sqrt(1.0 - 1.0 / (gamma0 * gamma0)));
  sim.history.larmor_angle[sim.state.ipos] =
      e.Lf * field * (r.QDESIGN / r.ADESIGN) / (e.rigidity_scale * v0.bg);
  carry_through_lens(sim, n, l,
                     [&e, field](double qa, const ParticleSpeed& v) { return sol_map(e, qa, field, v); });
  finish_element(sim, l.L, false);
}

void quad_matrix_element(TransportContext& sim, std::int32_t n) {
  ReferenceBlock& r = sim.ref;
  sim.state.ipos += 1;
  sim.state.itype = 4;
  // Pole-tip field in T.
  const double Bt = sim.elements.elem_par[n][1] * 0.0001;
  r.field1 = std::abs(Bt) < kLensFieldMin ? kLensFieldMin : Bt;
  const LensLine l = read_lens_line(sim, n);
  if (!lens_entrance(sim, l)) return;
  const double G = scaled_field(sim, r.field1 / l.a);  // T/cm
  const LensDrifts e = lens_drifts(l.L, l.Lf, lens_design(r));
  carry_through_lens(sim, n, l,
                     [&e, G](double qa, const ParticleSpeed& v) { return quad_map(e, qa, G, v); });
  finish_element(sim, l.L, false);
}

void shrt_element(TransportContext& sim, std::int32_t n) {
  RunState& s = sim.state;
  const auto& P = sim.elements.elem_par[n];
  s.ipos += 1;
  s.itype = 23;
  if (s.idraw == 1) return;
  const double theta = P[1] * kDegToRad;
  const double dx = P[2];
  const double dy = P[3];
  zero_length_reference(sim);
  stat(sim, 0);
  sim.transport.elem_matrix = rotation_matrix(theta);
  const double c = std::cos(theta);
  const double sn = std::sin(theta);
  ParticleArrays& p = sim.particles;
  // The beam turns; the element frame does not.
  for_each_live_slot(sim, [&](int iq, int i) {
    const double x = p.x[iq][i], xp = p.xp[iq][i], y = p.y[iq][i], yp = p.yp[iq][i];
    p.x[iq][i] = c * x + sn * y + dx;
    p.xp[iq][i] = c * xp + sn * yp;
    p.y[iq][i] = -sn * x + c * y + dy;
    p.yp[iq][i] = -sn * xp + c * yp;
  });
  stat(sim, sim.ref.nstep);
  if (sim.config.IACCEP == 1) {
    stat_acceptance_exit(sim);
    plot_step(sim, sim.ref.elem_len);
    return;
  }
  s.imoved = 1;
  if (sim.config.IGRAPH == 1) plot_step(sim, sim.ref.elem_len);
}

}  // namespace linac
