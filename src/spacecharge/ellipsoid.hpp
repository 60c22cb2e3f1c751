// Check of the 3-D solver against the uniformly charged ellipsoid, whose
// field inside is linear: E_x = (rho/eps0) Mx x, and alike in y and z, with
// depolarisation factors Mx + My + Mz = 1 that depend on the semi-axes only.
// sc_field_test scans the grid field through the beam centre, fits the
// gradients and lists them in log.dat beside the envelope-code form factor
// and the exact factors by quadrature.
#pragma once

namespace linac {

struct SpaceChargeContext;

void sc_field_test(SpaceChargeContext& sim);

// Envelope-code form factor f(p) of an ellipsoid with p = c / sqrt(a b).
double ellipsoid_form_factor(double p);

// Exact factor along the first semi-axis a of an ellipsoid with semi-axes
// a, b, c (cm): (a b c / 2) int_0^inf ds / ((a^2+s) sqrt((a^2+s)(b^2+s)(c^2+s))),
// by quadrature to 100 K (K = (3a^2 + b^2 + c^2)/2) and the asymptotic tail.
double ellipsoid_factor_abc(SpaceChargeContext& sim, double a, double b, double c);

// Mx, My, Mz of the ellipsoid A_AXE, B_AXE, c_axe_rest.
double ellipsoid_factor_x(SpaceChargeContext& sim);
double ellipsoid_factor_y(SpaceChargeContext& sim);
double ellipsoid_factor_z(SpaceChargeContext& sim);

}  // namespace linac
