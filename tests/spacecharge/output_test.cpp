// Mesh check and the space-charge output files: the class table, reports
// only on a change, and the record layouts of sc_warning.dat, denSC.dat,
// uSC.dat and the field lines on a 17^3 grid.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "sc_fixture.hpp"
#include "spacecharge/sc_output.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

using testing::ScSetup;

std::string rtrim(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

TEST(ScMesh, ClassTable) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    double rx, ry, rz;
    int cls;
  } cases[] = {
      {0.5, 0.5, 0.5, 0},    {0.5, 0.3, 0.24, 1},  {0.51, 0.1, 0.1, -1}, {0.1, 0.51, 0.1, -1},
      {0.1, 0.1, 0.51, -1},  {0.25, 0.25, 0.25, 0}, {nan, 0.3, 0.3, -1},  {0.3, 0.3, nan, -1},
      {0.3, 0.2, -1.0, 1},   {0.3, 0.3, -1.0, 0},   // 2-D: no z ratio
  };
  for (const Case& c : cases) EXPECT_EQ(sc_mesh_class(c.rx, c.ry, c.rz), c.cls) << c.rx << " " << c.ry << " " << c.rz;
}

// A 17^3 box with half sizes 1.6 cm (mesh steps 0.2 cm) in element line 3
// ("drift") at z = 12.5 cm, writing into a scratch directory.
struct OutputSetup : ScSetup {
  ::linac::testing::TempDir dir;
  explicit OutputSetup(bool model_2d = false) : ScSetup(17, 17, 17, 1.6, 1.6, 1.5, 0.0, model_2d) {
    Sim& s = *sim;
    s.units.set_directory(dir.path());
    s.elements.elem_name[3] = "drift";
    s.state.ipos = 3;
    s.state.itype = 1;
    s.config.IFLAG2D = model_2d ? 1 : 0;
    s.sc.sc_charge = 1.5e-10;
    s.sc.zlhSC = 1000.0;
    ScGrid& g = s.sc_grid;
    g.sc_z_step = 12.5;
    g.sc_rms_x = 0.5;  // ratio 0.4
    g.sc_rms_y = 0.8;  // ratio 0.25
    g.sc_hz = 0.3;     // rest frame; 0.2 in the lab
    g.sc_rms_z = 1.5;  // ratio 0.2
  }
  std::vector<std::string> file(const char* name) {
    sim->units.flush_all();
    return ::linac::testing::read_lines(dir.path() / name);
  }
};

TEST(ScMesh, ReportsOnlyWhenTheClassChanges) {
  OutputSetup s;
  Sim& sim = *s;
  ScGrid& g = s.grid();
  const double rms[] = {0.5, 0.3, 0.3, 0.6, 1.0};  // x sizes: normal, coarse, coarse, normal, fine
  g.sc_rms_y = 0.5;
  g.sc_rms_z = 1.0;
  std::vector<int> classes;
  for (double r : rms) {
    g.sc_rms_x = r;
    sc_mesh_check(sim);
    classes.push_back(g.sc_mesh_state);
  }
  EXPECT_EQ(classes, (std::vector<int>{0, -1, -1, 0, 1}));
  EXPECT_EQ(g.sc_coarse_seen, -1);
  // The plot panel shows the steps and sizes of the last check and the
  // coarse mark of any earlier one.
  EXPECT_EQ(sim.sc_mesh.hx / sim.sc_mesh.sx, g.sc_hx / 1.0);
  EXPECT_EQ(sim.sc_mesh.sz, g.sc_rms_z);
  EXPECT_EQ(sim.sc_mesh.coarse_flag, -1);
  std::vector<std::string> marks;
  for (const std::string& l : s.file("sc_warning.dat"))
    if (l.find("mesh") != std::string::npos) marks.push_back(l);
  EXPECT_EQ(marks, (std::vector<std::string>{"  WARNING --> coarse mesh", "  Normal mesh", "  WARNING --> fine   mesh"}));
}

TEST(ScMesh, WarningFileLayouts) {
  const std::string blank20(20, ' ');
  const std::string head1 = blank20 + "      " + " SPACE CHARGE GRID";
  const std::string title = "          *drift*      z=      12.50 cm";
  const std::string hx = "     Hx=    0.2000 cm     rmsX=    0.5000 cm    Hx/rmsX=    0.4000";
  const std::string hy = "     Hy=    0.2000 cm     rmsY=    0.8000 cm    Hy/rmsY=    0.2500";
  {
    OutputSetup s;
    Sim& sim = *s;
    s.grid().sc_mesh_state = 1;
    sc_mesh_report(sim);
    const auto lines = s.file("sc_warning.dat");
    const std::vector<std::string> want = {
        head1,
        title,
        "     Grid warning output",
        "  WARNING --> fine   mesh",
        "  NXgrd= 17    NYgrd= 17    NZgrd= 17",
        " charge= 0.1500D-09  C",
        "  gamSC= 0.1500D+01",
        "  betSC= 0.7454D+00",
        "  zlhSC=  1000.0000",
        hx,
        hy,
        "     Hz=    0.2000 cm     rmsZ=    1.0000 cm    Hz/rmsZ=    0.2000  in lab SC",
        "     Hz=    0.3000 cm     rmsZ=    1.5000 cm    Hz/rmsZ=    0.2000  in beam rest SC"};
    ASSERT_EQ(lines.size(), want.size());
    EXPECT_EQ(lines[1].size(), 72u);
    for (std::size_t k = 0; k < want.size(); ++k) EXPECT_EQ(rtrim(lines[k]), want[k]) << k;
  }
  {
    OutputSetup s(true);
    Sim& sim = *s;
    sim.state.outSC = 4;  // a pending request names the output kind
    s.grid().sc_mesh_state = 0;
    sc_mesh_report(sim);
    const auto lines = s.file("sc_warning.dat");
    const std::vector<std::string> want = {head1,
                                           title,
                                           "     Field extraction output",
                                           "  Normal mesh",
                                           "  NXgrd= 17    NYgrd= 17",
                                           " charge= 0.1500D-09  C",
                                           hx,
                                           hy};
    ASSERT_EQ(lines.size(), want.size());
    for (std::size_t k = 0; k < want.size(); ++k) EXPECT_EQ(rtrim(lines[k]), want[k]) << k;
  }
  {
    // Inside an RFQ the heading names the cell.
    OutputSetup s;
    Sim& sim = *s;
    sim.state.itype = 9;
    sim.rfq.rfq_cur = 7;
    sc_mesh_report(sim);
    EXPECT_EQ(rtrim(s.file("sc_warning.dat").at(1)), "          *RFQcell#   7*      z=      12.50 cm");
  }
}

double number(const std::string& s) {
  std::string t = s;
  for (char& c : t)
    if (c == 'D') c = 'E';
  return std::stod(t);
}

TEST(ScOutput, RequestCountsDownThroughItsFiles) {
  // Mode 3 (3-D): denSC.dat first (before the solve), then uSC.dat and the
  // three field lines of 301 points from face to face.
  OutputSetup s;
  Sim& sim = *s;
  const int n = 4;
  sim.state.outSC = n;
  OutScRequest& req = sim.prmtr.outsc;
  req.step = 1;
  req.mode = 3;
  req.files_pending = 1;
  req.cross_x = 0.1;
  req.cross_y = -0.2;
  req.cross_z = 0.3;
  ScGrid& g = s.grid();
  g.sc_grid3d[s.node(3, 4, 5)] = 2.5;
  sc_output(sim);
  EXPECT_EQ(req.mode, 2);
  EXPECT_FALSE(std::filesystem::exists(s.dir.path() / "uSC.dat"));
  sc_output(sim);
  EXPECT_EQ(req.mode, 1);
  EXPECT_EQ(req.files_pending, 0);
  const auto den = s.file("denSC.dat");
  ASSERT_EQ(den.size(), 5u + 17 * 17 * 17);
  EXPECT_EQ(den[0], " NXgrd= 17 NYgrd= 17 NZgrd= 17");
  EXPECT_EQ(den[4], "   Ix   Jy   Kz  rho/eps0,V/cm^2");
  EXPECT_EQ(den[5], "    1    1    1    0.0000000D+00");
  EXPECT_EQ(den[6], "    1    1    2    0.0000000D+00");  // z fastest
  // Node (3, 4, 5) from 0 is record 5 + ((3 * 17) + 4) * 17 + 5.
  EXPECT_EQ(den[5 + (3 * 17 + 4) * 17 + 5], "    4    5    6    0.2500000D+01");
  const auto u = s.file("uSC.dat");
  ASSERT_EQ(u.size(), 1u + 17 * 17 * 17);
  EXPECT_EQ(u[0], "   Ix   Jy   Kz      potential,V");
  for (const char* f : {"ExSC.dat", "EySC.dat", "EzSC.dat"}) {
    const auto lines = s.file(f);
    ASSERT_EQ(lines.size(), 2u + 301) << f;
    EXPECT_EQ(lines[0].size(), 72u);
    EXPECT_EQ(rtrim(lines[0]), " drift  at Z=       12.50cm");
    const double half = f[1] == 'z' ? g.sc_half_z : 1.6;
    std::istringstream first(lines[2]), last(lines.back());
    std::string a, b;
    first >> a;
    last >> b;
    EXPECT_NEAR(number(a), -half, 1e-5 * half) << f;
    EXPECT_NEAR(number(b), half, 1e-5 * half) << f;
  }
  EXPECT_EQ(rtrim(s.file("ExSC.dat")[1]), "           x,cm        Ex,V/cm        Ey,V/cm        Ez,V/cm");
  // Mode 1 again appends field lines only.
  sc_output(sim);
  EXPECT_EQ(s.file("ExSC.dat").size(), 2u * 303);
}

TEST(ScOutput, TwoDimensionalRequestAndModesOfTheOtherModel) {
  OutputSetup s(true);
  Sim& sim = *s;
  const int n = 2;
  sim.state.outSC = n;
  OutScRequest& req = sim.prmtr.outsc;
  req.mode = -1;
  req.files_pending = 1;
  sc_output(sim);
  EXPECT_EQ(req.mode, 0);
  sc_output(sim);
  EXPECT_EQ(req.mode, 1);
  const auto den = s.file("denSC.dat");
  ASSERT_EQ(den.size(), 5u + 17 * 17);
  EXPECT_EQ(den[0], " NXgrd= 17 NYgrd= 17");
  EXPECT_EQ(den[4], "   Ix   Jy  rho/eps0,V/cm^2");
  EXPECT_EQ(den[6], "    1    2    0.0000000D+00");  // y fastest
  EXPECT_EQ(s.file("uSC.dat").size(), 1u + 17 * 17);
  EXPECT_EQ(s.file("ExSC.dat").size(), 2u + 301);
  EXPECT_FALSE(std::filesystem::exists(s.dir.path() / "EzSC.dat"));
  // A 2-D mode asked of the 3-D model writes nothing and keeps its mode.
  OutputSetup t;
  Sim& sim3 = *t;
  sim3.state.outSC = n;
  sim3.prmtr.outsc.mode = -1;
  sc_output(sim3);
  EXPECT_EQ(sim3.prmtr.outsc.mode, -1);
  EXPECT_FALSE(std::filesystem::exists(t.dir.path() / "denSC.dat"));
}

}  // namespace
}  // namespace linac
