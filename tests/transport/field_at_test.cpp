// The field at a point: unit conversion, the on-axis shift, the drift
// apertures, the loss flag, and the types whose field does not exist yet.
#include <gtest/gtest.h>

#include "run/sim.hpp"
#include "platform/fatal.hpp"
#include "transport/field_at.hpp"
#include "uniform_field.hpp"

namespace linac {
namespace {

using testing::UniformField;

TEST(FieldAt, ConvertsVoltPerCmAndGaussToTesla) {
  UniformField u;
  u.E = {1.0, -2.0, 0.5};
  u.B = {1.0, 0.0, -3.0};
  const FieldAt<UniformField> f{u};
  Vec3 E, B;
  EXPECT_TRUE(f(0.3, 0.2, 1.0, 0.0, E, B));
  // 1 V/cm = 100 V/m; divided by c gives tesla.
  EXPECT_DOUBLE_EQ(E[0], 100.0 / 299792458.0);
  EXPECT_NEAR(E[0], 3.33564095e-7, 1e-15);
  EXPECT_DOUBLE_EQ(E[1], -2.0 * 100.0 / 299792458.0);
  EXPECT_DOUBLE_EQ(B[0], 1e-4);
  EXPECT_DOUBLE_EQ(B[2], -3e-4);
}

// Records the point a source is asked for.
struct Recorder {
  mutable double xl = 0, yl = 0, z = 0, t = 0;
  bool element_field(double x, double y, double zz, double tt, Vec3&, Vec3&) const {
    xl = x;
    yl = y;
    z = zz;
    t = tt;
    return true;
  }
};

TEST(FieldAt, PointsOnTheAxisAreMovedOffIt) {
  struct Case {
    double x, y, xl, yl;
  } cases[] = {{0.0, 0.0, 1e-6, 0.0}, {5e-7, -5e-7, 1e-6, 0.0}, {1e-6, 0.0, 1e-6, 0.0},
               {0.0, 2e-6, 0.0, 2e-6}};
  for (const auto& c : cases) {
    const FieldAt<Recorder> f{};
    Vec3 E, B;
    f(c.x, c.y, 7.0, 1.5, E, B);
    EXPECT_EQ(f.source.xl, c.xl);
    EXPECT_EQ(f.source.yl, c.yl);
    EXPECT_EQ(f.source.z, 7.0);
    EXPECT_EQ(f.source.t, 1.5);
  }
}

TEST(FieldAt, DriftApertureShapes) {
  struct Case {
    const char* what;
    double a, b, x, y;
    bool inside;
  } cases[] = {
      {"ellipse inside", 1.0, -0.5, 0.7, 0.3, true},
      {"ellipse outside", 1.0, -0.5, 0.7, 0.4, false},
      {"ellipse boundary is lost", 1.0, -0.5, 0.6, 0.4, false},
      {"ellipse corner of the box", 1.0, -1.0, 0.8, 0.8, false},
      {"rectangle corner inside", 1.0, 0.5, 0.99, 0.49, true},
      {"rectangle edge is lost", 1.0, 0.5, 1.0, 0.0, false},
      {"rectangle y edge", 1.0, 0.5, 0.0, -0.5, false},
      {"no aperture", 0.0, 0.0, 1e3, -1e3, true},
      {"no aperture whatever a", 0.5, 0.0, 1e3, 0.0, true},
  };
  for (const auto& c : cases) {
    const FieldAt<DriftAperture> f{{c.a, c.b}};
    Vec3 E, B;
    EXPECT_EQ(f(c.x, c.y, 0.0, 0.0, E, B), c.inside) << c.what;
    EXPECT_EQ(E, (Vec3{0, 0, 0}));
    EXPECT_EQ(B, (Vec3{0, 0, 0}));
  }
}

TEST(FieldAt, RunContextSetsTheLossFlagAndNeverClearsIt) {
  auto sim = make_sim();
  set_start_values(*sim);
  sim->state.itype = 1;
  sim->ref.drift_aper_x = 1.0;
  sim->ref.drift_aper_y = 1.0;
  Vec3 E, B;
  sim->state.ilost = 0;
  field_at(*sim, 0.5, 0.0, 0.0, 0.0, E, B);
  EXPECT_EQ(sim->state.ilost, 0);
  field_at(*sim, 1.5, 0.0, 0.0, 0.0, E, B);
  EXPECT_EQ(sim->state.ilost, -1);
  field_at(*sim, 0.5, 0.0, 0.0, 0.0, E, B);
  EXPECT_EQ(sim->state.ilost, -1);
  // Types without a field: zero, no test, ilost untouched.
  for (int t : {0, 7, 12, 13, 23, 24, 26, 33, 40}) {
    sim->state.itype = t;
    sim->state.ilost = 0;
    sim->ref.last_E = {9, 9, 9, 9};
    field_at(*sim, 1e4, 1e4, 0.0, 0.0, E, B);
    EXPECT_EQ(sim->state.ilost, 0) << t;
    EXPECT_EQ(sim->ref.last_E[1], 0.0) << t;
    EXPECT_EQ(sim->ref.last_E[3], 0.0) << t;
  }
}

TEST(FieldAt, FieldsNotBuiltYetStopTheRun) {
  auto sim = make_sim();
  set_start_values(*sim);
  sim->elements.elem_name[3] = "rfq";
  sim->state.ipos = 3;
  Vec3 E, B;
  // The table types stop as well while no table is loaded.
  for (int t : {2, 5, 6, 9, 10, 11, 15, 16, 18, 21, 22, 25, 28, 30, 31, 32}) {
    sim->state.itype = t;
    EXPECT_THROW(field_at(*sim, 0.1, 0.1, 0.0, 0.0, E, B), FatalStop) << t;
  }
  try {
    sim->state.itype = 9;
    field_at(*sim, 0.1, 0.1, 0.0, 0.0, E, B);
  } catch (const FatalStop& stop) {
    EXPECT_NE(stop.lines().front().find("element 3 (rfq)"), std::string::npos);
    EXPECT_NE(stop.lines().front().find("no RFQ cell is being run"), std::string::npos);
  }
  // Superimposed field; the 2-D space-charge field is added from the last
  // solved grid (none here: no field).
  sim->state.itype = 1;
  sim->config.iflag_ebfld = 1;
  EXPECT_THROW(field_at(*sim, 0.1, 0.1, 0.0, 0.0, E, B), FatalStop);
  sim->config.iflag_ebfld = 0;
  sim->config.IFLAG2D = 1;
  sim->current.scur = 0.5e-6;  // below the threshold: nothing is added
  EXPECT_NO_THROW(field_at(*sim, 0.1, 0.1, 0.0, 0.0, E, B));
  sim->current.scur = 1e-6;
  EXPECT_NO_THROW(field_at(*sim, 0.1, 0.1, 0.0, 0.0, E, B));
  EXPECT_EQ(E, (Vec3{0.0, 0.0, 0.0}));
}

}  // namespace
}  // namespace linac
