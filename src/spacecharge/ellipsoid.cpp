#include "spacecharge/ellipsoid.hpp"

#include <array>
#include <cmath>
#include <string>

#include "common/constants.hpp"
#include "spacecharge/sc_context.hpp"
#include "common/unit_numbers.hpp"
#include "numerics/quadrature.hpp"
#include "platform/format.hpp"
#include "spacecharge/interpolate.hpp"

namespace linac {

namespace {

constexpr int kScanIntervals = 300;
constexpr double kScanWidth = 5.0;   // rms sizes
constexpr double kScanStart = 2.5;   // rms sizes below the centre
constexpr float kFitWindow = 1.8f;   // rms sizes, single precision
constexpr double kFourPiOver3 = 4.1887903296220665;
constexpr double kEps0Si = 8.8541e-12;  // F/m
constexpr int kUnitScanX = 301, kUnitScanY = 302, kUnitScanZ = 303;

// Gradient of the field component along a scan through the centre c:
// points c + t for |t| <= 1.8 rms, fitted by a line through t = 0.
template <class FieldFn>
double scan(SpaceChargeContext& sim, int unit, const char* axis, double rms, int comp, FieldFn&& field) {
  write_checked(sim, unit, "(11X,A4,3(8X,A7))", {axis, "Ex,V/cm", "Ey,V/cm", "Ez,V/cm"});
  FormatCache cache;
  const FortranFormat& f = cache.get("(4D15.5)");
  double s1 = 0.0, s2 = 0.0;
  const double window = widen(kFitWindow) * rms;
  for (int q = 0; q <= kScanIntervals; ++q) {
    const double t = (kScanWidth * rms / kScanIntervals) * q - kScanStart * rms;
    std::array<double, 3> E{};
    field(t, E);
    if (std::abs(t) <= window) {
      s1 += t * E[comp];
      s2 += t * t;
      write_checked(sim, unit, f, {t, E[0], E[1], E[2]});
    }
  }
  return s1 / s2;
}

// The three factors under their labels, then the gradients E0 M they give.
void write_factors(SpaceChargeContext& sim, const std::array<const char*, 3>& labels, const std::array<double, 3>& M,
                   double E0) {
  for (int k = 0; k < 3; ++k) write_checked(sim, kUnitLog, "(A10,F15.6)", {labels[k], M[k]});
  const char* grad[3] = {" dEdx=", " dEdy=", " dEdz="};
  for (int k = 0; k < 3; ++k) write_checked(sim, kUnitLog, "(A10,F15.6,A10)", {grad[k], E0 * M[k], " V/cm**2"});
}

double factor_integral(SpaceChargeContext& sim, double a, double b, double c) {
  // The first semi-axis carries the cube.
  const double a2 = a * a, b2 = b * b, c2 = c * c;
  const Integrand f = [=](double s) {
    const double as = a2 + s;
    return 1.0 / std::sqrt(as * as * as * (b2 + s) * (c2 + s));
  };
  const double K = (3.0 * a2 + b2 + c2) / 2.0;
  const double U = 100.0 * K;
  double I = 0.0, err = 0.0;
  DQDAGS(sim, f, 0.0, U, 0.0, widen(1e-4f), I, err);
  const double T = (1.0 - widen(0.6f) * K / U) * widen(0.666667f) / std::pow(U, 1.5);
  return a * b * c * (I + T) * 0.5;
}

}  // namespace

double ellipsoid_form_factor(double p) {
  if (p <= 1.0)
    return widen(0.9958f) - widen(1.44291f) * p + widen(1.22775f) * p * p -
           widen(0.4505f) * p * p * p;
  if (p > 1.0 && p < 10.0)
    return widen(0.37211f) / p - widen(0.01958f) + widen(0.07f) / (p * p) -
           widen(0.09025f) / (p * p * p);
  return widen(0.2f) / p;
}

double ellipsoid_factor_abc(SpaceChargeContext& sim, double a, double b, double c) {
  return factor_integral(sim, a, b, c);
}

double ellipsoid_factor_x(SpaceChargeContext& sim) {
  return factor_integral(sim, sim.sc.A_AXE, sim.sc.B_AXE, sim.sc_grid.c_axe_rest);
}
double ellipsoid_factor_y(SpaceChargeContext& sim) {
  return factor_integral(sim, sim.sc.B_AXE, sim.sc.A_AXE, sim.sc_grid.c_axe_rest);
}
double ellipsoid_factor_z(SpaceChargeContext& sim) {
  return factor_integral(sim, sim.sc_grid.c_axe_rest, sim.sc.A_AXE, sim.sc.B_AXE);
}

void sc_field_test(SpaceChargeContext& sim) {
  if (sim.config.IFLAG2D != 0) return;
  ScGrid& g = sim.sc_grid;
  Units& u = sim.units;
  const BeamMoments& bm = sim.beam_moments;
  u.write(kUnitLog, list_directed({" VELMO in box,moving frame"}));
  // Scans through the centroid (rest frame), fitted against the distance
  // from it.
  const double xc = bm.centroid[1];
  const double yc = bm.centroid[3];
  const double zc = -g.beta_sc * bm.centroid[5] * sim.ref.wavelength_2pi * g.gamma_sc;
  const char* grad = "(A10,F15.6,A10)";
  const double dx = scan(sim, kUnitScanX, "x,cm", g.sc_rms_x, 0, [&](double t, std::array<double, 3>& E) {
    sc_field_3d_at(g, xc + t, yc, zc, E);
  });
  write_checked(sim, kUnitLog, grad, {" dEdx=", dx, " V/cm**2"});
  const double dy = scan(sim, kUnitScanY, "y,cm", g.sc_rms_y, 1, [&](double t, std::array<double, 3>& E) {
    sc_field_3d_at(g, xc, yc + t, zc, E);
  });
  write_checked(sim, kUnitLog, grad, {" dEdy=", dy, " V/cm**2"});
  const double dz = scan(sim, kUnitScanZ, "z,cm", g.sc_rms_z, 2, [&](double t, std::array<double, 3>& E) {
    sc_field_3d_at(g, xc, yc, zc + t, E);
  });
  write_checked(sim, kUnitLog, grad, {" dEdz=", dz, " V/cm**2"});

  const double a = sim.sc.A_AXE, b = sim.sc.B_AXE;
  g.c_axe_rest = g.gamma_sc * sim.sc.C_AXE;
  const double c = g.c_axe_rest;
  // The reference fields belong to an ellipsoid with a body: with a semi-axis
  // of 0 (group OTHER not read, or a beam it does not describe) the charge
  // density is infinite, and the factor integrals diverge at s = 0 (those
  // of a zero semi-axis like s^-3/2 or faster). The grid scans above stand.
  const char* why = nullptr;
  if (!(a > 0.0 && b > 0.0))
    why = " no ellipsoid comparison: A_AXE or B_AXE is 0";
  else if (!(c > 0.0))
    why = " no ellipsoid comparison: C_AXE is 0";
  if (why != nullptr) {
    u.write(kUnitLog, list_directed({why}));
    return;
  }
  const double E0 = sim.sc.sc_charge / (a * kFourPiOver3 * b * c) / kEps0Si * 1000000.0 * 0.0001;
  const double p = c / std::sqrt(a * b);
  const double f = ellipsoid_form_factor(p);
  const double Mx = (1.0 - f) * b / (a + b), My = (1.0 - f) * a / (a + b), Mz = f;
  const char* val = "(A10,F15.6)";
  u.write(kUnitLog, list_directed({" TRACE3d in free space,moving frame"}));
  write_checked(sim, kUnitLog, val, {"  gam=", g.gamma_sc});
  write_checked(sim, kUnitLog, val, {"    p=", p});
  write_factors(sim, {"   Mx=", "   My=", "   Mz="}, {Mx, My, Mz}, E0);
  const double ex = ellipsoid_factor_x(sim), ey = ellipsoid_factor_y(sim), ez = ellipsoid_factor_z(sim);
  u.write(kUnitLog, list_directed({" EXACT SOLUTION in free space,moving frame"}));
  write_factors(sim, {"  Mx=", "  My=", "  Mz="}, {ex, ey, ez}, E0);
}

}  // namespace linac
