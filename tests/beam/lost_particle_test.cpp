// lost.dat records: element-frame and lab coordinates through the entrance
// frame, velocities from the slopes and beta, and the record layout.
#include <gtest/gtest.h>

#include <cmath>

#include "beam/lost_coord.hpp"
#include "run/sim.hpp"
#include "control/velmo_main.hpp"
#include "platform/format.hpp"
#include "test_support.hpp"
#include "transport/frame.hpp"

namespace linac {
namespace {

// Parses the numbers of a record by the column widths of its layout.
std::vector<double> fields(const std::string& rec) {
  std::vector<double> v;
  std::size_t pos = 4 + 2 + 5;
  v.push_back(std::stod(rec.substr(pos, 6)));
  v.push_back(std::stod(rec.substr(pos + 6, 6)));
  pos += 12;
  while (pos + 12 <= rec.size()) {
    v.push_back(std::stod(rec.substr(pos, 12)));
    pos += 12;
  }
  return v;
}

// A run context with start values and lost.dat open in a scratch directory.
struct LostRun {
  testing::TempDir tmp;
  std::unique_ptr<Sim> sim = make_sim();
  LostRun() {
    set_start_values(*sim);
    sim->units.set_directory(tmp.path());
    sim->units.open(kUnitLost, "lost.dat");
  }
  Sim& operator*() { return *sim; }
  // The records of lost.dat after every unit is closed.
  std::vector<std::string> records() {
    sim->units.close_all();
    return testing::read_lines(tmp / "lost.dat");
  }
};

TEST(LostParticle, RecordInLabAndElementFrames) {
  LostRun run;
  Sim& s = *run;
  s.elements.elem_name[7] = "drift";
  s.config.QQ[2] = 3.0;
  s.config.AMASS[2] = 12.0;
  // Entrance frame of an element after a 90 degree turn of radius 40 cm.
  reset_element_frame(s);
  const double a = std::acos(-1.0) / 2.0;
  place_element(s, 40.0, 40.0, std::cos(a), std::sin(a));
  place_element(s, 0.0, 10.0, 1.0, 0.0);
  ParticleArrays& p = s.particles;
  p.x[2][9] = 0.5;
  p.y[2][9] = -0.25;
  p.z[2][9] = 3.0;
  p.xp[2][9] = 0.01;
  p.yp[2][9] = -0.02;
  p.beta[2][9] = 0.1;
  write_lost_particle(s, 7, 9, 2, 0);
  const auto lines = run.records();
  ASSERT_EQ(lines.size(), 1u);
  const std::string& rec = lines[0];
  EXPECT_EQ(rec.size(), 311u);
  EXPECT_EQ(rec.substr(0, 11), "   7  drift");
  const auto v = fields(rec);
  ASSERT_EQ(v.size(), 2u + 6u + 6u + 3u + 9u);
  EXPECT_EQ(v[0], 3.0);
  EXPECT_EQ(v[1], 12.0);
  // Local axes in the lab: x -> (0, 0, -1), y -> (0, 1, 0), z -> (1, 0, 0);
  // entrance origin (40, 0, 40). Lab point = origin + A^T (x, y, z).
  EXPECT_NEAR(v[2], 40.0 + 3.0, 1e-3);
  EXPECT_NEAR(v[3], -0.25, 1e-3);
  EXPECT_NEAR(v[4], 40.0 - 0.5, 1e-3);
  const double vz = 0.1 / std::sqrt(1.0 + 0.01 * 0.01 + 0.02 * 0.02);
  EXPECT_NEAR(v[5], vz, 1e-7);             // lab vx = local vz
  EXPECT_NEAR(v[6], -0.02 * vz, 1e-7);     // lab vy = local vy
  EXPECT_NEAR(v[7], -0.01 * vz, 1e-7);     // lab vz = -local vx
  EXPECT_NEAR(v[8], 0.5, 1e-3);
  EXPECT_NEAR(v[9], -0.25, 1e-3);
  EXPECT_NEAR(v[10], 3.0, 1e-3);
  EXPECT_NEAR(v[11], 0.01 * vz, 1e-7);
  EXPECT_NEAR(v[13], vz, 1e-7);
  EXPECT_NEAR(v[14], 40.0, 1e-3);
  EXPECT_NEAR(v[16], 40.0, 1e-3);
  const double axes[9] = {0, 0, -1, 0, 1, 0, 1, 0, 0};
  for (int k = 0; k < 9; ++k) EXPECT_NEAR(v[17 + k], axes[k], 1e-7) << k;
  // The layout is exactly the one of the record format.
  EXPECT_EQ(rec.substr(0, 23), format_records("(I4,TR2,A5,2F6.1,2(3F12.3,3F12.7),3F12.3,3(3F12.7))", {std::int32_t{7}, "drift", 3.0, 12.0}).front().substr(0, 23));
}

TEST(LostParticle, TimeModeTakesTheStoredVelocity) {
  LostRun run;
  Sim& s = *run;
  reset_element_frame(s);
  s.particles.betax[1][0] = 0.01;
  s.particles.betay[1][0] = 0.02;
  s.particles.betaz[1][0] = 0.09;
  s.particles.beta[1][0] = 0.5;  // not used in mode 1
  write_lost_particle(s, 1, 0, 1, 1);
  const auto v = fields(run.records().at(0));
  EXPECT_NEAR(v[11], 0.01, 1e-7);
  EXPECT_NEAR(v[12], 0.02, 1e-7);
  EXPECT_NEAR(v[13], 0.09, 1e-7);
}

}  // namespace
}  // namespace linac
