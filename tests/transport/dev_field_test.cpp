// dev_field.dat: the heading, one record per step end, the voltage of a
// Gaussian gap against its analytic integral, the running z and voltage of
// mode 1, and the three sampling methods with and without the superimposed
// field.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>

#include "table_fixture.hpp"
#include "transport/dev_field.hpp"
#include "transport/field_request.hpp"
#include "transport/table_fields.hpp"

namespace linac {
namespace {

using testing::TableRun;

// The numbers of a data record (exponent letter D).
std::vector<double> numbers(std::string rec) {
  std::replace(rec.begin(), rec.end(), 'D', 'E');
  std::vector<double> v{std::stod(rec.substr(0, 11))};
  for (std::size_t p = 11; p + 14 <= rec.size(); p += 14) v.push_back(std::stod(rec.substr(p, 14)));
  return v;
}

// An element of type itype, length L in nstep steps, over the table t; a
// dev_field request on line 9 with mode `mode` along (x0, y0).
struct DevFieldRun {
  TableRun run;
  DevFieldRun(int itype, double L, int nstep, std::shared_ptr<const Table3D> t, int mode, double x0 = 0.0,
              double y0 = 0.0) {
    Sim& s = *run;
    s.field_tables.field3d = std::move(t);
    s.elements.elem_int[9][kElemN] = mode;
    s.elements.elem_par[9][1] = x0;
    s.elements.elem_par[9][2] = y0;
    dev_field_request(s, 9);
    element(itype, L, nstep);
  }
  void element(int itype, double L, int nstep) {
    Sim& s = *run;
    s.state.itype = itype;
    s.state.table_kind = itype == 6 ? kKindEB : kKindE;
    s.ref.elem_len = L;
    s.ref.nstep = nstep;
    s.ref.step_len = L / nstep;
    s.ref.aperture_r = 3.0;
    s.ref.aper_x = s.ref.aper_y = 1000.0;
    s.ref.rf_amp = 0.37;
    s.ref.elem_phase = 1.1;
    s.ref.field1 = s.ref.field2 = 2.0;
  }
  std::vector<std::string> lines() {
    run->units.close_all();
    return testing::read_lines(run.path("dev_field.dat"));
  }
};

std::shared_ptr<const Table3D> gap_table() {
  return std::make_shared<const Table3D>(
      build_table3d(table_layout(2.0, 2.0, 10.0, {0, 0, 0}), kKindEB, analytic::gaussian_gap(1000.0, 1.0)));
}

TEST(DevField, HeadingAndTheVoltageOfAGaussianGap) {
  DevFieldRun r(6, 20.0, 100, gap_table(), 0);
  field_extraction_output(*r.run);
  EXPECT_EQ((*r.run).state.dev_field, 0);  // mode 0: the request is used up
  const auto l = r.lines();
  ASSERT_EQ(l.size(), 5u + 101u);
  EXPECT_EQ(l[0], std::string(42, ' ') + "  The field of \"cav  \"");
  EXPECT_EQ(l[1], std::string(20, ' ') + "is extracted along a straiht line { x= 0.000, y= 0.000, z=vary}");
  EXPECT_EQ(l[2], std::string(32, ' ') + "Units are x,y,z[cm], E[V/cm], B[G], U[V]");
  EXPECT_EQ(l[3], "");
  EXPECT_EQ(l[4], "       z          Ex            Ey            Ez            Bx            By            Bz  "
                  "           U");
  // U_end = integral of E0 exp(-z^2/2 sigma^2) = E0 sigma sqrt(2 pi) (the
  // tails beyond 10 sigma are nothing), whatever the cavity's amplitude and
  // phase: the RF table itself is sampled.
  const auto first = numbers(l[5]), last = numbers(l.back());
  EXPECT_EQ(l[5].size(), 11u + 7 * 14);
  EXPECT_EQ(first[0], 0.0);
  EXPECT_EQ(last[0], 20.0);
  EXPECT_EQ(first[7], 0.0);
  EXPECT_NEAR((*r.run).prmtr.dev_field_line.u_run, 1000.0 * std::sqrt(kTwoPi), 2506.628 * 1e-5);
  EXPECT_NEAR(last[7], 1000.0 * std::sqrt(kTwoPi), 0.05);  // as printed, 5 digits
  EXPECT_NEAR(numbers(l[55])[3], 1000.0, 1e-3);  // the middle of the gap
}

TEST(DevField, StepEndsAndTheRunningLineOfMode1) {
  DevFieldRun r(6, 20.0, 10, gap_table(), 1, 0.5, -0.25);
  Sim& s = *r.run;
  field_extraction_output(s);
  EXPECT_EQ(s.state.dev_field, 9);  // mode 1 goes on
  r.element(6, 20.0, 40);
  field_extraction_output(s);
  const auto l = r.lines();
  ASSERT_EQ(l.size(), 5u + 11u + 5u + 41u);
  EXPECT_EQ(l[1], std::string(20, ' ') + "is extracted along a straiht line { x= 0.500, y=-0.250, z=vary}");
  for (int k = 0; k <= 10; ++k) EXPECT_NEAR(numbers(l[5 + k])[0], 2.0 * k, 1e-12) << k;
  const auto end1 = numbers(l[15]);
  const auto start2 = numbers(l[21]);
  EXPECT_EQ(start2[0], end1[0]);  // z and U continue
  EXPECT_EQ(start2[7], end1[7]);
  EXPECT_NEAR(numbers(l.back())[0], 40.0, 1e-12);
  // The gap's Ez does not change off the axis: the second element, sampled
  // finely, adds E0 sigma sqrt(2 pi) to the running voltage.
  EXPECT_NEAR(s.prmtr.dev_field_line.u_run - end1[7], 1000.0 * std::sqrt(kTwoPi), 0.1);
  EXPECT_NEAR(s.prmtr.dev_field_line.z_run, 40.0, 1e-12);
}

TEST(DevField, SamplingMethodsAndTheSuperimposedField) {
  auto uniform = std::make_shared<const Table3D>(
      build_table3d(table_layout(2.0, 2.0, 10.0, {0, 0, 0}), kKindEB, analytic::uniform({0, 0, 1.0}, {0, 0, 0})));
  auto ebfld = std::make_shared<const Table3D>(
      build_table3d(table_layout(2.0, 2.0, 50.0, {0, 0, 0}), kKindEB, analytic::uniform({0, 0, 5.0}, {0, 0, 0})));
  struct Case {
    int itype;  // extrc: the full field (scaled by field2 = 2); uds: the raw table; cav: the raw RF table
    double Ez;
  } cases[] = {{21, 2.0 + 5.0}, {22, 1.0}, {6, 1.0}};
  for (const auto& c : cases) {
    DevFieldRun r(c.itype, 20.0, 10, uniform, 0);
    Sim& s = *r.run;
    s.field_tables.ebfld_table = ebfld;
    s.field_tables.ebfld_geom = EbfldGeom{1.0, 1.0, 100.0, 10.0, 0.0};
    s.config.iflag_ebfld = 1;
    s.current.scur = 3.0;  // held at 0 while sampling, restored after
    field_extraction_output(s);
    EXPECT_EQ(s.current.scur, 3.0);
    const auto l = r.lines();
    ASSERT_EQ(l.size(), 16u) << c.itype;
    EXPECT_NEAR(numbers(l[10])[3], c.Ez, 1e-9) << c.itype;
  }
  // The largest step count an element holds.
  DevFieldRun r(21, 20.0, 1040, uniform, 0);
  (*r.run).config.iflag_ebfld = 0;
  field_extraction_output(*r.run);
  const auto l = r.lines();
  ASSERT_EQ(l.size(), 5u + 1041u);
  EXPECT_NEAR((*r.run).prmtr.dev_field_line.u_run, 2.0 * 20.0, 1e-9);
}

// The numbers of a record of fields of the given width (exponent letter D).
std::vector<double> fields(std::string rec, std::size_t width) {
  std::replace(rec.begin(), rec.end(), 'D', 'E');
  std::vector<double> v;
  for (std::size_t p = 0; p + width <= rec.size(); p += width) v.push_back(std::stod(rec.substr(p, width)));
  return v;
}

// Half a unit of the last of `digits` significant digits of v: the largest
// rounding of v in a D or E field with that many digits (0.ddd...D+ee).
double half_digit(double v, int digits) {
  if (v == 0.0) return 0.0;
  return 0.5 * std::pow(10.0, std::floor(std::log10(std::abs(v))) + 1 - digits);
}

// A particle of Q/A qa in uniform E = (0, 0, Ez) V/cm and B = (0, 0, Bz) G,
// integrated here independently with z as the variable: u = gamma beta,
// du/dz = K qa (E/c + beta x B)/beta_z (E/c and B in T, K = e/(m_u c)),
// dx/dz = ux/uz, dy/dz = uy/uz, d(ct)/dz = gamma/uz; classical RK4 in 20000
// steps per 20 cm (local error of order (h/rho)^5, far below the 5 digits
// of eb.dat). Returns (x, y, beta_x, beta_y, beta_z, gamma, ct) at each z.
struct Track {
  double x, y, bx, by, bz, g, ct;
};
std::vector<Track> lorentz_track(double x, double y, double xp, double yp, double beta, double qa, double Ez,
                                 double Bz, const std::vector<double>& zs) {
  const double ec = Ez * 100.0 / 299792458.0, bt = Bz / 10000.0, k = 0.0032184034535 * qa;
  using S = std::array<double, 6>;  // x, y, ux, uy, uz, ct
  auto f = [&](const S& s) {
    const double g = std::sqrt(1.0 + s[2] * s[2] + s[3] * s[3] + s[4] * s[4]);
    const double bx = s[2] / g, by = s[3] / g, bz = s[4] / g;
    // beta x B with B along z: (by Bz, -bx Bz, 0).
    return S{s[2] / s[4], s[3] / s[4], k * by * bt / bz, -k * bx * bt / bz, k * ec / bz, g / s[4]};
  };
  const double bz0 = beta / std::sqrt(1.0 + xp * xp + yp * yp), g0 = 1.0 / std::sqrt(1.0 - beta * beta);
  S s{x, y, g0 * xp * bz0, g0 * yp * bz0, g0 * bz0, 0.0};
  std::vector<Track> out;
  double z = 0.0;
  const double hmax = 0.001;
  for (double zt : zs) {
    while (z < zt) {
      const double h = std::min(hmax, zt - z);
      const S k1 = f(s);
      S t;
      for (int c = 0; c < 6; ++c) t[c] = s[c] + 0.5 * h * k1[c];
      const S k2 = f(t);
      for (int c = 0; c < 6; ++c) t[c] = s[c] + 0.5 * h * k2[c];
      const S k3 = f(t);
      for (int c = 0; c < 6; ++c) t[c] = s[c] + h * k3[c];
      const S k4 = f(t);
      for (int c = 0; c < 6; ++c) s[c] += h / 6.0 * (k1[c] + 2 * k2[c] + 2 * k3[c] + k4[c]);
      z += h;
    }
    const double g = std::sqrt(1.0 + s[2] * s[2] + s[3] * s[3] + s[4] * s[4]);
    out.push_back({s[0], s[1], s[2] / g, s[3] / g, s[4] / g, g, s[5]});
  }
  return out;
}

// ref_int.dat against the energy gain of a uniform Ez, W = w0 + (Q/A) Ez
// z/1000 keV/u, gamma = 1 + W/amu; eb.dat against the independent track in
// the uniform fields: a helix whose pitch grows with the energy, a plain
// helix without Ez, a straight acceleration without Bz, and an Ez that
// turns the particle back before the end (the table stops where pz would
// vanish: W_z = Et0 - Mt is used up at z_t = (Et0 - Mt)/(|Ez|/1000), the
// keV/u per nucleon).
TEST(ReferenceChecks, EnergyGainAndTheMotionInUniformFields) {
  struct Case {
    double Ez, Bz;  // V/cm, G
  } const cases[] = {{50000.0, 20000.0}, {0.0, 20000.0}, {50000.0, 0.0}, {-90000.0, 20000.0}};
  const double L = 20.0, beta = 0.05, qa = 1.0, w2pi = 300.0 / kTwoPi;
  const double x0 = 0.3, y0 = -0.2, xp = 0.02, yp = -0.01, ph0 = 0.4;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Ez);
    TableRun run;
    Sim& s = *run;
    s.field_tables.field3d = std::make_shared<const Table3D>(build_table3d(
        table_layout(2.0, 2.0, 10.0, {0, 0, 0}), kKindEB, analytic::uniform({0, 0, c.Ez}, {0, 0, c.Bz})));
    s.state.itype = 21;  // extrc: E times field2, B times field1
    s.state.table_kind = kKindEB;
    s.ref.field1 = s.ref.field2 = 1.0;
    s.ref.elem_len = L;
    s.ref.nstep = 10;
    s.ref.step_len = L / 10;
    s.ref.aper_x = s.ref.aper_y = 1000.0;
    s.ref.amu_kev = kAmuKev;
    s.ref.QDESIGN = 1.0;
    s.ref.ADESIGN = 2.0;
    s.ref.w0 = 1200.0;
    s.ref.wavelength_2pi = w2pi;
    s.current.scur = 3.0;  // held at 0 while sampling, restored after
    s.state.ilost = 0;
    s.config.NQTOT = 1;
    s.config.NPAT[1] = 1;
    ParticleArrays& p = s.particles;
    p.x[1][1] = x0;
    p.y[1][1] = y0;
    p.xp[1][1] = xp;
    p.yp[1][1] = yp;
    p.beta[1][1] = beta;
    p.phase[1][1] = ph0;
    p.qa[1][1] = qa;
    p.status[1][1] = kLive;
    write_reference_checks(s, 1, 1);
    EXPECT_EQ(s.current.scur, 3.0);
    EXPECT_EQ(s.state.ilost, 0);

    const auto ref = testing::read_lines(run.path("ref_int.dat"));
    ASSERT_EQ(ref.size(), 11u);
    for (int k = 0; k <= 10; ++k) {
      const auto v = fields(ref[k], 15);
      const double W = 1200.0 + 0.5 * c.Ez * (2.0 * k) / 1000.0;
      EXPECT_NEAR(v[0], 2.0 * k, 1e-12);
      EXPECT_NEAR(v[1], W, half_digit(W, 7));  // D15.7: 7 significant digits
      EXPECT_NEAR(v[2], 1.0 + W / kAmuKev, half_digit(1.0 + W / kAmuKev, 7));
    }

    const double g0 = 1.0 / std::sqrt(1.0 - beta * beta), bz0 = beta / std::sqrt(1.0 + xp * xp + yp * yp);
    const double Mt = kAmuKev * std::sqrt(1.0 + g0 * g0 * bz0 * bz0 * (xp * xp + yp * yp));
    const double zt = c.Ez < 0.0 ? (g0 * kAmuKev - Mt) / (-qa * c.Ez / 1000.0) : 1e9;
    std::vector<double> zs;
    for (int j = 0; j <= 50 && 0.4 * j < zt; ++j) zs.push_back(0.4 * j);
    if (c.Ez < 0.0) {
      EXPECT_LT(zs.size(), 51u);  // turned back inside the element
    }
    const auto track = lorentz_track(x0, y0, xp, yp, beta, qa, c.Ez, c.Bz, zs);
    const auto eb = testing::read_lines(run.path("eb.dat"));
    ASSERT_EQ(eb.size(), zs.size());
    // D15.5: 5 significant digits; the track's own error is far below.
    auto near = [](double got, double want, double scale) {
      EXPECT_NEAR(got, want, 1.01 * half_digit(want, 5) + 1e-9 * scale);
    };
    for (std::size_t j = 0; j < zs.size(); ++j) {
      SCOPED_TRACE(j);
      const auto v = fields(eb[j], 15);
      ASSERT_EQ(v.size(), 14u);
      const Track& t = track[j];
      near(v[0], zs[j], 1.0);
      near(v[1], t.x, 1.0);
      near(v[2], t.y, 1.0);
      near(v[3], t.bx, 1e-3);
      near(v[4], t.by, 1e-3);
      near(v[5], t.bz, 1e-3);
      near(v[6], t.g, 1.0);
      near(v[7], ph0 + t.ct / w2pi, 1.0);
      EXPECT_EQ(v[8], 0.0);
      EXPECT_EQ(v[9], 0.0);
      near(v[10], c.Ez, 1.0);
      EXPECT_EQ(v[11], 0.0);
      EXPECT_EQ(v[12], 0.0);
      near(v[13], c.Bz, 1.0);
    }
    EXPECT_TRUE(run.exists("eb_velmo.dat"));
    EXPECT_TRUE(testing::read_lines(run.path("eb_velmo.dat")).empty());
  }
}

}  // namespace
}  // namespace linac
