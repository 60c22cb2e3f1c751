// On-axis solenoid tables: effective lengths, the Fourier derivative
// columns against analytic derivatives, the paraxial field against the
// exact Bessel solution, the resampling of even counts, the listing, bad
// files, and the Larmor rotation of the design particle and of a beam
// particle in a smooth solenoid.
#include <gtest/gtest.h>

#include <cmath>

#include <fmt/format.h>

#include "common/unit_numbers.hpp"
#include "table_fixture.hpp"
#include "transport/field_tables.hpp"
#include "transport/push_z.hpp"
#include "transport/reference.hpp"
#include "transport/table_fields.hpp"
#include "transport/table_writers.hpp"

namespace linac {
namespace {

using testing::TableRun;

const AxisTable& load(TableRun& run, const std::vector<double>& samples, double L, int n = 1) {
  write_solenoid_table(run->units, fmt::format("solenoid.#{:02d}", n), samples);
  read_solenoid_table(*run, L, n);
  return *run->field_tables.axis_table;
}

TEST(SolenoidTable, ConstantFieldHasNoDerivativesAndFullLength) {
  TableRun run;
  const double L = 12.0;
  const AxisTable& t = load(run, std::vector<double>(5, 2.5), L);
  EXPECT_EQ(t.nbz, 5);
  EXPECT_EQ(t.Bmax, 2.5);
  EXPECT_NEAR(t.heff_B1, L, 1e-12);
  EXPECT_NEAR(t.heff_B2, L, 1e-12);
  for (int i = 0; i < t.nbz; ++i) {
    EXPECT_NEAR(t.col[0][i], 2.5, 1e-14);
    for (int d = 1; d < 5; ++d) EXPECT_NEAR(t.col[d][i], 0.0, 1e-12) << d;
  }
  // The field is the constant on the closed interval [0, L], zero beyond.
  for (double z : {0.0, 3.7, 11.99, 12.0}) {
    Vec3 B;
    EXPECT_EQ(sol_field(t, L, 1.0, 0.3, -0.2, z, B), TableHit::inside);
    EXPECT_NEAR(B[2], 2.5, 1e-13) << z;
    EXPECT_NEAR(B[0], 0.0, 1e-13) << z;
  }
  Vec3 B;
  EXPECT_EQ(sol_field(t, L, 1.0, 0.3, -0.2, 12.000001, B), TableHit::outside);
  EXPECT_EQ(B, (Vec3{0, 0, 0}));
  EXPECT_EQ(sol_field(t, L, 1.0, 0.6, -0.8, 5.0, B), TableHit::lost);
}

TEST(SolenoidTable, ColumnsAreTheDerivativesAndTheFieldTheBesselSolution) {
  TableRun run;
  const double L = 30.0, a0 = 0.4, a1 = 1.3;
  for (int nbz : {21, 61}) {
    const double P = nbz * L / (nbz - 1);
    const double w = kTwoPi / P;
    std::vector<double> s(static_cast<std::size_t>(nbz));
    for (int i = 0; i < nbz; ++i) s[i] = a0 + a1 * std::cos(w * i * L / (nbz - 1));
    const AxisTable& t = load(run, s, L);
    for (int i = 0; i < nbz; ++i) {
      const double z = i * L / (nbz - 1), c = std::cos(w * z), sn = std::sin(w * z);
      EXPECT_NEAR(t.col[0][i], a0 + a1 * c, 1e-12);
      EXPECT_NEAR(t.col[1][i], -a1 * w * sn, 1e-12);
      EXPECT_NEAR(t.col[2][i], -a1 * w * w * c, 1e-12);
      EXPECT_NEAR(t.col[3][i], a1 * w * w * w * sn, 1e-12);
      EXPECT_NEAR(t.col[4][i], a1 * w * w * w * w * c, 1e-12);
      // Exact field: Bz = a0 + a1 I0(wr) cos wz, Br = a1 I1(wr) sin wz; the
      // expansion drops (wr)^6/2304 and (wr)^5/384 (times a1).
      for (double r : {0.2, 1.0, 2.0}) {
        Vec3 B;
        sol_field(t, L, 10.0, r, 0.0, z, B);
        const double x = w * r;
        EXPECT_NEAR(B[2], a0 + a1 * std::cyl_bessel_i(0.0, x) * c, 2 * a1 * std::pow(x, 6) / 2304 + 1e-12);
        EXPECT_NEAR(B[0], a1 * std::cyl_bessel_i(1.0, x) * sn, 2 * a1 * std::pow(x, 5) / 384 + 1e-12);
        EXPECT_EQ(B[1], 0.0);
      }
    }
  }
}

TEST(SolenoidTable, EvenCountsAreResampledAndHighHarmonicsDropped) {
  TableRun run;
  run->units.open(137, "fort.137");
  const double L = 10.0;
  const AxisTable& t = load(run, {0.0, 1.0, 2.0, 3.0, 4.0, 5.0}, L);
  EXPECT_EQ(t.nbz, 7);
  // A straight line stays one under the spline: samples at z = i L/6.
  for (int i = 0; i < 7; ++i) EXPECT_NEAR(t.samples[i], 5.0 * i / 6.0, 1e-13);
  // A second load of the same file comes from the cache and writes the raw
  // samples again, as a read does.
  read_solenoid_table(*run, L, 1);
  EXPECT_EQ(run->field_tables.disk_reads, 1);
  run->units.close(137);
  const auto lines = testing::read_lines(run.path("fort.137"));
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[6], lines[0]);
  EXPECT_EQ(lines[0], "     0.00000    0.00000D+00");
  EXPECT_EQ(lines[5], "    10.00000    0.50000D+01");

  // 81 samples hold 40 harmonics; the columns use 29: harmonic 29 is kept,
  // harmonic 35 does not show in them.
  const int nbz = 81;
  const double P = nbz * 40.0 / (nbz - 1);
  for (int k : {29, 35}) {
    std::vector<double> s(nbz);
    for (int i = 0; i < nbz; ++i) s[i] = std::cos(kTwoPi * k * (i * 40.0 / (nbz - 1)) / P);
    const AxisTable& h = load(run, s, 40.0, 2);
    double worst = 0.0;
    for (int i = 0; i < nbz; ++i) worst = std::max(worst, std::abs(h.col[0][i] - (k == 29 ? s[i] : 0.0)));
    EXPECT_LT(worst, 1e-12) << k;
  }
}

// The series of a table made of known harmonics of the period P = nbz L/(nbz
// - 1) is that function itself, at the samples and between them, with
// every harmonic up to (nbz - 1)/2 = 40 (the derivative columns stop at
// 29): B(z) = 0.7 + sum A_k cos(w_k z) + S_k sin(w_k z), w_k = 2 pi k/P.
TEST(SolenoidTable, SeriesOfKnownHarmonicsIsTheirSumEverywhere) {
  TableRun run;
  const int nbz = 81;
  const double L = 40.0, P = nbz * L / (nbz - 1);
  struct Harmonic {
    int k;
    double A, S;
  } const hs[] = {{1, 1.3, -0.4}, {7, -0.25, 0.6}, {35, 0.2, 0.15}, {40, -0.05, 0.3}};
  auto exact = [&](double z) {
    double B = 0.7;
    for (const Harmonic& h : hs) {
      const double w = kTwoPi * h.k / P;
      B += h.A * std::cos(w * z) + h.S * std::sin(w * z);
    }
    return B;
  };
  std::vector<double> s(nbz);
  for (int i = 0; i < nbz; ++i) s[i] = exact(i * L / (nbz - 1));
  const AxisTable& t = load(run, s, L);
  const double h = L / (nbz - 1);
  for (int i = 0; i < nbz; ++i)
    for (double f : {0.0, 0.25, 0.5, 0.9}) {
      const double z = (i + f) * h;  // up to one step beyond L: the period P
      EXPECT_NEAR(solenoid_series_field(t, z), exact(z), 1e-12) << z;
    }
  // One period on, the same value.
  EXPECT_NEAR(solenoid_series_field(t, 3.3 + P), exact(3.3), 1e-12);
}

TEST(SolenoidTable, ListingInTheNominalPass) {
  TableRun run;
  run->units.open(kUnitLog, "log.dat");
  run->state.ipass = 1;
  run->state.dev_field = 3;
  load(run, {1.0, 2.0, 2.0, 2.0, 1.0}, 8.0, 4);
  run->units.close(kUnitLog);
  const auto lines = testing::read_lines(run.path("log.dat"));
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_EQ(lines[0], "                     *solenoid.#04* ");
  // The not-a-knot spline through the symmetric samples is one cubic per
  // half, 2 + t^2/16 + t^3/32 with t = z - 4 (z <= 4): its integral over
  // [0, 8] is 44/3, so heff_B1 = 44/3 / 2; the squares give 4 + 3t^2/16 +
  // 3t^3/32, integral 28, heff_B2 = 28/4.
  EXPECT_EQ(lines[1], "            heff_B1=    7.333333 cm     ");
  EXPECT_EQ(lines[2], "            heff_B2=    7.000000 cm     ");
  EXPECT_EQ(lines[3], "               Bmax=    2.000000 rel. u.");
  EXPECT_EQ(lines[4], "");
  EXPECT_EQ(lines[5], "   z, cm                 B             B'            B''           B'''          B''''");
  // z and the field at the samples (the first column of the series equals
  // the samples); the derivative columns in D15.5.
  EXPECT_EQ(lines[6].substr(0, 26), "    0.00000    0.10000D+01");
  EXPECT_EQ(lines[10].substr(0, 26), "    8.00000    0.10000D+01");
  EXPECT_EQ(lines[8].size(), 11u + 5 * 15);
  // Outside the nominal pass nothing is listed.
  TableRun quiet;
  quiet->units.open(kUnitLog, "log.dat");
  quiet->state.ipass = 2;
  quiet->state.dev_field = 3;
  load(quiet, {1.0, 2.0, 2.0, 2.0, 1.0}, 8.0, 4);
  quiet->units.close(kUnitLog);
  EXPECT_TRUE(testing::read_lines(quiet.path("log.dat")).empty());
}

TEST(SolenoidTable, BadFilesStop) {
  struct Case {
    const char* what;
    std::string text;
    std::vector<std::string> lines;  // expected message lines (prefixes)
  } cases[] = {
      {"one sample", " 1\n 2.0\n", {" input error in solenoid.#05: nbz = 1"}},
      {"above capacity", " 801\n", {"nbz=  801", " check solenoid.#05", " number of the data point nbz > NSTmax=800"}},
      {"too few samples", " 5\n 1 2 3\n", {" input error in solenoid.#05"}},
      {"a sample more than nbz", " 3\n 1 2 3\n 4\n",
       {" input error in solenoid.#05 line 3: a number 4 after the nbz = 3 samples"}},
      {"a sample of 1e300", " 3\n 1 1e300 3\n", {" input error in solenoid.#05 line 2: sample 2 of the field is 1e+300"}},
  };
  for (const auto& c : cases) {
    TableRun run;
    testing::write_file(run.path("solenoid.#05"), c.text);
    std::vector<std::string> got;
    try {
      read_solenoid_table(*run, 10.0, 5);
    } catch (const FatalStop& s) {
      got = s.lines();
    }
    ASSERT_GE(got.size(), c.lines.size()) << c.what;
    for (std::size_t i = 0; i < c.lines.size(); ++i)
      EXPECT_EQ(got[i].substr(0, c.lines[i].size()), c.lines[i]) << c.what;
    EXPECT_FALSE(run->field_tables.axis_table) << c.what;
  }
  // 800 samples are held; an even 800 becomes 801 after resampling.
  TableRun run;
  std::vector<double> s(800, 1.0);
  EXPECT_EQ(load(run, s, 50.0).nbz, 801);
}

// B0 sin^2(pi z/L), L = 40 cm, 81 samples, field1 = 10000 G; design particle
// Q/A = 0.5 at beta = 0.1 in 200 steps.
struct LarmorCase {
  TableRun run;
  const double L = 40.0, field1 = 10000.0, beta = 0.1;
  LarmorCase() {
    Sim& s = *run;
    std::vector<double> samples(81);
    for (int i = 0; i < 81; ++i) samples[i] = analytic::smooth_solenoid_axis(1.0, L, i * L / 80);
    write_solenoid_table(s.units, "solenoid.#01", samples);
    read_solenoid_table(s, L, 1);
    s.ref.amu_kev = kAmuKev;
    s.ref.QDESIGN = 1.0;
    s.ref.ADESIGN = 2.0;
    s.ref.wavelength_2pi = 300.0 / kTwoPi;
    s.ref.elem_len = L;
    s.ref.field1 = field1;
    s.ref.aperture_r = 5.0;
    s.ref.nstep = 200;
    s.ref.step_len = L / 200;
    s.state.itype = 2;
    s.state.ipos = 3;
    s.state.ipass = 1;
    s.history.ref_W_in[3] = (1.0 / std::sqrt(1.0 - beta * beta) - 1.0) * kAmuKev;
    ref_path_straight(s, L);
  }
};

TEST(SolenoidTable, LarmorAngleOfTheDesignParticle) {
  LarmorCase c;
  Sim& s = *c.run;
  ref_particle_element(s);
  // Rigidity B rho = beta gamma m_u c / (e Q/A), in G cm.
  const double bg = c.beta / std::sqrt(1.0 - c.beta * c.beta);
  const double brho = bg * kAmuEv / 299792458.0 / 0.5 * 1e6;
  EXPECT_NEAR(brho, 624556.74, 5.0);
  EXPECT_NEAR(s.ref.eff_len, 20.0, 20.0 * 1e-5);
  EXPECT_NEAR(s.history.larmor_angle[3], c.field1 * 20.0 / (2 * brho), 0.160114 * 1e-5);
  EXPECT_NEAR(s.history.larmor_angle[3], 0.160114, 0.160114 * 1e-5);
  // Entrance values restored for the beam.
  EXPECT_NEAR(s.ref.beta_s, c.beta, 1e-15);
  // No field: no effective length instead of 0/0.
  s.ref.field1 = 0.0;
  ref_particle_element(s);
  EXPECT_EQ(s.ref.eff_len, 0.0);
  EXPECT_EQ(s.history.larmor_angle[3], 0.0);
}

TEST(SolenoidTable, BeamParticleTurnsByTheLarmorAngle) {
  LarmorCase c;
  Sim& s = *c.run;
  const FieldAt<SolenoidSource> field{solenoid_source(s)};
  double x = 0.5, xp = 0.0, y = 0.0, yp = 0.0, ph = 0.0, beta = c.beta, z = 0.0, qa = 0.5;
  const SlotView v{&x, &xp, &y, &yp, &ph, &beta, &z, &qa};
  double worst_inside = 0.0;
  for (int k = 0; k < 200; ++k) {
    ASSERT_FALSE(push_slot_z(field, v, 0, c.L / 200, s.ref.wavelength_2pi));
    // Inside, the mechanical angular momentum balances the field's part:
    // x y' - y x' = -(qa K B / (2 beta gamma)) r^2.
    worst_inside = std::max(worst_inside, std::abs(x * yp - y * xp));
  }
  EXPECT_NEAR(z, c.L, 1e-12);
  EXPECT_NEAR(std::atan2(y, x), -0.160114, 1e-4);
  EXPECT_LT(std::abs(x * yp - y * xp), 1e-6);
  EXPECT_LT(worst_inside, 2e-3);
  EXPECT_GT(worst_inside, 1e-4);
}

}  // namespace
}  // namespace linac
