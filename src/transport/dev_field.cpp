#include "transport/dev_field.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include <fmt/format.h>

#include "transport/transport_context.hpp"
#include "numerics/spline.hpp"
#include "platform/fatal.hpp"
#include "platform/format.hpp"
#include "platform/units.hpp"
#include "transport/field_tables.hpp"
#include "transport/push_z.hpp"
#include "transport/table_fields.hpp"

namespace linac {

namespace {

// The table of the current element, raw: a missing one is the driver's
// fault and stops the run through the source makers' message.
const Table3D& raw_table(const TransportContext& sim) { return *static_table_source(sim).table; }

}  // namespace

void field_extraction_output(TransportContext& sim) {
  ReferenceBlock& r = sim.ref;
  DevFieldLine& line = sim.prmtr.dev_field_line;
  const int itype = sim.state.itype;
  const int method = sim.types.type_attr[static_cast<std::size_t>(itype)];
  const int mode = sim.elements.elem_int[static_cast<std::size_t>(sim.state.dev_field)][kElemN];
  const double scur_saved = sim.current.scur;
  sim.current.scur = 0.0;

  Units& u = sim.units;
  const std::string name = sim.types.type_names[static_cast<std::size_t>(itype)].str();
  write_checked(sim, kUnitDevField, "(A58,A5,A1,/,A58,F6.3,A4,F6.3,A9,/,A72)",
                  {"  The field of \"", name, "\"", "is extracted along a straiht line { x=", line.x0,
                   ", y=", line.y0, ", z=vary}", "Units are x,y,z[cm], E[V/cm], B[G], U[V]"});
  u.write(kUnitDevField, "");
  write_checked(sim, kUnitDevField, "(7X,A1,3X,7(7X,A2,5X))", {"z", "Ex", "Ey", "Ez", "Bx", "By", "Bz", " U"});

  // Samples at the step ends k = 0..nstep (the work table holds nstep + 1).
  const int n = r.nstep;
  std::vector<double> zs(static_cast<std::size_t>(n) + 1), ez(zs.size());
  std::vector<Vec3> Es(zs.size()), Bs(zs.size());
  StaticTableGeometry geom;
  if (method == 2) {
    geom.L = r.elem_len;
    geom.aper_x = r.aper_x;
    geom.aper_y = r.aper_y;
    geom.kind = sim.state.table_kind;
    geom.mirror = static_mirror_rules(sim.state.table_kind, sim.state.table_sym);
  }
  for (int k = 0; k <= n; ++k) {
    const double z = r.step_len * k;
    Vec3 E{0.0, 0.0, 0.0}, B{0.0, 0.0, 0.0};
    if (method == 1) {
      field_at(sim, line.x0, line.y0, z, 0.0, E, B);
      for (int c = 0; c < 3; ++c) {
        E[c] = E[c] * kSpeedOfLightSi / kVoltPerCmScale;
        B[c] = B[c] * kGaussPerTesla;
      }
    } else if (method == 2) {
      field_table_a(raw_table(sim), geom, line.x0, line.y0, z, E, B);
    } else if (method == 3) {
      rf_table_field(*rf_table_source(sim).table, r.elem_len, r.aperture_r, line.x0, line.y0, z, E, B);
    }
    zs[k] = z;
    ez[k] = E[2];
    Es[k] = E;
    Bs[k] = B;
  }
  // U_k: the running voltage plus the integral of Ez from z_0 to z_k.
  std::vector<double> U(zs.size(), line.u_run);
  if (n >= 1) {
    CubicSpline sp;
    DCSINT(sim, n + 1, zs, ez, sp);
    for (int k = 1; k <= n; ++k) U[k] = line.u_run + DCSITG(sim, zs[0], zs[k], sp.nintv(), sp);
  }
  if (mode == 0 || mode == 1) {
    const FortranFormat row("(F11.3,7D14.5)");
    for (int k = 0; k <= n; ++k) {
      const double zc = mode == 0 ? zs[k] : zs[k] + line.z_run;
      write_checked(sim, kUnitDevField, row,
                      {zc, Es[k][0], Es[k][1], Es[k][2], Bs[k][0], Bs[k][1], Bs[k][2], U[k]});
    }
  }
  line.z_run = zs[n] + line.z_run;
  line.u_run = U[n];
  if (mode == 0) sim.state.dev_field = 0;
  sim.current.scur = scur_saved;
}

namespace {

// Field of the current element at a point, phase 0, in V/cm and G.
void field_vcm_gauss(TransportContext& sim, double x, double y, double z, Vec3& E, Vec3& B) {
  field_at(sim, x, y, z, 0.0, E, B);
  for (int c = 0; c < 3; ++c) {
    E[c] = E[c] * kSpeedOfLightSi / kVoltPerCmScale;
    B[c] = B[c] * kGaussPerTesla;
  }
}

// asinh(s)/s, 1 at s = 0.
double asinh_ratio(double s) { return s == 0.0 ? 1.0 : std::asinh(s) / s; }

}  // namespace

void write_reference_checks(TransportContext& sim, std::int32_t i, std::int32_t iq) {
  const ReferenceBlock& r = sim.ref;
  const ParticleArrays& p = sim.particles;
  const RunConfig& c = sim.config;
  if (iq < 1 || iq > c.NQTOT || i < 0 || i > c.NPAT[static_cast<std::size_t>(iq)] + sim.npat.ntest[static_cast<std::size_t>(iq)])
    fatal(fmt::format(" reference checks: particle {} of charge state {} does not exist", i, iq));
  if (p.status[iq][i] < 0 || !(p.beta[iq][i] > 0.0 && p.beta[iq][i] < 1.0))
    fatal(fmt::format(" reference checks: particle {} of charge state {} is lost or has beta = {}", i, iq,
                      p.beta[iq][i]));
  const double scur_saved = sim.current.scur;
  const std::int32_t ilost_saved = sim.state.ilost;
  sim.current.scur = 0.0;
  const double m = r.amu_kev;  // keV per nucleon at rest
  const int n = r.nstep;

  // Design energy along the element from the integral of Ez on the axis.
  std::vector<double> zs(static_cast<std::size_t>(std::max(n, 0)) + 1), ez(zs.size());
  for (std::size_t k = 0; k < zs.size(); ++k) {
    Vec3 E, B;
    zs[k] = r.step_len * static_cast<double>(k);
    field_vcm_gauss(sim, 0.0, 0.0, zs[k], E, B);
    ez[k] = E[2];
  }
  std::vector<double> U(zs.size(), 0.0);  // V
  if (n >= 1) {
    CubicSpline sp;
    DCSINT(sim, n + 1, zs, ez, sp);
    for (int k = 1; k <= n; ++k) U[k] = DCSITG(sim, zs[0], zs[k], sp.nintv(), sp);
  }
  const double qa_design = r.QDESIGN / r.ADESIGN;
  Units& u = sim.units;
  u.open(kUnitRefInt, "ref_int.dat");
  {
    const FortranFormat row("(3D15.7)");
    for (std::size_t k = 0; k < zs.size(); ++k) {
      const double W = r.w0 + qa_design * U[k] / 1000.0;
      write_checked(sim, kUnitRefInt, row, {zs[k], W, 1.0 + W / m});
    }
  }
  u.close(kUnitRefInt);

  // One particle in the uniform fields of the entrance. Per nucleon, in
  // keV: total energy Et, momentum components times c. Ez adds
  // qa Ez dz/1000 to Et and nothing to the transverse momentum, whose
  // magnitude stays, so Et^2 - pz^2 = Mt^2 holds along the path; the proper
  // time follows from d(rapidity)/d(c tau) = qa Ez / (1000 m) and Bz turns
  // the transverse momentum by phi = K qa Bz c tau.
  Vec3 E0, B0;
  field_vcm_gauss(sim, 0.0, 0.0, 0.0, E0, B0);
  const double qa = p.qa[iq][i];
  const double beta = p.beta[iq][i];
  const double xp = p.xp[iq][i], yp = p.yp[iq][i];
  const double bz0 = beta / std::sqrt(1.0 + xp * xp + yp * yp);
  const double g0 = 1.0 / std::sqrt(1.0 - beta * beta);
  const double Et0 = g0 * m;
  const double pz0 = g0 * bz0 * m;
  const double wx = g0 * xp * bz0, wy = g0 * yp * bz0;  // transverse gamma beta
  const double Mt2 = Et0 * Et0 - pz0 * pz0;
  const double bfield = B0[2] / kGaussPerTesla;  // T
  const FortranFormat row("(14D15.5)");
  u.open(kUnitEb, "eb.dat");
  u.open(kUnitEbVelmo, "eb_velmo.dat");
  for (int j = 0; j <= 5 * n; ++j) {
    const double dz = r.step_len * j / 5.0;
    const double d = qa * E0[2] * dz / 1000.0;  // energy gain, keV/u
    const double Et = Et0 + d;
    const double pz2 = Et * Et - Mt2;
    if (!(pz2 > 0.0)) break;  // turned back before this point
    const double pz = std::sqrt(pz2);
    const double X = (Et + Et0) / (pz * Et0 + Et * pz0);
    const double ctau = m * dz * X * asinh_ratio(d * X);  // c times proper time, cm
    const double ct = dz * (2.0 * Et0 + d) / (pz + pz0);  // c times time, cm
    const double phi = kForceK * qa * bfield * ctau;
    const double S = phi == 0.0 ? 1.0 : std::sin(phi) / phi;
    const double h = std::sin(0.5 * phi);
    const double C = phi == 0.0 ? 0.0 : 2.0 * h * h / phi;
    const double x = p.x[iq][i] + ctau * (wx * S + wy * C);
    const double y = p.y[iq][i] + ctau * (wy * S - wx * C);
    const double g = Et / m;
    const double cp = std::cos(phi), sp = std::sin(phi);
    const double bx = (wx * cp + wy * sp) / g;
    const double by = (wy * cp - wx * sp) / g;
    const double bz = pz / Et;
    const double phase = p.phase[iq][i] + ct / r.wavelength_2pi;
    Vec3 E, B;
    field_vcm_gauss(sim, x, y, dz, E, B);
    write_checked(sim, kUnitEb, row, {dz, x, y, bx, by, bz, g, phase, E[0], E[1], E[2], B[0], B[1], B[2]});
  }
  u.close(kUnitEb);
  u.close(kUnitEbVelmo);
  sim.state.ilost = ilost_saved;
  sim.current.scur = scur_saved;
}

}  // namespace linac
