// Geometry set-up of the bending magnet: the ideal geometry, moved by what
// the reference particle shows in reference passes so that it leaves on the
// exit axis; the fringe listing with the fringe-field integrals.
#include <cmath>
#include <string_view>
#include <vector>

#include "elements/elements_context.hpp"
#include "common/unit_numbers.hpp"
#include "elements/bend.hpp"
#include "numerics/spline.hpp"
#include "platform/format.hpp"

namespace linac {

void bmag_ideal_geometry(ElementsContext& sim) {
  BendGeom& g = sim.bmag_geom;
  StepGeometry& sg = sim.transport.step;
  const double R = g.bend_radius;
  const double a = std::abs(g.bend_angle);
  g.straight_len = (sim.ref.elem_len - a * R) / 2.0;
  const double Ls = g.straight_len;
  g.arc_xc = -R;
  g.arc_zc = Ls;
  g.edge_in_x = 0.0;
  g.edge_in_z = Ls;
  g.edge_in_c = std::cos(kPi - g.edge_in);
  g.edge_in_s = std::sin(kPi - g.edge_in);
  g.edge_out_x = R * std::cos(a) - R;
  g.edge_out_z = R * std::sin(a) + Ls;
  g.edge_out_c = std::cos(g.edge_out - a);
  g.edge_out_s = std::sin(g.edge_out - a);
  sg.exit_px = R * std::cos(a) - R - Ls * std::sin(a);
  sg.exit_pz = Ls + R * std::sin(a) + Ls * std::cos(a);
  sg.exit_nx = -std::sin(a);
  sg.exit_nz = std::cos(a);
}

namespace {

// The design velocity from w0.
double design_beta(const ElementsContext& sim) {
  const double gamma = sim.ref.w0 / sim.ref.amu_kev + 1.0;
  return std::sqrt(1.0 - 1.0 / (gamma * gamma));
}

// One reference pass from the state Y0 to the exit plane (t = 0): the
// exit-frame state (x_e, x'_e, y, y', t, beta).
State6 reference_pass(ElementsContext& sim, const State6& Y0) {
  const double beta0 = design_beta(sim);
  const double h = sim.ref.elem_len / (beta0 * sim.ref.nstep);
  double t = 0.0;
  State6 Y = Y0;
  ref_to_exit_plane_t(sim, t, h, Y);
  return Y;
}

State6 from_entrance(const ElementsContext& sim) { return {0.0, 0.0, 0.0, 0.0, 0.0, design_beta(sim)}; }

// Mirror in x for a negative angle.
void mirror_geometry(ElementsContext& sim) {
  BendGeom& g = sim.bmag_geom;
  StepGeometry& sg = sim.transport.step;
  g.arc_xc = -g.arc_xc;
  sim.ref.field1 = -sim.ref.field1;
  g.edge_in_s = -g.edge_in_s;
  g.edge_in_x = -g.edge_in_x;
  g.edge_out_s = -g.edge_out_s;
  g.edge_out_x = -g.edge_out_x;
  sg.exit_nx = -sg.exit_nx;
  sg.exit_px = -sg.exit_px;
}

}  // namespace

void bmag_setup_fringe(ElementsContext& sim) {
  BendGeom& g = sim.bmag_geom;
  StepGeometry& sg = sim.transport.step;
  ReferenceBlock& r = sim.ref;
  const double scur = sim.current.scur;
  sim.current.scur = 0.0;
  const double R = g.bend_radius;
  const double a = std::abs(g.bend_angle);
  const double Ls = g.straight_len;
  const double beta0 = design_beta(sim);
  // 2. Ideal geometry, the exit edge turned first by the entrance edge angle.
  bmag_ideal_geometry(sim);
  g.edge_out_c = std::cos(g.edge_in - a);
  g.edge_out_s = std::sin(g.edge_in - a);
  // 3. Pass 1 from the middle of the arc: shift the magnet sideways by the
  //    exit offset x1.
  const State6 mid{R * std::cos(a / 2.0) - R, 0.0, Ls + R * std::sin(a / 2.0),
                   -beta0 * std::sin(a / 2.0), 0.0, beta0 * std::cos(a / 2.0)};
  const double x1 = reference_pass(sim, mid)[0];
  g.edge_in_x = -x1;
  g.edge_out_c = std::cos(g.edge_out - a);
  g.edge_out_s = std::sin(g.edge_out - a);
  g.edge_out_x = R * std::cos(a) - R - x1;
  g.edge_out_z = R * std::sin(a) + Ls;
  g.arc_xc = -x1 - R;
  // 4. Pass 2 from the entrance: shift along z by D (not for a half turn)
  //    and turn the exit edge by the exit slope.
  const State6 Y2 = reference_pass(sim, from_entrance(sim));
  const double x2 = Y2[0];
  const double x2p = Y2[1];
  const double D = std::abs(a - kPi) > kPi / 6.0 ? -x2 / std::sin(a) : 0.0;
  g.edge_in_z = Ls + D;
  g.arc_xc = -x1 - R;
  g.arc_zc = Ls + D;
  g.edge_out_x = R * std::cos(a) - R - x1 - R * x2p * std::cos(a);
  g.edge_out_z = R * std::sin(a) + Ls + D + R * x2p * std::sin(a);
  // 5. Pass 3: the exit plane onto the reference.
  const State6 Y3 = reference_pass(sim, from_entrance(sim));
  sg.exit_px += Y3[0] * std::cos(a);
  sg.exit_pz += Y3[0] * std::sin(a);
  sg.exit_nx = -std::sin(a - Y3[1]);
  sg.exit_nz = std::cos(a - Y3[1]);
  // 6. Pass 4: the path length of the reference; its excess over L moves
  //    every later element.
  const State6 Y4 = reference_pass(sim, from_entrance(sim));
  g.ref_path_len = r.wavelength_2pi * Y4[4] * beta0;
  r.z_offset += g.ref_path_len - r.elem_len;
  r.elem_len = g.ref_path_len;
  // 7.
  if (g.bend_angle < 0.0) mirror_geometry(sim);
  sim.current.scur = scur;
  if (sim.state.IFLAG_LOG > 0) bmag_fringe_listing(sim);
}

void bmag_setup_simple(ElementsContext& sim) {
  BendGeom& g = sim.bmag_geom;
  StepGeometry& sg = sim.transport.step;
  const double scur = sim.current.scur;
  sim.current.scur = 0.0;
  const double a = std::abs(g.bend_angle);
  bmag_ideal_geometry(sim);
  const State6 Y1 = reference_pass(sim, from_entrance(sim));
  sg.exit_px += Y1[0] * std::cos(a);
  sg.exit_pz += Y1[0] * std::sin(a);
  sg.exit_nx = std::sin(Y1[1] - a);
  sg.exit_nz = std::cos(Y1[1] - a);
  if (g.bend_angle < 0.0) mirror_geometry(sim);
  sim.current.scur = scur;
}

void bmag_setup_ideal(ElementsContext& sim) {
  const double scur = sim.current.scur;
  sim.current.scur = 0.0;
  bmag_ideal_geometry(sim);
  // The pass only shows where the reference leaves; nothing is moved by it.
  (void)reference_pass(sim, from_entrance(sim));
  sim.current.scur = scur;
}

void bmag_fringe_listing(ElementsContext& sim) {
  const BendGeom& g = sim.bmag_geom;
  const ReferenceBlock& r = sim.ref;
  Units& u = sim.units;
  const double Bf = r.field1;
  const double gamma0 = r.w0 / r.amu_kev + 1.0;
  const double betgam = std::sqrt(gamma0 * gamma0 - 1.0);
  const double p_mev = r.amu_mev * betgam / r.qa_push;
  u.write(kUnitLog, list_directed({std::string_view("      !* BENDING MAGNET *!")}));
  write_checked(sim, kUnitLog, "(A10,F15.2,A6)",
                  {std::string_view("     Bf="), Bf, std::string_view(" G    ")});
  write_checked(sim, kUnitLog, "(A10,D15.6,A6)",
                  {std::string_view("     Ps="), p_mev, std::string_view(" MeV/c")});
  write_checked(sim, kUnitLog, "(A10,F15.8)", {std::string_view(" betgam="), betgam});
  const int nstep = r.nstep;
  const BendFieldData d = bend_field_data(sim);
  std::vector<double> s(static_cast<std::size_t>(nstep) + 1);
  std::vector<double> by(s.size());
  std::vector<double> q(s.size());
  std::vector<double> f(s.size());
  for (const std::int32_t region : {kBendEntranceFringe, kBendExitFringe}) {
    const bool entrance = region == kBendEntranceFringe;
    const double lo = entrance ? g.fringe_in_lo : g.fringe_out_lo;
    const double hi = entrance ? g.fringe_in_hi : g.fringe_out_hi;
    const double e = entrance ? g.edge_in : g.edge_out;
    u.write(kUnitLog, list_directed({std::string_view(" ")}));
    u.write(kUnitLog, list_directed({std::string_view(entrance ? " entrance fringing field"
                                                               : " exit fringing field")}));
    for (int j = 0; j <= nstep; ++j) {
      const auto J = static_cast<std::size_t>(j);
      s[J] = lo + j * (hi - lo) / nstep + 1e-7;
      by[J] = bmag_edge_field(d, region, 0.0, 0.0, s[J])[1];
      q[J] = (Bf - by[J]) * by[J] / (g.bend_gap * Bf * Bf);
      f[J] = by[J] / Bf;
    }
    sim.state.bmag_region = region;
    // Integrals over the table: k1 = int (Bf - B) B / (g Bf^2) ds and the
    // effective field length Heff = int B/Bf ds, by cubic splines.
    CubicSpline sq;
    CubicSpline sf;
    DCSINT(sim, nstep + 1, s, q, sq);
    DCSINT(sim, nstep + 1, s, f, sf);
    const double k1 = DCSITG(sim, s.front(), s.back(), sq.nintv(), sq);
    const double heff = DCSITG(sim, s.front(), s.back(), sf.nintv(), sf);
    write_checked(sim, kUnitLog, "(A10,D15.6)", {std::string_view("     k1="), k1});
    write_checked(sim, kUnitLog, "(A10,D15.6,A6)",
                    {std::string_view("   Heff="), heff, std::string_view(" cm   ")});
    const double Lsl = std::cos(e) * g.straight_len;
    const double side = std::sin(std::abs(e)) * g.bend_width / 2.0;
    write_checked(sim, kUnitLog, "(A10,F6.3)", {std::string_view("   Ls/g="), Lsl / g.bend_gap});
    write_checked(sim, kUnitLog, "(A10,F6.3)",
                    {std::string_view("   L+/g="), (Lsl + side) / g.bend_gap});
    write_checked(sim, kUnitLog, "(A10,F6.3)",
                    {std::string_view("   L-/g="), (Lsl - side) / g.bend_gap});
    u.write(kUnitLog, list_directed({std::string_view("      z, cm "), std::string_view("   B(0,0,z)/Bf ")}));
    for (int j = 0; j <= nstep; ++j)
      write_checked(sim, kUnitLog, "(F12.4,F15.5)", {s[static_cast<std::size_t>(j)], f[static_cast<std::size_t>(j)]});
  }
}

}  // namespace linac
