// End-to-end transport cases of tests/cases: each runs a case directory
// through the parameter file, the lattice files, the dispatcher, the drift
// driver, the statistics and the output writers, and checks the physics in
// the output files (see the README of each case for the tolerances).
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "case_harness.hpp"
#include "platform/fatal.hpp"
#include "transport/straight_line_loss.hpp"
#include "transport/uniform_field.hpp"

namespace linac {
namespace {

using testing::CaseRun;
using testing::Placed;
using testing::beta_of_w;
using testing::first_outside_step;

constexpr double kTwoPi = 6.283185307179586;
constexpr double kCcm = 29979245800.0;
// An E15.5 field keeps 5 digits of a mantissa in [0.1, 1): relative error
// at most half a unit of the fifth digit, 0.5e-5/0.1.
constexpr double kE155 = 5e-5;

std::vector<double> numbers(const std::string& line, std::size_t skip_words) {
  std::istringstream in(line);
  std::string w;
  std::vector<double> v;
  for (std::size_t k = 0; in >> w; ++k)
    if (k >= skip_words) v.push_back(std::stod(w));
  return v;
}

// Numbers of a lost.dat record after n_el and the name.
std::vector<double> lost_numbers(const std::string& rec) { return numbers(rec.substr(11), 0); }

// The first 14 columns of a wtmp.dat record of a drift line: (I5,A9).
std::string fmt_line_start(int n) {
  std::string num = std::to_string(n);
  return std::string(5 - num.size(), ' ') + num + "    drift";
}

TEST(TransportCases, DriftStraight) {
  CaseRun run("cases/drift_straight");
  run.read_inputs();
  const std::vector<Placed> b1 = {
      {0.3, 0.002, -0.1, 0.0}, {-0.2, -0.001, 0.25, 0.003}, {0.01, 0.0, 0.02, -0.004},
      {0.5, -0.004, -0.5, 0.004}};
  const std::vector<Placed> b2 = {
      {0.1, 0.001, 0.1, 0.001}, {-0.1, -0.002, 0.05, 0.0}, {0.2, 0.0, -0.2, 0.002},
      {0.0, 0.003, 0.0, -0.003}};
  run.place_beam(1, b1);
  run.place_beam(2, b2);
  run.run_nominal_pass();
  Sim& s = *run.sim;
  const double L = 100.0, W = 1000.0;
  const double beta = beta_of_w(W);
  const double lambda = kCcm / 100e6;
  EXPECT_EQ(s.ref.wavelength, lambda);

  // Particle block: straight lines to 1e-12, slopes and beta unchanged.
  for (int iq = 1; iq <= 2; ++iq) {
    const auto& b = iq == 1 ? b1 : b2;
    for (int i = 1; i <= 4; ++i) {
      const Placed q = b[static_cast<std::size_t>(i - 1)];
      const ParticleArrays& p = s.particles;
      EXPECT_NEAR(p.x[iq][i], q.x + q.xp * L, 1e-12 * std::abs(q.x + q.xp * L) + 1e-15);
      EXPECT_NEAR(p.y[iq][i], q.y + q.yp * L, 1e-12 * std::abs(q.y + q.yp * L) + 1e-15);
      EXPECT_EQ(p.xp[iq][i], q.xp);
      EXPECT_EQ(p.yp[iq][i], q.yp);
      EXPECT_EQ(p.beta[iq][i], beta);
      EXPECT_EQ(p.status[iq][i], kLive);
    }
  }

  // coord.dat: header, then slot 0..4 of each state.
  const auto coord = run.lines("coord.dat");
  ASSERT_EQ(coord.size(), 1u + 2u * 5u);
  for (int iq = 1; iq <= 2; ++iq) {
    const auto& b = iq == 1 ? b1 : b2;
    for (int i = 0; i <= 4; ++i) {
      const Placed q = i == 0 ? Placed{0, 0, 0, 0} : b[static_cast<std::size_t>(i - 1)];
      const auto v = numbers(coord[static_cast<std::size_t>(1 + (iq - 1) * 5 + i)], 0);
      ASSERT_EQ(v.size(), 8u);
      EXPECT_EQ(v[0], 0.0);
      EXPECT_EQ(v[1], iq);
      const double S = std::sqrt(1.0 + q.xp * q.xp + q.yp * q.yp);
      const double dphase = kTwoPi * L * (S - 1.0) / (beta * lambda);
      const double dt = dphase * (lambda / kTwoPi) / kCcm * 1e9;
      // dt of the reference slot is zero up to rounding of the phases.
      EXPECT_NEAR(v[2], dt, kE155 * std::abs(dt) + 1e-12) << iq << " " << i;
      EXPECT_EQ(v[3], 0.0);
      EXPECT_NEAR(v[4], q.x + q.xp * L, kE155 * std::abs(q.x + q.xp * L) + 1e-15);
      EXPECT_NEAR(v[5], q.xp * 1000.0, kE155 * std::abs(q.xp * 1000.0) + 1e-15);
      EXPECT_NEAR(v[6], q.y + q.yp * L, kE155 * std::abs(q.y + q.yp * L) + 1e-15);
      EXPECT_NEAR(v[7], q.yp * 1000.0, kE155 * std::abs(q.yp * 1000.0) + 1e-15);
    }
  }

  // wtmp.dat: per drift 2 pi L/(beta lambda), energies unchanged.
  const auto wtmp = run.lines("wtmp.dat");
  ASSERT_EQ(wtmp.size(), 3u);
  const double lengths[] = {50.0, 20.0, 30.0};
  for (int n = 0; n < 3; ++n) {
    const std::string& rec = wtmp[static_cast<std::size_t>(n)];
    EXPECT_EQ(rec.substr(0, 14), fmt_line_start(n + 1));
    const auto v = numbers(rec, 2);
    ASSERT_EQ(v.size(), 4u);
    const double out = kTwoPi * lengths[n] / (beta * lambda);
    EXPECT_EQ(v[0], 0.0);
    EXPECT_NEAR(v[1], out, kE155 * out);
    EXPECT_NEAR(v[2], W, kE155 * W);
    EXPECT_NEAR(v[3], W, kE155 * W);
  }
  EXPECT_NEAR(numbers(wtmp[0], 2)[1], 22.63361, kE155 * 22.63361);
  // The last line asks for 1 step and gets 2.
  EXPECT_EQ(s.ref.nstep, 2);

  // Nothing lost.
  EXPECT_EQ(run.lines("lost.dat").size(), 1u);
  // out.dat: header, entry line, one line per element, end-of-pass record.
  EXPECT_EQ(run.lines("out.dat").size(), 6u);
}

TEST(TransportCases, DriftApertures) {
  CaseRun run("cases/drift_apertures");
  run.read_inputs();
  std::vector<Placed> beam[3];
  for (int iq = 1; iq <= 2; ++iq)
    for (int i = 0; i < 10; ++i) {
      const double u = std::sin(1.9 * i + iq), v = std::cos(1.3 * i - iq);
      beam[iq].push_back({0.9 * u, 0.02 * v, 0.45 * v, -0.03 * u * v});
    }
  run.place_beam(1, beam[1]);
  run.place_beam(2, beam[2]);
  run.run_nominal_pass();
  Sim& s = *run.sim;
  const double beta = beta_of_w(1000.0);

  // Predicted records: (element, step, charge state, slot) and the state
  // before the failed step, in element-frame coordinates.
  struct Rec {
    int n, k, iq, i;
    double x, y, z, xp, yp;
  };
  std::vector<Rec> expected;
  const double ax[3] = {0, 1.0, 0.8}, ay[3] = {0, 0.5, -0.6};
  for (int iq = 1; iq <= 2; ++iq)
    for (int i = 1; i <= 10; ++i) {
      Placed q = beam[iq][static_cast<std::size_t>(i - 1)];
      for (int n = 1; n <= 2; ++n) {
        const int k = first_outside_step(q.x, q.xp, q.y, q.yp, ax[n], ay[n], 10, 1.0);
        if (k > 0) {
          const double z = k - 1.0;
          expected.push_back({n, k, iq, i, q.x + q.xp * z, q.y + q.yp * z, z, q.xp, q.yp});
          EXPECT_EQ(s.particles.status[iq][i], kLost) << iq << " " << i;
          EXPECT_NEAR(s.particles.z[iq][i], 10.0 * (n - 1) + z, 1e-12) << iq << " " << i;
          break;
        }
        q = {q.x + q.xp * 10.0, q.xp, q.y + q.yp * 10.0, q.yp};
        if (n == 2) {
          EXPECT_EQ(s.particles.status[iq][i], kLive) << iq << " " << i;
        }
      }
    }
  std::sort(expected.begin(), expected.end(), [](const Rec& a, const Rec& b) {
    return std::tie(a.n, a.k, a.iq, a.i) < std::tie(b.n, b.k, b.iq, b.i);
  });
  ASSERT_GE(expected.size(), 6u);  // the fan loses particles in both elements
  const auto lost = run.lines("lost.dat");
  ASSERT_EQ(lost.size(), 1u + expected.size());
  for (std::size_t j = 0; j < expected.size(); ++j) {
    const Rec& e = expected[j];
    const std::string& rec = lost[j + 1];
    EXPECT_EQ(std::stoi(rec.substr(0, 4)), e.n) << j;
    EXPECT_EQ(rec.substr(6, 5), "drift");
    const auto v = lost_numbers(rec);
    ASSERT_EQ(v.size(), 26u);
    EXPECT_EQ(v[0], static_cast<double>(e.iq));  // Q
    const double vz = beta / std::sqrt(1.0 + e.xp * e.xp + e.yp * e.yp);
    const double local[6] = {e.x, e.y, e.z, e.xp * vz, e.yp * vz, vz};
    const double lab[6] = {e.x, e.y, 10.0 * (e.n - 1) + e.z, e.xp * vz, e.yp * vz, vz};
    for (int m = 0; m < 6; ++m) {
      const double tol = m < 3 ? 5e-4 + 1e-12 : 5e-8 + 1e-12;  // F12.3 and F12.7
      EXPECT_NEAR(v[2 + m], lab[m], tol) << "record " << j << " lab " << m;
      EXPECT_NEAR(v[8 + m], local[m], tol) << "record " << j << " local " << m;
    }
    EXPECT_NEAR(v[16], 10.0 * (e.n - 1), 5e-4);  // frame origin z
  }
}

TEST(TransportCases, EveryPassStartsItsFrameAtTheLabOrigin) {
  // Two passes over the aperture lattice with the same beam: the element
  // frame is reset at the start of each (also in a run restarted from a
  // scratch file), so the lost.dat records of the second pass, lab positions
  // included, repeat those of the first.
  CaseRun run("cases/drift_apertures");
  run.read_inputs();
  std::vector<Placed> beam;
  for (int i = 0; i < 10; ++i) beam.push_back({0.9 * std::sin(1.9 * i), 0.02, 0.3, 0.0});
  Sim& s = *run.sim;
  for (int pass = 0; pass < 2; ++pass) {
    s.state.iscrch = pass;  // the second pass as in a restarted run
    run.place_beam(1, beam);
    run.place_beam(2, beam);
    nominal_pass(s);
  }
  s.units.close_all();
  const auto lost = run.lines("lost.dat");
  ASSERT_GT(lost.size(), 3u);
  ASSERT_EQ(lost.size() % 2, 1u);
  const std::size_t half = (lost.size() - 1) / 2;
  for (std::size_t j = 1; j <= half; ++j) EXPECT_EQ(lost[j], lost[j + half]) << j;
}

TEST(TransportCases, ThreadIdentity) {
  // The program runs the example with its generated beam once with 1 thread
  // and once with 4; the outputs must be identical byte for byte.
  const std::vector<std::string> files{"out.dat", "coord.dat", "lost.dat", "wtmp.dat"};
  const std::vector<std::string> out[2] = {testing::run_example("drift_channel", 1, files),
                                           testing::run_example("drift_channel", 4, files)};
  // The scraper removes part of the beam, so lost.dat has records.
  EXPECT_GT(std::count(out[0][2].begin(), out[0][2].end(), '\n'), 100);
  for (int f = 0; f < 4; ++f) {
    EXPECT_GT(out[0][f].size(), 0u) << files[f];
    EXPECT_TRUE(out[0][f] == out[1][f]) << files[f] << " differs between 1 and 4 threads";
  }
}

}  // namespace
}  // namespace linac
