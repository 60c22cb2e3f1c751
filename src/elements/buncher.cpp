#include "elements/buncher.hpp"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "elements/elements_context.hpp"
#include "common/unit_numbers.hpp"
#include "elements/rf_scan.hpp"
#include "numerics/spline.hpp"
#include "platform/fatal.hpp"
#include "platform/format.hpp"
#include "transport/frame.hpp"
#include "transport/integrate_z.hpp"
#include "transport/misalign.hpp"
#include "transport/reference.hpp"
#include "transport/stepping.hpp"
#include "transport/table_fields.hpp"

namespace linac {

namespace {

// Bisections of the crossing phase and of the amplitude.
constexpr int kPhaseBisections = 15;
constexpr int kAmplitudeBisections = 25;
// First amplitude of the coarse scan (0.1 in single precision) and its step.
constexpr double kFirstAmplitude = 0.10000000149011612;
constexpr double kAmplitudeStep = 0.25;
// Cells of the crossing search of the mhb4 scan over one RF period.
constexpr int kCrossingCells = 1500;
// Element type of the four-harmonic buncher.
constexpr std::int32_t kMhb4Type = 31;

// The design particle from entrance phase phi (the field phase is rf_phase
// plus the particle's phase) to the exit plane in fixed steps h.
DesignExit fixed_step_exit(ElementsContext& sim, double phi, double beta0, double h) {
  State6 Y{0.0, 0.0, 0.0, 0.0, phi, beta0};
  double z = 0.0;
  double step = h;
  integrate_to_element_end(sim, z, step, Y);
  DesignExit e;
  e.through = state_usable(Y);
  if (e.through) {
    e.W = (1.0 / std::sqrt(1.0 - Y[5] * Y[5]) - 1.0) * sim.ref.amu_kev;
    e.phase = Y[4];
  }
  return e;
}

// The longitudinal characteristic of the beam and the last matrix element.
double characteristic_value(const ElementsContext& sim) {
  const Sym6& s = sim.beam_moments.sigma;
  const Matrix6& M = sim.transport.elem_matrix;
  const double s55 = s[5][5], s56 = s[5][6], s66 = s[6][6];
  if (s66 == 0.0) return 0.0;
  const double r = s56 / s66;
  const double e = (s55 * s66 - s56 * s56) / (s66 * s66);
  if (r * r + e == 0.0) return 0.0;
  return -((2.0 * r * M(5, 5) + M(5, 6)) / (r * r + e) + M(6, 5));
}

[[noreturn]] void no_crossing(const ElementsContext& sim, int n, const BuncherSearch& b) {
  double wmin = b.W[0], wmax = b.W[0];
  for (double w : b.W) {
    wmin = std::min(wmin, w);
    wmax = std::max(wmax, w);
  }
  fatal({fmt::format(" {}: the design particle's exit energy never rises through w0 = {} keV/u "
                     "over the entrance phases -90..267.5 deg",
                     element_label(sim, n), sim.ref.w0),
         fmt::format(" exit energies from {} to {} keV/u at amplitude P3 = {}", wmin, wmax,
                     sim.ref.rf_amp)},
        true);
}

// The mhb4 scan listing of one crossing.
void mhb4_listing(ElementsContext& sim, double result, const PhaseScan& scan) {
  Units& u = sim.units;
  const double w0 = sim.ref.w0;
  u.write(kUnitLog, list_directed({std::string_view("     !* Phase Scanninng for MHB4 *! ")}));
  write_checked(sim, kUnitLog, "(A18,F12.3,A6)",
                  {std::string_view(" phaseDev="), result / kDegToRad, std::string_view(" deg  ")});
  write_checked(sim, kUnitLog, "(A18,F12.3,A6)",
                  {std::string_view(" Win=     "), w0, std::string_view(" Kev/u")});
  u.write(kUnitLog, std::string_view(""));
  write_checked(sim, kUnitLog, "(A13,A15)",
                  {std::string_view("    phaseDev"), std::string_view("      Wsyn-Win")});
  const FortranFormat row("(F13.3,F15.4)");
  for (int j = 0; j < kScanPhases; ++j)
    write_checked(sim, kUnitLog, row, {scan.phi[j] / kDegToRad, scan.W[j] - w0});
}

}  // namespace

BunchCharacteristic bunch_characteristic(ElementsContext& sim, BuncherSearch& b, double h) {
  ReferenceBlock& r = sim.ref;
  const std::size_t pos = static_cast<std::size_t>(sim.state.ipos);
  r.gamma_s = r.w0 / r.amu_kev + 1.0;
  const double beta0 = std::sqrt(1.0 - 1.0 / (r.gamma_s * r.gamma_s));
  r.beta_s = beta0;
  std::array<bool, kBunchPhases> through{};
  std::array<double, kBunchPhases> phase_out{};
  for (int j = 0; j < kBunchPhases; ++j) {
    b.phi[j] = j * 2.5 * kDegToRad - kPi / 2.0;
    const DesignExit e = fixed_step_exit(sim, b.phi[j], beta0, h);
    b.W[j] = e.W;
    through[j] = e.through;
    phase_out[j] = e.phase;
  }
  // The last rising bracket of w0 between two phases the particle crossed.
  int m_found = 0;
  for (int m = 1; m < kBunchPhases; ++m)
    if (through[m - 1] && through[m] && b.W[m - 1] <= r.w0 && r.w0 <= b.W[m]) m_found = m;
  BunchCharacteristic c;
  if (m_found == 0) return c;
  c.crossing = true;
  b.lo = b.phi[m_found - 1];
  b.hi = b.phi[m_found];
  double mid = b.lo, W = b.W[m_found - 1], out = phase_out[m_found - 1];
  for (int k = 0; k < kPhaseBisections; ++k) {
    const double trial = (b.lo + b.hi) / 2.0;
    const DesignExit e = fixed_step_exit(sim, trial, beta0, h);
    // A phase inside the bracket that does not get through ends the
    // refinement at the last one that did.
    if (!e.through) break;
    mid = trial;
    W = e.W;
    out = e.phase;
    if (W == r.w0) break;
    if (W < r.w0)
      b.lo = mid;
    else
      b.hi = mid;
  }
  sim.history.elem_rf_phase[pos] = mid;
  sim.history.ref_phase_out[pos] = out;
  sim.history.ref_W_in[pos] = r.w0;
  sim.history.ref_W_out[pos] = W;
  c.value = characteristic_value(sim);
  return c;
}

std::optional<double> bunch_voltage_search(BuncherSearch& b,
                                           const std::function<double(double)>& characteristic) {
  // T[j + 1] holds amplitude j; amplitudes -1 and 0 read as 0.
  b.T.fill(0.0);
  b.jf = 0;
  for (int j = 1; j <= kBunchAmplitudes; ++j) {
    const double A = kAmplitudeStep * j + kFirstAmplitude;
    b.T[static_cast<std::size_t>(j) + 1] = A;
    if (characteristic(A) <= 0.0) {
      b.jf = j;
      break;
    }
  }
  if (b.jf == 0) return std::nullopt;
  double a = b.T[static_cast<std::size_t>(b.jf)];
  double c = b.T[static_cast<std::size_t>(b.jf) + 1];
  double A = c;
  for (int k = 0; k < kAmplitudeBisections; ++k) {
    A = (a + c) / 2.0;
    const double g = characteristic(A);
    if (g == 0.0) break;
    if (g > 0.0)
      a = A;
    else
      c = A;
  }
  return A;
}

std::optional<double> mhb4_phase_scan(ElementsContext& sim, double /*offset*/) {
  const PhaseScan scan = scan_design_phases(sim);
  // The periodic node: one node spacing past 2 pi, the value at that
  // phase, which is node 1's.
  std::array<double, kScanPhases + 1> phi{}, W{};
  std::array<bool, kScanPhases + 1> through{};
  for (int j = 0; j < kScanPhases; ++j) {
    phi[j] = scan.phi[j];
    W[j] = scan.W[j];
    through[j] = scan.through[j];
  }
  phi[kScanPhases] = (scan.phi[1] - scan.phi[0]) + kTwoPi;
  W[kScanPhases] = scan.W[1];
  through[kScanPhases] = scan.through[1];
  CubicSpline spline;
  DCSINT(sim, kScanPhases + 1, phi, W, spline);
  const double node_step = scan.phi[1] - scan.phi[0];
  const double w0 = sim.ref.w0;
  const double d = kTwoPi / kCrossingCells;
  std::optional<double> result;
  for (int m = 1; m <= kCrossingCells + 1; ++m) {
    const double a = (m - 1) * d;
    const double b = m * d;
    // Both ends between nodes the design particle crossed.
    const int ja = std::min(static_cast<int>(a / node_step), kScanPhases - 1);
    const int jb = std::min(static_cast<int>(b / node_step), kScanPhases - 1);
    if (!through[ja] || !through[ja + 1] || !through[jb] || !through[jb + 1]) continue;
    const double va = DCSVAL(sim, a, spline.nintv(), spline) - w0;
    const double vb = DCSVAL(sim, b, spline.nintv(), spline) - w0;
    if (va < 0.0 && vb > 0.0) {
      result = (a + b) / 2.0;
      if (sim.state.itype == kMhb4Type) mhb4_listing(sim, *result, scan);
    }
  }
  return result;
}

void bunch_element(ElementsContext& sim, std::int32_t n) {
  ReferenceBlock& r = sim.ref;
  RunState& s = sim.state;
  const RfGapLine g = enter_rf_gap_line(sim, n);
  const std::size_t pos = g.pos;
  const std::int32_t NN = g.NN;
  const double L = g.L;
  // Offsets, roll and the uniform errors of type 6 stay as the last cavity
  // or align line left them; the buncher's table gives the rest.
  if (NN >= 0 && NN <= kFieldTables) {
    const std::size_t t = static_cast<std::size_t>(NN);
    auto& te = sim.type_rec.type_errors;
    te[0][kRfGapType] = sim.tables.DCAV[t];
    te[3][kRfGapType] = sim.tables.SFAS[t];
    te[4][kRfGapType] = sim.tables.SERF[t];
  }

  place_element(sim, 0.0, L, 1.0, 0.0);
  if (s.idraw == 1) {
    misalign_draw(sim);
    return;
  }

  // The aperture is the table's, taken once the table is loaded.
  load_rf_gap_table(sim, NN);
  r.aperture_r = sim.tables.APER[static_cast<std::size_t>(NN)];
  switch_harmonic(sim, g.harmonic);
  r.aper_x = r.aperture_r;
  r.aper_y = r.aperture_r;
  r.step_len = L / r.nstep;
  ref_path_straight(sim, L);

  if (s.ipass == 1) {
    // The gap runs at P3; the crossing of w0 at that amplitude sets its
    // phase. The search data start afresh at every buncher.
    r.qa_push = r.QDESIGN / r.ADESIGN;
    sim.tables.field_used[pos] = r.rf_amp;
    sim.rf.bunch_search = BuncherSearch{};
    r.elem_phase = 0.0;
    const BunchCharacteristic c = bunch_characteristic(sim, sim.rf.bunch_search, r.step_len);
    if (!c.crossing) no_crossing(sim, n, sim.rf.bunch_search);
    r.w0 = sim.history.ref_W_out[pos];
  }
  // Reference and beam run at the crossing phase in every pass.
  r.rf_amp = sim.tables.field_used[pos];
  r.elem_phase = sim.history.elem_rf_phase[pos];
  ref_particle_element(sim);
  misalign_reuse(sim);
  misalign_in(sim);
  stat(sim, 0);
  RfTableSource gap = rf_table_source(sim);
  gap.rf_amp = (1.0 + sim.transport.misalign.rel_field_error) * sim.tables.field_used[pos];
  r.rf_amp = gap.rf_amp;
  ElementStepping how;
  how.field_map = true;
  how.stat_every_step = true;
  with_added_fields(sim, gap, [&](const auto& field) { step_element(sim, n, field, L, how); });
}

}  // namespace linac
