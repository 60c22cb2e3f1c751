#include "transport/dev_field.hpp"

#include <vector>

#include "transport/transport_context.hpp"
#include "numerics/spline.hpp"
#include "platform/format.hpp"
#include "platform/units.hpp"
#include "transport/field_tables.hpp"
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
  write_formatted(u, kUnitDevField, "(A58,A5,A1,/,A58,F6.3,A4,F6.3,A9,/,A72)",
                  {"  The field of \"", name, "\"", "is extracted along a straiht line { x=", line.x0,
                   ", y=", line.y0, ", z=vary}", "Units are x,y,z[cm], E[V/cm], B[G], U[V]"});
  u.write(kUnitDevField, "");
  write_formatted(u, kUnitDevField, "(7X,A1,3X,7(7X,A2,5X))", {"z", "Ex", "Ey", "Ez", "Bx", "By", "Bz", " U"});

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
      write_formatted(u, kUnitDevField, row,
                      {zc, Es[k][0], Es[k][1], Es[k][2], Bs[k][0], Bs[k][1], Bs[k][2], U[k]});
    }
  }
  line.z_run = zs[n] + line.z_run;
  line.u_run = U[n];
  if (mode == 0) sim.state.dev_field = 0;
  sim.current.scur = scur_saved;
}

}  // namespace linac
