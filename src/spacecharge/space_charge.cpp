#include "spacecharge/space_charge.hpp"

#include <omp.h>

#include <cmath>
#include <fmt/format.h>

#include "spacecharge/sc_context.hpp"
#include "platform/fatal.hpp"
#include "spacecharge/deposit.hpp"
#include "spacecharge/ellipsoid.hpp"
#include "spacecharge/interpolate.hpp"
#include "spacecharge/poisson.hpp"
#include "spacecharge/sc_constants.hpp"
#include "spacecharge/sc_output.hpp"
#include "transport/seams.hpp"

namespace linac {

namespace {

constexpr int kRfqType = 9;
// Below this many slots in all charge states the kick runs on one thread.
constexpr int kMinParallelKicks = 2048;

// The tables must match the node counts and the model of the run.
void ensure_tables(SpaceChargeContext& sim) {
  const ScGrid& g = sim.sc_grid;
  const bool model_2d = sim.config.IFLAG2D == 1;
  if (g.NX != sim.sc.NXGRD || g.NY != sim.sc.NYGRD || g.model_2d != model_2d ||
      (!model_2d && g.NZ != sim.sc.NZGRD) || g.tables.empty())
    sc_fft_init(sim);
}

// A box of zero size has no mesh: refused with the element and the value.
void check_box(const SpaceChargeContext& sim, const char* what, double value) {
  if (!(value > 0.0) || !std::isfinite(value))
    fatal({fmt::format(" {}: {} = {} cm with space charge on (current {} mA)",
                       element_label(sim, sim.state.ipos), what, value, sim.current.scur),
           " the space-charge box needs aperture half sizes above 0 cm"},
          true);
}

void check_harmonic(const SpaceChargeContext& sim) {
  if (sim.config.nharm_sc <= 0)
    fatal({fmt::format(" {}: nharm_sc = {} with space charge on (current {} mA)",
                       element_label(sim, sim.state.ipos), sim.config.nharm_sc, sim.current.scur),
           " the bunch period of the space-charge box needs a harmonic number of at least 1"},
          true);
}

void space_charge_3d(SpaceChargeContext& sim, int k) {
  ScGrid& g = sim.sc_grid;
  const ReferenceBlock& r = sim.ref;
  const RunState& s = sim.state;
  const RefPath& path = sim.ref_path;
  const BeamMoments& bm = sim.beam_moments;
  // Frame of the reference energy at the start of the step.
  g.gamma_sc = path(k - 1, kRefW) / r.amu_kev + 1.0;
  g.beta_sc = std::sqrt(1.0 - 1.0 / (g.gamma_sc * g.gamma_sc));
  g.sc_rms_x = std::sqrt(bm.sigma[1][1]);
  g.sc_rms_y = std::sqrt(bm.sigma[3][3]);
  const double sigma_phi = std::sqrt(bm.sigma[5][5]);
  g.sc_rms_z = g.beta_sc * sigma_phi * r.wavelength_2pi * g.gamma_sc;
  // Box: the aperture across, nharm_sc bunch periods along (or +-zlhSC rms
  // phase spreads for a short bunch outside an RFQ).
  check_box(sim, "aperture half size aper_x", r.aper_x);
  check_box(sim, "aperture half size |aper_y|", std::abs(r.aper_y));
  check_harmonic(sim);
  g.sc_half_x = r.aper_x;
  g.sc_half_y = std::abs(r.aper_y);
  double Z = kPi * sim.config.nharm_sc;
  g.full_period = true;
  if (sim.config.nharm_sc == 1 && s.IRIARFQ == 0 && s.iflag_t == 0 && s.itype != kRfqType &&
      sim.sc.zlhSC * sigma_phi < Z) {
    Z = sim.sc.zlhSC * sigma_phi;
    g.full_period = false;
  }
  g.sc_half_z = g.beta_sc * Z * r.wavelength_2pi * g.gamma_sc;
  check_box(sim, "longitudinal half size of the space-charge box", g.sc_half_z);
  sc_grid_setup(g);
  if (k == 1) sc_mesh_check(sim);
  StepGeometry& step = sim.transport.step;
  step.sc_centre_phase = path(k - 1, kRefPhase) - s.IRIARFQ * kPi;
  sc_clear_3d(g);
  sc_deposit_3d(sim, step.sc_centre_phase);

  const bool in_rfq = s.itype == kRfqType;
  OutScRequest& req = sim.prmtr.outsc;
  if (s.outSC != 0 && req.step == k && req.mode == 3 && (!in_rfq || sim.rfq.rfq_cur == req.cell))
    sc_output(sim);
  sc_poisson_3d(g);
  if (s.outSC != 0 && !in_rfq && k == 1) sc_field_test(sim);
  if (s.outSC != 0 && req.step == k) {
    if (!in_rfq) {
      sc_output(sim);
      sim.state.outSC = 0;
    } else if (sim.rfq.rfq_cur == req.cell) {
      sc_output(sim);
      req.cell += req.increment;
      if (req.cell > sim.rfq.rfq_ncells) sim.state.outSC = 0;
    }
  }
}

void space_charge_2d(SpaceChargeContext& sim, int k) {
  ScGrid& g = sim.sc_grid;
  const ReferenceBlock& r = sim.ref;
  const BeamMoments& bm = sim.beam_moments;
  check_box(sim, "aperture half size aper_x", r.aper_x);
  check_box(sim, "aperture half size |aper_y|", std::abs(r.aper_y));
  // Half sizes and mesh steps together at every step: the aperture may
  // change along the element.
  g.sc_half_x = r.aper_x;
  g.sc_half_y = std::abs(r.aper_y);
  g.sc_rms_x = std::sqrt(bm.sigma[1][1]);
  g.sc_rms_y = std::sqrt(bm.sigma[3][3]);
  sc_grid_setup(g);
  if (k == 1) sc_mesh_check(sim);
  sc_deposit_2d(sim);
  const OutScRequest& req = sim.prmtr.outsc;
  if (sim.state.outSC != 0 && req.step == k && req.mode == -1) sc_output(sim);
  sc_poisson_2d(g);
  if (sim.state.outSC != 0 && req.step == k) {
    sc_output(sim);
    sim.state.outSC = 0;
  }
}

}  // namespace

bool sc_image_in_box(double zr, double half, bool full_period, double& z) {
  const double L = 2.0 * half;
  if (full_period) {
    z = zr - L * std::round(zr / L);
    return true;
  }
  for (const int m : kImageOrder) {
    const double t = zr + L * m;
    if (std::abs(t) < half) {
      z = t;
      return true;
    }
  }
  return false;
}

void space_charge(SpaceChargeContext& sim, int k) {
  ensure_tables(sim);
  // A requested step beyond the element's last is written at its last step.
  OutScRequest& req = sim.prmtr.outsc;
  if (sim.state.outSC != 0 && req.step > sim.ref.nstep) req.step = sim.ref.nstep;
  sim.sc_grid.sc_z_step = sim.ref.z_entry + sim.ref_path(k - 1, kRefS);
  if (sim.config.IFLAG2D == 1)
    space_charge_2d(sim, k);
  else
    space_charge_3d(sim, k);
}

void sc_kick(SpaceChargeContext& sim, double ds) {
  if (sim.config.IFLAG2D == 1) return;
  const ScGrid& g = sim.sc_grid;
  const double centre = sim.transport.step.sc_centre_phase;
  const double to_rest = g.beta_sc * sim.ref.wavelength_2pi * g.gamma_sc;
  const double L = 2.0 * g.sc_half_z;
  const double inv_L = 1.0 / L;
  // Rest-frame field (V/cm) to the lab field in the units of the equations:
  // transverse components grow by gamma_sc, the magnetic field of the
  // moving frame is beta_sc times the transverse electric one.
  const double to_lab_t = g.gamma_sc * kVcmToEq;
  const double force_ds = kQaForce * ds;
  ParticleArrays& pa = sim.particles;
  // One team for all charge states; a state's slots are shared statically.
  int slots = 0;
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq) slots += sim.config.NPAT[iq] + sim.npat.ntest[iq] + 1;
#pragma omp parallel if (slots >= kMinParallelKicks)
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
    const double* phase = pa.phase[iq];
    const double* x = pa.x[iq];
    const double* y = pa.y[iq];
    const double* qa = pa.qa[iq];
    const std::int32_t* status = pa.status[iq];
    double* xp = pa.xp[iq];
    double* yp = pa.yp[iq];
    double* beta = pa.beta[iq];
    const int last = sim.config.NPAT[iq] + sim.npat.ntest[iq];
#pragma omp for schedule(static) nowait
    for (int i = 0; i <= last; ++i) {
      if (status[i] < 0) continue;
      const double b = beta[i];
      const double inv_b = 1.0 / b;
      const double w = 1.0 - b * b;  // 1/gamma^2
      // qa e/(m beta gamma c) ds, and its 1/gamma^2 part for dbeta.
      const double Fds = qa[i] * force_ds * std::sqrt(w) * inv_b;
      const double x1 = xp[i];
      const double y1 = yp[i];
      const double S = std::sqrt(1.0 + x1 * x1 + y1 * y1);
      // Rest-frame distance from the box centre (a larger phase is behind).
      std::array<double, 3> E{0.0, 0.0, 0.0};
      const double zr = -(phase[i] - centre) * to_rest;
      if (g.full_period) {
        sc_field_3d_at(g, x[i], y[i], zr - L * sc_detail::round_half_away(zr * inv_L), E);
      } else {
        double z = 0.0;
        if (sc_image_in_box(zr, g.sc_half_z, false, z)) sc_field_3d_at(g, x[i], y[i], z, E);
      }
      const double ex = E[0] * to_lab_t;
      const double ey = E[1] * to_lab_t;
      const double ez = E[2] * kVcmToEq;
      const double bx = -g.beta_sc * ey;
      const double by = g.beta_sc * ex;
      const double K = Fds * S;
      const double Sb = S * inv_b;
      xp[i] = x1 + K * ((ex - x1 * ez) * Sb + bx * x1 * y1 - (1.0 + x1 * x1) * by);
      yp[i] = y1 + K * ((ey - y1 * ez) * Sb + (1.0 + y1 * y1) * bx - x1 * y1 * by);
      beta[i] = b + Fds * w * (x1 * ex + y1 * ey + ez);
    }
  }
}

}  // namespace linac
