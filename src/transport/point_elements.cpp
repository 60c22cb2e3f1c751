#include "transport/point_elements.hpp"

#include <cmath>
#include <string>

#include <fmt/format.h>

#include "beam/lost_coord.hpp"
#include "beam/stats.hpp"
#include "numerics/random.hpp"
#include "platform/fatal.hpp"
#include "transport/reference.hpp"
#include "transport/seams.hpp"

namespace linac {

namespace {

// A trial-kick amplitude above this (mrad) marks the plane of a corrector
// as one the steering measurement uses.
constexpr double kTrialKickMin = 1e-7;

// Exit of the slit and the zero element.
void exit_with_acceptance(TransportContext& sim) {
  if (sim.config.IACCEP == 1) {
    stat_acceptance_exit(sim);
    plot_step(sim, sim.ref.elem_len);
  } else if (sim.config.IGRAPH == 1) {
    plot_step(sim, sim.ref.elem_len);
  }
}

void exit_plain(TransportContext& sim) {
  if (sim.config.IGRAPH == 1) plot_step(sim, sim.ref.elem_len);
}

// Test tag of a corrector line, checked against the trial steps 0..100.
int corrector_tag(const TransportContext& sim, std::int32_t n, int column) {
  const std::int32_t tag = sim.elements.elem_int[n][column];
  if (tag < 0 || tag >= kCorrectorKicks)
    fatal({fmt::format(" {}: test tag {} outside 0..{}", element_label(sim, n), tag,
                       kCorrectorKicks - 1)},
          true);
  return tag;
}

}  // namespace

void zero_length_reference(TransportContext& sim) {
  ref_path_straight(sim, sim.ref.elem_len);
  const int ipos = sim.state.ipos;
  ReferenceHistory& h = sim.history;
  if (sim.state.ipass == 1) {
    h.ref_W_in[ipos] = sim.ref.w0;
    h.elem_rf_phase[ipos] = 0.0;
    h.ref_phase_out[ipos] = 0.0;
    h.ref_W_out[ipos] = sim.ref.w0;
    ref_path_ends(sim);
  }
  ref_path_ends(sim);
}

std::int8_t* clear_slot_outcomes(TransportContext& sim, int last) {
  std::vector<std::int8_t>& v = sim.transport.slot_outcome;
  if (v.size() < static_cast<std::size_t>(kParticleSlots)) v.resize(kParticleSlots);
  std::fill(v.begin(), v.begin() + (last + 1), kSlotIdle);
  return v.data();
}

void record_slot_losses(TransportContext& sim, int n, int iq, int last, const std::int8_t* outcome) {
  std::int32_t* status = sim.particles.status[iq];
  double* z = sim.particles.z[iq];
  for (int i = 0; i <= last; ++i) {
    if (outcome[i] < kSlotLost) continue;
    status[i] = kLost;
    write_lost_particle(sim, n, i, iq, 0);
    z[i] = z[i] + sim.ref.z_entry;
  }
}

void slit_element(TransportContext& sim, std::int32_t n) {
  RunState& s = sim.state;
  const auto& P = sim.elements.elem_par[n];
  s.ipos += 1;
  s.itype = 12;
  const double ax = P[1];
  const double ay = P[2];
  // A zero horizontal half size with a cut in y would divide by zero.
  if (ax == 0.0 && ay != 0.0)
    fatal({fmt::format(" {}: slit half size P1 = 0 with P2 = {} cm", element_label(sim, n), ay),
           " give both half sizes, or P2 = 0 for no cut"},
          true);
  if (s.idraw == 1) return;
  zero_length_reference(sim);
  stat(sim, 0);

  // Cut: an ellipse of half axes (P1, |P2|) for P2 < 0 (the boundary is
  // lost), a rectangle of half sizes (P1, P2) for P2 > 0 (the boundary
  // passes), nothing for P2 = 0.
  sim.ref.aper_x = ax;
  sim.ref.aper_y = ay;
  if (ay != 0.0) {
    for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
      const double* x = sim.particles.x[iq];
      const double* y = sim.particles.y[iq];
      judge_slots(sim, n, iq, [=](int i) {
        const double u = std::abs(x[i] / ax);
        const double v = std::abs(y[i] / ay);
        const bool out = ay < 0.0 ? u * u + v * v >= 1.0 : (u > 1.0 || v > 1.0);
        return out ? kSlotLost : kSlotIdle;
      });
    }
  }
  stat(sim, sim.ref.nstep);
  exit_with_acceptance(sim);
}

void zero_element(TransportContext& sim, std::int32_t n) {
  RunState& s = sim.state;
  const auto& P = sim.elements.elem_par[n];
  s.ipos += 1;
  s.itype = 7;
  if (s.idraw == 1) return;
  zero_length_reference(sim);
  stat(sim, 0);
  if (sim.elements.elem_int[n][kElemN] > 0 && sim.config.IFLAG_CORR == 0) {
    // One residual offset for the whole beam, drawn anew at every pass.
    double u[5] = {};
    dRNUN(sim, 4, &u[1]);
    const auto& cen = sim.beam_moments.centroid;
    // Centroid of the statistics beam at the entrance; residual offsets in
    // cm and slopes in rad (P2 is given in mrad).
    const double Xc = cen[1], XPc = cen[2], Yc = cen[3], YPc = cen[4];
    const double rx = (1.0 - 2.0 * u[1]) * P[1];
    const double rxp = (1.0 - 2.0 * u[2]) * P[2] / 1000.0;
    const double ry = (1.0 - 2.0 * u[3]) * P[1];
    const double ryp = (1.0 - 2.0 * u[4]) * P[2] / 1000.0;
    ParticleArrays& p = sim.particles;
    for_each_live_slot(sim, [&](int iq, int i) {
      p.x[iq][i] = p.x[iq][i] - Xc + rx;
      p.xp[iq][i] = p.xp[iq][i] - XPc + rxp;
      p.y[iq][i] = p.y[iq][i] - Yc + ry;
      p.yp[iq][i] = p.yp[iq][i] - YPc + ryp;
    });
    stat(sim, sim.ref.nstep);
  }
  exit_with_acceptance(sim);
}

void phcor_element(TransportContext& sim, std::int32_t n) {
  RunState& s = sim.state;
  auto& P = sim.elements.elem_par[n];
  s.ipos += 1;
  if (s.idraw == 1) return;
  zero_length_reference(sim);
  stat(sim, 0);
  // No shift until the longitudinal correction of the section is set.
  if (sim.corr.corr_on_long == 0) P[9] = 0.0;
  if (sim.elements.elem_int[n][kElemN] > 0) {
    const double shift = P[9];
    ParticleArrays& p = sim.particles;
    for_each_live_slot(sim, [&](int iq, int i) { p.phase[iq][i] = p.phase[iq][i] - shift; });
    stat(sim, sim.ref.nstep);
  }
  exit_plain(sim);
}

void mon_element(TransportContext& sim, std::int32_t) {
  RunState& s = sim.state;
  s.ipos += 1;
  if (s.idraw == 1) return;
  zero_length_reference(sim);
  // The exit statistics are the monitor reading.
  stat(sim, sim.ref.nstep);
}

void corr_element(TransportContext& sim, std::int32_t n) {
  RunState& s = sim.state;
  auto& P = sim.elements.elem_par[n];
  s.ipos += 1;
  s.itype = 7;
  if (s.idraw == 1) return;
  zero_length_reference(sim);
  stat(sim, 0);
  // A plane with a trial kick gives no steady kick until the steering of
  // the section is set.
  if (sim.corr.corr_on_steer == 0) {
    if (std::abs(P[6]) > kTrialKickMin) P[8] = 0.0;
    if (std::abs(P[7]) > kTrialKickMin) P[9] = 0.0;
  }
  if (sim.elements.elem_int[n][kElemN] >= 0) {
    const int tag_x = corrector_tag(sim, n, 8);
    const int tag_y = corrector_tag(sim, n, 9);
    const double kx = P[8];
    const double ky = P[9];
    const double trial_x = sim.corr.kicks[static_cast<std::size_t>(tag_x)];
    const double trial_y = sim.corr.kicks[static_cast<std::size_t>(tag_y)];
    ParticleArrays& p = sim.particles;
    // Kicks in mrad; the particle tagged for a plane adds the trial step.
    for_each_live_slot(sim, [&](int iq, int i) {
      const std::int32_t st = p.status[iq][i];
      const double ax = st == tag_x ? kx + trial_x : kx;
      const double ay = st == tag_y ? ky + trial_y : ky;
      p.xp[iq][i] = p.xp[iq][i] + ax / 1000.0;
      p.yp[iq][i] = p.yp[iq][i] + ay / 1000.0;
    });
    stat(sim, sim.ref.nstep);
  }
  exit_plain(sim);
}

}  // namespace linac
