// Enge fringe profiles and the fields of the lenses built on them: the
// magnetic quadrupole (quad), the multipole (mult, m5) and the electrostatic
// quadrupole (equad).
//
// One Enge edge is F(s) = 1 / (1 + exp(P(s/gap))), P(u) = c0 + c1 u + ...
// + c5 u^5, with s the distance outside the edge (F -> 1 inside the lens for
// c1 > 0). A lens has two edges a distance eff_len apart; its profile is
// G(zc) = F1(zc - eff_len/2) + F2(-(zc + eff_len/2)) - 1 with zc measured
// from the middle of the profile. The off-axis fields are expanded from the
// z derivatives of G so that they satisfy the Laplace equation to the order
// kept.
#pragma once

#include <array>
#include <cstdint>

#include "transport/field_at.hpp"

namespace linac {

struct TransportContext;

using EngeSet = std::array<double, 6>;    // c0..c5
using EngeValues = std::array<double, 8>;  // F(0..6) and F(7) = 0
using Profile = std::array<double, 7>;     // G(0..6)

// The lens default coefficients: the single-precision values -4.0e-5 and
// 4.518219.
inline constexpr EngeSet kEngeDefault{static_cast<double>(-4.0e-5f),
                                      static_cast<double>(4.518219f), 0.0, 0.0, 0.0, 0.0};

// The exponent of an Enge edge is limited to +-70 before the exponential.
inline constexpr double kEngeExponentLimit = 70.0;

// F(0) = 1/(1 + exp(P(s/gap))) and its derivatives d^k F/ds^k, k = 1..6, by
// truncated Taylor arithmetic in u = s/gap; F(7) = 0. gap and s in cm.
EngeValues enge_function(double gap, double s, const EngeSet& c);

// Where the profile of a lens sits and what shapes it.
struct EngeLens {
  double gap = 0.0;      // length that scales the Enge variable: twice the aperture radius, cm
  double eff_len = 0.0;  // distance of the two edges, cm
  double length = 0.0;   // element length L, cm
  std::int32_t ifringe = 0;  // 0 profile centred in the element, 1 at its exit, 2 at its entrance
  EngeSet set1 = kEngeDefault;  // edge at zc = +eff_len/2
  EngeSet set2 = kEngeDefault;  // edge at zc = -eff_len/2

  // Position from the middle of the profile of the element-frame z (cm).
  double zc(double z) const {
    if (ifringe == 1) return z - length;
    if (ifringe == 2) return z;
    return z - length / 2.0;
  }
};

// G(0..6) of the lens at zc (cm from the middle of the profile).
Profile enge_profile(const EngeLens& lens, double zc);

// The profile at the element-frame positions every particle shares in one
// push in z of a step from z to z + h (the stage points z, z + h/2, then
// (z + h/2) + h/2 and the end point z + h, each as the pusher computes it),
// computed once before the particle loop. A lookup at any other z evaluates
// the profile directly, so results are bit for bit those without the memo.
struct EngeMemo {
  std::int32_t count = 0;
  std::array<double, 4> z{};
  std::array<Profile, 4> G{};

  void prepare(const EngeLens& lens, double z0, double h);
  Profile at(const EngeLens& lens, double zz) const {
    for (std::int32_t k = 0; k < count; ++k)
      if (z[static_cast<std::size_t>(k)] == zz) return G[static_cast<std::size_t>(k)];
    return enge_profile(lens, lens.zc(zz));
  }
};

// The lens fields at (x, y) for the profile g = G(0..6) at the point.
// quad_field: B (G) of a quadrupole of gradient Gq (G/cm).
void quad_field(double x, double y, const Profile& g, double Gq, Vec3& B);
// Its formula on plain values (g0..g6 = G(0..6)), inline so that the
// lockstep push evaluates it for several particles at once.
inline void quad_field_value(double x, double y, double g0, double g1, double g2, double g3,
                             double g4, double g5, double g6, double Gq, double& Bx, double& By,
                             double& Bz) {
  const double x2 = x * x;
  const double y2 = y * y;
  const double x4 = x2 * x2;
  const double y4 = y2 * y2;
  const double r2 = x2 + y2;
  Bx = Gq * y *
       (g0 - (3.0 * x2 + y2) * g2 / 12.0 + (5.0 * x4 + 6.0 * x2 * y2 + y4) * g4 / 384.0 -
        (7.0 * x4 * x2 + 15.0 * x4 * y2 + 9.0 * x2 * y4 + y4 * y2) * g6 / 23040.0);
  By = Gq * x *
       (g0 - (x2 + 3.0 * y2) * g2 / 12.0 + (x4 + 6.0 * x2 * y2 + 5.0 * y4) * g4 / 384.0 -
        (x4 * x2 + 9.0 * x4 * y2 + 15.0 * x2 * y4 + 7.0 * y4 * y2) * g6 / 23040.0);
  Bz = Gq * x * y * (g1 - r2 * g3 / 12.0 + r2 * r2 * g5 / 384.0);
}
// equad_field: E (V/cm) of an electrostatic quadrupole with E0 = voltage
// scale / aperture^2 (V/cm^2).
void equad_field(double x, double y, const Profile& g, double E0, Vec3& E);
// Its formula on plain values, inline for the lockstep push.
inline void equad_field_value(double x, double y, double g0, double g1, double g2, double E0,
                              double& Ex, double& Ey, double& Ez) {
  Ex = -E0 * x * (g0 - x * x * g2 / 6.0);
  Ey = E0 * y * (g0 - y * y * g2 / 6.0);
  Ez = -E0 * g1 * (x * x - y * y) / 2.0;
}
// mult_field: B (G) of the quadrupole Gq (G/cm), sextupole Gs (G/cm^2) and
// octupole Gh (G/cm^3) components.
void mult_field(double x, double y, const Profile& g, double Gq, double Gs, double Gh, Vec3& B);
// Its formula on plain values, inline for the lockstep push: the
// quadrupole, then the sextupole and octupole terms added.
inline void mult_field_value(double x, double y, double g0, double g1, double g2, double g3,
                             double g4, double g5, double g6, double Gq, double Gs, double Gh,
                             double& Bx, double& By, double& Bz) {
  quad_field_value(x, y, g0, g1, g2, g3, g4, g5, g6, Gq, Bx, By, Bz);
  const double x2 = x * x;
  const double y2 = y * y;
  const double x4 = x2 * x2;
  const double y4 = y2 * y2;
  Bx += Gs * x * y * (2.0 * g0 - (12.0 * x2 + 4.0 * y2) * g2 / 48.0) +
        Gh * y * ((3.0 * x2 - y2) * g0 - (5.0 * x4 - y4) * g2 / 20.0);
  By += Gs * ((x2 - y2) * g0 - (3.0 * x4 + 6.0 * x2 * y2 - 5.0 * y4) * g2 / 48.0) +
        Gh * x * ((x2 - 3.0 * y2) * g0 - (x4 - 5.0 * y4) * g2 / 20.0);
  Bz += Gs * y * ((x2 - y2 / 3.0) * g1 - (3.0 * x4 + 2.0 * x2 * y2 - y4) * g3 / 48.0) +
        Gh * g1 * x * y * (x2 - y2);
}

// The memoised profile G(0..6) at the points of W lanes, laid out by order
// and lane; zero for the lanes without field (field[l] false).
template <int W>
inline void profile_lanes(const EngeMemo& memo, const EngeLens& lens, const double* z,
                          const bool* field, double (&g)[7][W]) {
  for (int l = 0; l < W; ++l) {
    const Profile p = field[l] ? memo.at(lens, z[l]) : Profile{};
    for (int k = 0; k < 7; ++k) g[k][l] = p[static_cast<std::size_t>(k)];
  }
}

// Field sources of the lenses (element_field in V/cm and G). The profile is
// memoised per step when the stepping template asks for it.
struct QuadSource {
  static constexpr bool kNoElectricField = true;  // the lanes give +0 for it
  EngeLens lens;
  double Gq = 0.0;  // gradient field1 / aperture_r, G/cm
  double ap = 0.0;  // aperture radius, cm
  EngeMemo memo;
  void prepare_step(double z, double h) { memo.prepare(lens, z, h); }
  // Outside the aperture the field is zero and the particle is not lost.
  bool element_field(double x, double y, double z, double, Vec3&, Vec3& B) const {
    if (x * x + y * y >= ap * ap) return true;
    quad_field(x, y, memo.at(lens, z), Gq, B);
    return true;
  }
  // The same for W points at once (active[l]: evaluate lane l), the field
  // laid out by component and lane: the formula runs on vector registers.
  template <int W>
  void element_field_lanes(const double* x, const double* y, const double* z, const bool* active,
                           double (&E)[3][W], double (&B)[3][W], bool* inside) const {
    double g[7][W];
    bool field[W];
    for (int l = 0; l < W; ++l) {
      inside[l] = active[l];
      field[l] = active[l] && !(x[l] * x[l] + y[l] * y[l] >= ap * ap);
    }
    profile_lanes<W>(memo, lens, z, field, g);
    double b[3][W];
    for (int l = 0; l < W; ++l)
      quad_field_value(x[l], y[l], g[0][l], g[1][l], g[2][l], g[3][l], g[4][l], g[5][l], g[6][l],
                       Gq, b[0][l], b[1][l], b[2][l]);
    for (int c = 0; c < 3; ++c)
      for (int l = 0; l < W; ++l) {
        E[c][l] = 0.0;
        B[c][l] = field[l] ? b[c][l] : 0.0;
      }
  }
};

struct EquadSource {
  static constexpr bool kNoMagneticField = true;  // the lanes give +0 for it
  EngeLens lens;
  double E0 = 0.0;  // field2 / aperture_r^2, V/cm^2
  double ap = 0.0;  // cm
  EngeMemo memo;
  void prepare_step(double z, double h) { memo.prepare(lens, z, h); }
  // Outside the aperture the field is zero and the particle is not lost.
  bool element_field(double x, double y, double z, double, Vec3& E, Vec3&) const {
    if (x * x + y * y >= ap * ap) return true;
    equad_field(x, y, memo.at(lens, z), E0, E);
    return true;
  }
  // The same for W points at once, as QuadSource::element_field_lanes.
  template <int W>
  void element_field_lanes(const double* x, const double* y, const double* z, const bool* active,
                           double (&E)[3][W], double (&B)[3][W], bool* inside) const {
    double g[7][W];
    bool field[W];
    for (int l = 0; l < W; ++l) {
      inside[l] = active[l];
      field[l] = active[l] && !(x[l] * x[l] + y[l] * y[l] >= ap * ap);
    }
    profile_lanes<W>(memo, lens, z, field, g);
    double e[3][W];
    for (int l = 0; l < W; ++l)
      equad_field_value(x[l], y[l], g[0][l], g[1][l], g[2][l], E0, e[0][l], e[1][l], e[2][l]);
    for (int c = 0; c < 3; ++c)
      for (int l = 0; l < W; ++l) {
        E[c][l] = field[l] ? e[c][l] : 0.0;
        B[c][l] = 0.0;
      }
  }
};

struct MultSource {
  static constexpr bool kNoElectricField = true;  // the lanes give +0 for it
  EngeLens lens;
  double Gq = 0.0, Gs = 0.0, Gh = 0.0;  // G/cm, G/cm^2, G/cm^3
  double ap = 0.0;                      // cm
  EngeMemo memo;
  void prepare_step(double z, double h) { memo.prepare(lens, z, h); }
  // A point outside the aperture gets no field and is lost.
  bool element_field(double x, double y, double z, double, Vec3&, Vec3& B) const {
    if (x * x + y * y >= ap * ap) return false;
    mult_field(x, y, memo.at(lens, z), Gq, Gs, Gh, B);
    return true;
  }
  // The same for W points at once, as QuadSource::element_field_lanes; a
  // lane outside the aperture is lost.
  template <int W>
  void element_field_lanes(const double* x, const double* y, const double* z, const bool* active,
                           double (&E)[3][W], double (&B)[3][W], bool* inside) const {
    double g[7][W];
    for (int l = 0; l < W; ++l) inside[l] = active[l] && !(x[l] * x[l] + y[l] * y[l] >= ap * ap);
    profile_lanes<W>(memo, lens, z, inside, g);
    double b[3][W];
    for (int l = 0; l < W; ++l)
      mult_field_value(x[l], y[l], g[0][l], g[1][l], g[2][l], g[3][l], g[4][l], g[5][l], g[6][l],
                       Gq, Gs, Gh, b[0][l], b[1][l], b[2][l]);
    for (int c = 0; c < 3; ++c)
      for (int l = 0; l < W; ++l) {
        E[c][l] = 0.0;
        B[c][l] = inside[l] ? b[c][l] : 0.0;
      }
  }
};

// The sources of the current element from the run context: the scales and
// aperture of the reference block (field1, field2, aperture_r, mult_coef),
// the gap drift_aper_y, eff_len, elem_len, ifringe and the Enge coefficients
// in use.
EngeLens lens_of(const TransportContext& sim);
QuadSource quad_source(const TransportContext& sim);
EquadSource equad_source(const TransportContext& sim);
MultSource mult_source(const TransportContext& sim);

// True for the lens types 4 (quad), 8 (mult), 17 (equad), 29 (m5).
bool is_lens_type(int itype);

// The field of the current lens element at a point as FieldAt gives it;
// false outside the aperture of a multipole.
bool lens_field_at(const TransportContext& sim, double x, double y, double z, double t, Vec3& E, Vec3& B);

}  // namespace linac
