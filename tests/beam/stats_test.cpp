#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "beam/out_tables.hpp"
#include "beam/stats.hpp"
#include "run/sim.hpp"
#include "control/velmo_main.hpp"
#include "platform/fatal.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

constexpr double kW0 = 1000.0;  // reference energy of the fixtures, keV/u

double beta_of(double W) {
  const double g = 1.0 + W / kAmuKev;
  return std::sqrt(1.0 - 1.0 / (g * g));
}
double betgam_of(double W) {
  const double g = 1.0 + W / kAmuKev;
  return std::sqrt(g * g - 1.0);
}

struct P6 {
  double x = 0, xp = 0, y = 0, yp = 0, phase = 0, dww = 0;  // dww about kW0
  int status = 0;
};

// A run context at the exit of position 1 (the first element), one step,
// reference energy kW0 everywhere, FREQB 100 MHz, harmonic 1.
std::unique_ptr<Sim> stat_sim(int nq) {
  auto sim = make_sim();
  set_start_values(*sim);
  Sim& s = *sim;
  s.config.NQTOT = nq;
  s.config.nqtot0 = 1;
  s.config.nqtot1 = nq;
  s.config.DWWMAX = s.config.DWWACC;
  s.config.iel_first = 1;
  s.ref.FREQB = 1e8;
  s.ref.harm = 1.0;
  s.ref.nstep = 1;
  s.state.ipos = 1;
  for (int p = 0; p <= 5; ++p) s.history.ref_W_in[p] = s.history.ref_W_out[p] = kW0;
  return sim;
}

void put(Sim& s, int iq, int i, const P6& p) {
  s.particles.x[iq][i] = p.x;
  s.particles.xp[iq][i] = p.xp;
  s.particles.y[iq][i] = p.y;
  s.particles.yp[iq][i] = p.yp;
  s.particles.phase[iq][i] = p.phase;
  s.particles.beta[iq][i] = beta_of(kW0 * (1.0 + p.dww));
  s.particles.status[iq][i] = p.status;
}

void put_state(Sim& s, int iq, const std::vector<P6>& ps) {
  s.config.NPAT[iq] = static_cast<int>(ps.size()) - 1;
  for (std::size_t i = 0; i < ps.size(); ++i) put(s, iq, static_cast<int>(i), ps[i]);
}

bool all_finite(const ElementStatsRow& r) {
  const double* d = &r.exn_rms4;
  for (std::size_t k = 0; k < sizeof(ElementStatsRow) / sizeof(double); ++k)
    if (!std::isfinite(d[k])) return false;
  return true;
}

TEST(Stat, FourParticleFixture) {
  // (x, x') = (1, 0.001), (-1, -0.001), (1, -0.001), (-1, 0.001); the
  // reference slot 0 is the first of them.
  auto sim = stat_sim(1);
  put_state(*sim, 1, {{1, 0.001}, {-1, -0.001}, {1, -0.001}, {-1, 0.001}});
  // The entrance count, copied to the first element before it runs.
  sim->stats.position_counts.n_live[1] = 4;
  stat(*sim, 1);
  const BeamMoments& m = sim->beam_moments;
  EXPECT_NEAR(m.centroid[1], 0.0, 1e-15);
  EXPECT_NEAR(m.sigma[1][1], 4.0 / 3.0, 1e-14);
  EXPECT_NEAR(m.sigma[2][2], 4e-6 / 3.0, 1e-20);
  EXPECT_NEAR(m.sigma[1][2], 0.0, 1e-18);
  EXPECT_NEAR(m.eps_rms[1], 4e-3 / 3.0, 1e-16);
  EXPECT_NEAR(m.twiss_beta[1], 1000.0, 1e-9);
  EXPECT_NEAR(m.twiss_alpha[1], 0.0, 1e-12);
  EXPECT_NEAR(m.twiss_gamma[1], 0.001, 1e-15);
  const ElementStatsRow& r = sim->stats.element_stats[1];
  EXPECT_NEAR(r.x_rms, std::sqrt(4.0 / 3.0), 1e-14);
  EXPECT_NEAR(r.xp_rms, std::sqrt(4e-6 / 3.0), 1e-17);
  const double bg = betgam_of(kW0);
  EXPECT_NEAR(r.btgm, bg, 1e-14);
  EXPECT_NEAR(r.exn_rms4, 4.0 * 4e-3 / 3.0 * bg, 1e-15);
  EXPECT_NEAR(r.beta_x, 1000.0, 1e-9);
  EXPECT_NEAR(r.w_mean, kW0 * 0.001, 1e-14);
  EXPECT_EQ(sim->stats.position_counts.n_live[1], 4);
  EXPECT_EQ(sim->stats.position_counts.n_lost[1], 0);
  // Largest excursions about the axis: |x| = 1, |x'| = 0.001.
  EXPECT_EQ(r.beam_max[1], 1.0);
  EXPECT_EQ(sim->ref_path(0, kRefBeamMax + 1), 0.001);
  // The y and longitudinal planes have no spread: degenerate, marked by
  // Twiss parameters 0, all values finite.
  EXPECT_EQ(m.eps_rms[2], 0.0);
  EXPECT_EQ(r.beta_y, 0.0);
  EXPECT_EQ(r.alpha_z, 0.0);
  EXPECT_EQ(r.y_rms, 0.0);
  EXPECT_EQ(r.eyn_level, 0.0);
  EXPECT_TRUE(all_finite(r));
  // Step record: rms values and emittances of the step.
  EXPECT_NEAR(sim->stats.step_stats[1].v[1], std::sqrt(4.0 / 3.0), 1e-14);
  EXPECT_NEAR(sim->stats.step_stats[1].v[7], 4e-3 / 3.0, 1e-16);
}

// A direct two-pass computation of the moments of a set of 6-vectors.
struct Moments {
  std::array<double, 7> mean{};
  std::array<std::array<double, 7>, 7> cov{};
};
Moments two_pass(const std::vector<std::array<double, 6>>& v) {
  Moments m;
  const double n = static_cast<double>(v.size());
  for (const auto& p : v)
    for (int a = 0; a < 6; ++a) m.mean[a + 1] += p[a] / n;
  for (const auto& p : v)
    for (int a = 0; a < 6; ++a)
      for (int b = 0; b < 6; ++b)
        m.cov[a + 1][b + 1] += (p[a] - m.mean[a + 1]) * (p[b] - m.mean[b + 1]) / (n - 1.0);
  return m;
}

TEST(Stat, MomentsOfTwoStatesAgainstDirectComputation) {
  // Two states in the range, a third outside it; phases scattered over a
  // turn boundary; particles outside the energy windows.
  auto sim = stat_sim(3);
  Sim& s = *sim;
  s.config.nqtot1 = 2;
  s.config.DWWACC = 0.05;
  s.config.DWWMAX = 0.1;
  std::mt19937_64 gen(7);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<std::array<double, 6>> counted;  // expected statistics coordinates
  std::array<double, 7> maxima{};
  for (int iq = 1; iq <= 2; ++iq) {
    std::vector<P6> ps;
    for (int i = 0; i < 9; ++i) {
      P6 p{0.3 * u(gen) + 0.1, 0.002 * u(gen), 0.2 * u(gen), 0.001 * u(gen) - 0.0005,
           0.3 * u(gen) + (i % 3 == 0 ? kTwoPi : 0.0) + 0.2 * iq, 0.02 * u(gen)};
      ps.push_back(p);
    }
    ps[4].dww = 0.07;   // inside DWWMAX only: maxima, not moments
    ps[5].dww = -0.3;   // outside both
    ps[6].status = -1;  // lost
    put_state(s, iq, ps);
    for (int i = 0; i < 9; ++i) {
      const P6& p = ps[static_cast<std::size_t>(i)];
      if (p.status < 0) continue;
      // The phase about the origin 0, wrapped into [-pi, pi).
      const double ph = p.phase > kPi ? p.phase - kTwoPi : p.phase;
      // dW/W from the stored speed: W = (gamma - 1) amu.
      const double b = s.particles.beta[iq][i];
      const double dww = ((1.0 / std::sqrt(1.0 - b * b) - 1.0) * kAmuKev - kW0) / kW0;
      const std::array<double, 6> v{p.x, p.xp, p.y, p.yp, ph, dww};
      if (std::fabs(dww) < 0.1)
        for (int a = 0; a < 6; ++a) maxima[a + 1] = std::max(maxima[a + 1], std::fabs(v[a]));
      if (std::fabs(dww) < 0.05) counted.push_back(v);
    }
  }
  // State 3 is outside the range: large values that would show if counted.
  put_state(s, 3, {{50, 0.5, 50, 0.5, 1.0, 0.0}, {-50, 0.5, 9, 0.1, 1.0, 0.0}, {7, 7, 7, 0.7, 0.1, 0.0}});
  s.current.scur = 1.0;
  s.current.qmacro = {0.0, 1e-15, 2e-15, 4e-15, 0.0, 0.0, 0.0};

  stat(s, 1);
  const Moments ex = two_pass(counted);
  const BeamMoments& m = s.beam_moments;
  for (int a = 1; a <= 6; ++a) {
    EXPECT_NEAR(m.centroid[a], ex.mean[a], 1e-13 * (1.0 + std::fabs(ex.mean[a]))) << a;
    for (int b = 1; b <= 6; ++b)
      EXPECT_NEAR(m.sigma[a][b], ex.cov[a][b], 1e-12 * std::sqrt(ex.cov[a][a] * ex.cov[b][b])) << a << b;
    EXPECT_EQ(s.ref_path(0, kRefBeamMax + a - 1), maxima[a]) << a;
  }
  for (int p = 1; p <= 3; ++p) {
    const int a = 2 * p - 1, b = 2 * p;
    const double eps = std::sqrt(ex.cov[a][a] * ex.cov[b][b] - ex.cov[a][b] * ex.cov[a][b]);
    EXPECT_NEAR(m.eps_rms[p], eps, 1e-10 * eps) << p;
    EXPECT_NEAR(m.twiss_beta[p], ex.cov[a][a] / eps, 1e-9 * ex.cov[a][a] / eps);
    EXPECT_NEAR(m.twiss_alpha[p], -ex.cov[a][b] / eps, 1e-9 * (1.0 + std::fabs(ex.cov[a][b] / eps)));
    // Courant-Snyder identity beta gamma - alpha^2 = 1.
    EXPECT_NEAR(m.twiss_beta[p] * m.twiss_gamma[p] - m.twiss_alpha[p] * m.twiss_alpha[p], 1.0, 1e-9);
  }
  const double T = kW0 * 1e9 / (kTwoPi * 1e8);
  const ElementStatsRow& r = s.stats.element_stats[1];
  EXPECT_NEAR(r.ezn_rms4, 4.0 * m.eps_rms[3] * T, 1e-12 * r.ezn_rms4);
  EXPECT_NEAR(r.phic, ex.mean[5], 1e-13);
  EXPECT_NEAR(r.w_mean, (ex.mean[6] + 1.0) * kW0 * 0.001, 1e-13);
  EXPECT_EQ(r.beam_max[2], maxima[3]);
  EXPECT_EQ(r.beam_max[3], maxima[5]);
  // n_live counts the live particles of the range at any energy: 8 per state.
  EXPECT_EQ(s.stats.position_counts.n_live[1], 16);
  // Per-state records: counts and the centroid of state 1 (absolute phase).
  EXPECT_EQ(s.qphase.qstate_count[1], 6.0);
  EXPECT_EQ(s.qphase.qstate_count[3], 0.0);
  double mx = 0.0, mw = 0.0;
  for (std::size_t i = 0; i < 6; ++i) {
    mx += counted[i][0] / 6.0;
    mw += (1.0 + counted[i][5]) * kW0 / 6.0;
  }
  EXPECT_NEAR(s.stats.qstate_centroids[1][1], mx, 1e-14);
  EXPECT_NEAR(s.stats.qstate_centroids[1][6], mw, 1e-9);
  const std::vector<std::array<double, 6>> first(counted.begin(), counted.begin() + 6);
  const Moments e1 = two_pass(first);
  EXPECT_NEAR(s.stats.q_sigma[1][1][2], e1.cov[1][2], 1e-14);
  EXPECT_NEAR(s.stats.q_mean[1][5], e1.mean[5], 1e-14);
  // Space-charge charge: all states' beam particles with status 0.
  EXPECT_NEAR(s.sc.sc_charge, 8 * 1e-15 + 8 * 2e-15 + 3 * 4e-15, 1e-27);
}

TEST(Stat, OriginsOfTheStatisticsCoordinates) {
  struct Case {
    int k, nstep, chain;
    double w, phase;  // expected origins
  };
  // ref_path rows carry (phase, W) = (0.1 k, 900 + k); entrance energy 800,
  // exit energy 1100 and exit phase 2.5 at the position.
  const Case cases[] = {{0, 3, 0, 800.0, 0.0}, {2, 3, 0, 902.0, 0.2}, {3, 3, 0, 1100.0, 0.0},
                        {3, 3, 1, 1100.0, 0.3}, {0, 3, 1, 800.0, 0.0}};
  for (const auto& c : cases) {
    auto sim = stat_sim(1);
    Sim& s = *sim;
    put_state(s, 1, {{1, 0.001}, {-1, -0.001}, {1, -0.001}, {-1, 0.001}});
    s.ref.nstep = c.nstep;
    s.state.iflag_chain = c.chain;
    for (int k = 0; k <= 3; ++k) {
      s.ref_path(k, kRefPhase) = 0.1 * k;
      s.ref_path(k, kRefW) = 900.0 + k;
    }
    s.history.ref_W_in[1] = 800.0;
    s.history.ref_W_out[1] = 1100.0;
    s.history.ref_phase_out[1] = 2.5;
    stat(s, c.k);
    EXPECT_EQ(s.ref.w_origin, c.w) << c.k << " " << c.chain;
    EXPECT_NEAR(s.ref.phase_origin, c.phase, 1e-15) << c.k << " " << c.chain;
  }
}

TEST(Stat, ModeGates) {
  struct Case {
    int mode, k;
    bool moments, exit_record;
  };
  const Case cases[] = {{2, 0, false, false}, {2, 3, false, false}, {1, 1, false, false},
                        {1, 0, true, false},  {1, 3, true, false},  {0, 1, true, false},
                        {0, 3, true, true}};
  for (const auto& c : cases) {
    auto sim = stat_sim(1);
    Sim& s = *sim;
    put_state(s, 1, {{1, 0.001}, {-1, -0.001}, {1, -0.001}, {-1, 0.001}});
    s.ref.nstep = 3;
    s.state.istat_mode = c.mode;
    const double sentinel = -77.0;
    s.beam_moments.sigma[1][1] = sentinel;
    s.stats.element_stats[1].exn_rms4 = sentinel;
    s.stats.element_stats[1].phic = sentinel;
    s.stats.step_stats[static_cast<std::size_t>(c.k)].v[1] = sentinel;
    stat(s, c.k);
    EXPECT_EQ(s.beam_moments.sigma[1][1] != sentinel, c.moments) << c.mode << " " << c.k;
    EXPECT_EQ(s.stats.element_stats[1].phic != sentinel, c.moments) << c.mode << " " << c.k;
    // Mode 1 refreshes only the moments, not the step rows or the exit record.
    EXPECT_EQ(s.stats.step_stats[static_cast<std::size_t>(c.k)].v[1] != sentinel, c.mode == 0)
        << c.mode << " " << c.k;
    EXPECT_EQ(s.stats.element_stats[1].exn_rms4 != sentinel, c.exit_record) << c.mode << " " << c.k;
  }
}

TEST(Stat, TooFewLiveParticlesStopTheRun) {
  auto sim = stat_sim(2);
  Sim& s = *sim;
  // Two live particles in state 1 (a lost one and a test particle behind
  // NPAT do not count); state 2 empty.
  put_state(s, 1, {{0.1}, {0.2}, {0.3, 0, 0, 0, 0, 0, -1}});
  put(s, 1, 3, P6{0.4, 0, 0, 0, 0, 0, 5});
  s.config.NPAT[2] = -1;
  try {
    stat(s, 1);
    FAIL() << "no stop";
  } catch (const FatalStop& e) {
    EXPECT_EQ(e.lines().at(0), "STAT--> too low number of particles in VELMO");
  }
  // A state outside the statistics range still counts towards the check.
  s.config.nqtot1 = 1;
  put_state(s, 2, {{5.0}});
  EXPECT_NO_THROW(stat(s, 1));
  EXPECT_EQ(s.stats.position_counts.n_live[1], 2);
}

TEST(Stat, FewCountedParticlesGiveFiniteValues) {
  // Live particles enough, but 1 or 0 of them inside the energy acceptance.
  for (int inside : {0, 1}) {
    auto sim = stat_sim(1);
    Sim& s = *sim;
    std::vector<P6> ps{{0.5, 0.001, 0.2, 0.0, 0.1, 0.0}, {1, 0, 1, 0, 0, 0.5}, {2, 0, 1, 0, 0, -0.5},
                       {3, 0, 1, 0, 0, 0.6}};
    if (inside == 0) ps[0].dww = 0.9;
    put_state(s, 1, ps);
    s.config.IFLAG_CORR = 1;
    stat(s, 1);
    const BeamMoments& m = s.beam_moments;
    for (int a = 1; a <= 6; ++a)
      for (int b = 1; b <= 6; ++b) EXPECT_EQ(m.sigma[a][b], 0.0);
    EXPECT_EQ(m.centroid[1], inside ? 0.5 : 0.0);
    EXPECT_TRUE(all_finite(s.stats.element_stats[1]));
    EXPECT_EQ(s.stats.element_stats[1].exn_max, 0.0);
    EXPECT_EQ(s.stats.err_step.step_count, inside);
    EXPECT_EQ(s.stats.position_counts.n_live[1], 4);
  }
}

TEST(Stat, DegeneratePlanesAreFiniteAndMarked) {
  // x' = 0.002 x for every particle (a line in phase space) and all y equal.
  auto sim = stat_sim(1);
  std::vector<P6> ps;
  for (int i = 0; i < 12; ++i) ps.push_back({0.1 * i - 0.3, 0.0002 * i - 0.0006, 0.25, 0.001 * (i % 5), 0.01 * i, 0.001 * (i % 3)});
  put_state(*sim, 1, ps);
  stat(*sim, 1);
  const ElementStatsRow& r = sim->stats.element_stats[1];
  EXPECT_TRUE(all_finite(r));
  EXPECT_EQ(sim->beam_moments.eps_rms[1], 0.0);
  EXPECT_EQ(r.beta_x, 0.0);
  EXPECT_EQ(r.alpha_x, 0.0);
  EXPECT_EQ(r.exn_max, 0.0);
  EXPECT_EQ(r.exn_level, 0.0);
  // The rms sizes of a degenerate plane are still the spreads.
  double mx = 0, sxx = 0;
  for (const auto& p : ps) mx += p.x / 12.0;
  for (const auto& p : ps) sxx += (p.x - mx) * (p.x - mx) / 11.0;
  EXPECT_NEAR(r.x_rms, std::sqrt(sxx), 1e-12);
  EXPECT_EQ(sim->beam_moments.eps_rms[2], 0.0);
  EXPECT_NEAR(r.y_rms, 0.0, 1e-7);
  EXPECT_GT(sim->beam_moments.eps_rms[3], 0.0);
}

// A plane in which one coordinate has the same value for every particle,
// away from the origin (all particles at one energy above the reference,
// or all at one angle), has zero emittance; its central moment, taken as
// sum(v^2)/n minus the mean squared, is left with the rounding of the sums
// only. Such a plane is degenerate: emittance 0, Twiss values 0, and its
// out.dat line holds numbers, no field of asterisks.
TEST(Stat, OneValueOffTheOriginMakesADegeneratePlane) {
  struct Case {
    const char* what;
    int plane;          // 1 = x, 3 = longitudinal
    double offset;      // the common x' (rad) or dW/W
    int n;              // particles
  };
  const Case cases[] = {
      {"one energy 1.23 % above the reference", 3, 0.0123, 2000},
      {"one energy 40 % below the reference", 3, -0.4, 20001},
      {"one energy a part in a million above", 3, 1e-6, 5000},
      {"one angle for all", 1, 0.0031, 3000},
  };
  for (const Case& cs : cases) {
    testing::TempDir dir;
    auto sim = stat_sim(1);
    Sim& s = *sim;
    s.units.set_directory(dir.path());
    s.units.open(kUnitOut, "out.dat");
    std::mt19937_64 gen(17);
    std::normal_distribution<double> g(0.0, 1.0);
    std::vector<P6> ps(static_cast<std::size_t>(cs.n));
    for (auto& p : ps) {
      p = {0.2 * g(gen), 0.002 * g(gen), 0.1 * g(gen), 0.001 * g(gen), 0.3 * g(gen), 0.002 * g(gen)};
      if (cs.plane == 1) p.xp = cs.offset;
      if (cs.plane == 3) p.dww = cs.offset;
    }
    put_state(s, 1, ps);
    s.config.DWWACC = s.config.DWWMAX = 1.0;
    stat(s, 1);
    const int other = cs.plane == 1 ? 3 : 1;
    const BeamMoments& m = s.beam_moments;
    EXPECT_EQ(m.eps_rms[cs.plane], 0.0) << cs.what;
    EXPECT_EQ(m.twiss_alpha[cs.plane], 0.0) << cs.what;
    EXPECT_EQ(m.twiss_beta[cs.plane], 0.0) << cs.what;
    EXPECT_EQ(m.twiss_gamma[cs.plane], 0.0) << cs.what;
    EXPECT_EQ(m.eps_max[cs.plane], 0.0) << cs.what;
    EXPECT_EQ(s.stats.eps_level[cs.plane], 0.0) << cs.what;
    EXPECT_GT(m.eps_rms[other], 0.0) << cs.what << ": the other planes stay genuine";
    EXPECT_GT(m.twiss_beta[2], 0.0) << cs.what;
    // The common value is the centroid, the spread of the varying
    // coordinate is kept.
    // (dW/W comes from the stored speed, which holds the energy to about
    // 1e-13 of the reference.)
    EXPECT_NEAR(m.centroid[2 * cs.plane], cs.offset, 1e-12) << cs.what;
    const ElementStatsRow& r = s.stats.element_stats[1];
    EXPECT_NEAR(cs.plane == 1 ? r.x_rms : r.phi_rms, cs.plane == 1 ? 0.2 : 0.3, 0.05) << cs.what;
    write_element_output(s, 1, "drift", 10.0);
    s.units.close_all();
    const auto lines = testing::read_lines(dir / "out.dat");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].find('*'), std::string::npos) << cs.what << "\n" << lines[0];
  }
}

// A genuine emittance is kept however small it is: N particles on the
// ellipse of Twiss (alpha, beta) and emittance e, at equally spaced phase
// angles t_k = 2 pi k / N, u = sqrt(2 e beta) cos t, u' = -sqrt(2 e / beta)
// (alpha cos t + sin t), have sample moments (denominator N - 1) of
// e N/(N-1) (beta, -alpha, (1 + alpha^2)/beta): Twiss alpha and beta
// exactly, rms emittance e N/(N-1). Tolerances: the rounding of the
// coordinates (relative 1e-15 of the spread in x; in dW/W the speed holds
// the energy to about 1e-13 absolute, 1e-7 of a spread of 1e-6) and of the
// sums, with margin.
TEST(Stat, TinyGenuineEmittanceKeepsItsTwiss) {
  struct Case {
    const char* what;
    int plane;
    double eps, alpha, beta, centre_u, centre_up, tol;
  };
  const Case cases[] = {
      {"x: 1e-13 cm rad about the axis", 1, 1e-13, -1.3, 500.0, 0.0, 0.0, 1e-9},
      {"x: 1e-13 cm rad off the axis", 1, 1e-13, 0.7, 80.0, 3e-5, -2e-8, 1e-7},
      {"longitudinal: 1e-9 rad", 3, 1e-9, 0.4, 2e3, 0.01, 0.0, 1e-5},
  };
  for (const Case& cs : cases) {
    const int n = 1000;
    auto sim = stat_sim(1);
    Sim& s = *sim;
    std::mt19937_64 gen(5);
    std::normal_distribution<double> g(0.0, 1.0);
    std::vector<P6> ps(static_cast<std::size_t>(n));
    for (int k = 0; k < n; ++k) {
      P6& p = ps[static_cast<std::size_t>(k)];
      p = {0.2 * g(gen), 0.002 * g(gen), 0.1 * g(gen), 0.001 * g(gen), 0.3 * g(gen), 0.002 * g(gen)};
      const double t = kTwoPi * k / n;
      const double u = std::sqrt(2.0 * cs.eps * cs.beta) * std::cos(t) + cs.centre_u;
      const double up = -std::sqrt(2.0 * cs.eps / cs.beta) * (cs.alpha * std::cos(t) + std::sin(t)) + cs.centre_up;
      if (cs.plane == 1) {
        p.x = u;
        p.xp = up;
      } else {
        p.phase = u;
        p.dww = up;
      }
    }
    put_state(s, 1, ps);
    s.config.DWWACC = s.config.DWWMAX = 1.0;
    stat(s, 1);
    const BeamMoments& m = s.beam_moments;
    const double N = n;
    EXPECT_NEAR(m.eps_rms[cs.plane], cs.eps * N / (N - 1.0), cs.tol * cs.eps) << cs.what;
    EXPECT_NEAR(m.twiss_beta[cs.plane], cs.beta, cs.tol * cs.beta) << cs.what;
    EXPECT_NEAR(m.twiss_alpha[cs.plane], cs.alpha, cs.tol * (1.0 + std::fabs(cs.alpha))) << cs.what;
    EXPECT_NEAR(m.twiss_gamma[cs.plane], (1.0 + cs.alpha * cs.alpha) / cs.beta,
                cs.tol * (1.0 + cs.alpha * cs.alpha) / cs.beta) << cs.what;
  }
}

TEST(Stat, LostCountsAcrossPositions) {
  auto sim = stat_sim(1);
  Sim& s = *sim;
  std::vector<P6> ps;
  for (int i = 0; i < 10; ++i) ps.push_back({0.01 * i, 0.0001 * (i % 4), 0.02 * (i % 3), 0.0001 * i, 0.01 * (i % 2), 0.001 * i});
  put_state(s, 1, ps);
  // Entrance line (position 0 = iel_first - 1): no losses; the first
  // element counts its own against the entrance count.
  s.state.ipos = 0;
  stat(s, 1);
  EXPECT_EQ(s.stats.position_counts.n_live[0], 10);
  EXPECT_EQ(s.stats.position_counts.n_lost[0], 0);
  stat_copy_prev(s, 1);
  s.particles.status[1][3] = -1;
  s.state.ipos = 1;
  stat(s, 1);
  EXPECT_EQ(s.stats.position_counts.n_lost[1], 1) << "first element";
  EXPECT_EQ(s.stats.position_counts.n_live[1], 9);
  // Second element loses two more.
  stat_copy_prev(s, 2);
  s.particles.status[1][4] = s.particles.status[1][7] = -1;
  s.state.ipos = 2;
  stat(s, 1);
  EXPECT_EQ(s.stats.position_counts.n_lost[2], 2);
  EXPECT_EQ(s.stats.position_counts.n_live[2], 7);
  // A position that does not move the beam repeats everything, lost count included.
  stat_copy_prev(s, 3);
  EXPECT_EQ(s.stats.position_counts.n_lost[3], 2);
  EXPECT_EQ(std::memcmp(&s.stats.element_stats[3], &s.stats.element_stats[2], sizeof(ElementStatsRow)), 0);
}

TEST(Stat, PhaseWrappedAboutTheOrigin) {
  // Phases 2 pi - 0.01 and -0.01 are the same bunch position.
  auto sim = stat_sim(1);
  put_state(*sim, 1, {{0, 0, 0, 0, kTwoPi - 0.01}, {0, 0, 0, 0, -0.01}, {0, 0, 0, 0, 0.02}, {0, 0, 0, 0, kTwoPi + 0.02}});
  stat(*sim, 1);
  EXPECT_NEAR(sim->beam_moments.centroid[5], 0.005, 1e-14);
  EXPECT_NEAR(sim->stats.element_stats[1].beam_max[3], 0.02, 1e-14);
}

TEST(Stat, PhasesWrappedAboutTheStateMeanWithIflagT) {
  // A bunch centred at 3.0 rad straddles +pi: about the origin 0 it splits
  // into two halves a turn apart; with iflag_t = 1 it is taken about its
  // own mean phase and stays compact.
  const std::vector<double> phases = {3.0, 2.8, 2.9, 3.1, 3.2, 3.3, 2.7};
  double mean = 0.0;
  for (double ph : phases) mean += ph / 7.0;
  double var = 0.0;
  for (double ph : phases) var += (ph - mean) * (ph - mean) / 6.0;
  for (int iflag_t : {0, 1}) {
    auto sim = stat_sim(1);
    std::vector<P6> ps;
    for (double ph : phases) ps.push_back({0.01 * ps.size(), 0.0, 0.0, 0.0001 * ps.size(), ph, 0.0});
    put_state(*sim, 1, ps);
    sim->state.iflag_t = iflag_t;
    stat(*sim, 1);
    const double s55 = sim->beam_moments.sigma[5][5];
    if (iflag_t == 1) {
      EXPECT_NEAR(sim->qphase.qstate_phase_origin[1], mean, 1e-14);
      EXPECT_NEAR(sim->beam_moments.centroid[5], 0.0, 1e-14);
      EXPECT_NEAR(s55, var, 1e-14);
      // The state's centroid phase is absolute: the deviation plus the mean.
      EXPECT_NEAR(sim->stats.qstate_centroids[1][5], mean, 1e-14);
    } else {
      EXPECT_GT(s55, 1.0) << "split bunch";
    }
  }
}

TEST(StateRange, LastStateZeroMeansAll) {
  RunConfig c;
  c.NQTOT = 4;
  c.nqtot0 = 1;
  c.nqtot1 = 0;
  EXPECT_EQ(statistics_range(c).first, 1);
  EXPECT_EQ(statistics_range(c).last, 4);
  c.nqtot0 = 2;
  c.nqtot1 = 3;
  EXPECT_EQ(statistics_range(c).first, 2);
  EXPECT_EQ(statistics_range(c).last, 3);
}

TEST(StatAcceptanceExit, ClearsStepRowsAndSetsOrigins) {
  auto sim = stat_sim(1);
  Sim& s = *sim;
  s.ref.nstep = 4;
  s.state.ipos = 2;
  s.history.ref_W_out[2] = 1234.0;
  s.history.ref_phase_out[2] = 0.7;
  for (int k = 0; k <= 2; ++k) {
    for (int m = 0; m < 6; ++m) s.ref_path(k - 1, kRefBeamMax + m) = 5.0;
    for (int m = 1; m <= 9; ++m) s.stats.step_stats[static_cast<std::size_t>(k)].v[m] = 5.0;
  }
  s.state.iflag_chain = 1;
  stat_acceptance_exit(s);
  for (int m = 0; m < 6; ++m) {
    EXPECT_EQ(s.ref_path(-1, kRefBeamMax + m), 0.0);
    EXPECT_EQ(s.ref_path(0, kRefBeamMax + m), 0.0);
    EXPECT_EQ(s.ref_path(1, kRefBeamMax + m), 5.0);
  }
  EXPECT_EQ(s.stats.step_stats[1].v[6], 0.0);
  EXPECT_EQ(s.stats.step_stats[1].v[7], 5.0);
  EXPECT_EQ(s.ref.nstep, 1);
  EXPECT_EQ(s.stats.element_stats[2].w_mean, 1.234);
  EXPECT_EQ(s.ref.phase_origin, 0.7);
  EXPECT_EQ(s.ref.w_origin, 1234.0);
  s.state.iflag_chain = 0;
  stat_acceptance_exit(s);
  EXPECT_EQ(s.ref.phase_origin, 0.0);
}

// A Gaussian beam in all three planes with given Twiss parameters.
void gaussian_beam(Sim& s, int n, unsigned seed) {
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> g(0.0, 1.0);
  std::vector<P6> ps(static_cast<std::size_t>(n));
  // Plane (q, q') with emittance e, alpha a, beta b: q = sqrt(e b) g1,
  // q' = sqrt(e / b) (g2 - a g1).
  auto plane = [&](double e, double a, double b, double& q, double& qp) {
    const double g1 = g(gen), g2 = g(gen);
    q = std::sqrt(e * b) * g1;
    qp = std::sqrt(e / b) * (g2 - a * g1);
  };
  for (auto& p : ps) {
    plane(1e-4, 1.5, 80.0, p.x, p.xp);
    plane(2e-4, -0.5, 120.0, p.y, p.yp);
    plane(1e-4, 0.3, 20.0, p.phase, p.dww);
  }
  put_state(s, 1, ps);
}

TEST(LevelEmittance, GaussianBeamLevelAndCurve) {
  // For a Gaussian the invariant r (in units of the rms emittance) follows
  // P(r > t) = exp(-t/2); the level holding PART = 0.995 is -2 ln(0.005) =
  // 10.597 eps_rms.
  const int n = 100000;
  auto sim = stat_sim(1);
  Sim& s = *sim;
  gaussian_beam(s, n, 11);
  s.config.DWWACC = 1.0;
  s.config.DWWMAX = 1.0;
  LevelCurve curve;
  stat(s, 1);
  level_emittances(s, 1.0, &curve);
  const double part = s.PART;
  const double r_level = -2.0 * std::log(1.0 - part);
  // Tolerance: 5 sigma of the sample quantile, sqrt(p (1-p) / n) / f(r)
  // with density f = (1 - p)/2 at the level, plus one bin width.
  const double quantile_sd = std::sqrt(part * (1.0 - part) / n) / ((1.0 - part) / 2.0);
  for (int p = 1; p <= 3; ++p) {
    const double eps = s.beam_moments.eps_rms[p];
    const double r_max = s.beam_moments.eps_max[p] / eps;
    EXPECT_NEAR(s.stats.eps_level[p] / eps, r_level, 5.0 * quantile_sd + r_max / 1000.0) << p;
    // The largest invariant of 1e5 Gaussian particles is near 2 ln(n) = 23.
    EXPECT_GT(r_max, 15.0);
    EXPECT_LT(r_max, 40.0);
    // Level curve: row 0 is (0, 1); a row at invariant t has fraction
    // outside exp(-t/2) within 5 binomial sigma (plus the rms emittance's
    // own sampling error, relative 1/sqrt(n), times t/2).
    EXPECT_EQ(curve.e[0][p], 0.0);
    EXPECT_EQ(curve.f[0][p], 1.0);
    const double unit = p < 3 ? s.ref.betgam0 * 1000.0 : 1.0;
    for (int i : {5, 10, 20, 40}) {
      const double t = curve.e[i][p] / unit / eps;
      const double expect = std::exp(-t / 2.0);
      const double tol = 5.0 * std::sqrt(expect * (1.0 - expect) / n) + expect * t / 2.0 * 5.0 / std::sqrt(n);
      EXPECT_NEAR(curve.f[i][p], expect, tol) << p << " row " << i;
    }
  }
}

TEST(LevelEmittance, SmallBeamGivesTopBinAndPartOneKeepsPrevious) {
  // At most 200 counted particles: no bin below the last exceeds 0.995, so
  // the level is 1000.5 bins = 1.0005 eps_max.
  auto sim = stat_sim(1);
  Sim& s = *sim;
  gaussian_beam(s, 150, 3);
  s.config.DWWACC = s.config.DWWMAX = 1.0;
  stat(s, 1);
  for (int p = 1; p <= 3; ++p)
    EXPECT_NEAR(s.stats.eps_level[p], 1.0005 * s.beam_moments.eps_max[p], 1e-12 * s.beam_moments.eps_max[p]);
  // PART = 1 finds no bin: the level of the previous exit stays.
  const auto before = s.stats.eps_level;
  gaussian_beam(s, 150, 4);
  s.PART = 1.0;
  stat(s, 1);
  EXPECT_EQ(s.stats.eps_level, before);
}

// The exit statistics hand the particles' dW/W on to the level emittances
// instead of taking them again: a level pass of its own over the same beam
// must give the same bits (two states, several chunks of slots each, lost
// particles between them).
TEST(LevelEmittance, ExitStatisticsEqualAPassOfItsOwn) {
  auto sim = stat_sim(2);
  Sim& s = *sim;
  gaussian_beam(s, 9001, 8);
  s.config.NPAT[2] = s.config.NPAT[1];
  for (int i = 0; i <= s.config.NPAT[1]; ++i) {
    s.particles.x[2][i] = -s.particles.x[1][i];
    s.particles.xp[2][i] = s.particles.xp[1][i] + 1e-4;
    s.particles.y[2][i] = s.particles.y[1][i];
    s.particles.yp[2][i] = s.particles.yp[1][i];
    s.particles.phase[2][i] = s.particles.phase[1][i] - 0.2;
    s.particles.beta[2][i] = s.particles.beta[1][s.config.NPAT[1] - i];  // another order of energies
    if (i % 7 == 3) s.particles.status[1 + i % 2][i] = kLost;
  }
  s.config.DWWACC = s.config.DWWMAX = 1.0;
  stat(s, 1);
  const auto eps_max = s.beam_moments.eps_max;
  const auto eps_level = s.stats.eps_level;
  EXPECT_GT(eps_level[3], 0.0);
  s.beam_moments.eps_max.fill(0.0);
  s.stats.eps_level.fill(0.0);
  level_emittances(s, 1.0, nullptr);
  EXPECT_EQ(s.beam_moments.eps_max, eps_max);
  EXPECT_EQ(s.stats.eps_level, eps_level);
}

// Everything the statistics call leaves behind, compared byte by byte.
struct StatSnapshot {
  ElementStatsRow row;
  BeamMoments m;
  StepStatsRow step;
  std::array<std::array<double, 7>, kMaxChargeStates + 1> q_mean, centroids;
  std::array<Sym6, kMaxChargeStates + 1> q_sigma;
  std::array<double, 4> eps_level;
  double sc_charge;
  std::int64_t n_live;  // eight bytes: the snapshot has no padding
};

StatSnapshot snapshot(const Sim& s) {
  StatSnapshot z{};
  z.row = s.stats.element_stats[1];
  z.m = s.beam_moments;
  z.step = s.stats.step_stats[1];
  z.q_mean = s.stats.q_mean;
  z.centroids = s.stats.qstate_centroids;
  z.q_sigma = s.stats.q_sigma;
  z.eps_level = s.stats.eps_level;
  z.sc_charge = s.sc.sc_charge;
  z.n_live = s.stats.position_counts.n_live[1];
  return z;
}

TEST(Stat, SameResultForAnyThreadCount) {
  // Two states of 1e5 particles in the range (many chunks each, offset far
  // from the origin against their spread, so the order of the additions
  // shows in the last bits), a third state outside it, which only counts
  // towards the live check and the space-charge charge; lost particles and
  // test particles behind NPAT scattered through.
  auto sim = stat_sim(3);
  Sim& s = *sim;
  s.config.nqtot1 = 2;
  const int n = 100000;
  std::mt19937_64 gen(5);
  std::normal_distribution<double> g(0.0, 1.0);
  std::vector<std::array<double, 6>> counted;
  for (int iq = 1; iq <= 3; ++iq) {
    std::vector<P6> ps(static_cast<std::size_t>(iq == 3 ? 5000 : n));
    for (std::size_t i = 0; i < ps.size(); ++i) {
      P6& p = ps[i];
      p = {0.3 + 0.05 * g(gen), 2e-3 * g(gen) - 1e-3, -0.2 * iq + 0.04 * g(gen), 1e-3 * g(gen),
           0.7 + 0.1 * g(gen), 4e-3 + 1e-3 * g(gen)};
      if (i % 97 == 5) p.status = kLost;
      if (i % 89 == 7) p.status = 3;  // a tagged beam particle: live, not status 0
    }
    put_state(s, iq, ps);
    put(s, iq, static_cast<int>(ps.size()), P6{9.0, 0, 0, 0, 0, 0, 0});  // test particle
    if (iq == 3) continue;
    for (std::size_t i = 0; i < ps.size(); ++i) {
      if (ps[i].status < 0) continue;
      const double b = s.particles.beta[iq][i];
      const double dww = ((1.0 / std::sqrt(1.0 - b * b) - 1.0) * kAmuKev - kW0) / kW0;
      counted.push_back({ps[i].x, ps[i].xp, ps[i].y, ps[i].yp, ps[i].phase, dww});
    }
  }
  s.config.DWWACC = s.config.DWWMAX = 1.0;
  s.current.scur = 1.0;
  s.current.qmacro = {0.0, 1e-15, 2e-15, 4e-15, 0.0, 0.0, 0.0};

  const int saved = omp_get_max_threads();
  std::vector<StatSnapshot> runs;
  for (int threads : {1, 2, 3, 8}) {
    omp_set_num_threads(threads);
    stat(s, 1);
    runs.push_back(snapshot(s));
  }
  omp_set_num_threads(saved);
  for (std::size_t r = 1; r < runs.size(); ++r)
    EXPECT_EQ(std::memcmp(&runs[0], &runs[r], sizeof(StatSnapshot)), 0) << "run " << r;

  // The blocked sums against long-double two-pass moments of the same
  // coordinates: equal to the rounding of a few thousand additions.
  const long double N = static_cast<long double>(counted.size());
  std::array<long double, 6> mean{};
  for (const auto& v : counted)
    for (int a = 0; a < 6; ++a) mean[a] += v[a];
  for (auto& m : mean) m /= N;
  std::array<std::array<long double, 6>, 6> cov{};
  for (const auto& v : counted)
    for (int a = 0; a < 6; ++a)
      for (int b = 0; b < 6; ++b) cov[a][b] += (v[a] - mean[a]) * (v[b] - mean[b]);
  const BeamMoments& m = runs[0].m;
  for (int a = 0; a < 6; ++a) {
    const double sd = std::sqrt(static_cast<double>(cov[a][a] / (N - 1)));
    EXPECT_NEAR(m.centroid[a + 1], static_cast<double>(mean[a]), 1e-13 * (std::fabs(static_cast<double>(mean[a])) + sd))
        << a;
    for (int b = 0; b < 6; ++b) {
      const double sdb = std::sqrt(static_cast<double>(cov[b][b] / (N - 1)));
      // The one-pass central moment loses the ratio (mean / sd)^2 <= 50 to
      // cancellation.
      EXPECT_NEAR(m.sigma[a + 1][b + 1], static_cast<double>(cov[a][b] / (N - 1)), 1e-12 * sd * sdb) << a << b;
    }
  }
  EXPECT_EQ(runs[0].n_live, static_cast<std::int64_t>(counted.size()));
  // Beam particles (status 0) of all three states, the test particles not.
  std::int64_t beam[4] = {};
  for (int iq = 1; iq <= 3; ++iq)
    for (int i = 0; i <= s.config.NPAT[iq]; ++i) beam[iq] += s.particles.status[iq][i] == 0;
  EXPECT_EQ(runs[0].sc_charge, static_cast<double>(beam[1]) * 1e-15 + static_cast<double>(beam[2]) * 2e-15 +
                                   static_cast<double>(beam[3]) * 4e-15);
  EXPECT_GT(runs[0].row.exn_level, 0.0);
}

}  // namespace
}  // namespace linac

namespace linac {
namespace {

TEST(EmitLevel, CurvesAppendWithTheirOwnHeaders) {
  testing::TempDir dir;
  auto sim = stat_sim(1);
  Sim& s = *sim;
  s.units.set_directory(dir.path());
  gaussian_beam(s, 2000, 9);
  s.config.DWWACC = s.config.DWWMAX = 1.0;
  s.config.IFLAG_LEV = 1;
  stat(s, 1);
  EXPECT_EQ(s.config.IFLAG_LEV, 0) << "one curve per request";
  stat(s, 1);  // no request: nothing written
  s.config.IFLAG_LEV = 1;
  stat(s, 1);
  s.units.close_all();
  const auto lines = testing::read_lines(dir / "emit_level.dat");
  ASSERT_EQ(lines.size(), 2u * 102u);
  const std::string header =
      "   ex [cm*mrad]       1-N/N0     ey [cm*mrad]       1-N/N0     ez [keV/u*ns]      1-N/N0    ";
  EXPECT_EQ(lines[0], header);
  EXPECT_EQ(lines[102], header);
  // Row 0: emittance 0 and fraction outside 1 in every plane.
  EXPECT_EQ(lines[1], "    0.00000E+00    0.10000E+01    0.00000E+00    0.10000E+01    0.00000E+00    0.10000E+01");
  EXPECT_EQ(lines[101].size(), 90u);
  // Row 100 is the largest emittance: 100 bins of ten = eps_max, in
  // normalised cm*mrad; only the particle at the largest emittance (bin
  // 1001) counts as outside it: 1/2000.
  const double emax_x = s.beam_moments.eps_max[1] * s.ref.betgam0 * 1000.0;
  EXPECT_NEAR(std::stod(lines[101].substr(0, 15)), emax_x, 1e-5 * emax_x);
  EXPECT_EQ(lines[101].substr(15, 15), "    0.50000E-03");
}

}  // namespace
}  // namespace linac
