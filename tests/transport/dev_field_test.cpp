// dev_field.dat: the heading, one record per step end, the voltage of a
// Gaussian gap against its analytic integral, the running z and voltage of
// mode 1, and the three sampling methods with and without the superimposed
// field.
#include <gtest/gtest.h>

#include <algorithm>
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

}  // namespace
}  // namespace linac
