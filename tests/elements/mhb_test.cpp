// Multi-harmonic bunchers against the thin-gap picture: an r-uniform
// Gaussian E_z(z) = E0 exp(-(z - L/2)^2/(2 sigma^2)) driven at harmonic h
// gives the energy gain qa E0 sigma sqrt(2 pi) exp(-(h sigma/(beta
// lambda-bar))^2/2) times the time factor at the gap centre, phase rf_phase
// + L/(2 beta lambda-bar). The speed change inside the gap (1e-4 of the
// gain here) is neglected; the tolerance allows for it. Also: the r-z
// table's reader and bilinear field, and the mhb4 phase scan.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

#include "elements/buncher.hpp"
#include "elements/mhb.hpp"
#include "elements/rf_gap_fixture.hpp"
#include "platform/fatal.hpp"
#include "transport/table_writers.hpp"

namespace linac {
namespace {

using testing::ElementRun;
using testing::Particle;

constexpr double kLambdaBar = testing::kRfLambda / kTwoPi;
constexpr double kL = 10.0, kR = 2.0;
const testing::GapSpec kGap{1000.0, 1.0, kL, kR};

double harmonic_gain(double h, double beta) {
  return testing::harmonic_gain(kGap, h, beta, kLambdaBar);
}

// The shape as the r-z table (IFLAG_MHB = 1) or as the static 3-D table
// (IFLAG_MHB = 0), both E_z uniform in r, table 1.
struct MhbRun : ElementRun {
  explicit MhbRun(int iflag_mhb) : ElementRun(1000.0) {
    s.config.IFLAG_MHB = iflag_mhb;
    if (iflag_mhb != 0)
      testing::write_uniform_gap_rz(s, kGap, 1);
    else
      testing::write_uniform_gap_ems(s, kGap, 1);
  }
  // An mhb line: amplitudes A1, A2, phase P5 (deg), harmonics h1, h2; 50 steps.
  void mhb(double A1, double A2, double P5, int h1, int h2) {
    line(1, "mhb  ", 1, {A1, A2, kL, kR, P5});
    auto& I = s.elements.elem_int[1];
    I[11] = 50;
    I[12] = 501;
    I[13] = 3;
    I[14] = h1;
    I[15] = h2;
  }
  // An mhb4 line: phase P3 (deg), then (h, A, phase deg) of four harmonics.
  void mhb4(double P3, const std::array<std::array<double, 3>, 4>& harm) {
    std::vector<double> P{kL, kR, P3};
    for (const auto& h : harm) {
      P.push_back(h[1]);
      P.push_back(h[2]);
    }
    line(1, "mhb4 ", 1, P);
    auto& I = s.elements.elem_int[1];
    for (int k = 0; k < 4; ++k) I[11 + k] = static_cast<int>(harm[k][0]);
    I[15] = 50;
  }
  void beam() { state(1, 1.0, 1.0, {{}, {.x = 0.5}, {.y = -1.2}, {.x = 1.9}, {}}); }
  double gain() const { return s.history.ref_W_out[1] - s.history.ref_W_in[1]; }
};

TEST(Mhb, TwoHarmonicGainFromEitherTable) {
  const double beta = testing::speed_of_w(1000.0);
  const double centre = kL / (2.0 * beta * kLambdaBar);
  for (int iflag : {1, 0}) {
    for (double P5 : {40.0, -75.0}) {
      MhbRun r(iflag);
      r.mhb(1.0, 0.5, P5, 1, 2);
      r.beam();
      mhb_element(r.s, 1);
      const double rf = kPi - P5 * kDegToRad;
      EXPECT_DOUBLE_EQ(r.s.history.elem_rf_phase[1], rf);
      const double expected = 1.0 * harmonic_gain(1, beta) * std::cos(rf + centre) +
                              0.5 * harmonic_gain(2, beta) * std::cos(2.0 * (rf + centre));
      // 5e-4 of the first term at P5 = 40 deg. At -75 deg both harmonics
      // accelerate (2.6 keV/u): the speed change inside the gap (dbeta/beta
      // = 1.3e-3) slips the phase over the second half of the gap by about
      // (L/(2 beta lambda-bar)) 1.3e-3/2 = 1.5e-3 rad, a second-order term
      // of up to 1.5e-3 G1 for the first harmonic and twice that slope for
      // the second (amplitude 0.5): 2e-3 of the first term.
      const double tol = (P5 == 40.0 ? 5e-4 : 2e-3) * harmonic_gain(1, beta);
      EXPECT_NEAR(r.gain(), expected, tol) << iflag << " " << P5;
      EXPECT_EQ(r.s.particles.status[1][3], 0) << "r = 1.9 cm inside R = 2 cm";
    }
  }
}

TEST(Mhb, FourHarmonicGainAndNoFieldWithTheRzSwitch) {
  const double beta = testing::speed_of_w(1000.0);
  const double centre = kL / (2.0 * beta * kLambdaBar);
  const std::array<std::array<double, 3>, 4> harm = {
      {{1, 1.0, 10.0}, {2, 0.4, -35.0}, {3, 0.2, 80.0}, {1, 0.0, 0.0}}};
  const double P3 = 25.0;
  MhbRun r(0);
  r.mhb4(P3, harm);
  r.beam();
  mhb4_element(r.s, 1);
  double expected = 0.0;
  for (const auto& h : harm)
    expected += h[1] * harmonic_gain(h[0], beta) *
                std::sin(h[0] * (h[2] * kDegToRad + P3 * kDegToRad + centre));
  EXPECT_NEAR(r.gain(), expected, 5e-4 * harmonic_gain(1, beta));
  EXPECT_DOUBLE_EQ(r.s.history.elem_rf_phase[1], P3 * kDegToRad);

  // With IFLAG_MHB = 1 an mhb4 has no field: no gain, nothing lost.
  MhbRun none(1);
  none.mhb4(P3, harm);
  none.state(1, 1.0, 1.0, {{}, {.x = 5.0}, {}, {}});
  mhb4_element(none.s, 1);
  EXPECT_NEAR(none.gain(), 0.0, 1e-9);  // energy to speed and back: rounding only
  EXPECT_EQ(none.s.particles.status[1][1], 0);
  EXPECT_EQ(none.s.particles.beta[1][1], testing::speed_of_w(1000.0));
}

TEST(Mhb, TimeFactorOfTwoHarmonicsAtPhaseZero) {
  MhbHarmonics h;
  h.count = 2;
  h.amp = {0.7, 0.45, 0.0, 0.0};
  h.harm = {1.0, 2.0, 0.0, 0.0};
  EXPECT_DOUBLE_EQ(h.factor(0.0), 0.7 + 0.45);
  EXPECT_NEAR(h.factor(kPi / 2.0), -0.45, 1e-15);
}

// The phase scan of mhb4 lists the rising crossings of the design energy:
// for one harmonic at -L/(2 beta lambda-bar) mod 2 pi, for the second
// harmonic also half a period earlier; the later crossing is returned.
TEST(Mhb, Mhb4ScanListsTheRisingCrossings) {
  const double beta = testing::speed_of_w(1000.0);
  double crossing = std::fmod(-kL / (2.0 * beta * kLambdaBar), kTwoPi) + kTwoPi;
  struct Case {
    int h;
    int listings;
  } cases[] = {{1, 1}, {2, 2}};
  for (const Case& c : cases) {
    MhbRun r(0);
    r.mhb4(0.0, {{{double(c.h), 1.0, 0.0}, {1, 0.0, 0.0}, {1, 0.0, 0.0}, {1, 0.0, 0.0}}});
    r.beam();
    mhb4_element(r.s, 1);
    // The scan again from the entrance energy (the element left w0 at its
    // exit energy): its result, and a second copy of its listing.
    r.s.ref.w0 = 1000.0;
    const std::optional<double> result = mhb4_phase_scan(r.s, 0.0);
    ASSERT_TRUE(result.has_value());
    EXPECT_NEAR(*result, crossing, 0.005) << c.h;
    const std::vector<std::string> log = r.file_lines("log.dat");
    // Each listing: title, phaseDev, Win, empty, heading, 30 rows; the
    // element's scan and the repeated one.
    ASSERT_EQ(log.size(), static_cast<std::size_t>(2 * 35 * c.listings)) << c.h;
    EXPECT_EQ(log[0], "      !* Phase Scanninng for MHB4 *! ");
    // (A18,F12.3,A6) and (A13,A15): texts right-aligned in their fields.
    EXPECT_EQ(log[2], "         Win=         1000.000 Kev/u");
    EXPECT_EQ(log[3], "");
    EXPECT_EQ(log[4], "     phaseDev       Wsyn-Win");
    EXPECT_EQ(log[5].substr(0, 13), "        0.000");
    EXPECT_EQ(log[34].substr(0, 13), "      360.000");
    const std::string& last = log[35 * (c.listings - 1) + 1];
    EXPECT_EQ(last.substr(0, 18), "         phaseDev=");
    EXPECT_NEAR(std::stod(last.substr(18, 12)) * kDegToRad, crossing, 0.005) << c.h;
  }
}

// The bilinear r-z field reproduces a + b z + c r + d z r exactly, also at
// z = L and r just below rmax, where the cell index is clamped.
TEST(MhbRz, BilinearFieldIsExactForBilinearData) {
  MhbRzTable t;
  t.nz = 6;
  t.nr = 4;
  const double L = 7.0, rmax = 1.5;
  auto ez = [](double z, double r) { return 3.0 - 0.7 * z + 2.5 * r + 0.3 * z * r; };
  auto er = [](double z, double r) { return -1.0 + 0.2 * z - 4.0 * r + 1.1 * z * r; };
  for (int j = 0; j < t.nz; ++j)
    for (int i = 0; i < t.nr; ++i) {
      const double z = j * L / (t.nz - 1), r = i * rmax / (t.nr - 1);
      t.er.push_back(er(z, r));
      t.ez.push_back(ez(z, r));
    }
  const double r_edge = std::nextafter(rmax, 0.0);
  struct Point {
    double x, y, z;
  } points[] = {{0.3, 0.4, 1.234}, {-0.9, 0.2, 6.5}, {0.0, 1.0, L}, {r_edge, 0.0, L},
                {0.0, -r_edge, 0.0}, {0.8, -0.8, 3.5}};
  for (const Point& p : points) {
    Vec3 E;
    ASSERT_EQ(mhb_field_rz(t, L, rmax, rmax, p.x, p.y, p.z, E), TableHit::inside);
    const double r = std::hypot(p.x, p.y);
    EXPECT_NEAR(E[2], ez(p.z, r), 1e-12 * (1.0 + std::abs(ez(p.z, r)))) << p.z << " " << r;
    EXPECT_NEAR(E[0], er(p.z, r) * p.x / r, 1e-12 * (1.0 + std::abs(er(p.z, r))));
    EXPECT_NEAR(E[1], er(p.z, r) * p.y / r, 1e-12 * (1.0 + std::abs(er(p.z, r))));
  }
  Vec3 E;
  // On the axis no transverse field.
  EXPECT_EQ(mhb_field_rz(t, L, rmax, rmax, 0.0, 0.0, 2.0, E), TableHit::inside);
  EXPECT_EQ(E[0], 0.0);
  EXPECT_EQ(E[1], 0.0);
  EXPECT_NEAR(E[2], ez(2.0, 0.0), 1e-12);
  // At the aperture lost; outside the z range no field and nothing lost.
  EXPECT_EQ(mhb_field_rz(t, L, rmax, rmax, rmax, 0.0, 2.0, E), TableHit::lost);
  EXPECT_EQ(mhb_field_rz(t, L, rmax, rmax, 5.0, 0.0, L + 1e-9, E), TableHit::outside);
  EXPECT_EQ(E[2], 0.0);
  // A NaN coordinate passes the range and aperture comparisons: its field
  // is NaN, read from cells inside the table.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(mhb_field_rz(t, L, rmax, rmax, 0.1, 0.0, nan, E), TableHit::inside);
  EXPECT_TRUE(std::isnan(E[2]));
  EXPECT_EQ(mhb_field_rz(t, L, rmax, rmax, nan, 0.0, 2.0, E), TableHit::inside);
  EXPECT_TRUE(std::isnan(E[2]));
}

struct RzReadRun : ElementRun {
  void sizes(int nz, int nr) {
    s.rf.mhb_data.mhb_nz = nz;
    s.rf.mhb_data.mhb_nr = nr;
  }
};

// A golden 3 x 2 table of distinct values fixes the order: z node outermost,
// E_r before E_z at each radial node; the file is read once however often it
// is loaded. A number after the last pair (a table of other sizes than the
// line's, or a doubled row) is refused: read as these sizes, it would move
// every node after it.
TEST(MhbRz, ReaderOrderCacheAndBadFiles) {
  RzReadRun r;
  testing::write_file(r.tmp / "MHBrz.#04", " 1 2 3 4\n 5 6 7 8\n 9 10 11 12\n");
  r.sizes(3, 2);
  read_mhb_rz(r.s, 4);
  read_mhb_rz(r.s, 4);
  EXPECT_EQ(r.s.field_tables.disk_reads, 1);
  const MhbRzTable& t = *r.s.rf.mhb_data.rz;
  EXPECT_EQ(t.Er(0, 0), 1.0);
  EXPECT_EQ(t.Ez(0, 0), 2.0);
  EXPECT_EQ(t.Er(0, 1), 3.0);
  EXPECT_EQ(t.Ez(0, 1), 4.0);
  EXPECT_EQ(t.Er(1, 0), 5.0);
  EXPECT_EQ(t.Ez(2, 1), 12.0);

  testing::write_file(r.tmp / "MHBrz.#05", " 1 2 3 4\n 5 6 7 8\n 9 10 11\n");
  const std::string short_file = testing::fatal_text([&] { read_mhb_rz(r.s, 5); });
  EXPECT_NE(short_file.find("MHBrz.#05: 11 numbers"), std::string::npos) << short_file;
  EXPECT_NE(short_file.find("need 12"), std::string::npos) << short_file;
  EXPECT_NE(testing::fatal_text([&] { read_mhb_rz(r.s, 6); }).find("MHBrz.#06"), std::string::npos);
  // The middle row doubled, and one number more than the 3 x 2 nodes need.
  testing::write_file(r.tmp / "MHBrz.#08", " 1 2 3 4\n 5 6 7 8\n 5 6 7 8\n 9 10 11 12\n");
  testing::write_file(r.tmp / "MHBrz.#09", " 1 2 3 4\n 5 6 7 8\n 9 10 11 12 99\n");
  for (const auto& [table, words] : {std::pair{8, "MHBrz.#08 line 4: a number after the 6 pairs of the 3 x 2 nodes"},
                                     std::pair{9, "MHBrz.#09 line 3: a number after the 6 pairs"}}) {
    const std::string extra = testing::fatal_text([&] { read_mhb_rz(r.s, table); });
    EXPECT_NE(extra.find(words), std::string::npos) << extra;
  }
  // A value beyond the bound of every table, at a node no particle reaches.
  testing::write_file(r.tmp / "MHBrz.#07", " 1 2 3 4\n 5 6 7 8\n 9 10 11 -1e300\n");
  const std::string huge = testing::fatal_text([&] { read_mhb_rz(r.s, 7); });
  EXPECT_NE(huge.find("MHBrz.#07 line 3: E_z at z node 3, r node 2 is -1e+300"), std::string::npos) << huge;
  EXPECT_NE(testing::fatal_text([&] { read_mhb_rz(r.s, 12); }).find("outside 0..9"),
            std::string::npos);
}

TEST(Mhb, SizesOfTheRzTableAreCheckedAtTheLine) {
  struct Case {
    int nz, nr;
    const char* text;
  } cases[] = {{1, 3, "nz = 1"}, {502, 3, "nz = 502"}, {501, 1, "nr = 1"}, {501, 22, "nr = 22"}};
  for (const Case& c : cases) {
    MhbRun r(1);
    r.mhb(1.0, 0.0, 0.0, 1, 2);
    r.s.elements.elem_int[1][12] = c.nz;
    r.s.elements.elem_int[1][13] = c.nr;
    r.beam();
    const std::string m = testing::fatal_text([&] { mhb_element(r.s, 1); });
    EXPECT_NE(m.find("element 1 (mhb)"), std::string::npos) << m;
    EXPECT_NE(m.find(c.text), std::string::npos) << m;
  }
}


// The on-axis table: samples of E(z) = c0 + c1 cos(w z) + s3 sin(3 w z),
// w = 2 pi/P, P = n L/(n - 1), are harmonics of the series' own period, so
// the rebuilt field equals the samples and its derivative the analytic one;
// for an even count a Nyquist term (-1)^m is dropped.
struct AxisRun : ElementRun {
  static constexpr double kLen = 8.0;
  static double e(double z, double P) {
    const double w = kTwoPi / P;
    return 2.0 + 3.0 * std::cos(w * z) - 1.5 * std::sin(3.0 * w * z);
  }
  static double de(double z, double P) {
    const double w = kTwoPi / P;
    return -3.0 * w * std::sin(w * z) - 4.5 * w * std::cos(3.0 * w * z);
  }
  // Writes MHB.#0<num> with n points, plus nyquist (-1)^m, and reads it.
  const MhbAxisTable& read(int num, int n, double nyquist = 0.0) {
    const double P = n * kLen / (n - 1);
    std::ostringstream f;
    f.precision(17);
    for (int m = 0; m < n; ++m) {
      const double z = m * kLen / (n - 1);
      f << z << " " << e(z, P) + (m % 2 == 0 ? nyquist : -nyquist) << "\n";
    }
    testing::write_file(tmp / ("MHB.#0" + std::to_string(num)), f.str());
    s.ref.elem_len = kLen;
    s.rf.mhb_data.mhb_axis_n = n;
    read_mhb_axis(s, num);
    return *s.rf.mhb_data.axis;
  }
};

TEST(MhbAxis, SeriesRebuildsTheFieldAndItsDerivative) {
  struct Case {
    int n;
    double nyquist;
  } cases[] = {{41, 0.0}, {40, 0.0}, {40, 0.7}};
  for (const Case& c : cases) {
    AxisRun r;
    const MhbAxisTable& t = r.read(3, c.n, c.nyquist);
    const double P = c.n * AxisRun::kLen / (c.n - 1);
    ASSERT_EQ(t.n, c.n);
    for (int m = 0; m < c.n; ++m) {
      const double z = m * AxisRun::kLen / (c.n - 1);
      EXPECT_NEAR(t.E[m], AxisRun::e(z, P), 1e-12) << c.n << " " << m;
      EXPECT_NEAR(t.dE[m], AxisRun::de(z, P), 1e-11) << c.n << " " << m;
    }
  }
}

// The paraxial field: at a point E_z and -(r/2) dE/dz exactly, between
// points their linear interpolation; lost outside the length or the
// aperture; no transverse field on the axis.
TEST(MhbAxis, ParaxialFieldInterpolatesAndLoses) {
  AxisRun r;
  const MhbAxisTable& t = r.read(5, 41);
  const double P = 41 * AxisRun::kLen / 40, h = AxisRun::kLen / 40, ap = 1.0;
  Vec3 E;
  const double z7 = 7 * h;
  ASSERT_EQ(mhb_field_axis(t, ap, 0.3, -0.4, z7, E), TableHit::inside);
  const double er = -0.5 * 0.5 * AxisRun::de(z7, P);
  EXPECT_NEAR(E[2], AxisRun::e(z7, P), 1e-12);
  EXPECT_NEAR(E[0], er * 0.3 / 0.5, 1e-11);
  EXPECT_NEAR(E[1], er * -0.4 / 0.5, 1e-11);
  const double z = 12.25 * h;  // a quarter into the cell 12..13
  ASSERT_EQ(mhb_field_axis(t, ap, 0.0, 0.6, z, E), TableHit::inside);
  EXPECT_NEAR(E[2], 0.75 * t.E[12] + 0.25 * t.E[13], 1e-12);
  EXPECT_NEAR(E[1], -0.3 * (0.75 * t.dE[12] + 0.25 * t.dE[13]), 1e-12);
  EXPECT_EQ(E[0], 0.0);
  ASSERT_EQ(mhb_field_axis(t, ap, 0.0, 0.0, AxisRun::kLen, E), TableHit::inside);
  EXPECT_NEAR(E[2], AxisRun::e(AxisRun::kLen, P), 1e-12);
  EXPECT_EQ(E[0], 0.0);
  EXPECT_EQ(E[1], 0.0);
  for (const auto& p : {std::array<double, 3>{0.0, 0.0, -1e-9},
                        std::array<double, 3>{0.0, 0.0, AxisRun::kLen + 1e-9},
                        std::array<double, 3>{0.6, 0.8, 4.0}}) {
    EXPECT_EQ(mhb_field_axis(t, ap, p[0], p[1], p[2], E), TableHit::lost);
    EXPECT_EQ(E[2], 0.0);
  }
}

TEST(MhbAxis, CacheAndBadInputs) {
  AxisRun r;
  r.read(2, 11);
  read_mhb_axis(r.s, 2);
  EXPECT_EQ(r.s.field_tables.disk_reads, 1);
  testing::write_file(r.tmp / "MHB.#06", "0 1\n0.5 2\n1.0\n");
  testing::write_file(r.tmp / "MHB.#08", "0 1\n0.5 2e20\n1.0 3\n");
  testing::write_file(r.tmp / "MHB.#09", "0 1\n0.5 2\n1.0 3\n1.5 4\n");
  r.s.rf.mhb_data.mhb_axis_n = 3;
  struct Case {
    std::int32_t table, points;
    const char* text;
  } cases[] = {{6, 3, "MHB.#06: 5 numbers, the 3 points need 6"},
               {7, 3, "MHB.#07"},
               {6, 1, "1 points on the axis"},
               {6, kMhbAxisMaxPoints + 1, "10002 points"},
               {10, 3, "outside 0..9"},
               {8, 3, "MHB.#08 line 2: E_z at z node 2, r node 1 is 2e+20"},
               {9, 3, "MHB.#09 line 4: a number after the 3 pairs of the 3 points"}};
  for (const Case& c : cases) {
    r.s.rf.mhb_data.mhb_axis_n = c.points;
    const std::string m = testing::fatal_text([&] { read_mhb_axis(r.s, c.table); });
    EXPECT_NE(m.find(c.text), std::string::npos) << m;
  }
}

}  // namespace
}  // namespace linac
