// The ecorr field: the table at the exchanged point scaled by kick_x plus
// the table at the point scaled by kick_y, B dropped, the aperture tested
// once at the particle's own (x, y); the strengths by particle status.
#include <gtest/gtest.h>

#include "spacecharge/sc_grid.hpp"
#include "transport/ecorr.hpp"
#include "transport/stepping.hpp"
#include "transport/transport_state.hpp"
#include "transport/table_writers.hpp"

namespace linac {
namespace {

TEST(Ecorr, ExchangedFieldMixAndAperture) {
  // E = (x, 2 y, 3 + x y) V/cm with some B that must not appear.
  const FieldFunction f = [](double x, double y, double, Vec3& E, Vec3& B) {
    E = {x, 2.0 * y, 3.0 + x * y};
    B = {5.0, 5.0, 5.0};
  };
  const Table3D table = build_table3d(table_layout(3.0, 3.0, 5.0, {0, 0, 0}), 2, f);
  EcorrSource s;
  s.table = &table;
  s.geom.L = 10.0;
  s.geom.kind = kKindEB;
  s.geom.aper_x = 0.5;  // rectangle 0.5 x 2 cm: (x, y) = (0.3, 1.5) inside, the
  s.geom.aper_y = 2.0;  // exchanged (1.5, 0.3) outside but still giving its field
  s.base_x = 0.7;
  s.base_y = 0.2;
  s.tag_x = 4;
  s.tag_y = 9;
  s.trial_x = 0.1;
  s.trial_y = -0.05;
  struct Case {
    std::int32_t status;
    double kx, ky;
  } cases[] = {{0, 0.7, 0.2}, {4, 0.8, 0.2}, {9, 0.7, 0.15}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    const EcorrSource p = source_for_status(s, c.status);
    EXPECT_NEAR(p.kick_x, c.kx, 1e-15);
    EXPECT_NEAR(p.kick_y, c.ky, 1e-15);
    Vec3 E, B;
    const double x = 0.3, y = 1.5, z = 4.0;
    EXPECT_TRUE(p.element_field(x, y, z, 0.0, E, B));
    // Ea = E(x, y), Eb = E(y, x); E = kx (Eb_y, Eb_x, Eb_z) + ky Ea.
    EXPECT_NEAR(E[0], c.kx * 2.0 * x + c.ky * x, 1e-12);
    EXPECT_NEAR(E[1], c.kx * y + c.ky * 2.0 * y, 1e-12);
    EXPECT_NEAR(E[2], (c.kx + c.ky) * (3.0 + x * y), 1e-12);
    EXPECT_EQ(B[0] + B[1] + B[2], 0.0);
    // The point itself outside: lost, whatever the exchanged point.
    EXPECT_FALSE(p.element_field(1.5, 0.3, z, 0.0, E, B));
  }
}

TEST(Ecorr, TaggedParticlesKeepTheTwoDimensionalBeamField) {
  // Particles pushed with their own corrector strength must still feel the
  // 2-D space-charge field the stepping loop attached to the element field.
  EcorrSource s;
  s.base_x = 0.7;
  s.base_y = 0.2;
  s.tag_x = 4;
  s.trial_x = 0.1;
  const ScGrid grid;
  const StepGeometry step{};
  FieldAt<EcorrSource> field{s};
  field.sc2d = {&grid, &step};
  for (const std::int32_t status : {0, 4}) {
    SCOPED_TRACE(status);
    const auto f = field_for_status(field, status);
    EXPECT_EQ(f.sc2d.grid, &grid);
    EXPECT_EQ(f.sc2d.step, &step);
    EXPECT_DOUBLE_EQ(f.source.kick_x, status == 4 ? 0.8 : 0.7);
  }
}

}  // namespace
}  // namespace linac
