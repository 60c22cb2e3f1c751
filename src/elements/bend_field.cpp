#include "elements/bend_field.hpp"

#include <cmath>

#include "elements/elements_context.hpp"

namespace linac {

namespace {

// The fringe field at height y above the midplane of a point at distance s
// (cm) outside the edge, with (cu, cv) the unit gradient of s: the Enge
// profile F(s) and its derivatives, expanded to y^6 in B_y and y^5 in B_s
// (B_s along the gradient), in G as (B_u, B_y, B_v).
Vec3 edge_field_expansion(const BendFieldData& d, bool exit_edge, double s, double cu, double cv,
                          double y) {
  const EngeValues F = enge_function(d.geom.bend_gap, s, exit_edge ? d.enge_out : d.enge_in);
  const double y2 = y * y;
  const double By = d.Bf * (F[0] - y2 * F[2] / 2.0 + y2 * y2 * F[4] / 24.0 -
                            y2 * y2 * y2 * F[6] / 720.0);
  const double Bs = d.Bf * y * (F[1] - y2 * F[3] / 6.0 + y2 * y2 * F[5] / 120.0);
  return {cu * Bs, By, cv * Bs};
}

}  // namespace

Vec3 bmag_edge_field(const BendFieldData& d, std::int32_t region, double u, double y, double v) {
  const BendGeom& g = d.geom;
  const bool exit_edge = region == kBendExitFringe;
  // The edge is a circle of radius |k| with its centre at v = -k on the
  // normal; s is the distance outside it, (cu, cv) the gradient of s.
  const double k = 1.0 / (exit_edge ? g.edge_curv_out : g.edge_curv_in);
  double s;
  double cu;
  double cv;
  if (k > 0.0) {
    const double w = k + v;
    const double rho = std::sqrt(w * w + u * u);
    s = rho - k;
    cu = u / rho;
    cv = w / rho;
  } else {
    const double w = -(k + v);
    const double rho = std::sqrt(w * w + u * u);
    s = -(k + rho);
    cu = -u / rho;
    cv = w / rho;
  }
  return edge_field_expansion(d, exit_edge, s, cu, cv, y);
}

Vec3 bmag_edge_field2(const BendFieldData& d, std::int32_t region, double u, double y, double v) {
  const BendGeom& g = d.geom;
  const bool exit_edge = region == kBendExitFringe;
  const double k = 1.0 / (exit_edge ? g.edge_curv_out : g.edge_curv_in);
  // Signed distance outside the edge circle (convex edge k > 0: outside
  // the circle; concave edge k < 0: inside it) and its unit gradient.
  const double sg = k > 0.0 ? 1.0 : -1.0;
  const double w = k + v;
  const double rho = std::sqrt(w * w + u * u);
  const double s = sg * (rho - std::abs(k));
  const double cu = sg * u / rho;
  const double cv = sg * w / rho;
  return edge_field_expansion(d, exit_edge, s, cu, cv, y);
}

namespace {

// (B_u, B_y, B_v) of an edge with direction (c, s) into element-frame
// components.
Vec3 edge_to_frame(const Vec3& e, double c, double s) {
  return {c * e[0] + s * e[2], e[1], c * e[2] - s * e[0]};
}

}  // namespace

BendFieldPoint bmag_field(const BendFieldData& d, double x, double y, double z) {
  const BendGeom& g = d.geom;
  const BendExitPlane& ex = d.exit;
  BendFieldPoint p;
  // Beyond the exit plane and behind the entrance plane: no field, no loss.
  if ((x - ex.px) * ex.nx + (z - ex.pz) * ex.nz > 0.0 && z < 0.0) return p;
  p.inside = false;
  if (std::abs(y) >= g.half_gap) return p;
  bool in_flag = false;
  bool out_flag = false;
  // Entrance straight part.
  const double dzi = g.edge_in_z - z;
  if (dzi >= 0.0 && std::abs(g.edge_in_x - x) <= g.half_width) {
    in_flag = true;
    p.inside = true;
  }
  // Exit straight part, in the frame of the exit axis.
  const double dxo = x - g.edge_out_x;
  const double dzo = z - g.edge_out_z;
  const double t = ex.nz * dxo - ex.nx * dzo;
  const double l = ex.nx * dxo + ex.nz * dzo;
  if (l >= 0.0 && std::abs(t) <= g.half_width) {
    out_flag = true;
    p.inside = true;
  }
  // Within half the width of the arc.
  const double r = std::sqrt((z - g.arc_zc) * (z - g.arc_zc) + (x - g.arc_xc) * (x - g.arc_xc));
  if (std::abs(r - g.bend_radius) <= g.half_width) {
    p.region = kBendBody;
    p.inside = true;
  }
  if (!p.inside) return p;
  // Edge coordinates: u along the edge, v along its outward normal.
  const double dxi = x - g.edge_in_x;
  const double dzi2 = z - g.edge_in_z;
  const double u_in = dxi * g.edge_in_c - dzi2 * g.edge_in_s;
  const double v_in = dxi * g.edge_in_s + dzi2 * g.edge_in_c;
  const double u_out = g.edge_out_c * dxo - g.edge_out_s * dzo;
  const double v_out = g.edge_out_c * dzo + g.edge_out_s * dxo;
  if (dzi < 0.0 && v_in >= g.fringe_in_lo) in_flag = true;
  if (l < 0.0 && v_out >= g.fringe_out_lo) out_flag = true;
  if (in_flag && out_flag) {
    // Overlapping fringes: the mean of both edge fields.
    const Vec3 bo = edge_to_frame(bmag_edge_field(d, kBendExitFringe, u_out, y, v_out),
                                  g.edge_out_c, g.edge_out_s);
    const Vec3 bi = edge_to_frame(bmag_edge_field(d, kBendEntranceFringe, u_in, y, v_in),
                                  g.edge_in_c, g.edge_in_s);
    for (int j = 0; j < 3; ++j) p.B[j] = (bi[j] + bo[j]) / 2.0;
    p.region = kBendEntranceFringe;
  } else if (in_flag) {
    p.B = edge_to_frame(bmag_edge_field(d, kBendEntranceFringe, u_in, y, v_in), g.edge_in_c,
                        g.edge_in_s);
    p.region = kBendEntranceFringe;
  } else if (out_flag) {
    p.B = edge_to_frame(bmag_edge_field(d, kBendExitFringe, u_out, y, v_out), g.edge_out_c,
                        g.edge_out_s);
    p.region = kBendExitFringe;
  } else {
    p.B = {0.0, d.Bf, 0.0};
  }
  return p;
}

BendFieldData bend_field_data(const ElementsContext& sim) {
  BendFieldData d;
  d.geom = sim.bmag_geom;
  const StepGeometry& s = sim.transport.step;
  d.exit = {s.exit_px, s.exit_pz, s.exit_nx, s.exit_nz};
  d.enge_in = sim.fieldmap.enge_coef[1];
  d.enge_out = sim.fieldmap.enge_coef[2];
  d.Bf = sim.ref.field1;
  return d;
}

bool bend_field_at(ElementsContext& sim, double x, double y, double z, double t, Vec3& E, Vec3& B) {
  const FieldAt<BendSource> field{{bend_field_data(sim), &sim.state.bmag_region}};
  return field(x, y, z, t, E, B);
}

}  // namespace linac
