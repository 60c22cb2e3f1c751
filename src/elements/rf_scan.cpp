#include "elements/rf_scan.hpp"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "elements/elements_context.hpp"
#include "platform/fatal.hpp"
#include "transport/integrate_z.hpp"
#include "transport/reference.hpp"
#include "transport/seams.hpp"
#include "transport/stepping.hpp"

namespace linac {

namespace {

// The 1 % tolerance of the harmonic switch, as single-precision factors.
constexpr double kHarmAbove = 1.0099999904632568;
constexpr double kHarmBelow = 0.9900000095367432;

}  // namespace

void rf_step_count(ElementsContext& sim, int n, std::int32_t nstep) {
  if (nstep < 1)
    fatal({fmt::format(" {}: {} integration steps", element_label(sim, n), nstep),
           fmt::format(" give the element a step count from 1 to {}", kMaxSteps)},
          true);
  check_step_count(sim, n, nstep);
  sim.ref.nstep = nstep;
}

RfGapLine enter_rf_gap_line(ElementsContext& sim, int n) {
  const auto& line = sim.elements.elem_par[static_cast<std::size_t>(n)];
  const auto& ints = sim.elements.elem_int[static_cast<std::size_t>(n)];
  sim.state.ipos += 1;
  sim.state.itype = kRfGapType;
  RfGapLine g;
  g.pos = static_cast<std::size_t>(sim.state.ipos);
  g.NN = ints[kElemN];
  g.L = line[1];
  g.harmonic = line[2];
  sim.ref.elem_len = g.L;
  sim.ref.rf_amp = line[3];
  check_rf_harmonic(sim, n, g.harmonic);
  rf_step_count(sim, n, ints[11]);
  return g;
}

void load_rf_gap_table(ElementsContext& sim, std::int32_t NN) {
  read_eh_MWS(sim, NN);
  remember_type_table(sim, kRfGapType, NN);
}

void check_rf_harmonic(const ElementsContext& sim, int n, double harmonic) {
  if (!(harmonic > 0.0))
    fatal({fmt::format(" {}: harmonic number P2 = {}", element_label(sim, n), harmonic),
           " the harmonic of an RF gap divides its wavelength: give a number above 0"},
          true);
}

void switch_harmonic(ElementsContext& sim, double h) {
  ReferenceBlock& r = sim.ref;
  if (!(h > kHarmAbove * r.harm || h < kHarmBelow * r.harm)) return;
  const double factor = h / r.harm;
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
    double* phase = sim.particles.phase[iq];
    const std::int32_t* status = sim.particles.status[iq];
    const int last = last_slot(sim, iq);
#pragma omp parallel for schedule(static) if (last + 1 >= kMinParallelSlots)
    for (int i = 0; i <= last; ++i)
      if (status[i] >= 0) phase[i] = phase[i] * factor;
  }
  r.wavelength_2pi = r.wavelength / h / kTwoPi;
  r.harm = h;
}

DesignExit design_exit(ElementsContext& sim, double beta0) {
  const ReferenceBlock& r = sim.ref;
  const RefPath& path = sim.ref_path;
  State6 Y{0.0, 0.0, 0.0, 0.0, 0.0, beta0};
  double z = 0.0;
  long substeps = 0;
  for (int k = 1; k <= r.nstep; ++k) {
    const double z_end = path(k, kRefZ);
    sim.transport.step.exit_pz = z_end;
    while (z <= z_end - 1e-6) {
      double h = z_end - z;
      rk4_z(sim, z, 0.0, Y);  // field probe at the start of the sub-step
      const double gamma = 1.0 / std::sqrt(1.0 - Y[5] * Y[5]);
      h = std::min(h, reference_max_step(gamma, r.qa_push, r.last_E[3]));
      const double z_before = z;
      rk4_z(sim, z, h, Y);
      // Stopped (the step bound fell below the shortest step), turned back
      // or not finite: the particle does not leave the element.
      if (!state_usable(Y) || !(z > z_before)) return DesignExit{};
      if (++substeps > kScanMaxSubsteps)
        fatal({fmt::format(" {}: the design particle needs more than {} sub-steps to cross the "
                           "element in the phase scan",
                           element_label(sim, sim.state.ipos), kScanMaxSubsteps),
               fmt::format(" it stands at z = {} cm with beta = {} at RF phase {} rad", z, Y[5],
                           r.elem_phase)},
              true);
    }
  }
  DesignExit e;
  e.through = true;
  e.W = (1.0 / std::sqrt(1.0 - Y[5] * Y[5]) - 1.0) * r.amu_kev;
  e.phase = Y[4];
  return e;
}

int PhaseScan::count_through() const {
  return static_cast<int>(std::count(through.begin(), through.end(), true));
}

PhaseScan scan_design_phases(ElementsContext& sim) {
  ReferenceBlock& r = sim.ref;
  const double scur_saved = sim.current.scur;
  sim.current.scur = 0.0;
  r.qa_push = r.QDESIGN / r.ADESIGN;
  r.gamma_s = sim.history.ref_W_in[static_cast<std::size_t>(sim.state.ipos)] / r.amu_kev + 1.0;
  const double beta0 = std::sqrt(1.0 - 1.0 / (r.gamma_s * r.gamma_s));
  PhaseScan scan;
  try {
    for (int j = 0; j < kScanPhases; ++j) {
      scan.phi[j] = j * kTwoPi / (kScanPhases - 1);
      r.elem_phase = scan.phi[j];
      const DesignExit e = design_exit(sim, beta0);
      scan.W[j] = e.W;
      scan.through[j] = e.through;
    }
  } catch (...) {
    sim.current.scur = scur_saved;
    throw;
  }
  sim.current.scur = scur_saved;
  return scan;
}

}  // namespace linac
