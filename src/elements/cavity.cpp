#include "elements/cavity.hpp"

#include <cmath>

#include <fmt/format.h>

#include "elements/elements_context.hpp"
#include "common/unit_numbers.hpp"
#include "elements/rf_scan.hpp"
#include "numerics/random.hpp"
#include "numerics/spline.hpp"
#include "platform/fatal.hpp"
#include "platform/format.hpp"
#include "transport/frame.hpp"
#include "transport/misalign.hpp"
#include "transport/reference.hpp"
#include "transport/stepping.hpp"

namespace linac {

namespace {

// Points of the fine search for the crest over one RF period.
constexpr int kFinePhases = 1500;

// The cavity's aperture: the table's when the line gives 0; any other value
// must equal it.
void cavity_aperture(ElementsContext& sim, std::int32_t NN) {
  ReferenceBlock& r = sim.ref;
  const double aper = sim.tables.APER[static_cast<std::size_t>(NN)];
  if (r.aperture_r == 0.0) r.aperture_r = aper;
  if (r.aperture_r != aper) {
    sim.screen.write_line(list_directed({std::string_view("ntype"), NN, r.aperture_r, aper}));
    fatal(" Cavity aperture is different in sclinac.dat and em_MWS");
  }
}

// Cavity parameters in the units of TRACE3D: the table number, harmonic and
// amplitude factor, and the crest gain of the design particle as an
// effective voltage E0 T L in MV.
void cavity_listing(ElementsContext& sim, std::int32_t NN, double harmonic) {
  const ReferenceBlock& r = sim.ref;
  Units& u = sim.units;
  u.write(kUnitLog, std::string_view(""));
  write_checked(sim, kUnitLog, "(6X,A45)", {std::string_view("Cavity parameters for TRACE3D")});
  write_checked(sim, kUnitLog, "(I3,A5,F4.0,F10.3)",
                  {NN, std::string_view("cav  "), harmonic, r.rf_amp});
  write_checked(sim, kUnitLog, "(A6,F12.3,A2)",
                  {std::string_view(" EoTL="), sim.rf.cav_energy_gain * 0.001 * r.ADESIGN / r.QDESIGN,
                   std::string_view("MV")});
  u.write(kUnitLog, std::string_view(""));
}

}  // namespace

double corrector_trial(const std::array<double, kCorrectorKicks>& kicks, std::int32_t tag) {
  return (tag >= 0 && tag < kCorrectorKicks) ? kicks[static_cast<std::size_t>(tag)] : 0.0;
}

double cav_phase_scan(ElementsContext& sim, double offset) {
  const PhaseScan scan = scan_design_phases(sim);
  if (scan.count_through() == 0)
    fatal({fmt::format(" {}: at no RF phase of the scan does the design particle cross the cavity",
                       element_label(sim, sim.state.ipos)),
           fmt::format(" entrance energy {} keV/u, amplitude factor {}",
                       sim.history.ref_W_in[static_cast<std::size_t>(sim.state.ipos)], sim.ref.rf_amp)},
          true);
  CubicSpline spline;
  DCSINT(sim, kScanPhases, scan.phi, scan.W, spline);
  const double node_step = kTwoPi / (kScanPhases - 1);
  double vmax = 0.0;
  double phimax = 0.0;
  for (int m = 0; m < kFinePhases; ++m) {
    const double phi = m * kTwoPi / (kFinePhases - 1);
    // Only between two scan nodes the design particle crossed: a phase at
    // which it stops is no crest, nor is the spline's swing next to it.
    int j = static_cast<int>(phi / node_step);
    if (j > kScanPhases - 2) j = kScanPhases - 2;
    if (!scan.through[j] || !scan.through[j + 1]) continue;
    const double v = DCSVAL(sim, phi, spline.nintv(), spline);
    if (v >= vmax) {
      vmax = v;
      phimax = phi;
    }
  }
  sim.rf.cav_energy_gain = vmax - sim.history.ref_W_in[static_cast<std::size_t>(sim.state.ipos)];
  return phimax + offset;
}

void cav_element(ElementsContext& sim, std::int32_t n) {
  ReferenceBlock& r = sim.ref;
  RunState& s = sim.state;
  auto& line = sim.elements.elem_par[static_cast<std::size_t>(n)];
  const auto& ints = sim.elements.elem_int[static_cast<std::size_t>(n)];
  const RfGapLine g = enter_rf_gap_line(sim, n);
  const std::size_t pos = g.pos;
  const std::int32_t NN = g.NN;
  const double L = g.L;
  const double harmonic = g.harmonic;
  r.aperture_r = line[4];
  const double offset = line[5] * kDegToRad;

  // Error amplitudes of type 6 from the cavity table's tolerances.
  if (NN >= 0 && NN <= kFieldTables) {
    const TableParams& tp = sim.tables;
    const std::size_t t = static_cast<std::size_t>(NN);
    auto& te = sim.type_rec.type_errors;
    te[0][kRfGapType] = tp.DCAV[t];
    te[1][kRfGapType] = tp.dcav2[t];
    te[2][kRfGapType] = tp.dcav3[t];
    te[3][kRfGapType] = tp.SFAS[t];
    te[4][kRfGapType] = tp.SERF[t];
    te[5][kRfGapType] = tp.sfas2[t];
    te[6][kRfGapType] = tp.serf2[t];
  }

  place_element(sim, 0.0, L, 1.0, 0.0);
  if (s.idraw == 1) {
    misalign_draw(sim);
    return;
  }

  // The table through the cache: every load refreshes APER(NN), NCELLS(NN).
  load_rf_gap_table(sim, NN);
  cavity_aperture(sim, NN);
  switch_harmonic(sim, harmonic);
  r.aper_x = r.aperture_r;
  r.aper_y = r.aperture_r;
  r.step_len = L / r.nstep;
  ref_path_straight(sim, L);

  if (s.ipass == 1) {
    // One uniform deviate per cavity, also with DEESRF = 0.
    double u = 0.0;
    dRNUN(sim, 1, &u);
    r.rf_amp = r.rf_amp * (1.0 + (1.0 - 2.0 * u) * sim.tables.DEESRF);
    sim.tables.field_used[pos] = r.rf_amp;
    sim.history.ref_W_in[pos] = r.w0;
    r.elem_phase = cav_phase_scan(sim, offset);
    sim.history.elem_rf_phase[pos] = r.elem_phase;
    cavity_listing(sim, NN, harmonic);
    ref_particle_element(sim);
  }
  // The design particle runs at the nominal amplitude and phase in every
  // pass, before the errors.
  r.rf_amp = sim.tables.field_used[pos];
  r.elem_phase = sim.history.elem_rf_phase[pos];
  if (s.ipass != 1) ref_particle_element(sim);

  // Set-points: the nominal values while the longitudinal correction is
  // off; what it wrote while it is on.
  if (sim.corr.corr_on_long == 0) {
    line[8] = r.rf_amp;
    line[9] = r.elem_phase;
  }

  misalign_reuse(sim);
  Misalign& m = sim.transport.misalign;
  m.rel_field_error = m.err_weight_1 * m.field_err_unif + m.err_weight_2 * m.field_err_norm;
  m.phase_error = m.err_weight_1 * m.phase_err_unif + m.err_weight_2 * m.phase_err_norm;
  const double dA = m.rel_field_error * sim.tables.field_used[pos];
  misalign_in(sim);
  stat(sim, 0);

  RfTableSource gap = rf_table_source(sim);
  gap.rf_amp = dA + line[8];
  gap.rf_phase = m.phase_error + line[9];
  ElementStepping how;
  how.field_map = true;
  CavitySource source{gap, ints[8], ints[9], corrector_trial(sim.corr.kicks, ints[8]),
                      corrector_trial(sim.corr.kicks, ints[9])};
  // Without a trial step every particle sees the same field: the plain
  // source keeps the particle loop on its lockstep path.
  if (source.amp_trial == 0.0 && source.phase_trial == 0.0) {
    with_added_fields(sim, gap, [&](const auto& field) { step_element(sim, n, field, L, how); });
  } else {
    with_added_fields(sim, source, [&](const auto& field) { step_element(sim, n, field, L, how); });
  }
}

}  // namespace linac
