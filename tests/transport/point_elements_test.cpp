// The zero-length elements slit, zero, phcor, mon and corr: the cut shapes
// and their lost.dat records, re-centring with a replayed random residual,
// the corrector and phase-corrector set-points, the error-drawing pass, a
// bad slit line, and the dispatch of every keyword of this family.
#include <gtest/gtest.h>

#include <cmath>

#include "beam/stats.hpp"
#include "run/sim.hpp"
#include "control/dispatcher.hpp"
#include "element_run.hpp"
#include "numerics/random.hpp"
#include "platform/fatal.hpp"
#include "transport/frame.hpp"
#include "transport/matrix_elements.hpp"
#include "transport/point_elements.hpp"

namespace linac {
namespace {

using testing::ElementRun;
using testing::Particle;

TEST(PointElements, SlitCutsAndRecordsEveryLoss) {
  struct Case {
    const char* what;
    double P1, P2, x, y;
    bool lost;
  } cases[] = {
      {"circle, on the circle", 1.0, -1.0, 1.0, 0.0, true},
      {"circle, on the circle in y", 1.0, -1.0, 0.0, -1.0, true},
      {"circle, inside", 1.0, -1.0, 0.7, 0.7, false},
      {"ellipse, outside in y", 2.0, -0.5, 0.0, 0.51, true},
      {"square, on the border", 1.0, 1.0, 1.0, 0.0, false},
      {"square, on the corner", 1.0, 1.0, -1.0, 1.0, false},
      {"square, just outside", 1.0, 1.0, 1.0 + 1e-12, 0.0, true},
      {"rectangle, outside in y", 3.0, 0.5, 0.0, -0.6, true},
      {"no cut", 1.0, 0.0, 100.0, -100.0, false},
  };
  for (const auto& c : cases) {
    ElementRun r(1000.0);
    Sim& s = r.s;
    r.line(1, "slit ", 0, {c.P1, c.P2});
    // Two elements placed before: the entrance frame of the last one
    // stands at lab z = 35 cm.
    place_element(s, 0.0, 35.0, 1.0, 0.0);
    place_element(s, 0.0, 12.0, 1.0, 0.0);
    s.ref.z_entry = 47.0;
    r.state(1, 1.0, 1.0, {{}, {c.x, 0.001, c.y, -0.002}, {0.1, 0, 0.1, 0}, {0.2, 0, 0, 0}});
    r.state(2, 2.0, 4.0, {{}, {0.1, 0, 0.1, 0}, {c.x, 0.0, c.y, 0.0}});
    slit_element(s, 1);
    EXPECT_EQ(s.state.ipos, 1) << c.what;
    EXPECT_EQ(s.state.itype, 12) << c.what;
    EXPECT_EQ(s.ref.aper_x, c.P1);
    EXPECT_EQ(s.ref.aper_y, c.P2);
    const auto lines = r.file_lines("lost.dat");
    const ParticleArrays& p = s.particles;
    EXPECT_EQ(p.status[1][1], c.lost ? kLost : kLive) << c.what;
    EXPECT_EQ(p.status[2][2], c.lost ? kLost : kLive) << c.what;
    EXPECT_EQ(p.status[1][2], kLive);
    ASSERT_EQ(lines.size(), c.lost ? 2u : 0u) << c.what;
    if (!c.lost) continue;
    EXPECT_EQ(p.z[1][1], 47.0);  // z_entry
    EXPECT_EQ(p.z[2][2], 47.0);
    // (charge state, slot) order; the lab position is the particle in the
    // entrance frame of the last placed element.
    EXPECT_EQ(lines[0].substr(0, 23), "   1  slit    1.0   1.0") << lines[0];
    EXPECT_EQ(lines[1].substr(0, 23), "   1  slit    2.0   4.0") << lines[1];
    for (const auto& l : lines) {
      const auto v = testing::lost_record_numbers(l);
      EXPECT_NEAR(v[0], c.x, 1e-3) << c.what;
      EXPECT_NEAR(v[1], c.y, 1e-3) << c.what;
      EXPECT_NEAR(v[2], 35.0, 1e-3) << c.what;
      EXPECT_NEAR(v[8], 0.0, 1e-3) << c.what;
      EXPECT_NEAR(v[14], 35.0, 1e-3) << c.what;
    }
  }
}

TEST(PointElements, SlitWithoutHorizontalHalfSizeStops) {
  ElementRun r(1000.0);
  Sim& s = r.s;
  r.line(4, "slit ", 0, {0.0, 0.5});
  r.state(1, 1.0, 1.0, {{}, {}, {}});
  s.state.ipos = 3;
  const std::string msg = testing::fatal_text([&] { slit_element(s, 4); });
  EXPECT_NE(msg.find("element 4 (slit)"), std::string::npos) << msg;
  EXPECT_NE(msg.find("P2 = 0.5"), std::string::npos) << msg;
  // Both zero: no cut, no stop.
  r.line(4, "slit ", 0, {0.0, 0.0});
  s.state.ipos = 3;
  EXPECT_NO_THROW(slit_element(s, 4));
}

// A beam off centre in all four coordinates, two states, a test particle.
void offset_beam(ElementRun& r) {
  std::vector<Particle> b;
  for (int i = 0; i < 9; ++i)
    b.push_back({0.3 + 0.1 * std::sin(i), 0.002 + 0.001 * std::cos(2 * i), -0.2 + 0.1 * std::cos(i),
                 -0.001 + 0.0005 * std::sin(3 * i)});
  b.push_back({5.0, 0.1, 5.0, 0.1, 0.0, 0.0, 0.0, 4});  // test particle, tag 4
  r.state(1, 1.0, 1.0, b, 1);
  r.state(2, 2.0, 4.0, {{0.4, 0.001, 0.1, 0.0}, {0.5, 0.0, 0.0, 0.003}, {0.35, -0.001, -0.1, 0.001}});
}

TEST(PointElements, ZeroRecentresWithAResidualFromTheStream) {
  for (double P1 : {0.0, 0.1}) {
    ElementRun r(1000.0);
    Sim& s = r.s;
    r.line(1, "zero ", 1, {P1, 2.0 * P1});
    offset_beam(r);
    rn_set_seed(s, 1234567);
    const RnState before = s.numerics.rn;
    zero_element(s, 1);
    EXPECT_EQ(s.state.itype, 7);
    // Replay: the element drew four uniforms u1..u4.
    s.numerics.rn = before;
    double u[5];
    dRNUN(s, 4, &u[1]);
    const auto& cen = s.beam_moments.centroid;  // the exit statistics
    EXPECT_NEAR(cen[1], (1.0 - 2.0 * u[1]) * P1, 1e-12);
    EXPECT_NEAR(cen[2], (1.0 - 2.0 * u[2]) * 2.0 * P1 / 1000.0, 1e-12);
    EXPECT_NEAR(cen[3], (1.0 - 2.0 * u[3]) * P1, 1e-12);
    EXPECT_NEAR(cen[4], (1.0 - 2.0 * u[4]) * 2.0 * P1 / 1000.0, 1e-12);
    if (P1 == 0.0) continue;
    EXPECT_NE(cen[1], 0.0);
    // The next pass draws the next four.
    const RnState after_first = s.numerics.rn;
    double v[5];
    dRNUN(s, 4, &v[1]);
    s.numerics.rn = after_first;
    s.state.ipos = 0;
    zero_element(s, 1);
    EXPECT_NEAR(s.beam_moments.centroid[1], (1.0 - 2.0 * v[1]) * P1, 1e-12);
  }
}

TEST(PointElements, ZeroInactiveLeavesBeamAndExitStatistics) {
  struct Case {
    int elem_n, iflag_corr;
  } cases[] = {{0, 0}, {-1, 0}, {1, 1}};
  for (const auto& c : cases) {
    ElementRun r(1000.0);
    Sim& s = r.s;
    r.line(1, "zero ", c.elem_n, {0.1, 0.2});
    offset_beam(r);
    s.config.IFLAG_CORR = c.iflag_corr;
    rn_set_seed(s, 99);
    const RnState before = s.numerics.rn;
    const double x_before = s.particles.x[1][3];
    s.stats.element_stats[1].x_rms = -7.0;  // no exit statistics overwrite it
    zero_element(s, 1);
    EXPECT_EQ(s.particles.x[1][3], x_before);
    EXPECT_EQ(s.stats.element_stats[1].x_rms, -7.0);
    EXPECT_EQ(s.numerics.rn.seed, before.seed);
  }
}

TEST(PointElements, CorrectorKicksAndSetPoints) {
  struct Case {
    const char* what;
    int elem_n, on_steer;
    double P6, P7, P8, P9;
    double P8_after, P9_after;
    double kick_x, kick_y;  // on the beam, mrad
  } cases[] = {
      {"steady kick", 0, 0, 0.0, 0.0, 1.5, 0.0, 1.5, 0.0, 1.5, 0.0},
      {"trial plane reset", 0, 0, 0.3, 0.0, 1.5, -0.8, 0.0, -0.8, 0.0, -0.8},
      {"both planes reset", 2, 0, 0.3, 1e-6, 1.5, -0.8, 0.0, 0.0, 0.0, 0.0},
      {"steering set", 0, 1, 0.3, 0.3, 1.5, -0.8, 1.5, -0.8, 1.5, -0.8},
      {"switched off", -1, 1, 0.0, 0.0, 1.5, -0.8, 1.5, -0.8, 0.0, 0.0},
  };
  for (const auto& c : cases) {
    ElementRun r(1000.0);
    Sim& s = r.s;
    r.line(1, "corr ", c.elem_n, {0, 0, 0, 0, 0, c.P6, c.P7, c.P8, c.P9});
    s.elements.elem_int[1][8] = 4;  // the test particle's tag, horizontal
    s.elements.elem_int[1][9] = 0;
    s.corr.kicks[4] = 0.7;
    s.corr.corr_on_steer = c.on_steer;
    offset_beam(r);
    s.particles.status[2][1] = kLost;
    const double xp3 = s.particles.xp[1][3], yp3 = s.particles.yp[1][3];
    const double xp_test = s.particles.xp[1][9], xp_dead = s.particles.xp[2][1];
    corr_element(s, 1);
    EXPECT_EQ(s.elements.elem_par[1][8], c.P8_after) << c.what;
    EXPECT_EQ(s.elements.elem_par[1][9], c.P9_after) << c.what;
    EXPECT_NEAR(s.particles.xp[1][3] - xp3, c.kick_x / 1000.0, 1e-15) << c.what;
    EXPECT_NEAR(s.particles.yp[1][3] - yp3, c.kick_y / 1000.0, 1e-15) << c.what;
    EXPECT_EQ(s.particles.xp[2][1], xp_dead) << c.what;
    // The tagged test particle adds its trial step to the set-point.
    const double test_kick = c.elem_n >= 0 ? c.kick_x + 0.7 : 0.0;
    EXPECT_NEAR(s.particles.xp[1][9] - xp_test, test_kick / 1000.0, 1e-15) << c.what;
  }
}

TEST(PointElements, PhaseCorrectorWaitsForTheLongitudinalCorrection) {
  for (int on_long : {0, 1}) {
    ElementRun r(1000.0);
    Sim& s = r.s;
    r.line(1, "phcor", 1, {0, 0, 0, 0, 0, 0, 0, 0, 0.2});
    offset_beam(r);
    for (int i = 0; i <= 9; ++i) s.particles.phase[1][i] = 0.01 * i;
    s.particles.status[1][5] = kLost;
    s.corr.corr_on_long = on_long;
    phcor_element(s, 1);
    EXPECT_EQ(s.elements.elem_par[1][9], on_long ? 0.2 : 0.0);
    for (int i = 0; i <= 9; ++i) {
      const double shift = (on_long && i != 5) ? 0.2 : 0.0;
      EXPECT_NEAR(s.particles.phase[1][i], 0.01 * i - shift, 1e-15) << on_long << " " << i;
    }
  }
}

TEST(PointElements, MonitorTakesTheExitStatistics) {
  ElementRun r(1000.0);
  Sim& s = r.s;
  r.line(1, "mon  ", 0, {});
  offset_beam(r);
  mon_element(s, 1);
  EXPECT_EQ(s.state.ipos, 1);
  EXPECT_GT(s.stats.element_stats[1].x_rms, 0.0);
  EXPECT_EQ(s.stats.position_counts.n_live[1], 12);  // slot 0 included, test particle not
  EXPECT_EQ(s.history.ref_W_in[1], 1000.0);
  EXPECT_EQ(s.history.ref_W_out[1], 1000.0);
}

TEST(PointElements, DrawingPassOnlyTakesThePosition) {
  void (*handlers[])(TransportContext&, std::int32_t) = {slit_element, zero_element, phcor_element, mon_element,
                                            corr_element, shrt_element};
  for (auto* h : handlers) {
    ElementRun r(1000.0);
    Sim& s = r.s;
    r.line(1, "zero ", 1, {5.0, 5.0, 0, 0, 0, 0, 0, 3.0, 3.0});
    offset_beam(r);
    s.state.idraw = 1;
    s.state.ipos = 6;
    s.history.ref_W_in[7] = -1.0;
    const double x = s.particles.x[1][1], xp = s.particles.xp[1][1], ph = s.particles.phase[1][1];
    rn_set_seed(s, 5);
    h(s, 1);
    EXPECT_EQ(s.state.ipos, 7);
    EXPECT_EQ(s.history.ref_W_in[7], -1.0);
    EXPECT_EQ(s.particles.x[1][1], x);
    EXPECT_EQ(s.particles.xp[1][1], xp);
    EXPECT_EQ(s.particles.phase[1][1], ph);
    EXPECT_EQ(s.numerics.rn.seed, 5);
    EXPECT_EQ(s.elements.elem_par[1][9], 3.0);
  }
}

TEST(PointElements, EveryKeywordReachesItsHandler) {
  struct Case {
    const char* keyword;
    int elem_n, variant;
    std::vector<double> P;
    int itype;
  } cases[] = {
      {"slit ", 0, 0, {5.0, 5.0}, 12},           {"zero ", 0, 0, {}, 7},
      {"phcor", 0, 0, {}, 0},                    {"mon  ", 0, 0, {}, 0},
      {"corr ", 0, 0, {}, 7},                    {"sol  ", 0, 0, {100.0, 5.0, 5.0, 2.0}, 2},
      {"quad ", -1, 0, {100.0, 5.0, 5.0, 2.0}, 4}, {"shrt ", 0, 0, {10.0}, 23},
      {"filtr", 0, 0, {0.5}, 0},
  };
  for (const auto& c : cases) {
    ElementRun r(1000.0);
    Sim& s = r.s;
    r.line(1, c.keyword, c.elem_n, c.P);
    s.elements.elem_int[1][15] = c.variant;
    offset_beam(r);
    std::int32_t n = 1;
    dispatch_element(s, n);
    EXPECT_EQ(s.state.ipos, 1) << c.keyword;
    EXPECT_EQ(s.state.itype, c.itype) << c.keyword;
  }
}

}  // namespace
}  // namespace linac
