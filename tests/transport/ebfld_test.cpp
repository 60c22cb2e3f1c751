// The ebfld command: a uniform By laid over two drifts bends the beam on a
// circle of the particle's rigidity, a drift past the region stays
// straight, the region's edges, the table name of a negative number, and
// the position repeating the reference energy and statistics before it.
#include <gtest/gtest.h>

#include <cmath>

#include "common/unit_numbers.hpp"
#include "control/dispatcher.hpp"
#include "table_fixture.hpp"
#include "transport/frame.hpp"
#include "transport/push_z.hpp"
#include "transport/table_fields.hpp"
#include "uniform_field.hpp"

namespace linac {
namespace {

using testing::TableRun;

constexpr double kBeta = 0.1;
constexpr double kBy = 1000.0;  // G

// Lines: 1 ebfld (table -7, region 20 cm, radius 3 cm), 2 and 3 drifts of
// 10 cm inside the region, 4 a drift of 5 cm starting at its end, 5 a drift
// of 10 cm past it.
struct EbfldRun {
  TableRun run;
  EbfldRun() {
    Sim& s = *run;
    set_remaining_defaults(s);
    s.units.open(kUnitLost, "lost.dat");
    s.config.IGRAPH = 0;
    s.ref.amu_kev = kAmuKev;
    s.ref.wavelength_2pi = 300.0 / kTwoPi;
    s.ref.QDESIGN = 1.0;
    s.ref.ADESIGN = 1.0;
    s.ref.w0 = (1.0 / std::sqrt(1.0 - kBeta * kBeta) - 1.0) * kAmuKev;
    s.history.ref_W_out[0] = s.ref.w0;
    s.config.iel_first = 1;
    s.state.ipass = 1;
    s.state.ipos = 0;
    reset_element_frame(s);
    write_table3d(s.units, "eh_EMS.#07", table_layout(4.0, 4.0, 10.0, {0, 0, 0}), kKindEB,
                  analytic::uniform({0, 0, 0}, {0, kBy, 0}));
    s.elements.elem_name[1] = "ebfld";
    s.elements.elem_int[1][kElemN] = -7;
    s.elements.elem_par[1][1] = 1.0;
    s.elements.elem_par[1][2] = 1.0;
    s.elements.elem_par[1][3] = 20.0;
    s.elements.elem_par[1][4] = 3.0;
    const double lengths[] = {0, 0, 10, 10, 5, 10};
    for (int n = 2; n <= 5; ++n) {
      s.elements.elem_name[n] = "drift";
      s.elements.elem_par[n][1] = lengths[n];
      s.elements.elem_int[n][11] = 20;
    }
    for (int n = 1; n <= 5; ++n) s.elements.elem_pos[n] = s.elements.elem_pos[n - 1] + lengths[n];
    // Four particles of Q/A = 1 entering parallel to the axis.
    s.config.NQTOT = 1;
    s.config.NPAT[1] = 3;
    s.config.QQ[1] = 1.0;
    s.config.AMASS[1] = 1.0;
    const double x0[] = {0.0, 0.1, 0.0, -0.2};
    const double y0[] = {0.0, 0.0, 0.1, 0.0};
    for (int i = 0; i <= 3; ++i) {
      ParticleArrays& p = s.particles;
      p.x[1][i] = x0[i];
      p.y[1][i] = y0[i];
      p.xp[1][i] = p.yp[1][i] = p.phase[1][i] = p.z[1][i] = 0.0;
      p.beta[1][i] = kBeta;
      p.qa[1][i] = 1.0;
      p.status[1][i] = kLive;
    }
  }
  void run_line(std::int32_t n) { dispatch_element(*run, n); }
};

TEST(Ebfld, UniformFieldBendsTheBeamOnItsCircle) {
  EbfldRun r;
  Sim& s = *r.run;
  r.run_line(1);
  EXPECT_EQ(s.config.iflag_ebfld, 1);
  EXPECT_EQ(s.field_tables.ebfld_geom.ebfld_z0, 0.0);
  r.run_line(2);
  r.run_line(3);
  // Circle of radius rho = beta gamma / (qa K By) in the x-z plane (the
  // force q v x B points to -x): after 20 cm, x' = -20/sqrt(rho^2 - 20^2),
  // x = x0 - (rho - sqrt(rho^2 - 20^2)).
  const double bg = kBeta / std::sqrt(1.0 - kBeta * kBeta);
  const double rho = bg / (kForceK * kBy * 1e-4);
  EXPECT_NEAR(rho, 312.2784, 1e-3);
  const double c = std::sqrt(rho * rho - 400.0);
  EXPECT_NEAR(-20.0 / c, -0.0641772, 1e-7);
  EXPECT_NEAR(rho - c, 0.641112, 1e-6);
  const double x0[] = {0.0, 0.1, 0.0, -0.2};
  for (int i = 0; i <= 3; ++i) {
    EXPECT_NEAR(s.particles.xp[1][i], -20.0 / c, 1e-9) << i;
    EXPECT_NEAR(s.particles.x[1][i], x0[i] - (rho - c), 1e-9) << i;
    EXPECT_NEAR(s.particles.yp[1][i], 0.0, 1e-15) << i;
  }
  // Past the region the beam runs straight.
  r.run_line(4);
  std::array<double, 4> xp, x;
  for (int i = 0; i <= 3; ++i) xp[i] = s.particles.xp[1][i], x[i] = s.particles.x[1][i];
  r.run_line(5);
  for (int i = 0; i <= 3; ++i) {
    EXPECT_EQ(s.particles.xp[1][i], xp[i]) << i;
    EXPECT_NEAR(s.particles.x[1][i], x[i] + 10.0 * xp[i], 1e-12) << i;
  }
}

TEST(Ebfld, PositionRepeatsThePreviousReferenceAndStatistics) {
  EbfldRun r;
  Sim& s = *r.run;
  const double w0 = s.ref.w0;
  s.stats.position_counts.n_live[0] = 4;
  s.stats.position_counts.n_lost[0] = 1;
  r.run_line(1);
  EXPECT_EQ(s.state.ipos, 1);
  EXPECT_EQ(s.history.ref_W_in[1], w0);
  EXPECT_EQ(s.history.ref_W_out[1], w0);
  EXPECT_EQ(s.history.ref_phase_out[1], 0.0);
  EXPECT_EQ(s.ref.w0, w0);
  EXPECT_EQ(s.stats.position_counts.n_live[1], 4);
  EXPECT_EQ(s.stats.position_counts.n_lost[1], 1);
  // The error-drawing pass only takes the position.
  EbfldRun d;
  (*d.run).state.idraw = 1;
  d.run_line(1);
  EXPECT_EQ((*d.run).state.ipos, 1);
  EXPECT_EQ((*d.run).config.iflag_ebfld, 0);
}

TEST(Ebfld, RegionEdgesAndFiles) {
  const Table3D t = build_table3d(table_layout(4.0, 4.0, 10.0, {0, 0, 0}), kKindEB,
                                  analytic::uniform({1, 2, 3}, {4, 5, 6}));
  EbfldGeom g;
  g.ebfld_len = 20.0;
  g.ebfld_radius = 3.0;
  struct Case {
    double x, y, zz;
    bool field;
  } cases[] = {{0.0, 2.99, 10.0, true}, {0.0, 3.0, 10.0, false}, {1.8, 2.4, 10.0, false},
               {0.0, 0.0, 0.0, true},   {0.0, 0.0, 20.0, true},  {0.0, 0.0, -1e-9, false},
               {0.0, 0.0, 20.000001, false}};
  for (const auto& c : cases) {
    Vec3 E, B;
    ebfld_field(t, g, c.x, c.y, c.zz, E, B);
    EXPECT_NEAR(B[2], c.field ? 6.0 : 0.0, 1e-13) << c.x << " " << c.y << " " << c.zz;
  }
  // A region longer than the table: no field beyond the table's z range.
  g.ebfld_len = 30.0;
  Vec3 E, B;
  ebfld_field(t, g, 0.0, 0.0, 4.0, E, B);
  EXPECT_EQ(E, (Vec3{0, 0, 0}));
  ebfld_field(t, g, 0.0, 0.0, 6.0, E, B);
  EXPECT_NEAR(E[0], 1.0, 1e-13);

  // A file of E only is refused at its first missing record; -7 names #07.
  TableRun run;
  write_table3d(run->units, "eh_EMS.#07", table_layout(4.0, 4.0, 10.0, {0, 0, 0}), kKindE,
                analytic::uniform({1, 0, 0}, {0, 0, 0}));
  const std::string msg = testing::fatal_text([&] { read_ebfld_table(*run, -7); });
  EXPECT_NE(msg.find("eh_EMS.#07 record 9"), std::string::npos) << msg;
  EXPECT_NE(testing::fatal_text([&] { read_ebfld_table(*run, -8); }).find("eh_EMS.#08"), std::string::npos);
  EXPECT_FALSE(run.exists("eh_EMS.#08"));
}

TEST(Ebfld, SwitchedOnWithoutATableStopsNamingTheElement) {
  TableRun run;
  Sim& s = *run;
  s.config.iflag_ebfld = 1;  // as a restored beam state brings it back
  s.state.itype = 1;
  s.state.ipos = 4;
  s.elements.elem_name[4] = "drift";
  Vec3 E, B;
  const std::string msg = testing::fatal_text([&] { field_at(s, 0.1, 0.0, 1.0, 0.0, E, B); });
  EXPECT_NE(msg.find("element 4 (drift)"), std::string::npos) << msg;
  EXPECT_NE(msg.find("no ebfld line"), std::string::npos) << msg;
}

}  // namespace
}  // namespace linac
