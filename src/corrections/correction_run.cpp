// The corrections of one seed: the sections in lattice order, each with its
// longitudinal correction, its orbit steering and a final pass of the
// reduced beam whose end is the start of the next section.
#include <chrono>
#include <cmath>
#include <vector>

#include "corrections/corrections_context.hpp"
#include "common/unit_numbers.hpp"
#include "beam/beam_state.hpp"
#include "common/unit_numbers.hpp"
#include "corrections/correction_service.hpp"
#include "corrections/correction_steps.hpp"
#include "platform/format.hpp"
#include "platform/units.hpp"

namespace linac {

namespace {

constexpr double kRadToDeg = 180.0 / kPi;
// A relative energy deviation above this is printed as 0 in out_wq.dat.
constexpr double kDevPrintMax = 0.5;

const std::string kStars = std::string(28, ' ') + std::string(14, '*');

void write_list(CorrectionsContext& sim, int unit, std::initializer_list<FmtItem> items) {
  write_list_checked(sim, unit, items);
}

bool section_has(const CorrectionsContext& sim, std::int32_t first, std::int32_t last, std::string_view keyword) {
  for (std::int32_t k = first; k <= last; ++k)
    if (sim.elements.elem_name[static_cast<std::size_t>(k)] == keyword) return true;
  return false;
}

double kinetic_w(const CorrectionsContext& sim, double beta) { return (1.0 / std::sqrt(1.0 - beta * beta) - 1.0) * sim.ref.amu_kev; }

// Quality checks after element k of the final pass: the deviation of the
// measured energy and phase from the design, against a third of the
// phcor tolerances, each a log.dat line when exceeded.
void quality_checks(CorrectionsContext& sim) {
  const CorrStudy& cs = sim.corr_study;
  const double w0 = sim.ref.w0;
  const auto pos = static_cast<std::size_t>(sim.state.ipos);
  double wm = w0;
  if (cs.phcor_mode_energy == 1) wm = sim.stats.qstate_centroids[1][6];
  if (cs.phcor_mode_energy == 2) wm = 1000.0 * sim.stats.element_stats[pos].w_mean;
  auto bad = [&](std::string_view what) {
    write_checked(sim, kUnitLog, "(2(A10,I3),A30)",
                    {std::string_view("Nseed#"), sim.state.iseed, std::string_view("Section#"), sim.scan.cur_cdump,
                     what});
  };
  if (cs.phcor_mode_energy > 0 && cs.phcor_tol_energy > 0.0 &&
      std::abs(wm - w0) / w0 * 100.0 / 3.0 > cs.phcor_tol_energy)
    bad("energy correction is bad");
  double ph = 0.0;
  if (cs.phcor_mode_phase == 1) ph = sim.stats.qstate_centroids[1][5];
  if (cs.phcor_mode_phase == 2) ph = sim.beam_moments.centroid[5];
  if (cs.phcor_mode_phase > 0 && cs.phcor_tol_phase > 0.0 && std::abs(ph) * kRadToDeg / 3.0 > cs.phcor_tol_phase)
    bad("phase correction is bad");
}

// Closing block of section s in ph_monitor.dat: beam and slot-0 energies
// and phases at the section end.
void closing_block(CorrectionsContext& sim, std::int32_t last) {
  const CorrStudy& cs = sim.corr_study;
  Units& u = sim.units;
  u.write(kUnitPhMonitor, list_directed({}));
  write_list(sim, kUnitPhMonitor, {std::string_view(" after longitudinal correction for 'partCorr' particles")});
  const auto p = static_cast<std::size_t>(last);
  const double e = 1000.0 * sim.stats.element_stats[p].w_mean;
  const double wr = sim.history.ref_W_out[p];
  write_checked(sim, kUnitPhMonitor, "(A12,F8.2,2(A7,F10.2),A6)",
                  {std::string_view(" Wkin-Wtmp="), e - wr, std::string_view("Wkin="), e, std::string_view("Wtmp="),
                   wr, std::string_view("Kev/u")});
  double wa = 0.0, pa = 0.0;
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
    const double ws = kinetic_w(sim, sim.particles.beta[iq][0]);
    wa += cs.q_weight[static_cast<std::size_t>(iq)] * ws;
    pa += cs.q_weight[static_cast<std::size_t>(iq)] * sim.particles.phase[iq][0];
  }
  const auto& c1 = sim.stats.qstate_centroids[1];
  write_checked(sim, kUnitPhMonitor, "(2(4X,A12,F12.4),A8)",
                  {std::string_view("Wavr="), e, std::string_view("WTestavr="), wa, std::string_view("[kev/u]"),
                   std::string_view("W(Q1)="), c1[6], std::string_view("WTest(Q1)="),
                   kinetic_w(sim, sim.particles.beta[1][0]), std::string_view("[kev/u]")});
  write_checked(sim, kUnitPhMonitor, "(2(4X,A12,F12.4),A8)",
                  {std::string_view("PHavr="), sim.beam_moments.centroid[5] * kRadToDeg,
                   std::string_view("PHavrTest="), pa * kRadToDeg, std::string_view("[deg]"),
                   std::string_view("PH(Q1)="), c1[5] * kRadToDeg, std::string_view("PHTest(Q1)="),
                   sim.particles.phase[1][0] * kRadToDeg, std::string_view("[deg]")});
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

void run_lines(CorrectionsContext& sim, std::int32_t first, std::int32_t last) {
  for (std::int32_t k = first; k <= last; ++k) sim.dispatch_line(sim, k);
}

void write_final_pass_lines(CorrectionsContext& sim, std::int32_t k, FormatCache& fc) {
  const auto kk = static_cast<std::size_t>(k);
  const auto pos = static_cast<std::size_t>(sim.state.ipos);
  const double w0 = sim.ref.w0;
  const int nq = sim.config.NQTOT;
  double d[7] = {};
  double ph[7] = {};
  for (int iq = 1; iq <= nq && iq <= 6; ++iq) {
    d[iq] = (sim.stats.qstate_centroids[static_cast<std::size_t>(iq)][6] - w0) / w0;
    ph[iq] = sim.stats.qstate_centroids[static_cast<std::size_t>(iq)][5] * kRadToDeg;
  }
  d[6] = (1000.0 * sim.stats.element_stats[pos].w_mean - w0) / w0;
  ph[6] = sim.beam_moments.centroid[5] * kRadToDeg;
  const std::string_view name = sim.elements.elem_name[kk].view();
  const double at = sim.elements.elem_pos[kk] / 100.0;
  std::vector<FmtItem> wq{name, at}, phq{name, at};
  for (int i = 1; i <= 6; ++i) {
    wq.emplace_back(std::abs(d[i]) > kDevPrintMax ? 0.0 : d[i] * 100.0);
    phq.emplace_back(ph[i]);
  }
  const FortranFormat& f = fc.get("(A6,F15.3,6D15.5)");
  write_checked(sim, kUnitOutWq, f, wq);
  write_checked(sim, kUnitOutPhq, f, phq);
}

void reset_test_particles(CorrectionsContext& sim) {
  const CorrStudy& cs = sim.corr_study;
  ParticleArrays& p = sim.particles;
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
    const auto q = static_cast<std::size_t>(iq);
    const auto& cen = cs.stored_centroids[q];
    const double gamma = cen[6] / sim.ref.amu_kev + 1.0;
    const double beta = std::sqrt(1.0 - 1.0 / (gamma * gamma));
    const double qa = sim.config.QQ[q] / sim.config.AMASS[q];
    auto place = [&](int i, double x, double xp, double y, double yp, std::int32_t status) {
      p.x[iq][i] = x;
      p.xp[iq][i] = xp;
      p.y[iq][i] = y;
      p.yp[iq][i] = yp;
      p.phase[iq][i] = cen[5];
      p.beta[iq][i] = beta;
      p.z[iq][i] = 0.0;
      p.qa[iq][i] = qa;
      p.status[iq][i] = status;
    };
    place(0, cen[1], cen[2], cen[3], cen[4], 0);
    const int npat = sim.config.NPAT[q];
    for (int t = 1; t <= sim.npat.ntest[q]; ++t) place(npat + t, 0.0, 0.0, 0.0, 0.0, t);
  }
}

void compute_q_weights(CorrectionsContext& sim) {
  CorrStudy& cs = sim.corr_study;
  double sum = 0.0;
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq) sum += sim.config.NPAT[static_cast<std::size_t>(iq)] + 1.0;
  cs.q_weight.fill(0.0);
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq)
    cs.q_weight[static_cast<std::size_t>(iq)] = (sim.config.NPAT[static_cast<std::size_t>(iq)] + 1.0) / sum;
}

void clear_trial_marks(CorrectionsContext& sim, std::int32_t first, std::int32_t extra) {
  ElementTable& e = sim.elements;
  for (std::int32_t k = first; k <= extra; ++k) {
    const auto kk = static_cast<std::size_t>(k);
    if (e.elem_name[kk] == "mon") e.elem_int[kk][15] = 0;
    if (e.elem_name[kk] == "corr" || e.elem_name[kk] == "cav") {
      e.elem_int[kk][8] = 0;
      e.elem_int[kk][9] = 0;
    }
  }
}

void error_study_corrections(CorrectionsContext& sim) {
  CorrStudy& cs = sim.corr_study;
  RunState& st = sim.state;
  const bool listing = st.IFLAG_UNIX == 0;
  FormatCache fc;
  sim.state.corr_passes_running = 1;

  // 1. Seed records.
  write_list(sim, kUnitCoMonitor, {st.iseed});
  if (listing) {
    write_list(sim, kUnitPhMonitor, {std::string_view(kStars)});
    write_checked(sim, kUnitPhMonitor, "(28X,A8,I5,A2)",
                    {std::string_view("* Seed#"), st.iseed, std::string_view(" *")});
    write_list(sim, kUnitPhMonitor, {std::string_view(kStars)});
    write_list(sim, kScreenUnit, {std::string_view(" Nseed"), st.iseed});
  }

  // 2. The sections in order.
  for (std::int32_t s = 1; s <= cs.n_sections; ++s) {
    const auto& row = cs.corr_section[static_cast<std::size_t>(s)];
    cs.corr_index = s;
    if (listing) {
      write_list(sim, kUnitPhMonitor, {std::string_view(" ")});
      write_checked(sim, kUnitPhMonitor, "(10X,A13,I4,A3)",
                      {std::string_view("!* Section#"), s, std::string_view(" *!")});
    }
    write_list(sim, kUnitCoMonitor, {s});

    sim.scan.cur_cdump = row[kCsCdump];
    const std::int32_t first = row[kCsFirst], last = row[kCsLast];
    cs.stored_centroids = sim.stats.qstate_centroids;
    sim.corr.corr_on_steer = 0;
    sim.corr.corr_on_long = 0;
    sim.scan.scan_mode = 1;
    sim.transport.misalign.err_weight_1 = 1.0;
    sim.transport.misalign.err_weight_2 = 1.0;
    // The weights of the charge states as the section starts (a stripper
    // upstream changes them), for the longitudinal and steering readings.
    compute_q_weights(sim);
    cs.phcor_pos = 0;
    cs.phcor_mode_phase = cs.phcor_mode_energy = 0;
    cs.phcor_tol_phase = cs.phcor_tol_energy = 0.0;

    auto t0 = std::chrono::steady_clock::now();
    if (!section_has(sim, first, last, "strip")) longitudinal_correction(sim, s);
    cs.times.longitudinal += seconds_since(t0);
    steering_correction(sim, s);

    // f. Final pass of the section with the real beam.
    t0 = std::chrono::steady_clock::now();
    sim.npat.ntest.fill(0);
    reset_test_particles(sim);
    st.istat_mode = 0;
    sim.corr.ncorr = 0;
    sim.corr.kicks.fill(0.0);
    const std::string wq_head =
        " name         dist[m]    dW(Q1)/W ,%    dW(Q2)/W ,%    dW(Q3)/W ,%    dW(Q4)/W ,%    dW(Q5)/W ,%     "
        "dWavr/W ,%   ";
    const std::string phq_head =
        " name         dist[m]     PH(Q1),deg     PH(Q2),deg     PH(Q3),deg     PH(Q4),deg     PH(Q5),deg      "
        "PHavr,deg   ";
    write_checked(sim, kUnitOutWq, fc.get("(A112)"), {std::string_view(wq_head)});
    write_checked(sim, kUnitOutPhq, fc.get("(A112)"), {std::string_view(phq_head)});
    st.ipos = first - 1;
    sim.ref.wavelength_2pi = sim.ref.wavelength / sim.ref.harm / kTwoPi;
    sim.ref.nstep = 1;
    stat(sim, sim.ref.nstep);
    for (std::int32_t k = first; k <= last; ++k) {
      std::int32_t kk = k;
      sim.dispatch_line(sim, kk);
      if (sim.corr.corr_on_long == 1) quality_checks(sim);
      write_final_pass_lines(sim, k, fc);
    }
    cs.times.final_pass += seconds_since(t0);

    // g. The end of this section is the start of the next.
    sim.npat.npat_pass = sim.config.NPAT;
    cs.stored_centroids = sim.stats.qstate_centroids;
    State(sim, "corr_dis.dat", "write");

    // h. Closing block.
    closing_block(sim, last);
  }

  // 3.
  sim.scan.scan_mode = 1;
  st.istat_mode = 0;
  sim.state.corr_passes_running = 0;
}

}  // namespace linac
