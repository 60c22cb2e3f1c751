// Initial beams of a charge state that leave a source or fill a simple
// volume: a disc emitting in random directions (distribution type 48), a
// continuous beam filling the whole RF period (51), a uniform ellipsoid
// (52) and a Gaussian cut at 6 sigma (53). Each fills slots 0..NPAT(iq) of
// its charge state (slot 0 the reference particle on the axis) from the one
// random stream, consuming its deviates in a fixed order, rejected draws
// included, so a seed reproduces the beam exactly.
//
// Units: lengths in cm, slopes in rad, phases in rad, kinetic energy per
// nucleon W in keV/u; the speed of W is beta = sqrt(1 - 1/gamma^2) with
// gamma = W/amu + 1. DWW00(iq) is added to W as it stands (keV/u).
//
// Arguments that would never end a rejection loop, give infinite or
// undefined coordinates, or overrun the particle block stop the run with a
// message naming the routine, the argument and its allowed range.
#pragma once

#include <cstdint>

namespace linac {

struct BeamContext;

// A point (out1, out2) = (p t1, q t2) uniform in the ellipse
// t1^2 - 2 r t1 t2 + t2^2 <= 1 - r^2 inscribed in the square [-1, 1]^2,
// whose uniform fill has correlation coefficient r. Needs |r| < 1.
void sample_ellipse2d(BeamContext& sim, double& out1, double& out2, double p, double q, double r);

// Type 48: positions uniform in the disc of radius R (cm); directions
// uniform on the unit sphere with n_z >= nz_min (slopes n_x/n_z, n_y/n_z,
// components beta n in betax, betay, betaz); phase uniform within +-dphi
// degrees; speed uniform within beta_q (1 +- dbb). beta_q is the speed of
// the state's energy W0 (ADESIGN/QDESIGN)(QQ/AMASS), W0 the energy of beta0.
void gen_dist_random_direction(BeamContext& sim, double beta0, double R, double nz_min, double dphi,
                               double dbb, std::int32_t iq);

// Type 51: (x, y) uniform in the correlated ellipse of half widths a, b (cm)
// and correlation r; slopes uniform in the disc of radius 1 mrad; phase
// uniform in (-pi, pi); W uniform within +-0.1 % of W_q = w0 (QQ/AMASS) /
// (QDESIGN/ADESIGN). Sets qa_push := QDESIGN/ADESIGN. beta0 is not used.
void gen_dist_dc_beam(BeamContext& sim, double beta0, double a, double b, double r, std::int32_t iq);

// Type 52: (x, y, s) uniform in the ellipsoid of semi-axes a, b, c (cm),
// the longitudinal offset s turned into phase s/(beta wavelength_2pi);
// slopes uniform within +-1 mrad; W uniform within +-0.01 % of w0.
void gen_dist_ball3d(BeamContext& sim, double beta0, double a, double b, double c, std::int32_t iq);

// Type 53: x, y and the longitudinal offset s Gaussian with sigma a, b, c
// (cm), each cut at 6 sigma, the phase s/(beta gamma wavelength_2pi);
// slopes uniform within +-1 mrad; W uniform within +-0.1 % of w0.
void gen_dist_gauss(BeamContext& sim, double beta0, double a, double b, double c, std::int32_t iq);

}  // namespace linac
