// Writers of the field-table files and the analytic fields they are filled
// from, shared by tools/make_field_table and the tests: eh_EMS.#NN and
// eh_MWS.#NN (unformatted 3-D tables), the 2Dtable text form, solenoid.#NN.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "transport/field_tables.hpp"

namespace linac {

class Units;

// The grid and header of a 3-D table file.
struct Table3DLayout {
  double head_1 = 0.0;
  double head_2 = 0.0;        // RF: aperture radius, cm
  std::int32_t head_int = 0;  // RF: cells; static: E+B flag (> 0)
  std::array<std::int32_t, 3> sym{};  // mirror flags
  std::array<double, kTableNx> x{};
  std::array<double, kTableNy> y{};
  std::array<double, kTableNz> z{};  // from the middle
};

// Equally spaced nodes: x and y over [-xmax, xmax] and [-ymax, ymax] (or
// [0, max] when the axis is mirrored), z over [-zmax, zmax] (or [0, zmax]).
Table3DLayout table_layout(double xmax, double ymax, double zmax, std::array<std::int32_t, 3> sym);

// E (V/cm) and B (G) at (x, y, dz), dz from the middle of the table.
using FieldFunction = std::function<void(double x, double y, double dz, Vec3& E, Vec3& B)>;

// The table a file written from (layout, components, field) reads back as,
// built in memory.
Table3D build_table3d(const Table3DLayout& layout, int components, const FieldFunction& field);

// The component records of a file: 0 Ex Ey Ez, 1 Bx By Bz, 2 all six.
// Writes records 1 to 5, the components and the final integer.
void write_table3d(const Units& units, std::string_view name, const Table3DLayout& layout,
                   int components, const FieldFunction& field);

// A 2Dtable text file: line 2 "<ukey> nu Nz= nz", the heading, then nu x nz
// lines u z F_transverse F_longitudinal (u fastest), u = u0 + a du and z =
// z0 + b dz.
using Field2DFunction = std::function<std::pair<double, double>(double u, double z)>;
void write_2dtable(const Units& units, std::string_view name, std::string_view ukey, int nu,
                   int nz, std::string_view heading, double u0, double du, double z0, double dz,
                   const Field2DFunction& field);

// solenoid.#NN: the sample count, then the samples, five per line.
void write_solenoid_table(const Units& units, std::string_view name,
                          const std::vector<double>& samples);

// MHBrz.#0N, the r-z table of a multi-harmonic buncher: nz x nr pairs
// E_r E_z (V/cm), one z node per line, node (j, i) at z = j L/(nz - 1) from
// the entrance and r = i rmax/(nr - 1).
using FieldRZFunction = std::function<std::pair<double, double>(double r, double z)>;
void write_mhb_rz(const Units& units, std::string_view name, int nz, int nr, double L, double rmax,
                  const FieldRZFunction& field);

// Analytic fields (E in V/cm, B in G; dz from the middle of the table).
namespace analytic {
// A uniform field.
FieldFunction uniform(const Vec3& E, const Vec3& B);
// Electric quadrupole of gradient g (V/cm^2): E = (g x, -g y, 0).
FieldFunction electric_quadrupole(double g);
// Pillbox TM010 of radius R (cm): Ez = E0 J0(k r), B_theta = (E0/c) J1(k r)
// with k = 2.405/R; B in G for E0 in V/cm.
FieldFunction pillbox_tm010(double E0, double R);
// Gaussian gap: Ez = E0 exp(-dz^2 / (2 sigma^2)), Er = -(r/2) dEz/dz.
FieldFunction gaussian_gap(double E0, double sigma);
// Smooth solenoid of length L: on the axis B0 sin^2(pi z/L), z = dz + L/2 from
// the entrance (0 outside 0..L); paraxially Bz = B - r^2/4 B'', Br = -r/2 B'.
FieldFunction smooth_solenoid(double B0, double L);
double smooth_solenoid_axis(double B0, double L, double z);
// Gaussian solenoid: on the axis B0 exp(-dz^2 / (2 sigma^2)); paraxially
// Bz = B - r^2/4 B'', Br = -r/2 B'. Its field integral is sqrt(2 pi) sigma
// B0 and the integral of B^2 is sqrt(pi) sigma B0^2, so the hard-edge
// solenoid of the same two integrals is 2 sqrt(pi) sigma long with field
// B0 / sqrt(2).
FieldFunction gaussian_solenoid(double B0, double sigma);
double gaussian_solenoid_axis(double B0, double sigma, double dz);
}  // namespace analytic

}  // namespace linac
