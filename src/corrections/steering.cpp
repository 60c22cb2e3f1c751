// Orbit steering of a correction section: the responses of the monitors to
// trial kicks of the correctors, measured with test particles, the monitor
// equations with their measurement errors, the bounded fit of the
// normalised corrector strengths, and the kicks set from it.
#include <chrono>
#include <cmath>
#include <vector>

#include <fmt/format.h>

#include "corrections/corrections_context.hpp"
#include "common/input_ranges.hpp"
#include "common/text_utils.hpp"
#include "common/unit_numbers.hpp"
#include "beam/beam_state.hpp"
#include "common/unit_numbers.hpp"
#include "corrections/correction_steps.hpp"
#include "corrections/minimiser.hpp"
#include "numerics/random.hpp"
#include "platform/fatal.hpp"
#include "platform/format.hpp"
#include "transport/seams.hpp"

namespace linac {

namespace {

// A strength limit, switch or trial kick below this (mrad) counts as 0.
constexpr double kOff = 1e-7;

bool is(const CorrectionsContext& sim, std::int32_t k, std::string_view keyword) {
  return sim.elements.elem_name[static_cast<std::size_t>(k)] == keyword;
}

const auto& par(const CorrectionsContext& sim, std::int32_t k) { return sim.elements.elem_par[static_cast<std::size_t>(k)]; }

[[noreturn]] void over_capacity(std::int32_t s, std::string_view what, int count, int cap) {
  fatal(fmt::format(" correction section {}: {} {}; a section holds at most {}", s, count, what, cap));
}

// Adds corrector line k of plane `vertical` as corrector t.
void add_corrector(CorrectionsContext& sim, std::int32_t s, std::int32_t k, bool vertical) {
  CorrStudy& cs = sim.corr_study;
  const auto& P = par(sim, k);
  const int t = sim.corr.ncorr + 1;
  if (t > kMaxSteerCorrectors) over_capacity(s, "steering correctors", t, kMaxSteerCorrectors);
  const double trial = std::abs(vertical ? P[7] : P[6]);
  // The response is the reading per trial kick: a zero kick measures
  // nothing and would divide by zero.
  if (trial <= kOff)
    fatal(fmt::format(" {}: the {} corrector has trial kick {} mrad (P{} of the line); the steering "
                      "measurement needs a non-zero trial kick",
                      element_label(sim, k), vertical ? "vertical" : "horizontal", vertical ? P[7] : P[6],
                      vertical ? 7 : 6));
  const auto tt = static_cast<std::size_t>(t);
  cs.corr_elem[tt] = k;
  cs.corr_value[tt] = 0.0;
  cs.corr_limit[static_cast<std::size_t>(s)][tt] = std::abs(vertical ? P[3] : P[2]);
  cs.corr_name[tt] = (vertical ? " corrY #" : " corrX #") + int_to_2digits(vertical ? t - cs.n_x : t);
  sim.corr.kicks[tt] = trial;
  sim.elements.elem_int[static_cast<std::size_t>(k)][vertical ? 9 : 8] = t;
  sim.corr.ncorr = t;
}

// Adds the rows of monitor line k (number m) of one plane for pass p.
void add_monitor_rows(CorrectionsContext& sim, std::int32_t s, std::int32_t k, int m, int p, bool vertical) {
  CorrStudy& cs = sim.corr_study;
  const auto& P = par(sim, k);
  const std::string digits = int_to_2digits(m);
  auto row = [&](double dist, std::string name) {
    const int j = cs.n_eq + 1;
    if (j > kMaxEquations) over_capacity(s, "monitor equations", j, kMaxEquations);
    const auto jj = static_cast<std::size_t>(j);
    cs.eq_err[jj] = vertical ? P[3] : P[2];
    cs.eq_weight[jj] = vertical ? P[5] : P[4];
    cs.eq_elem[jj] = k;
    cs.eq_pass[jj] = p;
    cs.eq_dist[jj] = dist;
    cs.eq_name[jj] = std::move(name) + digits;
    cs.n_eq = j;
  };
  row(0.0, vertical ? "  monY #" : "  monX #");
  if (P[1] > kOff) row(P[1], vertical ? "  monY'#" : "  monX'#");
}

// Stops the run when a test particle has left A_LIM times the aperture of
// the element just run.
void check_test_particles(CorrectionsContext& sim, std::int32_t k) {
  const double ax = sim.ref.aper_x, ay = sim.ref.aper_y;
  if (ay == 0.0) return;
  const double lim = sim.corr_limits.A_LIM;
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
    const int npat = sim.config.NPAT[static_cast<std::size_t>(iq)];
    const int ntest = sim.npat.ntest[static_cast<std::size_t>(iq)];
    for (int i = npat + 1; i <= npat + ntest; ++i) {
      if (sim.particles.status[iq][i] < 0) continue;
      const double x = sim.particles.x[iq][i], y = sim.particles.y[iq][i];
      const double rx = std::abs(x / (lim * ax)), ry = std::abs(y / (lim * ay));
      const bool out = ay > 0.0 ? (rx > 1.0 || ry > 1.0) : std::sqrt(rx * rx + ry * ry) > 1.0;
      if (out)
        fatal({" invalid displacement of the test particles ",
               fmt::format(" {}: test particle {} of charge state {} at x = {} cm, y = {} cm; the limit is "
                           "A_LIM = {} times the aperture ({} cm, {} cm)",
                           element_label(sim, k), sim.particles.status[iq][i], iq, x, y, lim, ax, ay)});
    }
  }
}

// Pass p of the measurement: every line first..extra with the trial
// particles, the readings at each numbered monitor.
void measurement_pass(CorrectionsContext& sim, int p, std::int32_t first, std::int32_t extra) {
  CorrStudy& cs = sim.corr_study;
  RunConfig& c = sim.config;
  const int n = sim.corr.ncorr;
  sim.scan.scan_mode = p;
  for (int iq = 1; iq <= c.NQTOT; ++iq) {
    const auto q = static_cast<std::size_t>(iq);
    // The trial particles and one untagged reference particle started
    // like them: a response is the difference of the two, so it holds
    // the corrector's effect only, not the orbit the errors give both.
    sim.npat.ntest[q] = n + 1;
    c.NPAT[q] = scaled_particle_count(c.NPAT[q], sim.corr.PARTEQ, "PARTEQ");
  }
  const bool no_beam = sim.corr.PARTEQ == 0.0;
  sim.state.istat_mode = no_beam ? 2 : 1;
  reset_test_particles(sim);
  sim.state.ipos = first - 1;
  sim.ref.wavelength_2pi = sim.ref.wavelength / sim.ref.harm / kTwoPi;
  // Test particles only carry no charge.
  const double scur = sim.current.scur;
  if (no_beam) sim.current.scur = 0.0;
  for (std::int32_t k = first; k <= extra; ++k) {
    std::int32_t kk = k;
    sim.dispatch_line(sim, kk);
    check_test_particles(sim, k);
    if (!is(sim, k, "mon")) continue;
    const int m = sim.elements.elem_int[static_cast<std::size_t>(k)][15];
    if (m <= 0) continue;
    auto& r0 = cs.mon_read0[static_cast<std::size_t>(p)][static_cast<std::size_t>(m)];
    auto& rt = cs.mon_read_t[static_cast<std::size_t>(p)][static_cast<std::size_t>(m)];
    for (int t = 0; t <= n; ++t) rt[static_cast<std::size_t>(t)].fill(0.0);
    r0.fill(0.0);
    for (int iq = 1; iq <= c.NQTOT; ++iq) {
      const double w = cs.q_weight[static_cast<std::size_t>(iq)];
      const ParticleArrays& pa = sim.particles;
      auto coords = [&](int i) { return std::array<double, 5>{0.0, pa.x[iq][i], pa.xp[iq][i], pa.y[iq][i], pa.yp[iq][i]}; };
      if (no_beam) {
        const auto v = coords(0);
        for (int cc = 1; cc <= 4; ++cc) r0[static_cast<std::size_t>(cc)] += w * v[static_cast<std::size_t>(cc)];
      }
      const int npat = c.NPAT[static_cast<std::size_t>(iq)];
      const int ref = npat + n + 1;
      if (pa.status[iq][ref] != n + 1) continue;  // reference lost: no response from this state
      const auto vref = coords(ref);
      for (int i = npat + 1; i <= npat + n; ++i) {
        const std::int32_t t = pa.status[iq][i];
        if (t < 1 || t > n) continue;
        const auto v = coords(i);
        for (int cc = 1; cc <= 4; ++cc)
          rt[static_cast<std::size_t>(t)][static_cast<std::size_t>(cc)] +=
              w * (v[static_cast<std::size_t>(cc)] - vref[static_cast<std::size_t>(cc)]);
      }
    }
    if (!no_beam)
      for (int cc = 1; cc <= 4; ++cc) r0[static_cast<std::size_t>(cc)] = sim.beam_moments.centroid[static_cast<std::size_t>(cc)];
  }
  sim.current.scur = scur;
  State(sim, "corr_dis.dat", "read");
}

void log_fit(CorrectionsContext& sim, std::int32_t s, const FitResult& r) {
  write_checked(sim, kUnitLog, "(A10,I3,A10,I3,A30,1PE11.3,A8,I6)",
                  {std::string_view("Nseed#"), sim.state.iseed, std::string_view("Section#"), s,
                   std::string_view(r.call_limit ? " steering fit: call limit, EDM=" : " steering fit invalid, EDM="),
                   r.edm, std::string_view(" calls="), r.calls});
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

void steering_correction(CorrectionsContext& sim, std::int32_t s) {
  CorrStudy& cs = sim.corr_study;
  const auto ss = static_cast<std::size_t>(s);
  auto& row = cs.corr_section[ss];
  const std::int32_t first = row[kCsFirst], last = row[kCsLast], extra = row[kCsExtra];
  const std::int32_t cdump = sim.scan.cur_cdump;
  const ElementTable& e = sim.elements;

  // 1. Clear the tables and the marks an earlier step left.
  clear_trial_marks(sim, first, extra);
  for (auto& a : cs.mon_read0)
    for (auto& b : a) b.fill(0.0);
  for (auto& a : cs.mon_read_t)
    for (auto& b : a)
      for (auto& c : b) c.fill(0.0);
  for (auto& a : cs.resp_meas) a.fill(0.0);
  for (auto& a : cs.resp) a.fill(0.0);
  cs.read_meas.fill(0.0);
  cs.rhs.fill(0.0);
  for (auto& a : cs.mon_after) a.fill(0.0);
  sim.corr.kicks.fill(0.0);

  // 2. A swtch line of the section's number asks for a second pass.
  int npass = 1;
  for (std::int32_t k = first; k <= extra; ++k)
    if (is(sim, k, "swtch") && e.elem_int[static_cast<std::size_t>(k)][kElemN] == cdump) npass = 2;

  // 3-4. Correctors: horizontal ones switched on by P5, vertical ones by P6.
  sim.corr.ncorr = 0;
  cs.n_x = cs.n_y = 0;
  for (std::int32_t k = first; k <= last; ++k)
    if (is(sim, k, "corr") && std::abs(par(sim, k)[5]) > kOff && std::abs(par(sim, k)[2]) > kOff)
      add_corrector(sim, s, k, false);
  cs.n_x = sim.corr.ncorr;
  for (std::int32_t k = first; k <= last; ++k)
    if (is(sim, k, "corr") && std::abs(par(sim, k)[6]) > kOff && std::abs(par(sim, k)[3]) > kOff)
      add_corrector(sim, s, k, true);
  const int n = sim.corr.ncorr;
  cs.n_y = n - cs.n_x;
  row[kCsNx] = cs.n_x;
  row[kCsNy] = cs.n_y;

  // 5-6. Monitors after a corrector, and their equations.
  cs.n_mon = 0;
  cs.n_eq = cs.n_eq_x = 0;
  if (n > 0) {
    for (std::int32_t k = first; k <= extra; ++k) {
      if (!is(sim, k, "mon") || e.elem_int[static_cast<std::size_t>(k)][kElemN] < 0) continue;
      bool after = false;
      for (int t = 1; t <= n; ++t) after = after || cs.corr_elem[static_cast<std::size_t>(t)] < k;
      if (!after) continue;
      if (cs.n_mon == kMaxMonitors) over_capacity(s, "monitors after a corrector", cs.n_mon + 1, kMaxMonitors);
      sim.elements.elem_int[static_cast<std::size_t>(k)][15] = ++cs.n_mon;
    }
    for (bool vertical : {false, true}) {
      for (std::int32_t k = first; k <= extra; ++k) {
        if (!is(sim, k, "mon")) continue;
        const int m = e.elem_int[static_cast<std::size_t>(k)][15];
        if (m <= 0) continue;
        for (int p = 1; p <= npass; ++p) add_monitor_rows(sim, s, k, m, p, vertical);
      }
      if (!vertical) cs.n_eq_x = cs.n_eq;
    }
  }

  // 7. Decision.
  if (cs.n_eq == 0 || n == 0) return;
  for (std::int32_t k = first; k <= extra; ++k)
    if (is(sim, k, "zero") && e.elem_int[static_cast<std::size_t>(k)][kElemN] > 0)
      fatal({" \"zero\" device and \"real\" correction are incompatible",
             fmt::format(" {} lies in correction section {}, which is steered", element_label(sim, k), s)});
  sim.corr.corr_on_steer = 0;
  row[kCsSteered] = 1;

  // 8. Measurement passes.
  auto t0 = std::chrono::steady_clock::now();
  for (int p = 1; p <= npass; ++p) measurement_pass(sim, p, first, extra);
  cs.times.measurement += seconds_since(t0);

  // 9. Responses per unit of normalised strength.
  sim.scan.scan_mode = 1;
  for (int p = 1; p <= npass; ++p)
    for (int m = 1; m <= cs.n_mon; ++m)
      for (int t = 1; t <= n; ++t)
        for (int c = 1; c <= 4; ++c) {
          double& v = cs.mon_read_t[p][m][t][c];
          v = v / sim.corr.kicks[static_cast<std::size_t>(t)] * cs.corr_limit[ss][static_cast<std::size_t>(t)];
        }

  // 10. Equations.
  for (int j = 1; j <= cs.n_eq; ++j) {
    const auto jj = static_cast<std::size_t>(j);
    const std::int32_t k = cs.eq_elem[jj];
    const int m = e.elem_int[static_cast<std::size_t>(k)][15];
    const int p = cs.eq_pass[jj];
    const int pos = j <= cs.n_eq_x ? 1 : 3;  // x or y, the slope follows
    const double d = cs.eq_dist[jj];
    cs.read_meas[jj] = cs.mon_read0[p][m][pos] + d * cs.mon_read0[p][m][pos + 1];
    for (int t = 1; t <= n; ++t) {
      const auto tt = static_cast<std::size_t>(t);
      cs.resp_meas[jj][tt] =
          cs.corr_elem[tt] < k ? cs.mon_read_t[p][m][t][pos] + d * cs.mon_read_t[p][m][t][pos + 1] : 0.0;
    }
  }

  // 11. Fits.
  for (int t = 1; t <= n; ++t) {
    cs.corr_sum[ss][static_cast<std::size_t>(t)] = 0.0;
    for (int t2 = 1; t2 <= n; ++t2) cs.corr_prod[ss][static_cast<std::size_t>(t)][static_cast<std::size_t>(t2)] = 0.0;
  }
  for (int m = 1; m <= cs.n_mon; ++m) {
    cs.mon_sum[static_cast<std::size_t>(m)].fill(0.0);
    for (auto& r : cs.mon_prod[static_cast<std::size_t>(m)]) r.fill(0.0);
  }
  for (int t = 1; t <= n; ++t) cs.corr_value[static_cast<std::size_t>(t)] = 0.0;
  const int nrep = sim.state.iseed == sim.config.NRZ_MIN ? sim.corr.MONERR : 1;
  BoundedLsq prob;
  prob.n = n;
  prob.m = cs.n_eq;
  prob.step = static_cast<double>(sim.corr.fit_step);
  for (int t = 1; t <= n; ++t) prob.names.push_back(cs.corr_name[static_cast<std::size_t>(t)]);
  for (int rep = 1; rep <= nrep; ++rep) {
    // a. Monitor errors, drawn row by row.
    for (int j = 1; j <= cs.n_eq; ++j) {
      const auto jj = static_cast<std::size_t>(j);
      double u = 0.0;
      dRNUN(sim, 1, &u);
      cs.rhs[jj] = cs.read_meas[jj] + (1.0 - 2.0 * u) * cs.eq_err[jj];
      for (int t = 1; t <= n; ++t) {
        const auto tt = static_cast<std::size_t>(t);
        if (cs.corr_elem[tt] >= cs.eq_elem[jj]) continue;
        dRNUN(sim, 1, &u);
        cs.resp[jj][tt] = cs.resp_meas[jj][tt] +
                          (1.0 - 2.0 * u) * cs.eq_err[jj] / sim.corr.kicks[tt] * cs.corr_limit[ss][tt];
      }
    }
    // b. The fit, from zero strengths (a start on a bound can block it).
    prob.start.assign(static_cast<std::size_t>(n), 0.0);
    prob.resp.clear();
    prob.rhs.clear();
    prob.weight.clear();
    for (int j = 1; j <= cs.n_eq; ++j) {
      const auto jj = static_cast<std::size_t>(j);
      for (int t = 1; t <= n; ++t) prob.resp.push_back(cs.resp[jj][static_cast<std::size_t>(t)]);
      prob.rhs.push_back(cs.rhs[jj]);
      prob.weight.push_back(cs.eq_weight[jj]);
    }
    t0 = std::chrono::steady_clock::now();
    const FitResult r = migrad_fit(prob);
    cs.times.fits += seconds_since(t0);
    cs.last_fit = FitOutcome{r.f, r.edm, r.calls, r.valid, r.call_limit};
    if (!r.valid || r.call_limit) log_fit(sim, s, r);
    for (int t = 1; t <= n; ++t) cs.corr_value[static_cast<std::size_t>(t)] = r.x[static_cast<std::size_t>(t - 1)];
    // c. Predicted readings of pass 1.
    for (int m = 1; m <= cs.n_mon; ++m)
      for (int c = 1; c <= 4; ++c) {
        double v = cs.mon_read0[1][m][c];
        for (int t = 1; t <= n; ++t) v += cs.mon_read_t[1][m][t][c] * cs.corr_value[static_cast<std::size_t>(t)];
        cs.mon_after[m][c] = v;
      }
    // d-e. Strengths in mrad and the sums.
    for (int t = 1; t <= n; ++t) cs.corr_value[static_cast<std::size_t>(t)] *= cs.corr_limit[ss][static_cast<std::size_t>(t)];
    for (int t = 1; t <= n; ++t) {
      cs.corr_sum[ss][t] += cs.corr_value[t];
      for (int t2 = 1; t2 <= n; ++t2) cs.corr_prod[ss][t][t2] += cs.corr_value[t] * cs.corr_value[t2];
    }
    for (int m = 1; m <= cs.n_mon; ++m)
      for (int c = 1; c <= 4; ++c) {
        cs.mon_sum[m][c] += cs.mon_after[m][c];
        for (int c2 = 1; c2 <= 4; ++c2) cs.mon_prod[m][c][c2] += cs.mon_after[m][c] * cs.mon_after[m][c2];
      }
    // f. Kicks.
    for (int t = 1; t <= n; ++t) {
      const auto k = static_cast<std::size_t>(cs.corr_elem[static_cast<std::size_t>(t)]);
      const bool vertical = t > cs.n_x;
      sim.elements.elem_par[k][vertical ? 9 : 8] = cs.corr_value[static_cast<std::size_t>(t)];
      sim.elements.elem_int[k][vertical ? 9 : 8] = 0;
    }
  }
  if (nrep >= 1)
    for (int m = 1; m <= cs.n_mon; ++m) {
      cs.orbit_sq_before += cs.mon_read0[1][m][1] * cs.mon_read0[1][m][1] + cs.mon_read0[1][m][3] * cs.mon_read0[1][m][3];
      cs.orbit_sq_after += cs.mon_after[m][1] * cs.mon_after[m][1] + cs.mon_after[m][3] * cs.mon_after[m][3];
      cs.orbit_count += 1;
    }

  // 12. The strengths of the section, mrad.
  std::vector<FmtItem> items;
  for (int t = 1; t <= n; ++t) items.emplace_back(cs.corr_value[static_cast<std::size_t>(t)]);
  write_list_checked(sim, kUnitCoMonitor, items);
  sim.corr.corr_on_steer = 1;

  // 13. Report of the first seed.
  if (sim.state.iseed == sim.config.NRZ_MIN && sim.state.IFLAG_UNIX == 0 && sim.corr.MONERR > 1)
    write_correction_report(sim, s);
}

}  // namespace linac
