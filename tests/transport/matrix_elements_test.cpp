// Solenoid and quadrupole by matrix, and the shrt rotation, as elements:
// each particle carried by the matrix of its own speed and Q/A, the
// time-of-flight phase row against the exact flight time, the two aperture
// tests and their lost.dat records, the one-shot scan factor, bad lines,
// results independent of the thread count, and the turn of shrt.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>

#include "run/sim.hpp"
#include "element_run.hpp"
#include "platform/fatal.hpp"
#include "transport/lens_matrices.hpp"
#include "transport/matrix_elements.hpp"
#include "transport/point_elements.hpp"

namespace linac {
namespace {

using testing::ElementRun;
using testing::Particle;
using testing::speed_of_w;

// M v for the transverse coordinates of a particle.
std::array<double, 4> apply(const Matrix6& M, const Particle& p) {
  const double v[4] = {p.x, p.xp, p.y, p.yp};
  std::array<double, 4> u{};
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) u[i] += M(i + 1, j + 1) * v[j];
  return u;
}

TEST(MatrixElements, EveryParticleCarriedByItsOwnMatrix) {
  // Two charge states, particles of several energies; sol and quad lines.
  struct Case {
    const char* keyword;
    int elem_n;
    double P1, L, Lf, a;
  } cases[] = {{"sol  ", 0, 2500.0, 30.0, 20.0, 3.0}, {"quad ", -1, -4000.0, 14.0, 10.0, 2.5}};
  for (const auto& c : cases) {
    ElementRun r(1000.0);
    Sim& s = r.s;
    r.line(1, c.keyword, c.elem_n, {c.P1, c.L, c.Lf, c.a});
    s.ref.z_entry = 40.0;
    const std::vector<Particle> b1 = {{}, {0.3, 0.002, -0.1, 0.001, 0.01, 1001.0},
                                      {-0.2, -0.001, 0.25, 0.003, -0.02, 999.0},
                                      {0.1, 0.0, 0.2, -0.002, 0.0, 1000.5}};
    const std::vector<Particle> b2 = {{}, {0.1, 0.001, 0.1, 0.001, 0.03, 1000.2},
                                      {-0.1, -0.002, 0.05, 0.0, 0.0, 998.0}};
    r.state(1, 1.0, 1.0, b1);
    r.state(2, 3.0, 8.0, b2);
    if (c.elem_n == 0)
      sol_matrix_element(s, 1);
    else
      quad_matrix_element(s, 1);
    EXPECT_EQ(s.state.ipos, 1);
    EXPECT_EQ(s.state.itype, c.elem_n == 0 ? 2 : 4);
    EXPECT_EQ(s.state.imoved, 1);
    EXPECT_EQ(s.frame.exit.origin[2], c.L);  // placed like any straight element
    const LensDesign d{1000.0, kAmuKev, testing::kRfLambda / kTwoPi};
    Matrix6 last;
    for (int iq = 1; iq <= 2; ++iq) {
      const auto& b = iq == 1 ? b1 : b2;
      const double qa = iq == 1 ? 1.0 : 3.0 / 8.0;
      for (std::size_t i = 0; i < b.size(); ++i) {
        const double beta = speed_of_w(b[i].w != 0.0 ? b[i].w : 1000.0);
        const Matrix6 M = c.elem_n == 0 ? sol_matrix(qa, c.P1, c.L, c.Lf, beta, d)
                                        : quad_matrix(qa, c.P1 * 1e-4 / c.a, c.L, c.Lf, beta, d);
        const auto u = apply(M, b[i]);
        const ParticleArrays& p = s.particles;
        EXPECT_NEAR(p.x[iq][i], u[0], 1e-14) << c.keyword << iq << i;
        EXPECT_NEAR(p.xp[iq][i], u[1], 1e-14) << c.keyword << iq << i;
        EXPECT_NEAR(p.y[iq][i], u[2], 1e-14) << c.keyword << iq << i;
        EXPECT_NEAR(p.yp[iq][i], u[3], 1e-14) << c.keyword << iq << i;
        EXPECT_EQ(p.beta[iq][i], beta);  // energy row not applied
        EXPECT_EQ(p.z[iq][i], 0.0);
        last = M;
      }
    }
    // elem_matrix: the last particle in (charge state, slot) order.
    for (int i = 1; i <= 6; ++i)
      for (int j = 1; j <= 6; ++j) EXPECT_EQ(s.transport.elem_matrix(i, j), last(i, j)) << i << j;
    EXPECT_TRUE(r.file_lines("lost.dat").empty());
  }
}

TEST(MatrixElements, PhaseRowIsTheLinearisedFlightTime) {
  // Particles with dW/W = +-1e-4 leave with phase ref_phase_out + M56 dW/W,
  // M56 = -(L/lambda-bar)/((gamma + 1) beta gamma), which equals the exact
  // flight-time difference (L/lambda-bar)(1/beta - 1/beta0) to first order.
  const double W = 1000.0, L = 20.0;
  const double lb = testing::kRfLambda / kTwoPi;
  for (const char* kw : {"sol  ", "quad "}) {
    ElementRun r(W);
    Sim& s = r.s;
    s.state.iflag_chain = 1;  // keep the absolute phases
    r.line(1, kw, kw[0] == 's' ? 0 : -1, {1500.0, L, L, 5.0});
    r.state(1, 1.0, 1.0,
            {{}, {0, 0, 0, 0, 0.0, W * (1.0 + 1e-4)}, {0, 0, 0, 0, 0.0, W * (1.0 - 1e-4)}, {}});
    if (kw[0] == 's')
      sol_matrix_element(s, 1);
    else
      quad_matrix_element(s, 1);
    const double beta0 = speed_of_w(W);
    const double phase_out = L / (beta0 * lb);
    EXPECT_NEAR(s.history.ref_phase_out[1], phase_out, 1e-13 * phase_out);
    EXPECT_NEAR(s.particles.phase[1][0], s.history.ref_phase_out[1], 1e-12);
    for (int i = 1; i <= 2; ++i) {
      const double w = W * (1.0 + (i == 1 ? 1e-4 : -1e-4));
      const double beta = speed_of_w(w);
      const double g = 1.0 / std::sqrt(1.0 - beta * beta);
      const double dww = ((g - 1.0) * kAmuKev - W) / W;
      const double m56 = -(L / lb) / ((g + 1.0) * beta * g);
      const double dphase = s.particles.phase[1][i] - s.history.ref_phase_out[1];
      EXPECT_NEAR(dphase, m56 * dww, 1e-12 * std::abs(m56 * dww)) << kw << i;
      const double exact = (L / lb) * (1.0 / beta - 1.0 / beta0);
      EXPECT_NEAR(dphase, exact, 1e-4 * std::abs(exact)) << kw << i;
      EXPECT_EQ(s.particles.beta[1][i], beta);
    }
  }
}

TEST(MatrixElements, ApertureTestsAtEntranceAndExit) {
  // A weak solenoid (the 1e-10 G floor of P1 = 0): a drift of 10 cm with
  // aperture radius 1 cm. On the circle passes both tests.
  ElementRun r(1000.0);
  Sim& s = r.s;
  r.line(1, "sol  ", 0, {0.0, 10.0, 10.0, 1.0});
  s.ref.z_entry = 50.0;
  const double out = 1.0 + 1e-12;
  r.state(1, 1.0, 1.0,
          {{},
           {1.0, 0.0, 0.0, 0.0},      // on the circle at both ends
           {0.0, 0.0, -1.0, 0.0},     // the same in y
           {out, 0.0, 0.0, 0.0},      // just outside at the entrance
           {0.5, 0.06, 0.0, 0.0},     // 1.1 cm at the exit
           {0.2, 0.0, 0.3, 0.0}});
  sol_matrix_element(s, 1);
  const ParticleArrays& p = s.particles;
  EXPECT_EQ(p.status[1][1], kLive);
  EXPECT_EQ(p.status[1][2], kLive);
  EXPECT_EQ(p.x[1][1], 1.0);
  EXPECT_EQ(p.status[1][3], kLost);
  EXPECT_EQ(p.z[1][3], 50.0);  // z_entry
  EXPECT_EQ(p.x[1][3], out);   // entrance coordinates kept
  EXPECT_EQ(p.status[1][4], kLost);
  EXPECT_EQ(p.z[1][4], 60.0);  // L + z_entry
  EXPECT_NEAR(p.x[1][4], 1.1, 1e-12);
  EXPECT_EQ(s.state.ilost, -1);
  const auto lines = r.file_lines("lost.dat");
  ASSERT_EQ(lines.size(), 2u);  // slot order
  const auto entry = testing::lost_record_numbers(lines[0]);
  const auto exit = testing::lost_record_numbers(lines[1]);
  EXPECT_EQ(lines[0].substr(0, 10), "   1  sol ");
  EXPECT_NEAR(entry[6], out, 1e-3);   // element-frame x
  EXPECT_NEAR(entry[8], 0.0, 1e-3);   // element-frame z at the entrance
  EXPECT_NEAR(exit[6], 1.1, 1e-3);
  EXPECT_NEAR(exit[8], 10.0, 1e-3);   // at the exit, z = L
  EXPECT_NEAR(exit[2], 10.0, 1e-3);   // lab z from the element's entrance frame
}

TEST(MatrixElements, BadLinesStopNamingTheLineAndValue) {
  for (const char* kw : {"sol  ", "quad "})
    for (double a : {0.0, -2.0}) {
      ElementRun r(1000.0);
      Sim& s = r.s;
      r.line(3, kw, kw[0] == 's' ? 0 : -1, {1000.0, 10.0, 10.0, a});
      r.state(1, 1.0, 1.0, {{}, {}, {}});
      s.state.ipos = 2;
      const std::string msg = testing::fatal_text([&] {
        if (kw[0] == 's')
          sol_matrix_element(s, 3);
        else
          quad_matrix_element(s, 3);
      });
      EXPECT_NE(msg.find("element 3 (" + std::string(kw).substr(0, kw[0] == 's' ? 3 : 4) + ")"),
                std::string::npos)
          << msg;
      EXPECT_NE(msg.find("P4 = " + std::string(a == 0.0 ? "0" : "-2")), std::string::npos) << msg;
    }
}

TEST(MatrixElements, OneShotScanFactorActsOnceWhenMeantForTheLens) {
  // The Larmor angle doubles with the field: a particle at (x0, 0, 0, 0)
  // leaves at angle -theta.
  const double W = 1000.0, B = 1000.0;
  const double bg = speed_of_w(W) / std::sqrt(1.0 - speed_of_w(W) * speed_of_w(W));
  const double theta = B * 20.0 / (2.0 * kRigidityGcmPerKeV * bg * kAmuKev);
  struct Case {
    int mode, elem, cur;
    double turn;  // expected angle in units of theta
    double factor_after;
  } cases[] = {{2, 7, 7, 2.0, 1.0}, {2, 7, 6, 1.0, 2.0}, {0, 7, 7, 1.0, 2.0}};
  for (const auto& c : cases) {
    ElementRun r(W);
    Sim& s = r.s;
    r.line(1, "sol  ", 0, {B, 20.0, 20.0, 5.0});
    r.line(2, "sol  ", 0, {B, 20.0, 20.0, 5.0});
    r.state(1, 1.0, 1.0, {{}, {1.0, 0, 0, 0}, {}});
    s.scan.factor = 2.0;
    s.scan.scan_mode = c.mode;
    s.scan.elem = c.elem;
    s.scan.cur_cdump = c.cur;
    sol_matrix_element(s, 1);
    EXPECT_NEAR(std::atan2(s.particles.y[1][1], s.particles.x[1][1]), -c.turn * theta, 1e-12) << c.cur;
    EXPECT_EQ(s.scan.factor, c.factor_after);
    // The next lens runs with its own field only... unless the factor is
    // still pending for it.
    sol_matrix_element(s, 2);
    const double second = c.factor_after == 1.0 ? 1.0 : c.turn;
    EXPECT_NEAR(std::atan2(s.particles.y[1][1], s.particles.x[1][1]), -(c.turn + second) * theta, 1e-12);
  }
}

TEST(MatrixElements, ResultsDoNotDependOnTheThreadCount) {
  // 2 x 4000 particles of many speeds and Q/A, some outside the aperture;
  // the last slot of state 2 is dead, so elem_matrix is that of slot
  // NPAT - 1 of state 2.
  auto run = [](int threads, std::vector<double>& coords, std::string& lost, Matrix6& M) {
    omp_set_num_threads(threads);
    ElementRun r(2000.0);
    Sim& s = r.s;
    r.line(1, "quad ", -1, {3000.0, 12.0, 10.0, 1.0});
    r.line(2, "sol  ", 0, {4000.0, 12.0, 10.0, 1.0});
    for (int iq = 1; iq <= 2; ++iq) {
      std::vector<Particle> b(4000);
      for (int i = 1; i < 4000; ++i) {
        const double u = std::sin(1.7 * i + iq), v = std::cos(0.9 * i);
        b[i] = {0.8 * u, 0.01 * v, 0.8 * v, -0.01 * u, 0.1 * u * v, 2000.0 * (1.0 + 0.01 * u),
                (iq == 1 ? 0.3 : 0.5) * (1.0 + 0.1 * v)};
      }
      b[3999].status = kLost;
      r.state(iq, iq == 1 ? 3.0 : 5.0, 10.0, b);
    }
    quad_matrix_element(s, 1);
    sol_matrix_element(s, 2);
    M = s.transport.elem_matrix;
    const Matrix6 expect =
        sol_matrix(s.particles.qa[2][3998], 4000.0, 12.0, 10.0, s.particles.beta[2][3998],
                   LensDesign{2000.0, kAmuKev, testing::kRfLambda / kTwoPi});
    for (int i = 1; i <= 6; ++i)
      for (int j = 1; j <= 6; ++j) EXPECT_EQ(M(i, j), expect(i, j));
    for (int iq = 1; iq <= 2; ++iq)
      for (int i = 0; i < 4000; ++i) {
        const ParticleArrays& p = s.particles;
        for (double c : {p.x[iq][i], p.xp[iq][i], p.y[iq][i], p.yp[iq][i], p.phase[iq][i], p.z[iq][i]})
          coords.push_back(c);
        coords.push_back(p.status[iq][i]);
      }
    r.s.units.close_all();
    lost = testing::read_file(r.tmp / "lost.dat");
  };
  const int saved = omp_get_max_threads();
  std::vector<double> c1, c4;
  std::string l1, l4;
  Matrix6 m1, m4;
  run(1, c1, l1, m1);
  run(4, c4, l4, m4);
  omp_set_num_threads(saved);
  EXPECT_EQ(c1, c4);
  EXPECT_EQ(l1, l4);
  EXPECT_GT(l1.size(), 1000u);  // some particles were lost
  EXPECT_EQ(m1.a, m4.a);
}

TEST(ShrtElement, TurnsAndShiftsTheBeamButNotTheFrame) {
  struct Case {
    double deg, dx, dy;
  } cases[] = {{90.0, 0.1, -0.2}, {0.0, 0.3, 0.4}, {30.0, 0.0, 0.0}};
  for (const auto& c : cases) {
    ElementRun r(1000.0);
    Sim& s = r.s;
    r.line(1, "shrt ", 0, {c.deg, c.dx, c.dy});
    const Particle a{0.5, 0.002, -0.3, 0.004};
    r.state(1, 1.0, 1.0, {{}, a, {0.1, -0.001, 0.2, 0.0}, {}, {}});
    shrt_element(s, 1);
    EXPECT_EQ(s.state.ipos, 1);
    EXPECT_EQ(s.state.itype, 23);
    const double t = c.deg * kDegToRad;
    const Matrix6 R = rotation_matrix(t);
    EXPECT_EQ(s.transport.elem_matrix.a, R.a);
    const ParticleArrays& p = s.particles;
    if (c.deg == 90.0) {
      // (x, x', y, y') -> (y + dx, y', -x + dy, -x').
      EXPECT_NEAR(p.x[1][1], a.y + c.dx, 1e-15);
      EXPECT_NEAR(p.xp[1][1], a.yp, 1e-15);
      EXPECT_NEAR(p.y[1][1], -a.x + c.dy, 1e-15);
      EXPECT_NEAR(p.yp[1][1], -a.xp, 1e-15);
    } else {
      const auto u = apply(R, a);
      EXPECT_NEAR(p.x[1][1], u[0] + c.dx, 1e-15);
      EXPECT_NEAR(p.xp[1][1], u[1], 1e-15);
      EXPECT_NEAR(p.y[1][1], u[2] + c.dy, 1e-15);
      EXPECT_NEAR(p.yp[1][1], u[3], 1e-15);
    }
    if (c.deg == 0.0) {
      EXPECT_EQ(p.xp[1][1], a.xp);
    }
    // A later loss is written in the frame as it was: unturned.
    r.line(2, "slit ", 0, {0.45, 0.45});
    slit_element(s, 2);
    const auto lines = r.file_lines("lost.dat");
    ASSERT_FALSE(lines.empty());
    const auto v = testing::lost_record_numbers(lines[0]);
    // Frame origin (v[12..14]) and the axes, row by row (v[15..23]).
    const double unit[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    for (int k = 0; k < 9; ++k) EXPECT_EQ(v[15 + k], unit[k]) << k;
  }
}

}  // namespace
}  // namespace linac

namespace linac {
namespace {

TEST(MatrixElements, ErrorStudyPasses) {
  // Drawing pass: the lens is placed and its deviates drawn; nothing moves.
  // Error pass: a uniform relative field error of amplitude 10 % with the
  // deviate u10 = 0 makes the field 1.1 B, so the Larmor angle grows by
  // 1.1; deviates u = 0.5 give no offsets or tilts.
  ElementRun r(1000.0);
  Sim& s = r.s;
  r.line(1, "sol  ", 0, {1000.0, 20.0, 20.0, 5.0});
  s.type_rec.type_errors[6][2] = 0.1;
  r.state(1, 1.0, 1.0, {{}, {1.0, 0, 0, 0}, {}});
  sol_matrix_element(s, 1);
  const double theta = -std::atan2(s.particles.y[1][1], s.particles.x[1][1]);
  EXPECT_GT(theta, 0.05);

  r.state(1, 1.0, 1.0, {{}, {1.0, 0, 0, 0}, {}});
  s.state.idraw = 1;
  s.state.ipos = 0;
  sol_matrix_element(s, 1);
  EXPECT_EQ(s.state.ipos, 1);
  EXPECT_EQ(s.particles.x[1][1], 1.0);
  EXPECT_EQ(s.frame.exit.origin[2], 40.0);
  const auto& err = s.elements.elem_err[1];
  EXPECT_GT(err[10], 0.0);
  EXPECT_LT(err[10], 1.0);

  s.state.idraw = 0;
  s.state.ipass = 2;
  s.state.ipos = 0;
  s.elements.elem_err[1] = {0.0, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.0, 0.0, 0.5, 0.0};
  sol_matrix_element(s, 1);
  EXPECT_NEAR(s.transport.misalign.rel_field_error, 0.1, 1e-15);
  EXPECT_NEAR(-std::atan2(s.particles.y[1][1], s.particles.x[1][1]), 1.1 * theta, 1e-12);
}

}  // namespace
}  // namespace linac
