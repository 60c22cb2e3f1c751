// Longitudinal correction of a section: the energy gain of each corrector
// cavity per amplitude and phase step, measured with trial particles up to
// the section's phcor line; one common relative change of the corrector
// cavities' amplitude set-points brings the measured energy to the design
// energy there, and the phcor line's phase shift brings the measured phase
// back to the reference. Both measurements carry a random error within the
// phcor tolerances.
#include <cmath>
#include <vector>

#include <fmt/format.h>

#include "corrections/corrections_context.hpp"
#include "beam/beam_state.hpp"
#include "common/input_ranges.hpp"
#include "common/unit_numbers.hpp"
#include "corrections/correction_steps.hpp"
#include "corrections/longitudinal_cavity.hpp"
#include "numerics/random.hpp"
#include "platform/fatal.hpp"
#include "platform/format.hpp"
#include "platform/units.hpp"
#include "transport/seams.hpp"

namespace linac {

namespace {

constexpr double kRadToDeg = 180.0 / kPi;
// Tolerance factor of the energy and phase checks, a 32-bit constant.
const double kTolFactor = static_cast<double>(1.1f);

bool is(const CorrectionsContext& sim, std::int32_t k, std::string_view keyword) {
  return sim.elements.elem_name[static_cast<std::size_t>(k)] == keyword;
}

double kinetic_w(const CorrectionsContext& sim, double beta) { return (1.0 / std::sqrt(1.0 - beta * beta) - 1.0) * sim.ref.amu_kev; }

// One measurement pass from the section start to the phcor line with
// ncorr trial particles per state; the energies and phases of slot 0 and
// the trial particles, and their q_weight averages.
void longitudinal_pass(CorrectionsContext& sim, std::int32_t first) {
  CorrStudy& cs = sim.corr_study;
  RunConfig& c = sim.config;
  const int n = sim.corr.ncorr;
  sim.transport.misalign.err_weight_2 = 0.0;
  for (int iq = 1; iq <= c.NQTOT; ++iq) {
    const auto q = static_cast<std::size_t>(iq);
    sim.npat.ntest[q] = n;
    c.NPAT[q] = scaled_particle_count(c.NPAT[q], sim.corr.PARTEQ, "PARTEQ");
  }
  reset_test_particles(sim);
  const bool no_beam = sim.corr.PARTEQ == 0.0;
  sim.state.istat_mode = no_beam ? 2 : 1;
  sim.state.ipos = first - 1;
  sim.ref.wavelength_2pi = sim.ref.wavelength / sim.ref.harm / kTwoPi;
  sim.ref.nstep = 1;
  stat(sim, sim.ref.nstep);
  const double scur = sim.current.scur;
  if (no_beam) sim.current.scur = 0.0;
  run_lines(sim, first, cs.phcor_pos);
  sim.current.scur = scur;
  cs.w_test_avr.fill(0.0);
  cs.ph_test_avr.fill(0.0);
  for (int iq = 1; iq <= c.NQTOT; ++iq) {
    const auto q = static_cast<std::size_t>(iq);
    const int npat = c.NPAT[q];
    for (int i = 0; i <= n; ++i) {
      const int slot = i == 0 ? 0 : npat + i;
      const auto ii = static_cast<std::size_t>(i);
      cs.w_test[q][ii] = kinetic_w(sim, sim.particles.beta[iq][slot]);
      cs.ph_test[q][ii] = sim.particles.phase[iq][slot];
      cs.w_test_avr[ii] += cs.q_weight[q] * cs.w_test[q][ii];
      cs.ph_test_avr[ii] += cs.q_weight[q] * cs.ph_test[q][ii];
    }
  }
}

// The energy and phase lines of a measurement in ph_monitor.dat.
void measurement_report(CorrectionsContext& sim, std::string_view q1_phase_label) {
  const CorrStudy& cs = sim.corr_study;
  const std::string_view f = "(2(4X,A12,F12.4),A8)";
  const auto& c1 = sim.stats.qstate_centroids[1];
  if (sim.corr.PARTEQ > 0.0) {
    const double eb = 1000.0 * sim.stats.element_stats[static_cast<std::size_t>(cs.phcor_pos)].w_mean;
    write_checked(sim, kUnitPhMonitor, f,
                    {std::string_view("Wavr="), eb, std::string_view("WavrTest="), cs.w_test_avr[0],
                     std::string_view("[kev/u]"), std::string_view("W(Q1)="), c1[6], std::string_view("W(Q1)Test="),
                     cs.w_test[1][0], std::string_view("[kev/u]")});
    write_checked(sim, kUnitPhMonitor, f,
                    {std::string_view("PHavr="), sim.beam_moments.centroid[5] * kRadToDeg,
                     std::string_view("PHavrTest="), cs.ph_test_avr[0] * kRadToDeg, std::string_view("[deg]"),
                     std::string_view("PH(Q1)="), c1[5] * kRadToDeg, q1_phase_label, cs.ph_test[1][0] * kRadToDeg,
                     std::string_view("[deg]")});
  } else if (sim.corr.PARTEQ == 0.0) {
    write_checked(sim, kUnitPhMonitor, f,
                    {std::string_view("WavrTest="), cs.w_test_avr[0], std::string_view("W(Q1)Test="),
                     cs.w_test[1][0], std::string_view("[kev/u]")});
    write_checked(sim, kUnitPhMonitor, f,
                    {std::string_view("PHavrTest="), cs.ph_test_avr[0] * kRadToDeg, std::string_view("PH(Q1)Test="),
                     cs.ph_test[1][0] * kRadToDeg, std::string_view("[deg]")});
  }
}

}  // namespace

void longitudinal_correction(CorrectionsContext& sim, std::int32_t s) {
  CorrStudy& cs = sim.corr_study;
  ElementTable& e = sim.elements;
  Units& u = sim.units;
  const auto& row = cs.corr_section[static_cast<std::size_t>(s)];
  const std::int32_t first = row[kCsFirst], last = row[kCsLast];
  clear_trial_marks(sim, first, row[kCsExtra]);

  // 1. Weights of the charge states (taken at the section start).
  compute_q_weights(sim);

  // 2. The phcor line; the last of the section decides.
  cs.phcor_pos = 0;
  cs.phcor_mode_phase = cs.phcor_mode_energy = 0;
  cs.phcor_tol_phase = cs.phcor_tol_energy = 0.0;
  for (std::int32_t k = first; k <= last; ++k) {
    const auto kk = static_cast<std::size_t>(k);
    if (!is(sim, k, "phcor") || e.elem_int[kk][kElemN] <= 0) continue;
    const auto& P = e.elem_par[kk];
    cs.phcor_pos = k;
    cs.phcor_mode_phase = nint(P[1], "phcor P1");
    cs.phcor_mode_energy = nint(P[2], "phcor P2");
    cs.phcor_tol_phase = P[3];
    cs.phcor_tol_energy = P[4];
    write_checked(sim, kUnitPhMonitor, "(I2,A6,2I2,2F6.2)",
                    {e.elem_int[kk][kElemN], std::string_view("phcor"), cs.phcor_mode_phase, cs.phcor_mode_energy,
                     P[3], P[4]});
    auto bad = [](std::int32_t mode) { return mode < 0 || mode > 2; };
    if (bad(cs.phcor_mode_phase) || bad(cs.phcor_mode_energy)) {
      u.write(kScreenUnit, format_records("(A15,I4,A15)", {std::string_view(" element PHCOR#"), k,
                                                           std::string_view("is bad")}));
      fatal({fmt::format(" {}: phase mode P1 = {} and energy mode P2 = {}; each must be 0, 1 or 2",
                         element_label(sim, k), P[1], P[2])});
    }
  }

  // 3. Corrector cavities up to the phcor line: amplitude tag 2c - 1,
  //    phase tag 2c.
  sim.corr.ncorr = 0;
  sim.corr.kicks.fill(0.0);
  std::vector<std::int32_t> cavities;
  if (cs.phcor_mode_energy > 0) {
    for (std::int32_t k = first; k <= cs.phcor_pos; ++k) {
      const auto kk = static_cast<std::size_t>(k);
      if (!is(sim, k, "cav") || e.elem_int[kk][15] != 1) continue;
      if (static_cast<int>(cavities.size()) == kMaxCorrCavities)
        fatal(fmt::format(" seed {}, correction section {}: {} corrector cavities before the phcor line {}; a "
                          "section holds at most {}",
                          sim.state.iseed, s, kMaxCorrCavities + 1, element_label(sim, cs.phcor_pos),
                          kMaxCorrCavities));
      cavities.push_back(k);
      const int t = sim.corr.ncorr + 1;
      e.elem_int[kk][8] = t;
      sim.corr.kicks[static_cast<std::size_t>(t)] = sim.corr_limits.TE00_STEP * cavity_field_used(sim, k);
      sim.corr.ncorr = t + 1;
      e.elem_int[kk][9] = t + 1;
      sim.corr.kicks[static_cast<std::size_t>(t + 1)] = sim.corr_limits.PHDEV_STEP;
    }
    if (sim.corr.ncorr == 0) cs.phcor_mode_energy = 0;
  }

  // 4.
  if (cs.phcor_mode_phase == 0 && cs.phcor_mode_energy == 0) return;

  // 5-6. Measurement and its report.
  longitudinal_pass(sim, first);
  sim.units.write(kUnitPhMonitor, list_directed({std::string_view("          before longitudinal correction    ")}));
  measurement_report(sim, "PH(Q1)Test=");

  // 7. Energy correction.
  if (cs.phcor_mode_energy > 0) {
    const int n = sim.corr.ncorr;
    double S = 0.0;
    for (int i = 1; i <= n; ++i) cs.w_test_avr[static_cast<std::size_t>(i)] -= cs.w_test_avr[0];
    for (int i = 1; i < n; i += 2) S += std::abs(cs.w_test_avr[static_cast<std::size_t>(i)]);
    const auto ph = static_cast<std::size_t>(cs.phcor_pos);
    double wm = 1000.0 * sim.stats.element_stats[ph].w_mean;
    double wq = sim.stats.qstate_centroids[1][6];
    if (sim.corr.PARTEQ == 0.0) {
      wm = cs.w_test_avr[0];
      wq = cs.w_test[1][0];
    }
    if (cs.phcor_mode_energy == 1) wm = wq;
    const double wr = sim.history.ref_W_out[ph];
    if (!(wr > 0.0))
      fatal(fmt::format(" seed {}, correction section {}: design energy {} keV/u at {}; the energy correction "
                        "needs a positive one",
                        sim.state.iseed, s, wr, element_label(sim, cs.phcor_pos)));
    const double tol = cs.phcor_tol_energy / 100.0;
    const double dev = std::abs(wm - wr) / wr;
    double corr = 0.0;
    if (dev > kTolFactor * tol) {
      if (!(S > 0.0))
        fatal(fmt::format(" seed {}, correction section {}: the corrector cavities before {} gain no energy "
                          "with an amplitude step (sum of gains {} keV/u); no energy correction is possible",
                          sim.state.iseed, s, element_label(sim, cs.phcor_pos), S));
      double uu = 0.0;
      dRNUN(sim, 1, &uu);
      const double err = (1.0 - 2.0 * uu) * tol;
      corr = -((1.0 + err) * wm - wr) / (S / sim.corr_limits.TE00_STEP);
    }
    u.write(kUnitPhMonitor, list_directed({}));
    write_checked(sim, kUnitPhMonitor, "(A12,F8.2,2(A7,F10.2),A6)",
                    {std::string_view(" Wkin-Wtmp="), wm - wr, std::string_view(" Wkin="), wm,
                     std::string_view("Wtmp="), wr, std::string_view("Kev/u")});
    write_checked(sim, kUnitPhMonitor, "(A7,A8,A17,A17)",
                    {std::string_view("n_el#"), std::string_view(" cavCr#"), std::string_view("    dW/dTE00"),
                     std::string_view("       dW/dPHdev")});
    for (std::size_t c = 1; c <= cavities.size(); ++c) {
      write_checked(sim, kUnitPhMonitor, "(I7,I8,F12.2,A6,F9.2,A8)",
                      {cavities[c - 1], static_cast<std::int32_t>(c),
                       cs.w_test_avr[2 * c - 1] / sim.corr_limits.TE00_STEP / 100.0, std::string_view(" keV/%"),
                       cs.w_test_avr[2 * c] / sim.corr_limits.PHDEV_STEP * kPi / 180.0, std::string_view(" keV/deg")});
    }
    write_checked(sim, kUnitPhMonitor, "(A6,F12.2,A1)", {std::string_view(" dTE00"), corr * 100.0, std::string_view("%")});
    u.write(kUnitPhMonitor, list_directed({}));
    for (std::int32_t k : cavities) {
      const auto kk = static_cast<std::size_t>(k);
      // A decelerating cavity moves its amplitude the other way.
      const double sg = cs.w_test_avr[static_cast<std::size_t>(e.elem_int[kk][8])] < 0.0 ? -1.0 : 1.0;
      e.elem_par[kk][8] += corr * cavity_field_used(sim, k) * sg;
      e.elem_int[kk][8] = 0;
      e.elem_int[kk][9] = 0;
    }
    sim.corr.corr_on_long = 1;
  }

  // 8. Phase measured again behind the corrected cavities.
  if (cs.phcor_mode_phase > 0 && cs.phcor_mode_energy > 0) {
    e.elem_par[static_cast<std::size_t>(cs.phcor_pos)][9] = 0.0;
    State(sim, "corr_dis.dat", "read");
    sim.corr.ncorr = 0;
    sim.corr.kicks.fill(0.0);
    longitudinal_pass(sim, first);
    sim.corr.corr_on_long = 1;
    sim.units.write(kUnitPhMonitor, list_directed({std::string_view(" after longitudinal correction for TEST particles")}));
    measurement_report(sim, "PHTest(Q1)=");
  }

  // 9. Phase correction.
  if (cs.phcor_mode_phase > 0) {
    double pb = sim.beam_moments.centroid[5];
    double pq = sim.stats.qstate_centroids[1][5];
    if (sim.corr.PARTEQ == 0.0) {
      pb = cs.ph_test_avr[0];
      pq = cs.ph_test[1][0];
    }
    double& p9 = e.elem_par[static_cast<std::size_t>(cs.phcor_pos)][9];
    p9 = cs.phcor_mode_phase == 1 ? pq : pb;
    const double tp = cs.phcor_tol_phase * kPi / 180.0;
    if (std::abs(p9) <= kTolFactor * tp) {
      p9 = 0.0;
    } else {
      double uu = 0.0;
      dRNUN(sim, 1, &uu);
      p9 += (1.0 - 2.0 * uu) * tp;
    }
    write_checked(sim, kUnitPhMonitor, "(A10,F8.2,A4)", {std::string_view("dPHASE="), p9 * kRadToDeg, std::string_view(" deg")});
  }

  // 10. The section's starting beam again.
  State(sim, "corr_dis.dat", "read");
  sim.corr.corr_on_long = 1;
}

}  // namespace linac
