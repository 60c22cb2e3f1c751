// Writes an analytic field table for test lattices.
//
//   make_field_table FORMAT FIELD FILE [name=value ...]
//
// FORMAT: ems0, ems1, ems2 (eh_EMS.#NN holding E, B or both), mws (eh_MWS.#NN),
//         2d (2Dtable text, r and z), solenoid (solenoid.#NN on-axis samples),
//         rz (MHBrz.#0N of a multi-harmonic buncher: E_r, E_z on nz x nr
//         nodes over 0..L and 0..rmax)
// FIELD:  uniform  (ex ey ez bx by bz)      quad     (g)
//         pillbox  (e0 R)                   gap      (e0 sigma)
//         solenoid (b0 L: B0 sin^2(pi z/L) on the axis)
//         gsol     (b0 sigma: B0 exp(-dz^2/2 sigma^2) on the axis, dz from the middle)
// Grid:   xmax ymax zmax (cm), symx symy symz (0/1), aper cells (mws header),
//         nu nz du dz (2d), n L (solenoid samples over [0, L]),
//         nz nr L rmax (rz; the field's dz is z - L/2).
// The file is written in the current directory (or under the path given).
#include <cstdlib>
#include <exception>
#include <map>
#include <string>

#include "platform/fatal.hpp"
#include "platform/screen.hpp"
#include "platform/units.hpp"
#include "transport/table_writers.hpp"

namespace {

using linac::Vec3;

double opt(const std::map<std::string, double>& o, const char* k, double dflt) {
  const auto it = o.find(k);
  return it == o.end() ? dflt : it->second;
}

int usage(linac::Screen& screen) {
  screen.write_line(
      "usage: make_field_table ems0|ems1|ems2|mws|2d|rz|solenoid uniform|quad|pillbox|gap|solenoid|gsol "
      "FILE [name=value ...]");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  linac::Screen screen;
  if (argc < 4) return usage(screen);
  const std::string format = argv[1], kind = argv[2], file = argv[3];
  std::map<std::string, double> o;
  for (int a = 4; a < argc; ++a) {
    const std::string s = argv[a];
    const auto eq = s.find('=');
    if (eq == std::string::npos) return usage(screen);
    o[s.substr(0, eq)] = std::strtod(s.c_str() + eq + 1, nullptr);
  }
  linac::Units units(screen);
  try {
    linac::FieldFunction f;
    if (kind == "uniform")
      f = linac::analytic::uniform({opt(o, "ex", 0), opt(o, "ey", 0), opt(o, "ez", 0)},
                                   {opt(o, "bx", 0), opt(o, "by", 0), opt(o, "bz", 0)});
    else if (kind == "quad")
      f = linac::analytic::electric_quadrupole(opt(o, "g", 1.0));
    else if (kind == "pillbox")
      f = linac::analytic::pillbox_tm010(opt(o, "e0", 1.0), opt(o, "R", 5.0));
    else if (kind == "gap")
      f = linac::analytic::gaussian_gap(opt(o, "e0", 1.0), opt(o, "sigma", 1.0));
    else if (kind == "solenoid")
      f = linac::analytic::smooth_solenoid(opt(o, "b0", 1.0), opt(o, "L", 40.0));
    else if (kind == "gsol")
      f = linac::analytic::gaussian_solenoid(opt(o, "b0", 1.0), opt(o, "sigma", 5.0));
    else
      return usage(screen);

    if (format == "2d") {
      const int nu = static_cast<int>(opt(o, "nu", 11)), nz = static_cast<int>(opt(o, "nz", 41));
      const double du = opt(o, "du", 0.1), dz = opt(o, "dz", 0.5);
      const double zmid = 0.5 * (nz - 1) * dz;
      linac::write_2dtable(units, file, "Nr=", nu, nz, "   r   z   Er   Ez", 0.0, du, 0.0, dz,
                           [&](double u, double z) {
                             Vec3 E, B;
                             f(u, 0.0, z - zmid, E, B);
                             return std::pair<double, double>{E[0], E[2]};
                           });
    } else if (format == "rz") {
      const int nz = static_cast<int>(opt(o, "nz", 201)), nr = static_cast<int>(opt(o, "nr", 11));
      const double L = opt(o, "L", 10.0), rmax = opt(o, "rmax", 2.0);
      linac::write_mhb_rz(units, file, nz, nr, L, rmax, [&](double r, double z) {
        Vec3 E, B;
        f(r, 0.0, z - 0.5 * L, E, B);
        return std::pair<double, double>{E[0], E[2]};
      });
    } else if (format == "solenoid") {
      const int n = static_cast<int>(opt(o, "n", 81));
      const double L = opt(o, "L", 40.0);
      std::vector<double> s(static_cast<std::size_t>(n));
      for (int i = 0; i < n; ++i) {
        Vec3 E, B;
        f(0.0, 0.0, i * L / (n - 1) - 0.5 * L, E, B);
        s[static_cast<std::size_t>(i)] = B[2];
      }
      linac::write_solenoid_table(units, file, s);
    } else {
      const std::array<std::int32_t, 3> sym{static_cast<std::int32_t>(opt(o, "symx", 0)),
                                            static_cast<std::int32_t>(opt(o, "symy", 0)),
                                            static_cast<std::int32_t>(opt(o, "symz", 0))};
      linac::Table3DLayout l = linac::table_layout(opt(o, "xmax", 2.0), opt(o, "ymax", 2.0), opt(o, "zmax", 10.0), sym);
      int comps = linac::kKindEB;
      if (format == "mws") {
        l.head_2 = opt(o, "aper", 2.0);
        l.head_int = static_cast<std::int32_t>(opt(o, "cells", 1));
      } else if (format == "ems0") {
        comps = linac::kKindE;
      } else if (format == "ems1") {
        comps = linac::kKindB;
      } else if (format == "ems2") {
        l.head_int = 1;
      } else {
        return usage(screen);
      }
      linac::write_table3d(units, file, l, comps, f);
    }
  } catch (const linac::FatalStop& e) {
    for (const auto& line : e.lines()) screen.write_line(line);
    return 1;
  }
  return 0;
}
