// The bending magnet's geometry and field. The magnet bends the reference
// towards negative x in its element frame (z along the entrance axis from the
// entrance plane, y vertical); a negative bending angle mirrors the geometry
// in x. The body field (0, Bf, 0) is uniform between two edges; near each
// edge the field follows an Enge profile of the distance s to the edge,
// expanded off the midplane so that it satisfies the Laplace equation to
// the order kept (B_y to y^6, B_s to y^5).
#pragma once

#include <cstdint>

#include "transport/enge.hpp"
#include "transport/field_at.hpp"

namespace linac {

struct ElementsContext;

// Enge coefficients of a bend edge when no enge line gives them: the
// single-precision values -0.003183 and 2.32.
inline constexpr EngeSet kBendEngeDefault{static_cast<double>(-0.003183f),
                                          static_cast<double>(2.32f), 0.0, 0.0, 0.0, 0.0};

// An edge curvature of smaller magnitude is replaced by this, 1/cm: a
// straight edge is a circle of radius 1e6 cm.
inline constexpr double kMinEdgeCurvature = 1e-6;

// Field regions of the magnet.
inline constexpr std::int32_t kBendBody = 0;
inline constexpr std::int32_t kBendEntranceFringe = 1;
inline constexpr std::int32_t kBendExitFringe = 2;
inline constexpr std::int32_t kBendBothFringes = 3;

// Geometry of the magnet being run (element frame; cm, rad).
struct BendGeom {
  // From the line.
  double bend_radius = 0.0;    // R, radius of the central arc, cm
  double bend_angle = 0.0;     // signed bending angle, rad
  double edge_in = 0.0;        // entrance edge angle e1, rad
  double edge_out = 0.0;       // exit edge angle e2, rad
  double edge_curv_in = kMinEdgeCurvature;   // entrance edge curvature, 1/cm
  double edge_curv_out = kMinEdgeCurvature;  // exit edge curvature, 1/cm
  double bend_gap = 0.0;       // g: Enge length scale and fringe depth, cm
  double bend_width = 0.0;     // w, full width of the good-field region, cm
  // Derived.
  double half_gap = 0.0;       // delta1 g: vertical aperture, cm
  double half_width = 0.0;     // w/2: horizontal aperture about the path, cm
  double straight_len = 0.0;   // (L - a R)/2, straight part before and after the arc, cm
  double fringe_in_lo = 0.0, fringe_in_hi = 0.0;    // entrance fringe extent along the normal, cm
  double fringe_out_lo = 0.0, fringe_out_hi = 0.0;  // exit fringe extent along the normal, cm
  double arc_xc = 0.0, arc_zc = 0.0;                // arc centre, cm
  double edge_in_x = 0.0, edge_in_z = 0.0;          // a point of the entrance edge, cm
  double edge_in_c = 0.0, edge_in_s = 0.0;          // direction of the entrance edge
  double edge_out_x = 0.0, edge_out_z = 0.0;        // a point of the exit edge, cm
  double edge_out_c = 0.0, edge_out_s = 0.0;        // direction of the exit edge
  double ref_path_len = 0.0;   // path length of the reference through the magnet, cm
};

// Exit plane of the magnet: a point and the unit normal (the exit axis).
struct BendExitPlane {
  double px = 0.0, pz = 0.0;  // cm
  double nx = 0.0, nz = 1.0;
};

// Everything the field of one magnet depends on; a value type, read only
// by the field.
struct BendFieldData {
  BendGeom geom;
  BendExitPlane exit;
  EngeSet enge_in = kBendEngeDefault;   // entrance edge coefficients c0..c5
  EngeSet enge_out = kBendEngeDefault;  // exit edge coefficients
  double Bf = 0.0;                      // body field, G (signed)
};

// The field at a point: B in G, the region of the point (-1: the
// evaluation leaves the region as it was) and whether the point lies inside
// the magnet's aperture.
struct BendFieldPoint {
  Vec3 B{};
  std::int32_t region = -1;
  bool inside = true;
};

// Field of one edge in its edge coordinates (u along the edge, v along its
// normal, positive outside the magnet): (B_u, B_y, B_v) in G. region 2
// selects the exit edge, any other value the entrance edge.
Vec3 bmag_edge_field(const BendFieldData& d, std::int32_t region, double u, double y, double v);

// Not called by the run. The same field of one edge with the distance to
// the edge written once for both signs of k = 1/curvature: s = sign(k)
// (rho - |k|) with rho the distance to the edge circle's centre at v = -k,
// and the gradient sign(k) (u, k + v)/rho.
Vec3 bmag_edge_field2(const BendFieldData& d, std::int32_t region, double u, double y, double v);

// Field of the magnet at (x, y, z) of its element frame (cm).
BendFieldPoint bmag_field(const BendFieldData& d, double x, double y, double z);

// The magnet as a field source of the push (element_field in G). When
// `region` is set, every evaluation records the region there (the
// single-particle integrations of the set-up and the listings); the particle
// loop leaves it null and writes nothing shared.
struct BendSource {
  BendFieldData data;
  std::int32_t* region = nullptr;
  bool element_field(double x, double y, double z, double, Vec3&, Vec3& B) const {
    const BendFieldPoint p = bmag_field(data, x, y, z);
    B = p.B;
    if (region != nullptr && p.region >= 0) *region = p.region;
    return p.inside;
  }
};

// The field data of the magnet being run from the run context: bmag_geom,
// the exit plane of the step geometry, the Enge sets in use and field1.
BendFieldData bend_field_data(const ElementsContext& sim);

// field_at of element type 3: the field as FieldAt gives it; the region of
// the evaluation goes to state.bmag_region.
bool bend_field_at(ElementsContext& sim, double x, double y, double z, double t, Vec3& E, Vec3& B);

}  // namespace linac
