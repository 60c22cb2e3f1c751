// Enge fringe functions and the lens fields: derivatives against central
// differences, the default edge, the exponent limit, the area of the
// profile, Maxwell's equations of the expanded fields, and the per-step
// memo of the profile.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "run/sim.hpp"
#include "transport/enge.hpp"

namespace linac {
namespace {

TEST(Enge, DerivativesMatchCentralDifferences) {
  std::mt19937 gen(20261210);
  std::uniform_real_distribution<double> coef(-1.0, 1.0);
  std::uniform_real_distribution<double> where(-3.0, 3.0);
  const double gap = 4.0;
  const double d = 1e-3;  // cm
  for (int trial = 0; trial < 20; ++trial) {
    // c1 dominant so the edge falls off like the physical ones; the higher
    // coefficients bend it.
    const EngeSet c{0.5 * coef(gen), 4.0 + coef(gen), 0.5 * coef(gen), 0.3 * coef(gen),
                    0.1 * coef(gen), 0.05 * coef(gen)};
    const double s = where(gen) * gap;
    const EngeValues F = enge_function(gap, s, c);
    const EngeValues Fp = enge_function(gap, s + d, c);
    const EngeValues Fm = enge_function(gap, s - d, c);
    const EngeValues Fp2 = enge_function(gap, s + 2.0 * d, c);
    const EngeValues Fm2 = enge_function(gap, s - 2.0 * d, c);
    for (int k = 1; k <= 6; ++k) {
      // Five-point central difference: error d^4 F(k+4)/30 plus rounding
      // eps F(k-1)/d; compared with the size of the derivatives at this
      // order, gap^-k.
      const double num =
          (8.0 * (Fp[k - 1] - Fm[k - 1]) - (Fp2[k - 1] - Fm2[k - 1])) / (12.0 * d);
      const double size = std::max(std::abs(F[k]), std::pow(gap, -k) * 1e-2);
      EXPECT_NEAR(num, F[k], 1e-6 * size) << "trial " << trial << " k " << k << " s " << s;
    }
    EXPECT_EQ(F[7], 0.0);
  }
}

TEST(Enge, DefaultEdgeValuesAndLimits) {
  const double gap = 4.0;
  // F(0) = 1/(1 + exp(c0)) at s = 0, 1/(1 + exp(c0 + c1)) at s = gap.
  EXPECT_NEAR(enge_function(gap, 0.0, kEngeDefault)[0], 0.500010, 5e-7);
  EXPECT_NEAR(enge_function(gap, gap, kEngeDefault)[0], 0.010791, 5e-7);
  EXPECT_EQ(kEngeDefault[0], -3.9999998989515007e-05);
  EXPECT_EQ(kEngeDefault[1], 4.518218994140625);
  // Far outside and far inside: the exponent is limited, nothing overflows.
  for (double s : {-1000.0 * gap, 1000.0 * gap}) {
    const EngeValues F = enge_function(gap, s, kEngeDefault);
    for (double v : F) EXPECT_TRUE(std::isfinite(v)) << s;
    EXPECT_NEAR(F[0], s < 0 ? 1.0 : 0.0, 1e-30);
  }
}

// Area of the profile: each logistic edge adds -c0 gap/c1 to the hard-edge
// length, so the integral of G over z is eff_len - 2 c0 gap / c1.
TEST(Enge, ProfileAreaIsTheEffectiveLength) {
  EngeLens lens;
  lens.gap = 4.0;
  lens.eff_len = 10.0;
  const double expected =
      lens.eff_len - 2.0 * kEngeDefault[0] * lens.gap / kEngeDefault[1];
  EXPECT_NEAR(expected, 10.0000708, 1e-7);
  // Composite Simpson over +-80 cm (the tails fall as exp(-1.13 |s|/cm)),
  // h = 0.005 cm: error h^4 max|G''''|/180 below 1e-12.
  const int n = 32000;
  const double a = -80.0, h = 160.0 / n;
  double sum = enge_profile(lens, a)[0] + enge_profile(lens, a + n * h)[0];
  for (int i = 1; i < n; ++i) sum += (i % 2 ? 4.0 : 2.0) * enge_profile(lens, a + i * h)[0];
  EXPECT_NEAR(sum * h / 3.0, expected, 1e-9);
  // A long lens is hard-edged in its middle; a lens of no length has no field.
  lens.eff_len = 400.0;
  const Profile mid = enge_profile(lens, 0.0);
  EXPECT_NEAR(mid[0], 1.0, 1e-15);
  for (int k = 1; k <= 6; ++k) EXPECT_NEAR(mid[k], 0.0, 1e-15);
  lens.eff_len = 0.0;
  EXPECT_NEAR(enge_profile(lens, 0.0)[0], 2.0 * 0.500010 - 1.0, 1e-6);
}

// div and curl of the expanded fields by central differences (delta 1e-4
// cm) at r = 0.3 ap, through both fringes of a lens with the default edges,
// gap 4 cm, eff_len 10 cm, unit strengths. The identity an expansion keeps
// exactly holds to rounding; the other stays below its first dropped term.
TEST(Enge, LensFieldsSatisfyMaxwellToTheirOrder) {
  EngeLens lens;
  lens.gap = 4.0;
  lens.eff_len = 10.0;
  lens.length = 20.0;
  const double ap = 2.0;
  struct Lens {
    const char* what;
    double Gq, Gs, Gh;  // mult strengths (G/cm^n)
    bool electric;
    double div_max, curl_max;  // per cm
  } cases[] = {
      {"quadrupole", 1.0, 0.0, 0.0, false, 1e-8, 2e-5},
      {"sextupole", 0.0, 1.0, 0.0, false, 6e-4, 1e-8},
      {"octupole", 0.0, 0.0, 1.0, false, 1e-8, 2e-3},
      {"electric quadrupole", 1.0, 0.0, 0.0, true, 1e-8, 1.2e-2},
  };
  for (const Lens& c : cases) {
    SCOPED_TRACE(c.what);
    auto field = [&](double x, double y, double z) {
      Vec3 F{};
      const Profile g = enge_profile(lens, lens.zc(z));
      if (c.electric)
        equad_field(x, y, g, c.Gq, F);
      else
        mult_field(x, y, g, c.Gq, c.Gs, c.Gh, F);
      return F;
    };
    const double dlt = 1e-4;
    double div_worst = 0.0, curl_worst = 0.0;
    for (double z = 0.0; z <= 20.0; z += 0.25) {
      for (double th : {0.3, 1.1, 2.0, 4.0}) {
        const double x = 0.3 * ap * std::cos(th), y = 0.3 * ap * std::sin(th);
        Vec3 dx[2], dy[2], dz[2];
        for (int sgn = 0; sgn < 2; ++sgn) {
          const double e = sgn ? dlt : -dlt;
          dx[sgn] = field(x + e, y, z);
          dy[sgn] = field(x, y + e, z);
          dz[sgn] = field(x, y, z + e);
        }
        auto D = [&](const Vec3* v, int comp) { return (v[1][comp] - v[0][comp]) / (2 * dlt); };
        const double div = D(dx, 0) + D(dy, 1) + D(dz, 2);
        const double cx = D(dy, 2) - D(dz, 1);
        const double cy = D(dz, 0) - D(dx, 2);
        const double cz = D(dx, 1) - D(dy, 0);
        div_worst = std::max(div_worst, std::abs(div));
        curl_worst = std::max(curl_worst, std::sqrt(cx * cx + cy * cy + cz * cz));
      }
    }
    EXPECT_LT(div_worst, c.div_max);
    EXPECT_LT(curl_worst, c.curl_max);
  }
}

// A quadrupole lens of gap 4 cm, effective length 10 cm in a 34 cm element,
// gradient 5 G/cm, aperture radius 2 cm.
QuadSource test_quad() {
  QuadSource q;
  q.lens.gap = 4.0;
  q.lens.eff_len = 10.0;
  q.lens.length = 34.0;
  q.Gq = 5.0;
  q.ap = 2.0;
  return q;
}

// The memo of one step gives bit for bit the directly evaluated field at the
// stage positions and falls back to direct evaluation elsewhere.
TEST(Enge, StepMemoIsBitIdenticalToDirectEvaluation) {
  QuadSource q = test_quad();
  const QuadSource direct = q;
  const double z0 = 11.9, h = 0.85;
  q.prepare_step(z0, h);
  const double h2 = h / 2.0;
  for (double z : {z0, z0 + h2, (z0 + h2) + h2, z0 + h, z0 + 0.1}) {
    Vec3 E1{}, B1{}, E2{}, B2{};
    q.element_field(0.3, -0.7, z, 0.0, E1, B1);
    direct.element_field(0.3, -0.7, z, 0.0, E2, B2);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(B1[k], B2[k]) << z;
  }
  EXPECT_EQ(q.memo.count, 4);
}

// Four points at once give the quadrupole field of one point at a time, bit
// for bit: inside and outside the aperture (no field, not lost), on the
// memo's stage positions and off them, and no field for an inactive lane.
TEST(Enge, QuadLanesEqualOnePointAtATime) {
  QuadSource q = test_quad();
  q.prepare_step(11.9, 0.85);
  const double x[4] = {0.3, -1.9, 1.5, 0.02};
  const double y[4] = {-0.7, 0.4, 1.5, 0.01};  // lane 2 outside the aperture
  const double z[4] = {11.9, 12.325, 2.0, 12.75};
  const bool actives[2][4] = {{true, true, true, true}, {true, false, true, true}};
  for (const auto& active : actives) {
    double E[3][4], B[3][4];
    bool inside[4];
    q.element_field_lanes<4>(x, y, z, active, E, B, inside);
    for (int l = 0; l < 4; ++l) {
      Vec3 e{}, b{};
      const bool in = active[l] ? q.element_field(x[l], y[l], z[l], 0.0, e, b) : false;
      EXPECT_EQ(inside[l], in) << l;
      for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(E[k][l], e[k]) << l;
        EXPECT_EQ(B[k][l], b[k]) << l;
      }
    }
    EXPECT_EQ(B[0][2], 0.0);
    EXPECT_NE(B[0][0], 0.0);
  }
}

// field_at of the lens types: the lens formula with the element's scales,
// converted to tesla; outside the aperture quad and equad give no field and
// lose nothing, the multipoles lose the particle.
TEST(Enge, FieldAtLensTypes) {
  auto sim = make_sim();
  Sim& s = *sim;
  set_start_values(s);
  s.ref.aperture_r = 2.0;
  s.ref.drift_aper_y = 4.0;
  s.ref.eff_len = 10.0;
  s.ref.elem_len = 34.0;
  s.ref.field1 = 300.0;
  s.ref.field2 = 600.0;
  s.fieldmap.mult_coef = {0.0, 300.0, 50.0, 20.0, 7.0, 9.0};
  s.fieldmap.enge_coef[1] = kEngeDefault;
  s.fieldmap.enge_coef[2] = kEngeDefault;
  EngeLens lens;
  lens.gap = 4.0;
  lens.eff_len = 10.0;
  lens.length = 34.0;
  const double z = 13.0;
  const Profile g = enge_profile(lens, lens.zc(z));
  const double x = 0.4, y = -0.3;
  Vec3 quad{}, equad{}, mult{};
  quad_field(x, y, g, 300.0 / 2.0, quad);
  equad_field(x, y, g, 600.0 / 4.0, equad);
  mult_field(x, y, g, 300.0 / 2.0, 50.0 / 4.0, 20.0 / 8.0, mult);
  const double toT = 1e-4, Vc = 100.0 / 299792458.0;
  struct Case {
    int itype;
    Vec3 E, B;     // inside, SI-converted
    bool lost_out;  // outside the aperture
  } cases[] = {
      {4, {0, 0, 0}, {quad[0] * toT, quad[1] * toT, quad[2] * toT}, false},
      {17, {equad[0] * Vc, equad[1] * Vc, equad[2] * Vc}, {0, 0, 0}, false},
      {8, {0, 0, 0}, {mult[0] * toT, mult[1] * toT, mult[2] * toT}, true},
      {29, {0, 0, 0}, {mult[0] * toT, mult[1] * toT, mult[2] * toT}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.itype);
    s.state.itype = c.itype;
    s.state.ilost = 0;
    Vec3 E, B;
    field_at(s, x, y, z, 0.0, E, B);
    for (int k = 0; k < 3; ++k) {
      EXPECT_DOUBLE_EQ(E[k], c.E[k]);
      EXPECT_DOUBLE_EQ(B[k], c.B[k]);
      EXPECT_EQ(s.ref.last_B[k + 1], B[k]);
    }
    EXPECT_EQ(s.state.ilost, 0);
    field_at(s, 2.0, 0.0, z, 0.0, E, B);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(E[k] + B[k], 0.0);
    EXPECT_EQ(s.state.ilost, c.lost_out ? -1 : 0);
  }
}

}  // namespace
}  // namespace linac
