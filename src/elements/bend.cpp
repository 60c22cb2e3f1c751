#include "elements/bend.hpp"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <string_view>

#include <fmt/format.h>

#include "beam/lost_coord.hpp"
#include "beam/stats.hpp"
#include "elements/elements_context.hpp"
#include "common/unit_numbers.hpp"
#include "platform/fatal.hpp"
#include "platform/format.hpp"
#include "spacecharge/space_charge.hpp"
#include "transport/fieldmap.hpp"
#include "transport/frame.hpp"
#include "transport/misalign.hpp"
#include "transport/seams.hpp"
#include "transport/stepping.hpp"

namespace linac {

namespace {

[[noreturn]] void bad_line(const ElementsContext& sim, std::int32_t n, const std::string& what,
                           const std::string& allowed) {
  fatal({fmt::format(" {}: {}", element_label(sim, n), what), " " + allowed}, true);
}

// Enge coefficients of the entrance (set 1) and exit (set 2) edges: P1..P6
// of the enge line enge_src(3, set), the bend defaults where it is 0.
double floored_curvature(double c) { return std::abs(c) < kMinEdgeCurvature ? kMinEdgeCurvature : c; }

}  // namespace

void bmag_read_line(ElementsContext& sim, std::int32_t n) {
  const auto& P = sim.elements.elem_par[static_cast<std::size_t>(n)];
  BendGeom& g = sim.bmag_geom;
  ReferenceBlock& r = sim.ref;
  const std::int32_t nstep = sim.elements.elem_int[static_cast<std::size_t>(n)][11];
  if (nstep < 1) bad_line(sim, n, fmt::format("step count {}", nstep), "give at least 1 step");
  check_step_count(sim, n, nstep);
  const double L = P[1];
  const double R = P[2];
  const double angle_deg = P[3];
  if (!(R > 0.0)) bad_line(sim, n, fmt::format("radius P2 = {} cm", R), "give a radius above 0");
  if (!(angle_deg != 0.0 && std::abs(angle_deg) < 360.0))
    bad_line(sim, n, fmt::format("bending angle P3 = {} deg", angle_deg),
             "give an angle other than 0 with magnitude below 360 deg");
  const double a = std::abs(angle_deg * kDegToRad);
  if (!(L >= a * R))
    bad_line(sim, n, fmt::format("length P1 = {} cm shorter than the arc |angle| R = {} cm", L, a * R),
             "the length holds the arc and the two straight parts");
  if (!(P[4] > 0.0)) bad_line(sim, n, fmt::format("gap P4 = {} cm", P[4]), "give a gap above 0");
  if (!(P[5] > 0.0)) bad_line(sim, n, fmt::format("width P5 = {} cm", P[5]), "give a width above 0");
  r.nstep = nstep;
  r.elem_len = L;
  g.bend_radius = R;
  g.bend_angle = angle_deg * kDegToRad;
  g.bend_gap = P[4];
  g.bend_width = P[5];
  g.edge_in = P[6] * kDegToRad;
  g.edge_out = P[7] * kDegToRad;
  g.edge_curv_in = floored_curvature(P[8]);
  g.edge_curv_out = floored_curvature(P[9]);
  g.half_gap = sim.bend.delta1 * g.bend_gap;
  g.half_width = g.bend_width / 2.0;
  g.straight_len = (L - a * R) / 2.0;
  g.fringe_in_lo = -sim.bend.delta2 * g.bend_gap;
  g.fringe_out_lo = g.fringe_in_lo;
  g.fringe_in_hi = std::cos(g.edge_in) * g.straight_len + std::sin(std::abs(g.edge_in)) * g.half_width;
  g.fringe_out_hi =
      std::cos(g.edge_out) * g.straight_len + std::sin(std::abs(g.edge_out)) * g.half_width;
}

void bmag_step_to_plane(ElementsContext& sim, int i, int iq) {
  const StepGeometry& s = sim.transport.step;
  const StepPlane pl{s.xref, s.zref, s.step_nz, s.step_nx};
  sim.ref.qa_push = sim.particles.qa[iq][i];
  const auto field = with_added_fields(sim, FieldAt<BendSource>{{bend_field_data(sim), nullptr}});
  const bool lost = bmag_slot_to_plane(field, time_slot_view(sim, iq), i, pl, sim.ref.wavelength_2pi);
  sim.state.ilost = lost ? -1 : 0;
}

namespace {

// Angle (deg) of a direction of x cosine nx, positive towards -x. The
// cosine comes from velocity components over the speed and may exceed 1 by
// rounding at a 90 deg turn: it is taken as 1 there.
double direction_angle(double nx) { return -std::asin(std::clamp(nx, -1.0, 1.0)) / kDegToRad; }

// One line of the trajectory listing: s, B_y at (x, 0, z), x, z, the
// direction and its angle (deg, positive for a bend towards -x), region.
void trajectory_line(ElementsContext& sim, double s, double x, double z, double nz, double nx) {
  Vec3 E;
  Vec3 B;
  const double zz = (s == 0.0) ? 1e-7 : z;
  field_at(sim, x, 0.0, zz, 0.0, E, B);
  const double By = B[1] * kGaussPerTesla;
  write_checked(sim, kUnitLog, "(7D15.5,I6)",
                  {s, By, x, z, nz, nx, direction_angle(nx), sim.state.bmag_region});
}

}  // namespace

void bmag_ref_path(ElementsContext& sim) {
  ReferenceBlock& r = sim.ref;
  RefPath& path = sim.ref_path;
  const StepGeometry& g = sim.transport.step;
  const double scur = sim.current.scur;
  sim.current.scur = 0.0;
  const int nstep = r.nstep;
  for (int k = 0; k <= nstep; ++k)
    for (int c : {kRefInvR, kRefXc, kRefZc}) path(k, c) = 0.0;
  path(0, kRefS) = 0.0;
  path(0, kRefX) = 0.0;
  path(0, kRefZ) = 0.0;
  path(0, kRefDirZ) = 1.0;
  path(0, kRefDirX) = 0.0;
  const bool listing = sim.state.IFLAG_LOG > 0;
  const double ds = r.elem_len / nstep;
  const double gamma0 = r.w0 / r.amu_kev + 1.0;
  const double beta0 = std::sqrt(1.0 - 1.0 / (gamma0 * gamma0));
  const double h = ds / beta0;
  State6 Y{0.0, 0.0, 0.0, 0.0, 0.0, beta0};
  double t = sim.history.elem_rf_phase[static_cast<std::size_t>(sim.state.ipos)];
  if (nstep > 1) {
    sim.units.write(kUnitLog, list_directed({std::string_view(" ")}));
    if (listing) {
      write_checked(sim, kUnitLog, "(A55)", {std::string_view(" The reference particle trajectory")});
      trajectory_line(sim, 0.0, 0.0, 0.0, 1.0, 0.0);
    }
    for (int k = 1; k < nstep; ++k) {
      rk4_t(sim, t, h, Y);
      path(k, kRefS) = k * ds;
      path(k, kRefX) = Y[0];
      path(k, kRefZ) = Y[2];
      path(k, kRefDirZ) = Y[5] / beta0;
      path(k, kRefDirX) = Y[3] / beta0;
      if (listing) trajectory_line(sim, k * ds, Y[0], Y[2], Y[5] / beta0, Y[3] / beta0);
    }
  }
  path(nstep, kRefS) = r.elem_len;
  path(nstep, kRefX) = g.exit_px;
  path(nstep, kRefZ) = g.exit_pz;
  path(nstep, kRefDirZ) = g.exit_nz;
  path(nstep, kRefDirX) = g.exit_nx;
  if (listing) {
    // The field at the exit point; the state one more step on where a
    // trajectory was integrated, the stored exit row otherwise.
    Vec3 E;
    Vec3 B;
    field_at(sim, g.exit_px, 0.0, g.exit_pz, 0.0, E, B);
    const std::int32_t region = sim.state.bmag_region;
    double x = g.exit_px, z = g.exit_pz, nz = g.exit_nz, nx = g.exit_nx;
    if (nstep > 1) {
      rk4_t(sim, t, h, Y);
      x = Y[0];
      z = Y[2];
      nz = Y[5] / beta0;
      nx = Y[3] / beta0;
      sim.state.bmag_region = region;
    }
    write_checked(sim, kUnitLog, "(7D15.5,I6)",
                    {r.elem_len, B[1] * kGaussPerTesla, x, z, nz, nx, direction_angle(nx), region});
  }
  sim.state.IFLAG_LOG = 0;
  // Curvature and centre of the arc between rows k - 1 and k.
  for (int k = 1; k <= nstep; ++k) {
    const double dtheta = std::asin(path(k - 1, kRefDirZ) * path(k, kRefDirX) -
                                    path(k - 1, kRefDirX) * path(k, kRefDirZ));
    const double invR = dtheta / ds;
    if (std::abs(invR) > 1e-6) {
      path(k, kRefInvR) = invR;
      path(k, kRefXc) = path(k - 1, kRefX) + path(k - 1, kRefDirZ) / invR;
      path(k, kRefZc) = path(k - 1, kRefZ) - path(k - 1, kRefDirX) / invR;
    }
  }
  sim.current.scur = scur;
}

void bmag_ref_energy(ElementsContext& sim) {
  ReferenceBlock& r = sim.ref;
  RefPath& path = sim.ref_path;
  ReferenceHistory& hist = sim.history;
  const auto ipos = static_cast<std::size_t>(sim.state.ipos);
  const double scur = sim.current.scur;
  sim.current.scur = 0.0;
  const int nstep = r.nstep;
  path(0, kRefPhase) = hist.elem_rf_phase[ipos];
  path(0, kRefW) = hist.ref_W_in[ipos];
  r.w0 = hist.ref_W_out[ipos];
  if (nstep > 1) {
    r.qa_push = sim.ref.QDESIGN / sim.ref.ADESIGN;
    const double gamma0 = hist.ref_W_in[ipos] / r.amu_kev + 1.0;
    const double beta0 = std::sqrt(1.0 - 1.0 / (gamma0 * gamma0));
    const double h = (r.elem_len / nstep) / beta0;
    double t = hist.elem_rf_phase[ipos];
    State6 Y{0.0, 0.0, 0.0, 0.0, 0.0, beta0};
    for (int k = 1; k <= nstep; ++k) {
      rk4_t(sim, t, h, Y);
      const double gamma = 1.0 / std::sqrt(1.0 - (Y[3] * Y[3] + Y[4] * Y[4] + Y[5] * Y[5]));
      path(k, kRefPhase) = t;
      path(k, kRefW) = (gamma - 1.0) * r.amu_kev;
    }
  }
  path(nstep, kRefPhase) = hist.ref_phase_out[ipos];
  path(nstep, kRefW) = hist.ref_W_out[ipos];
  sim.current.scur = scur;
}

namespace {

// Steps 1..nstep: every live particle from the plane of step k - 1 to the
// plane of step k, in the field `field`.
void bmag_steps(ElementsContext& sim, std::int32_t n, const FieldAt<BendSource>& field) {
  const ReferenceBlock& r = sim.ref;
  const RefPath& path = sim.ref_path;
  StepGeometry& g = sim.transport.step;
  TransportState& ts = sim.transport;
  const int max_threads = omp_get_max_threads();
  if (static_cast<int>(ts.thread_losses.size()) < max_threads) ts.thread_losses.resize(max_threads);
  for (int k = 1; k <= r.nstep; ++k) {
    const double sp = path(k - 1, kRefS);
    const double xp0 = path(k - 1, kRefX);
    const double zp0 = path(k - 1, kRefZ);
    const double nzp = path(k - 1, kRefDirZ);
    const double nxp = path(k - 1, kRefDirX);
    g.bend_invR = path(k - 1, kRefInvR);
    g.bend_xc = path(k - 1, kRefXc);
    g.bend_zc = path(k - 1, kRefZc);
    g.xref = path(k, kRefX);
    g.zref = path(k, kRefZ);
    g.step_nz = path(k, kRefDirZ);
    g.step_nx = path(k, kRefDirX);
    const bool kicked = sim.current.scur >= kScurMin;
    if (kicked) {
      space_charge(sim, k);
      sc_kick(sim, r.step_len);
    }
    const StepPlane pl{g.xref, g.zref, g.step_nz, g.step_nx};
    const double wl = r.wavelength_2pi;
    for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
      const TimeSlotView p = time_slot_view(sim, iq);
      const std::int32_t* status = sim.particles.status[iq];
      const int last = last_slot(sim, iq);
      int team = 1;
#pragma omp parallel if (last + 1 >= kMinParallelSlots)
      {
        std::vector<std::int32_t>& mine = ts.thread_losses[omp_get_thread_num()];
        mine.clear();
#pragma omp single
        team = omp_get_num_threads();
#pragma omp for schedule(static)
        for (int i = 0; i <= last; ++i) {
          if (status[i] < 0) continue;
          // A space-charge kick changed x', y' and beta in the frame of
          // plane k - 1: the velocity into the element frame from them.
          if (kicked) {
            refresh_velocity(p, i);
            const double vx = p.betax[i];
            const double vz = p.betaz[i];
            p.betax[i] = nzp * vx + nxp * vz;
            p.betaz[i] = -nxp * vx + nzp * vz;
          }
          // From the frame of plane k - 1 into the element frame.
          const double x = p.x[i];
          const double z = p.z[i];
          p.x[i] = xp0 + nzp * x + nxp * z;
          p.z[i] = zp0 - nxp * x + nzp * z;
          if (bmag_slot_to_plane(field, p, i, pl, wl)) {
            mine.push_back(i);
            continue;
          }
          // Into the frame of plane k.
          const double dx = p.x[i] - pl.xref;
          const double dz = p.z[i] - pl.zref;
          p.x[i] = pl.nz * dx - pl.nx * dz;
          p.z[i] = pl.nx * dx + pl.nz * dz;
          const double vl = pl.nx * p.betax[i] + pl.nz * p.betaz[i];
          p.xp[i] = (pl.nz * p.betax[i] - pl.nx * p.betaz[i]) / vl;
          p.yp[i] = p.betay[i] / vl;
        }
      }
      ts.step_losses.clear();
      for (int th = 0; th < team; ++th)
        ts.step_losses.insert(ts.step_losses.end(), ts.thread_losses[th].begin(),
                              ts.thread_losses[th].end());
      std::sort(ts.step_losses.begin(), ts.step_losses.end());
      std::int32_t* st = sim.particles.status[iq];
      for (const std::int32_t i : ts.step_losses) {
        st[i] = kLost;
        write_lost_particle(sim, n, i, iq, kLostPushedInTime);
        p.z[i] = sp + r.z_entry;
      }
    }
    if (k < r.nstep && sim.config.IGRAPH == 1) stat(sim, k);
  }
  // The elements after the magnet step along their own axis.
  g.bend_invR = 0.0;
  g.xref = 0.0;
  g.step_nz = 1.0;
  g.step_nx = 0.0;
}

}  // namespace

void bmag_element(ElementsContext& sim, std::int32_t n) {
  ReferenceBlock& r = sim.ref;
  RunState& s = sim.state;
  BendGeom& g = sim.bmag_geom;
  s.ipos += 1;
  s.itype = 3;
  load_enge_coefficients(sim, 3, kBendEngeDefault);
  bmag_read_line(sim, n);
  if (sim.config.init_COSY != 0 && sim.config.init_COSY != 1)
    bad_line(sim, n, fmt::format("geometry set-up mode init_COSY = {}", sim.config.init_COSY),
             "init_COSY is 0 (fit with four reference passes) or 1 (exit plane only)");
  // 2. Placement at the ideal exit point (mirrored in x for a negative angle).
  const double a = std::abs(g.bend_angle);
  const double R = g.bend_radius;
  const double Ls = g.straight_len;
  double px = R * std::cos(a) - R - Ls * std::sin(a);
  const double pz = Ls + R * std::sin(a) + Ls * std::cos(a);
  if (g.bend_angle < 0.0) px = -px;
  place_element(sim, px, pz, std::cos(g.bend_angle), -std::sin(g.bend_angle));
  if (s.idraw == 1) {
    misalign_draw(sim);
    return;
  }
  // 3. Design values and the body field B = beta gamma / (Q/A K R).
  r.gamma_s = r.w0 / r.amu_kev + 1.0;
  r.beta_s = std::sqrt(1.0 - 1.0 / (r.gamma_s * r.gamma_s));
  r.qa_push = sim.ref.QDESIGN / sim.ref.ADESIGN;
  const double betgam = r.beta_s * r.gamma_s;
  r.field1 = betgam / r.qa_push / kForceK / R * kGaussPerTesla;
  const double p_mev = r.amu_mev * betgam / r.qa_push;
  // 4. Geometry set-up.
  if (sim.config.init_COSY == 0)
    bmag_setup_fringe(sim);
  else
    bmag_setup_simple(sim);
  // 5.
  sim.units.write(kUnitLog,
                  list_directed({std::string_view(" bf,G , p,MeV/c ,betgam"), r.field1, p_mev, betgam}));
  // 6.
  r.aper_x = g.half_width;
  r.aper_y = g.half_gap;
  r.step_len = r.elem_len / r.nstep;
  bmag_ref_path(sim);
  // 7. Nominal pass: a magnetic field leaves the energy unchanged.
  const auto ipos = static_cast<std::size_t>(s.ipos);
  if (s.ipass == 1) {
    sim.history.ref_W_in[ipos] = r.w0;
    sim.history.elem_rf_phase[ipos] = 0.0;
    const double gamma = r.w0 / r.amu_kev + 1.0;
    r.beta_s = std::sqrt(1.0 - 1.0 / (gamma * gamma));
    sim.history.ref_phase_out[ipos] = r.elem_len / r.beta_s / r.wavelength_2pi;
    sim.history.ref_W_out[ipos] = r.w0;
  }
  // 8.
  bmag_ref_energy(sim);
  misalign_reuse(sim);
  misalign_in(sim);
  stat(sim, 0);
  // 9. Velocity vectors from the slopes; the field error.
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
    const TimeSlotView p = time_slot_view(sim, iq);
    const std::int32_t* status = sim.particles.status[iq];
    const int last = last_slot(sim, iq);
    for (int i = 0; i <= last; ++i)
      if (status[i] >= 0) refresh_velocity(p, i);
  }
  r.field1 = r.field1 * (1.0 + sim.transport.misalign.rel_field_error);
  // 10. The steps, with the field of the set-up geometry and the fields
  // added to every element's (the 2-D space-charge field while it acts).
  const auto field = with_added_fields(sim, FieldAt<BendSource>{{bend_field_data(sim), nullptr}});
  bmag_steps(sim, n, field);
  // 11.
  misalign_out(sim);
  stat(sim, r.nstep);
  exit_element(sim, r.elem_len, false);
}

}  // namespace linac
