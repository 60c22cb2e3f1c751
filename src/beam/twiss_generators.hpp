// Initial beams filling the phase-space volume bounded by the Twiss
// ellipses of the three planes, by rejection sampling from the one uniform
// random stream. Each generator fills slots 0..NPAT(iq) of one charge state:
// slot 0 is the reference particle (the speed argument, zero offsets).
//
// Units: transverse emittances in cm rad (geometric, of the bounding
// ellipse), Twiss beta in cm/rad; the longitudinal ellipse lives in the
// plane (phase in deg, dW/W in percent), its emittance in deg %, its beta in
// deg/%.
#pragma once

#include <cstdint>

namespace linac {

struct BeamContext;

// The ellipse gamma q^2 + 2 alpha q q' + beta q'^2 = eps along its principal
// axes: rotation angle theta (cos c, sin s) and semi-axes a_u, a_v. A point
// (r1, r2) of the unit disc maps to a point of the filled ellipse.
struct EllipseMap {
  double c = 1.0, s = 0.0;
  double a_u = 0.0, a_v = 0.0;
};

// Requires beta > 0 and eps >= 0 (the generators check their arguments).
EllipseMap ellipse_map(double eps, double alpha, double beta);

// q = c r1 a_u - s r2 a_v, q' = s r1 a_u + c r2 a_v.
inline void map_to_ellipse(const EllipseMap& m, double r1, double r2, double& q, double& qp) {
  q = m.c * r1 * m.a_u - m.s * r2 * m.a_v;
  qp = m.s * r1 * m.a_u + m.c * r2 * m.a_v;
}

// Uniform in the 6-D ball of (r1..r6): x, y and the longitudinal plane
// (eps_z in deg %, BETZ in deg/%).
void gen_dist_waterbag6d(BeamContext& sim, double beta0, double eps_x, double ALPHX, double BETX,
                         double eps_y, double ALPHY, double BETY, double eps_z, double ALPHZ,
                         double BETZ, std::int32_t iq);

// Uniform in the 3-D ball of the coordinates (r1, r3, r5); the slope
// parameters r2, r4, r6 are uniform in [-1, 1].
void gen_dist_ellipsoid3d(BeamContext& sim, double beta0, double eps_x, double ALPHX, double BETX,
                          double eps_y, double ALPHY, double BETY, double eps_z, double ALPHZ,
                          double BETZ, std::int32_t iq);

// Uniform in the 4-D transverse ball; phase uniform in PHI0 +- DF_4D deg
// (wrapped into [-pi, pi)), speed uniform in beta_q (1 +- DB_B).
void gen_dist_uniform_box(BeamContext& sim, double beta_q, double DB_B, double DF_4D, double PHI0,
                          double eps_x, double ALPHX, double BETX, double eps_y, double ALPHY,
                          double BETY, std::int32_t iq);

// The acceptance-run beam of charge state 1: uniform in the 4-D transverse
// ball, phase uniform within +-PHMAX deg, energy within +-DWWACC percent.
void gen_beam_twiss(BeamContext& sim, double beta0, double eps_x, double ALPHX, double BETX, double eps_y,
                    double ALPHY, double BETY, double PHMAX, double DWWACC);

// Not called by the run. Uniform in the 4-D transverse ball of the centred
// deviates (2u1 - 1 .. 2u4 - 1, boundary included), each transverse plane
// mapped by a shear: q' = (2u2 - 1) sqrt(gamma eps), q = (2u1 - 1)
// sqrt(eps/gamma) - (alpha/gamma) q'. The longitudinal pair (2u5 - 1,
// 2u6 - 1), free in [-1, 1], is mapped onto the z ellipse as by the other
// generators; the speed comes from the design energy w0 (keV/u). Slot 0
// carries beta0.
void gen_dist_waterbag4d_shear(BeamContext& sim, double beta0, double eps_x, double ALPHX, double BETX,
                               double eps_y, double ALPHY, double BETY, double eps_z, double ALPHZ,
                               double BETZ, std::int32_t iq);

}  // namespace linac
