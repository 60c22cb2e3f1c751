// The buncher on a Gaussian gap against the thin-gap picture: the exit
// energy of a particle entering at phase phi is w0 + G cos(phi + L/(2 beta
// lambda-bar)) with G = P3 qa E0 sigma sqrt(2 pi) T/1000 keV/u, so the rising
// crossing of w0 lies at -pi/2 - L/(2 beta lambda-bar) and the slope there
// is G per rad. The second-order shift of the crossing from the speed change
// in the gap is about 1.2e-4 rad.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <sstream>

#include "elements/buncher.hpp"
#include "elements/rf_gap_fixture.hpp"
#include "platform/fatal.hpp"

namespace linac {
namespace {

using testing::ElementRun;
using testing::GapSpec;
using testing::Particle;

constexpr double kLambdaBar = testing::kRfLambda / kTwoPi;

struct BunchRun : ElementRun {
  GapSpec gap;
  explicit BunchRun(double P3 = 1.0, const GapSpec& g = {}) : ElementRun(1000.0), gap(g) {
    testing::write_gap_table(s, g);
    line(1, "bunch", 1, {g.L, 1.0, P3});
    s.elements.elem_int[1][11] = 50;
  }
  // Particles on the axis at the entrance phases dphi (rad), then three on
  // the axis at phase 0 (the statistics need three live particles).
  void beam(const std::vector<double>& dphi) {
    std::vector<Particle> ps{{}};
    for (double d : dphi) ps.push_back({.phase = d});
    ps.insert(ps.end(), 3, Particle{});
    state(1, 1.0, 1.0, ps);
  }
  void run() { bunch_element(s, 1); }
  double W(int i) const {
    const double b = s.particles.beta[1][i];
    return (1.0 / std::sqrt(1.0 - b * b) - 1.0) * kAmuKev;
  }
  // Least-squares slope of the exit energy over the entrance phases, keV/u per rad.
  double slope(const std::vector<double>& dphi) const {
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    const double n = static_cast<double>(dphi.size());
    for (std::size_t k = 0; k < dphi.size(); ++k) {
      const double x = dphi[k], y = W(static_cast<int>(k) + 1);
      sx += x;
      sy += y;
      sxx += x * x;
      sxy += x * y;
    }
    return (n * sxy - sx * sy) / (n * sxx - sx * sx);
  }
};

std::vector<double> phase_spread() {
  std::vector<double> d;
  for (int k = -5; k <= 5; ++k) d.push_back(0.01 * k);
  return d;
}

TEST(Buncher, SitsOnTheRisingCrossingAndBunchesWithTheThinGapSlope) {
  for (double P3 : {1.0, 2.0}) {
    BunchRun r(P3);
    const std::vector<double> d = phase_spread();
    r.beam(d);
    r.run();
    const double beta = testing::speed_of_w(1000.0);
    double expected = -kPi / 2.0 - r.gap.L / (2.0 * beta * kLambdaBar);
    while (expected < -kPi / 2.0) expected += kTwoPi;
    EXPECT_NEAR(expected, 2.44903, 1e-5);
    EXPECT_NEAR(r.s.history.elem_rf_phase[1], expected, 1e-3) << P3;
    // The design particle leaves with the design energy.
    EXPECT_NEAR(r.s.history.ref_W_out[1], 1000.0, 1e-6 * 1000.0) << P3;
    EXPECT_NEAR(r.s.ref.w0, 1000.0, 1e-6 * 1000.0) << P3;
    EXPECT_NEAR(r.W(6), 1000.0, 1e-6 * 1000.0) << P3;  // the beam particle at dphi = 0
    const double G = P3 * testing::thin_gap_gain(r.gap, 1.0, beta, kLambdaBar);
    EXPECT_NEAR(r.slope(d), G, 1e-3 * G) << P3;
    EXPECT_EQ(r.s.tables.field_used[1], P3);
  }
}

// An error-study pass with an injected normal field error of 0.1 (SERF =
// 0.1, n8 = 1; offsets zero with u = 0.5): the gap runs at P3 (1 + 0.1) at
// the nominal crossing; no search runs and the crossing stays as stored.
TEST(Buncher, ErrorPassScalesTheAmplitudeWithoutSearching) {
  BunchRun r;
  r.s.tables.SERF[1] = 0.1;
  const std::vector<double> d = phase_spread();
  r.beam(d);
  r.run();
  const double G = r.slope(d);
  const double crossing = r.s.history.elem_rf_phase[1];
  auto& err = r.s.elements.elem_err[1];
  for (int k = 1; k <= 6; ++k) err[k] = 0.5;
  err[7] = 0.0;
  err[8] = 1.0;
  err[9] = err[10] = 0.5;
  r.s.rf.bunch_search.W[0] = -7.0;  // a search would overwrite it
  r.s.state.ipass = 2;
  r.s.state.ipos = 0;
  r.s.ref.w0 = 1000.0;
  r.beam(d);
  r.run();
  EXPECT_EQ(r.s.rf.bunch_search.W[0], -7.0);
  EXPECT_EQ(r.s.history.elem_rf_phase[1], crossing);
  EXPECT_EQ(r.s.history.ref_W_in[1], 1000.0);
  EXPECT_NEAR(r.s.transport.misalign.rel_field_error, 0.1, 1e-15);
  // Linear in the amplitude up to the speed change inside the gap, a
  // second-order term of relative size dW/W = 2.3e-3 times 0.1.
  EXPECT_NEAR(r.slope(d), 1.1 * G, 1e-4 * G);
}

// APER(1) is 0 before the table is first loaded: the buncher takes the
// table's aperture (2 cm) after loading it, so its beam is not lost.
TEST(Buncher, FirstBuncherOfATableTakesTheLoadedAperture) {
  BunchRun r;
  ASSERT_EQ(r.s.tables.APER[1], 0.0);
  std::vector<Particle> ps{{}, {.x = 1.5}, {.y = -1.9}, {.x = 1.5, .y = 1.5}, {}};
  r.state(1, 1.0, 1.0, ps);
  r.run();
  EXPECT_EQ(r.s.ref.aperture_r, 2.0);
  EXPECT_EQ(r.s.particles.status[1][1], 0);
  EXPECT_EQ(r.s.particles.status[1][2], 0);
  EXPECT_EQ(r.s.particles.status[1][3], kLost);  // r = 2.12 cm
}

// A uniform static field of 2000 V/cm over the gap (the superimposed field)
// raises every exit energy by 20 keV/u, far more than the gap's 2.3 keV/u
// swing: the energy never rises through w0 and the run stops naming the
// line, instead of reusing a crossing of another buncher.
TEST(Buncher, NoRisingCrossingStopsTheRun) {
  BunchRun r;
  r.s.field_tables.ebfld_table = std::make_shared<const Table3D>(
      build_table3d(table_layout(3.0, 3.0, 6.0, {0, 0, 0}), kKindEB,
                    analytic::uniform({0.0, 0.0, 2000.0}, {0.0, 0.0, 0.0})));
  r.s.field_tables.ebfld_geom = EbfldGeom{1.0, 0.0, 10.0, 3.0, 0.0};
  r.s.config.iflag_ebfld = 1;
  r.beam({0.0});
  const std::string m = testing::fatal_text([&] { r.run(); });
  EXPECT_NE(m.find("element 1 (bunch)"), std::string::npos) << m;
  EXPECT_NE(m.find("never rises through w0"), std::string::npos) << m;
}

TEST(Buncher, RefusedLines) {
  for (double P2 : {0.0, -2.0}) {
    BunchRun r;
    r.s.elements.elem_par[1][2] = P2;
    r.beam({0.0});
    const std::string m = testing::fatal_text([&] { r.run(); });
    EXPECT_NE(m.find("element 1 (bunch): harmonic number P2"), std::string::npos) << m;
  }
}

// The amplitude search over characteristics of known root.
TEST(BuncherVoltageSearch, FindsTheRootOfTheCharacteristic) {
  // The last of 25 midpoints lies within the bracket width / 2^25 of the
  // root (and a rounding above it).
  const double resolution = 1.000001 * 0.25 / (1 << 25);
  const double first = 1.000001 * 0.35 / (1 << 25);
  BuncherSearch b;
  struct Case {
    double root;  // g(A) = root - A
    double tol;
  } cases[] = {{3.0, resolution}, {7.77, resolution}, {0.2, first}};
  for (const Case& c : cases) {
    const std::optional<double> A = bunch_voltage_search(b, [&](double a) { return c.root - a; });
    ASSERT_TRUE(A.has_value()) << c.root;
    EXPECT_NEAR(*A, c.root, c.tol) << c.root;
  }
  // g <= 0 already at the first amplitude (0.35): the bracket starts at 0.
  const std::optional<double> low = bunch_voltage_search(b, [](double a) { return -1.0 - a; });
  ASSERT_TRUE(low.has_value());
  EXPECT_NEAR(*low, 0.0, first);
  // g > 0 over all 50 amplitudes: no amplitude, and nothing left from the
  // searches before.
  EXPECT_FALSE(bunch_voltage_search(b, [](double a) { return 100.0 - a; }).has_value());
  EXPECT_EQ(b.jf, 0);
}

}  // namespace
}  // namespace linac
