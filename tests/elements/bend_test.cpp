// Bending magnet: field, geometry set-up, reference path and particle push.
//
// Reference magnet: proton (Q/A = 1) at 1 MeV/u, R = 100 cm, 90 deg, straight
// parts Ls = 10 cm (L = 2 Ls + a R), gap 2 cm, width 10 cm, straight edges at
// right angles, 100 steps, the default Enge sets.
#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <string>
#include <vector>

#include "elements/bend.hpp"
#include "transport/element_run.hpp"
#include "transport/enge.hpp"

namespace linac::testing {
namespace {

constexpr double kR = 100.0;
constexpr double kLs = 10.0;

double arc_len(double deg, double R = kR) { return std::abs(deg) * kDegToRad * R; }

struct BendLine {
  double L = 2 * kLs + arc_len(90.0);
  double R = kR;
  double angle = 90.0;
  double gap = 2.0;
  double width = 10.0;
  double e1 = 0.0, e2 = 0.0, c1 = 0.0, c2 = 0.0;
  int nstep = 100;
};

struct BendRun : ElementRun {
  BendRun() : ElementRun(1000.0) {}
  void set_line(int n, const BendLine& b) {
    line(n, "bmag", 0, {b.L, b.R, b.angle, b.gap, b.width, b.e1, b.e2, b.c1, b.c2});
    s.elements.elem_int[n][11] = b.nstep;
  }
  // The line's geometry without running it: ideal geometry and field1.
  void geometry(const BendLine& b) {
    set_line(1, b);
    s.state.itype = 3;
    bmag_read_line(s, 1);
    bmag_ideal_geometry(s);
    s.ref.field1 = 1000.0;
    s.fieldmap.enge_coef[1] = kBendEngeDefault;
    s.fieldmap.enge_coef[2] = kBendEngeDefault;
  }
  // The statistics need three live particles: design particles fill up.
  void run(const BendLine& b, std::vector<Particle> ps) {
    set_line(1, b);
    while (ps.size() < 3) ps.push_back(Particle{});
    state(1, 1.0, 1.0, ps);
    bmag_element(s, 1);
  }
};

// Field of the default Enge set at distance s outside an edge, times Bf.
double edge_profile(double s, double gap) { return enge_function(gap, s, kBendEngeDefault)[0]; }

TEST(BendField, PointsOfTheReferenceMagnet) {
  BendRun r;
  r.geometry(BendLine{});
  const BendFieldData d = bend_field_data(r.s);
  const double Bf = d.Bf;
  // Body, on the arc at 45 deg: far from both fringes.
  const double c = std::cos(kPi / 4), sn = std::sin(kPi / 4);
  BendFieldPoint p = bmag_field(d, kR * c - kR, 0.0, kLs + kR * sn);
  EXPECT_TRUE(p.inside);
  EXPECT_EQ(p.region, kBendBody);
  EXPECT_EQ(p.B[0], 0.0);
  EXPECT_EQ(p.B[1], Bf);
  EXPECT_EQ(p.B[2], 0.0);
  // Entrance edge at y = 0: B = (0, Bf F(0), 0), F(0) = 1/(1 + exp(c0)).
  p = bmag_field(d, 0.0, 0.0, kLs);
  EXPECT_EQ(p.region, kBendEntranceFringe);
  EXPECT_NEAR(p.B[1] / Bf, 1.0 / (1.0 + std::exp(static_cast<double>(-0.003183f))), 1e-12);
  EXPECT_NEAR(p.B[1] / Bf, 0.500796, 1e-6);
  EXPECT_NEAR(p.B[0], 0.0, 1e-12);
  EXPECT_NEAR(p.B[2], 0.0, 1e-12);
  // Exit edge, 1 cm beyond it along the exit axis: F(1 cm).
  const double ex = -kR, ez = kLs + kR;
  p = bmag_field(d, ex - 1.0, 0.0, ez);
  EXPECT_EQ(p.region, kBendExitFringe);
  EXPECT_NEAR(p.B[1] / Bf, edge_profile(1.0, 2.0), 1e-12);
  // Far up the entrance straight part: inside, a decayed field.
  p = bmag_field(d, 0.0, 0.0, 0.5);
  EXPECT_TRUE(p.inside);
  EXPECT_EQ(p.region, kBendEntranceFringe);
  EXPECT_NEAR(p.B[1] / Bf, edge_profile(kLs - 0.5, 2.0), 1e-15);
  // On the arc within delta2 gaps of the entrance edge: fringe, not body.
  const double th = 2.0 / kR;  // 2 cm along the arc
  p = bmag_field(d, kR * std::cos(th) - kR, 0.0, kLs + kR * std::sin(th));
  EXPECT_EQ(p.region, kBendEntranceFringe);
  EXPECT_LT(p.B[1], Bf);
  // Beyond the exit plane and behind the entrance plane: no field, not lost,
  // region untouched.
  p = bmag_field(d, -120.0, 0.0, -5.0);
  EXPECT_TRUE(p.inside);
  EXPECT_EQ(p.region, -1);
  EXPECT_EQ(p.B[1], 0.0);
  // Vertical aperture: |y| >= half_gap = 0.45 g is lost.
  for (double y : {0.9, -0.9, 1.5}) {
    p = bmag_field(d, kR * c - kR, y, kLs + kR * sn);
    EXPECT_FALSE(p.inside) << y;
    EXPECT_EQ(p.B[1], 0.0);
  }
  EXPECT_TRUE(bmag_field(d, kR * c - kR, 0.899, kLs + kR * sn).inside);
  // Off the arc by more than w/2, and beside the entrance straight part.
  EXPECT_FALSE(bmag_field(d, (kR + 5.1) * c - kR, 0.0, kLs + (kR + 5.1) * sn).inside);
  EXPECT_TRUE(bmag_field(d, (kR + 4.9) * c - kR, 0.0, kLs + (kR + 4.9) * sn).inside);
  EXPECT_FALSE(bmag_field(d, 5.1, 0.0, 3.0).inside);
}

// Midplane symmetry and a curl-free field in a fringe: B_y even and B_s odd
// in y, dB_y/ds = dB_s/dy by central differences at y = 0.3 half_gap. The
// expansion drops terms of order y^7 F(7)/7!, about 1e-7 Bf here.
TEST(BendField, FringeIsMidplaneSymmetricAndCurlFree) {
  BendRun r;
  r.geometry(BendLine{});
  const BendFieldData d = bend_field_data(r.s);
  const double Bf = d.Bf;
  const double y = 0.3 * r.s.bmag_geom.half_gap;
  const double h = 1e-3;
  for (double v : {-3.0, -1.0, 0.0, 0.7, 2.5}) {
    // Entrance edge at right angles: the outward normal is -z at x = 0.
    const double z = kLs - v;
    const BendFieldPoint up = bmag_field(d, 0.0, y, z);
    const BendFieldPoint dn = bmag_field(d, 0.0, -y, z);
    EXPECT_EQ(up.B[1], dn.B[1]) << v;
    EXPECT_EQ(up.B[2], -dn.B[2]) << v;
    EXPECT_NE(up.B[2], 0.0) << v;
    // curl_x = dB_z/dy - dB_y/dz = 0.
    const double dBz_dy = (bmag_field(d, 0.0, y + h, z).B[2] - bmag_field(d, 0.0, y - h, z).B[2]) / (2 * h);
    const double dBy_dz = (bmag_field(d, 0.0, y, z + h).B[1] - bmag_field(d, 0.0, y, z - h).B[1]) / (2 * h);
    EXPECT_NEAR(dBz_dy, dBy_dz, 1e-5 * Bf) << v;
  }
}

// A curved edge is a circle of radius 1/curvature: the field at a point of
// that circle is the edge value F(0), and at distance t outside it F(t).
TEST(BendField, CurvedEdgeFollowsItsCircle) {
  BendRun r;
  r.geometry(BendLine{});
  BendFieldData d = bend_field_data(r.s);
  for (double curv : {1.0 / 50.0, -1.0 / 50.0}) {
    d.geom.edge_curv_in = curv;
    const double k = 1.0 / curv;
    for (double u : {-20.0, 0.0, 15.0}) {
      for (double t : {0.0, 0.8}) {
        // Point at distance t outside the circle of radius |k| centred at v = -k.
        const double rho = std::abs(k) + (k > 0 ? t : -t);
        const double w = std::sqrt(rho * rho - u * u);
        const double v = k > 0 ? w - k : -k - w;
        const Vec3 B = bmag_edge_field(d, kBendEntranceFringe, u, 0.0, v);
        EXPECT_NEAR(B[1] / d.Bf, edge_profile(t, 2.0), 1e-12) << curv << " " << u << " " << t;
      }
    }
  }
}

// A magnet shorter than the two fringe depths: the mean of both edge
// fields, region 1.
TEST(BendField, OverlappingFringesGiveTheMean) {
  BendRun r;
  BendLine b;
  b.angle = 10.0;
  b.gap = 5.0;  // fringe depth 3 g = 15 cm, arc 17.45 cm
  b.L = 2 * kLs + arc_len(10.0);
  r.geometry(b);
  const BendFieldData d = bend_field_data(r.s);
  const BendGeom& g = r.s.bmag_geom;
  const double th = 5.0 * kDegToRad;
  const double x = kR * std::cos(th) - kR, y = 0.4, z = kLs + kR * std::sin(th);
  const BendFieldPoint p = bmag_field(d, x, y, z);
  EXPECT_EQ(p.region, kBendEntranceFringe);
  const double ui = (x - g.edge_in_x) * g.edge_in_c - (z - g.edge_in_z) * g.edge_in_s;
  const double vi = (x - g.edge_in_x) * g.edge_in_s + (z - g.edge_in_z) * g.edge_in_c;
  const double uo = g.edge_out_c * (x - g.edge_out_x) - g.edge_out_s * (z - g.edge_out_z);
  const double vo = g.edge_out_c * (z - g.edge_out_z) + g.edge_out_s * (x - g.edge_out_x);
  const Vec3 bi = bmag_edge_field(d, 1, ui, y, vi);
  const Vec3 bo = bmag_edge_field(d, 2, uo, y, vo);
  EXPECT_NEAR(p.B[1], (bi[1] + bo[1]) / 2, 1e-9);
  // Symmetric magnet, midpoint: the longitudinal parts cancel to B_x only
  // along the radius; B_y is the mean of two equal values.
  EXPECT_NEAR(bi[1], bo[1], 1e-9);
  EXPECT_LT(p.B[1], d.Bf);
}

// Bf = beta gamma / (Q/A K R) 1e4 = 1440.127 G for a 1 MeV/u proton at
// R = 100 cm; the reference path bends with curvature 1/R about the arc
// centre; the design particle leaves on the exit axis.
TEST(BendElement, ReferenceMagnetFieldPathAndExit) {
  BendRun r;
  r.run(BendLine{}, {Particle{}});
  Sim& s = r.s;
  EXPECT_NEAR(std::abs(s.ref.field1), 1440.127, 1e-3);
  const RefPath& path = s.ref_path;
  const BendGeom& g = s.bmag_geom;
  for (int k = 20; k <= 80; k += 10) {
    EXPECT_NEAR(std::abs(path(k, kRefInvR)), 0.01, 1e-6) << k;
    EXPECT_NEAR(path(k, kRefXc), g.arc_xc, 1e-2) << k;
    EXPECT_NEAR(path(k, kRefZc), g.arc_zc, 1e-2) << k;
  }
  EXPECT_EQ(path(1, kRefInvR), 0.0);  // straight part
  // A reference pass from the entrance ends on the exit axis.
  const double beta0 = speed_of_w(1000.0);
  s.ref.qa_push = 1.0;
  double t = 0.0;
  State6 Y{0, 0, 0, 0, 0, beta0};
  ref_to_exit_plane_t(s, t, s.ref.elem_len / (beta0 * 100), Y);
  EXPECT_LT(std::abs(Y[0]), 1e-5);
  EXPECT_LT(std::abs(Y[1]), 1e-6);
  // The design particle of the beam too, pushed plane by plane.
  EXPECT_LT(std::abs(s.particles.x[1][0]), 1e-5);
  EXPECT_LT(std::abs(s.particles.xp[1][0]), 1e-6);
  EXPECT_EQ(s.particles.status[1][0], 0);
  // The energy is unchanged; the phase grows by the path length.
  EXPECT_NEAR(s.ref_path(100, kRefW), 1000.0, 1e-12);
  // |beta| is conserved by a magnetic field; RK4 in steps of R/57 keeps it
  // to about 1e-7 relative.
  EXPECT_NEAR(s.particles.beta[1][0] / beta0, 1.0, 1e-6);
}

// First-order optics of the reference magnet, drifts Ls on both sides of a
// 90-degree sector: x = M11 x0 + M12 x'0 + D dp/p with M12 = R - Ls^2/R,
// M21 = -1/R and D = R (1 - cos a) + Ls sin a outwards; dp/p = dW/W
// gamma/(gamma + 1). The fringes shift these by O(g/R): 2 % at g = 2 cm.
TEST(BendElement, DispersionAndTransferMatrix) {
  const double W = 1000.0;
  const double gamma = W / kAmuKev + 1.0;
  const double disp = 1e-3 * (kR + kLs) * gamma / (gamma + 1.0);  // 0.05503 cm
  for (double gap : {2.0, 0.5}) {
    BendRun r;
    BendLine b;
    b.gap = gap;
    r.run(b, {Particle{}, Particle{0, 0, 0, 0, 0, W * (1 + 1e-3)}, Particle{0, 1e-4},
              Particle{1e-3, 0}});
    const ParticleArrays& p = r.s.particles;
    const double tol = gap == 2.0 ? 0.02 : 0.006;
    // Offsets from the design particle of the beam (slot 0).
    EXPECT_NEAR((p.x[1][1] - p.x[1][0]) / disp, 1.0, tol) << gap;
    EXPECT_NEAR((p.x[1][2] - p.x[1][0]) / 1e-4 / (kR - kLs * kLs / kR), 1.0, 0.02) << gap;
    EXPECT_NEAR((p.xp[1][3] - p.xp[1][0]) / 1e-3 * kR, -1.0, 0.02) << gap;
  }
}

// A negative angle mirrors the magnet in x: a beam mirrored in x leaves
// with x, x' negated and y, y', phase, energy unchanged, in both set-up modes.
TEST(BendElement, NegativeAngleMirrorsInX) {
  const std::vector<Particle> beam{Particle{}, Particle{0.2, 3e-3, 0.1, -2e-3, 0.05, 1001.0},
                                   Particle{-0.3, -1e-3, -0.2, 1e-3, -0.1, 998.0}};
  std::vector<Particle> mirrored = beam;
  for (Particle& q : mirrored) q.x = -q.x, q.xp = -q.xp;
  for (int mode : {0, 1}) {
    BendRun plus;
    BendRun minus;
    plus.s.config.init_COSY = mode;
    minus.s.config.init_COSY = mode;
    plus.run(BendLine{}, beam);
    BendLine neg;
    neg.angle = -90.0;
    minus.run(neg, mirrored);
    EXPECT_LT(minus.s.ref.field1, 0.0);
    EXPECT_NEAR(minus.s.transport.step.exit_nx, -plus.s.transport.step.exit_nx, 1e-15);
    const ParticleArrays& a = plus.s.particles;
    const ParticleArrays& m = minus.s.particles;
    for (int i = 0; i < 3; ++i) {
      EXPECT_NEAR(m.x[1][i], -a.x[1][i], 1e-12) << mode << " " << i;
      EXPECT_NEAR(m.xp[1][i], -a.xp[1][i], 1e-12) << mode << " " << i;
      EXPECT_NEAR(m.y[1][i], a.y[1][i], 1e-12) << mode << " " << i;
      EXPECT_NEAR(m.yp[1][i], a.yp[1][i], 1e-12) << mode << " " << i;
      EXPECT_NEAR(m.phase[1][i], a.phase[1][i], 1e-12) << mode << " " << i;
      EXPECT_NEAR(m.beta[1][i], a.beta[1][i], 1e-12) << mode << " " << i;
    }
    // The exit frames turn the other way.
    EXPECT_NEAR(minus.s.frame.exit.axes[2][0], -plus.s.frame.exit.axes[2][0], 1e-12);
  }
}

// Four 90-degree magnets close the frame: back at the origin with unit axes.
TEST(BendElement, FourQuarterTurnsCloseTheFrame) {
  BendRun r;
  r.state(1, 1.0, 1.0, {Particle{}, Particle{}, Particle{}});
  for (int n = 1; n <= 4; ++n) {
    r.set_line(n, BendLine{});
    bmag_element(r.s, n);
    r.s.frame.entry = r.s.frame.exit;
  }
  const Frame& f = r.s.frame.exit;
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(f.origin[i], 0.0, 1e-9) << i;
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(f.axes[i][j], i == j ? 1.0 : 0.0, 1e-12) << i << j;
  }
}

// The fringe integrals of a straight edge with Ls = 20 g: k1 = 0.430627 (the
// infinite-range value 1/c1 = 0.431034 less the cut tails) and Heff =
// 3.00178 g; the listing lines in their formats; IFLAG_LOG is consumed.
TEST(BendElement, FringeListing) {
  BendRun r;
  BendLine b;
  b.L = 80.0 + arc_len(90.0);
  r.s.state.IFLAG_LOG = 1;
  r.run(b, {Particle{}});
  EXPECT_EQ(r.s.state.IFLAG_LOG, 0);
  const std::vector<std::string> lines = r.file_lines("log.dat");
  auto find = [&](const std::string& head) {
    for (std::size_t i = 0; i < lines.size(); ++i)
      if (lines[i].rfind(head, 0) == 0) return i;
    return lines.size();
  };
  const std::size_t k1 = find("       k1=");
  ASSERT_LT(k1, lines.size());
  std::string knum = lines[k1].substr(10, 15);
  knum[knum.find('D')] = 'E';
  EXPECT_NEAR(std::stod(knum), 0.430627, 1e-4 * 0.430627);
  EXPECT_EQ(lines[k1].size(), 25u);
  const std::string heff = lines[k1 + 1];
  EXPECT_EQ(heff.substr(0, 10), "     Heff=");
  EXPECT_EQ(heff.size(), 31u);
  std::string hnum = heff.substr(10, 15);
  hnum[hnum.find('D')] = 'E';
  EXPECT_NEAR(std::stod(hnum) / 2.0, 3.00178, 3e-4);
  EXPECT_EQ(heff.substr(25), " cm   ");
  EXPECT_EQ(lines[k1 + 2], "     Ls/g=20.000");
  EXPECT_EQ(lines[k1 + 3], "     L+/g=20.000");
  EXPECT_EQ(lines[k1 + 4], "     L-/g=20.000");
  const std::size_t bf = find("       Bf=");
  ASSERT_LT(bf, lines.size());
  // (A10,F15.2,A6), (A10,D15.6,A6), (A10,F15.8): the texts right-aligned in 10 columns.
  EXPECT_EQ(lines[bf], "       Bf=        1440.13 G    ");
  EXPECT_EQ(lines[bf - 1], "       !* BENDING MAGNET *!");
  EXPECT_EQ(lines[bf + 1], "       Ps=   0.431739D+02 MeV/c");
  EXPECT_EQ(lines[bf + 2], "   betgam=     0.04634911");
  EXPECT_EQ(lines[k1 - 1], "  entrance fringing field");
  // The table: nstep + 1 lines (F12.4,F15.5) from -3 g, where F = 1/(1 +
  // exp(c0 - 3 c1)) = 0.99905.
  EXPECT_EQ(lines[k1 + 6], "     -6.0000        0.99905");
  EXPECT_EQ(lines[k1 + 6 + 100].substr(0, 12), "     40.0000");
  std::size_t traj_head = lines.size();
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (lines[i] == std::string(21, ' ') + " The reference particle trajectory") traj_head = i;
  ASSERT_LT(traj_head, lines.size());
  EXPECT_EQ(lines[traj_head + 1].size(), 7u * 15u + 6u);
  // A second magnet lists nothing.
  BendRun r2;
  r2.run(b, {Particle{}});
  for (const std::string& l : r2.file_lines("log.dat")) EXPECT_EQ(l.find("k1="), std::string::npos);
}

// Few steps: one step keeps rows 0 and 1 with the stored entrance and exit
// values; with 1 and 2 steps the 10- and 30-degree magnets lose nobody.
TEST(BendElement, FewSteps) {
  for (auto [deg, nstep] : {std::pair{10.0, 1}, std::pair{10.0, 2}, std::pair{30.0, 2}}) {
    {
      BendRun r;
      BendLine b;
      b.angle = deg;
      b.L = arc_len(deg);  // no straight parts: one step spans the arc
      b.nstep = nstep;
      r.run(b, {Particle{}, Particle{0.3, 2e-3, 0.2, -1e-3}, Particle{-0.5, -3e-3, -0.1, 2e-3, 0.0, 1010.0}});
      for (int i = 0; i < 3; ++i) EXPECT_EQ(r.s.particles.status[1][i], 0) << deg << " " << nstep << " " << i;
      const RefPath& path = r.s.ref_path;
      if (nstep == 1) {
        EXPECT_EQ(path(0, kRefW), r.s.history.ref_W_in[1]);
        EXPECT_EQ(path(1, kRefW), r.s.history.ref_W_out[1]);
        EXPECT_EQ(path(1, kRefPhase), r.s.history.ref_phase_out[1]);
        EXPECT_EQ(path(1, kRefX), r.s.transport.step.exit_px);
      }
    }
  }
}

// Particles driven into the gap inside the arc are lost at their positions
// on the curved path: within w/2 of the arc (or in a straight part), |Y|
// within one step's travel of the half gap, z := s of the previous row +
// z_entry.
TEST(BendElement, LossesLieOnTheCurvedPath) {
  BendRun r;
  std::vector<Particle> beam{Particle{}};
  for (int j = 1; j <= 20; ++j) beam.push_back(Particle{0.0, 0.0, 0.0, (j % 2 ? 1 : -1) * 0.004 * j});
  beam.push_back(Particle{});
  beam.push_back(Particle{});
  r.run(BendLine{}, beam);
  const std::vector<std::string> lost = r.file_lines("lost.dat");
  const BendGeom& g = r.s.bmag_geom;
  const double step = r.s.ref.elem_len / 100;
  int n = 0;
  for (const std::string& rec : lost) {
    if (rec.size() < 100 || rec.find("bmag") == std::string::npos) continue;
    ++n;
    const std::vector<double> v = lost_record_numbers(rec);
    const double x = v[6], y = v[7], z = v[8];
    const double rr = std::hypot(x - g.arc_xc, z - g.arc_zc);
    const bool on_arc = std::abs(rr - kR) <= g.half_width + 1e-3;
    const bool straight = z <= g.edge_in_z || x <= g.edge_out_x;
    EXPECT_TRUE(on_arc || straight) << rec;
    EXPECT_LE(std::abs(y), g.half_gap + 1e-3);
    EXPECT_GE(std::abs(y), g.half_gap - step * 0.004 * 20);
  }
  EXPECT_GT(n, 5);
  int dead = 0;
  for (int i = 1; i <= 20; ++i)
    if (r.s.particles.status[1][i] < 0) {
      ++dead;
      const double zl = r.s.particles.z[1][i] - r.s.ref.z_entry;
      EXPECT_NEAR(std::remainder(zl, step), 0.0, 1e-9);
    }
  EXPECT_EQ(dead, n);
}

// The path length of the reference differs from L by the fringes; the
// excess falls towards 0 as the gap shrinks, as g^2 (the fringe bends the
// path over a length ~g at an angle ~g/R), and sums over magnets. 1000
// steps resolve the Enge length g/c1 of the smallest gap.
TEST(BendElement, PathExcessShrinksWithTheGapAndSums) {
  double last = 1e9;
  double last_excess = 0.0;
  for (double gap : {2.0, 1.0, 0.5, 0.25}) {
    BendRun r;
    BendLine b;
    b.gap = gap;
    b.nstep = 1000;
    r.run(b, {Particle{}});
    const double excess = r.s.ref.z_offset;
    EXPECT_NEAR(excess, r.s.bmag_geom.ref_path_len - b.L, 1e-12);
    EXPECT_LT(std::abs(excess), last) << gap;
    if (gap < 2.0) {
      EXPECT_NEAR(last_excess / excess, 4.0, 0.3) << gap;
    }
    last = std::abs(excess);
    last_excess = excess;
    // A second magnet adds its own excess.
    r.set_line(2, b);
    bmag_element(r.s, 2);
    EXPECT_NEAR(r.s.ref.z_offset, 2 * excess, 1e-9);
  }
}

// An enge line named by enge_src(3, 1) gives the entrance coefficients; the
// exit edge keeps the bend defaults. At the entrance edge (s = 0, y = 0)
// B_y = Bf / (1 + exp(c0)).
TEST(BendElement, EngeLineSetsTheEntranceEdge) {
  BendRun r;
  r.line(5, "enge", 1, {0.5, 3.0, 0.1, 0.0, 0.0, 0.0});
  r.s.type_rec.enge_src[3][1] = 5;
  r.run(BendLine{}, {Particle{}});
  EXPECT_EQ(r.s.fieldmap.enge_coef[1], (EngeSet{0.5, 3.0, 0.1, 0.0, 0.0, 0.0}));
  EXPECT_EQ(r.s.fieldmap.enge_coef[2], kBendEngeDefault);
  const BendFieldData d = bend_field_data(r.s);
  const BendGeom& g = r.s.bmag_geom;
  const BendFieldPoint p = bmag_field(d, g.edge_in_x, 0.0, g.edge_in_z);
  EXPECT_EQ(p.region, kBendEntranceFringe);
  EXPECT_NEAR(p.B[1] / d.Bf, 1.0 / (1.0 + std::exp(0.5)), 1e-12);
  // The design particle still leaves on the exit axis.
  EXPECT_LT(std::abs(r.s.particles.x[1][0]), 1e-4);
}

// Bad lines stop before the set-up, naming the line and the value.
TEST(BendElement, BadLinesStop) {
  struct Case {
    BendLine b;
    int cosy;
    const char* text;
  };
  BendLine base;
  std::vector<Case> cases;
  auto with = [&](auto f, int cosy, const char* text) {
    BendLine b = base;
    f(b);
    cases.push_back({b, cosy, text});
  };
  with([](BendLine& b) { b.nstep = 0; }, 0, "step count 0");
  with([](BendLine& b) { b.R = 0.0; }, 0, "radius P2 = 0");
  with([](BendLine& b) { b.angle = 0.0; }, 0, "angle P3 = 0");
  with([](BendLine& b) { b.angle = -360.0; }, 0, "angle P3 = -360");
  with([](BendLine& b) { b.L = 150.0; }, 0, "length P1 = 150");
  with([](BendLine& b) { b.gap = -1.0; }, 0, "gap P4 = -1");
  with([](BendLine& b) { b.width = 0.0; }, 0, "width P5 = 0");
  with([](BendLine&) {}, 2, "init_COSY = 2");
  for (const Case& c : cases) {
    BendRun r;
    r.s.config.init_COSY = c.cosy;
    const std::string msg = fatal_text([&] { r.run(c.b, {Particle{}}); });
    EXPECT_NE(msg.find("element 1 (bmag)"), std::string::npos) << msg;
    EXPECT_NE(msg.find(c.text), std::string::npos) << msg;
  }
}

// The second edge field, convex (k > 0) and concave (k < 0) edges, on and
// off the midplane: at distance t outside the edge circle of radius |k|
// centred at v = -k, B_y(y = 0) = Bf F(t) (F(0) = 1/(1 + exp(c0)) on the
// edge itself), and off the midplane the longitudinal field B_s points along
// the circle's outward normal, away from the magnet: (B_u, B_v) is parallel
// to sign(k) (u, k + v), pointing out of the circle for a convex edge and
// into it for a concave one. Everywhere the field is that of bmag_edge_field.
TEST(BendField, SecondEdgeFieldFollowsConvexAndConcaveEdges) {
  BendRun r;
  r.geometry(BendLine{});
  BendFieldData d = bend_field_data(r.s);
  for (double curv : {1.0 / 50.0, 1e-6, -1.0 / 50.0, -1e-3}) {
    d.geom.edge_curv_in = curv;
    d.geom.edge_curv_out = curv;
    const double k = 1.0 / curv;
    for (std::int32_t region : {kBendEntranceFringe, kBendExitFringe}) {
      for (double u : {-20.0, 0.0, 15.0}) {
        for (double t : {-1.5, 0.0, 0.8}) {
          SCOPED_TRACE(::testing::Message() << "curv " << curv << " region " << region << " u " << u << " t " << t);
          const double rho = std::abs(k) + (k > 0 ? t : -t);
          const double w = std::sqrt(rho * rho - u * u);
          const double v = k > 0 ? w - k : -k - w;
          const Vec3 B0 = bmag_edge_field2(d, region, u, 0.0, v);
          EXPECT_NEAR(B0[1] / d.Bf, edge_profile(t, 2.0), 1e-9);
          EXPECT_EQ(B0[0], 0.0);
          EXPECT_EQ(B0[2], 0.0);
          const double y = 0.5;
          const Vec3 B = bmag_edge_field2(d, region, u, y, v);
          // Outward normal of the edge: sign(k) (u, k + v)/rho.
          const double sg = k > 0 ? 1.0 : -1.0;
          const double nu = sg * u / rho, nv = sg * (k + v) / rho;
          const double Bs = B[0] * nu + B[2] * nv;
          EXPECT_NEAR(B[0] * nv - B[2] * nu, 0.0, 1e-9 * std::abs(d.Bf));  // no part along the edge
          // B_s = Bf y (F' - y^2 F'''/6 + y^4 F^(5)/120): negative above the
          // midplane, where the Enge profile falls outward (F' < 0).
          const EngeValues F = enge_function(2.0, t, kBendEngeDefault);
          const double y2 = y * y;
          EXPECT_NEAR(Bs, d.Bf * y * (F[1] - y2 * F[3] / 6.0 + y2 * y2 * F[5] / 120.0), 1e-9 * std::abs(d.Bf));
          EXPECT_LT(Bs * d.Bf, 0.0);
          const Vec3 B1 = bmag_edge_field(d, region, u, y, v);
          for (int c = 0; c < 3; ++c) EXPECT_EQ(B[c], B1[c]) << c;
        }
      }
    }
  }
}

// The ideal set-up puts the arc centre at (-R, Ls), the entrance edge
// through (0, Ls) along (cos(pi - e1), sin(pi - e1)), the exit edge through
// the end of the arc, centre + R (cos a, sin a), along (cos(e2 - a), sin(e2 -
// a)), and the exit plane Ls further along the exit axis (-sin a, cos a);
// its reference pass (which does reach the exit plane: the region of the
// last evaluation is the exit fringe) moves none of them, nor the length,
// the z offset or the space-charge current it held at 0.
TEST(BendSetup, IdealSetUpLeavesTheIdealGeometry) {
  struct Case {
    double angle, e1, e2;  // deg
  } const cases[] = {{90.0, 0.0, 0.0}, {45.0, 10.0, -5.0}, {-30.0, 0.0, 0.0}, {150.0, 0.0, 20.0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.angle);
    BendRun r;
    BendLine b;
    b.angle = c.angle;
    b.e1 = c.e1;
    b.e2 = c.e2;
    b.L = 2 * kLs + arc_len(c.angle);
    r.geometry(b);
    Sim& s = r.s;
    // The body field that bends the design particle on the radius R.
    const double gam = s.ref.w0 / s.ref.amu_kev + 1.0;
    s.ref.field1 = std::sqrt(gam * gam - 1.0) / 1.0 / 0.0032184034535 / kR * 1e4;
    s.ref.qa_push = 1.0;
    s.current.scur = 5.0;
    s.ref.z_offset = 7.0;
    s.state.bmag_region = -7;
    bmag_setup_ideal(s);
    const BendGeom& g = s.bmag_geom;
    const StepGeometry& sg = s.transport.step;
    const double a = std::abs(c.angle) * kDegToRad, e1 = c.e1 * kDegToRad, e2 = c.e2 * kDegToRad;
    const double tol = 1e-12 * kR;
    EXPECT_NEAR(g.arc_xc, -kR, tol);
    EXPECT_NEAR(g.arc_zc, kLs, tol);
    EXPECT_NEAR(g.edge_in_x, 0.0, tol);
    EXPECT_NEAR(g.edge_in_z, kLs, tol);
    EXPECT_NEAR(g.edge_in_c, std::cos(kPi - e1), 1e-15);
    EXPECT_NEAR(g.edge_in_s, std::sin(kPi - e1), 1e-15);
    const double ex = -kR + kR * std::cos(a), ez = kLs + kR * std::sin(a);  // the end of the arc
    EXPECT_NEAR(std::hypot(g.edge_out_x - g.arc_xc, g.edge_out_z - g.arc_zc), kR, tol);
    EXPECT_NEAR(g.edge_out_x, ex, tol);
    EXPECT_NEAR(g.edge_out_z, ez, tol);
    EXPECT_NEAR(g.edge_out_c, std::cos(e2 - a), 1e-15);
    EXPECT_NEAR(g.edge_out_s, std::sin(e2 - a), 1e-15);
    EXPECT_NEAR(sg.exit_nx, -std::sin(a), 1e-15);
    EXPECT_NEAR(sg.exit_nz, std::cos(a), 1e-15);
    EXPECT_NEAR(sg.exit_px, ex - kLs * std::sin(a), tol);
    EXPECT_NEAR(sg.exit_pz, ez + kLs * std::cos(a), tol);
    EXPECT_EQ(s.ref.elem_len, b.L);
    EXPECT_EQ(s.ref.z_offset, 7.0);
    EXPECT_EQ(s.current.scur, 5.0);
    EXPECT_GT(s.ref.field1, 0.0);  // not mirrored
    EXPECT_EQ(s.state.bmag_region, kBendExitFringe);
  }
}

}  // namespace
}  // namespace linac::testing
