#include "spacecharge/sc_output.hpp"

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "spacecharge/sc_context.hpp"
#include "platform/format.hpp"
#include "platform/units.hpp"
#include "spacecharge/interpolate.hpp"

namespace linac {

namespace {

constexpr int kRfqType = 9;
constexpr int kTitleWidth = 72;
constexpr int kLinePoints = 300;  // intervals of a field line

std::string blank_fill(std::string s) {
  s.resize(kTitleWidth, ' ');
  return s;
}

std::string one_record(std::string_view fmt, std::initializer_list<FmtItem> items) {
  const std::vector<std::string> r = format_records(fmt, items);
  return r.empty() ? std::string() : r.front();
}

void open_warning_file(SpaceChargeContext& sim) {
  if (!sim.units.is_open(kUnitScWarning)) sim.units.open(kUnitScWarning, "sc_warning.dat");
}

// A field line of 301 points from -half to +half, faces included.
template <class FieldFn>
void write_line(SpaceChargeContext& sim, int unit, double half, int comps, FieldFn&& field) {
  FormatCache cache;
  const FortranFormat& f = cache.get("(4D15.5)");
  for (int q = 0; q <= kLinePoints; ++q) {
    const double v = (2.0 * half / kLinePoints) * q - half;
    std::array<double, 3> E{};
    field(v, E);
    if (comps == 2)
      write_checked(sim, unit, f, {v, E[0], E[1]});
    else
      write_checked(sim, unit, f, {v, E[0], E[1], E[2]});
  }
}

// uSC.dat: the heading, then the potential node by node.
template <class Dump>
void write_potential(SpaceChargeContext& sim, const std::vector<std::string>& heading, Dump&& dump) {
  TextOut out(sim.units, "uSC.dat");
  out.write(heading);
  dump(out);
}

}  // namespace

int sc_mesh_class(double rx, double ry, double rz) {
  const bool has_z = rz >= 0.0 || rz != rz;
  const bool fits = rx <= 0.5 && ry <= 0.5 && (!has_z || rz <= 0.5);
  if (!fits) return -1;
  if (rx < 0.25 || ry < 0.25 || (has_z && rz < 0.25)) return 1;
  return 0;
}

void sc_mesh_check(SpaceChargeContext& sim) {
  ScGrid& g = sim.sc_grid;
  const double rx = g.sc_hx / g.sc_rms_x;
  const double ry = g.sc_hy / g.sc_rms_y;
  // The 2-D model has no z ratio: a negative value stands for none.
  const double rz = g.model_2d ? -1.0 : g.sc_hz / g.sc_rms_z;
  const int now = sc_mesh_class(rx, ry, rz);
  const int old = g.sc_mesh_state;
  g.sc_mesh_state = now;
  if (now != old) sc_mesh_report(sim);
  if (now == -1) g.sc_coarse_seen = -1;
  // What the plot panel shows of the last check (no z ratio in 2-D).
  sim.sc_mesh = {g.sc_hx, g.sc_hy, g.model_2d ? 0.0 : g.sc_hz,
                 g.sc_rms_x, g.sc_rms_y, g.model_2d ? 0.0 : g.sc_rms_z, g.sc_coarse_seen};
}

void sc_mesh_report(SpaceChargeContext& sim) {
  const ScGrid& g = sim.sc_grid;
  open_warning_file(sim);
  Units& u = sim.units;
  const int unit = kUnitScWarning;
  std::string title;
  if (sim.state.itype == kRfqType)
    title = one_record("(A19,I4,A10,F10.2,A3)", {"          *RFQcell#", sim.rfq.rfq_cur,
                                                 "*      z= ", g.sc_z_step, " cm"});
  else
    title = one_record("(A11,A5,A10,F10.2,A3)",
                       {"          *", sim.elements.elem_name[sim.state.ipos].str(), "*      z= ",
                        g.sc_z_step, " cm"});
  write_checked(sim, unit, "(20X,A25)", {" SPACE CHARGE GRID "});
  u.write(unit, blank_fill(title));
  u.write(unit, list_directed({sim.state.outSC != 0 ? "    Field extraction output"
                                                    : "    Grid warning output    "}));
  const char* cls = g.sc_mesh_state == 1   ? " WARNING --> fine   mesh"
                    : g.sc_mesh_state == 0 ? " Normal mesh"
                                           : " WARNING --> coarse mesh";
  u.write(unit, list_directed({cls}));
  const int model = sim.config.IFLAG2D;
  const char* hline = "(2(A8,F10.4,A3,2X),A10,F10.4)";
  const double rx = g.sc_hx / g.sc_rms_x;
  const double ry = g.sc_hy / g.sc_rms_y;
  if (model == 1) {
    write_checked(sim, unit, "(2(A8,I3,2X))", {"NXgrd=", g.NX, "NYgrd=", g.NY});
    write_checked(sim, unit, "(A8,D11.4,A3)", {"charge=", sim.sc.sc_charge, "  C"});
  } else if (model == 0) {
    write_checked(sim, unit, "(3(A8,I3,2X))",
                    {"NXgrd=", g.NX, "NYgrd=", g.NY, "NZgrd=", g.NZ});
    write_checked(sim, unit, "(A8,D11.4,A3)", {"charge=", sim.sc.sc_charge, "  C"});
    write_checked(sim, unit, "(A8,D11.4,A3)", {" gamSC=", g.gamma_sc});
    write_checked(sim, unit, "(A8,D11.4,A3)", {" betSC=", g.beta_sc});
    write_checked(sim, unit, "(A8,F11.4,A3)", {" zlhSC=", sim.sc.zlhSC});
  } else {
    return;
  }
  // A bunch without spread in a plane (one particle, or all on the axis)
  // has no finite ratio of step to rms there: the line shows it as
  // Infinity, which tells the reader just that, and the line is written as
  // it stands; every other line of the report follows the result-file rule.
  auto ratio_line = [&](std::string_view layout, double ratio, std::initializer_list<FmtItem> items) {
    if (std::isinf(ratio))
      u.write(unit, format_records(layout, items));
    else
      write_checked(sim, unit, layout, items);
  };
  ratio_line(hline, rx, {"   Hx=", g.sc_hx, " cm", " rmsX=", g.sc_rms_x, " cm", " Hx/rmsX=", rx});
  ratio_line(hline, ry, {"   Hy=", g.sc_hy, " cm", " rmsY=", g.sc_rms_y, " cm", " Hy/rmsY=", ry});
  if (model == 0) {
    const double rz = g.sc_hz / g.sc_rms_z;
    ratio_line("(2(A8,F10.4,A3,2X),A10,F10.4,A11)", rz,
               {"   Hz=", g.sc_hz / g.gamma_sc, " cm", " rmsZ=", g.sc_rms_z / g.gamma_sc, " cm", " Hz/rmsZ=", rz,
                " in lab SC"});
    ratio_line("(2(A8,F10.4,A3,2X),A10,F10.4,A17)", rz,
               {"   Hz=", g.sc_hz, " cm", " rmsZ=", g.sc_rms_z, " cm", " Hz/rmsZ=", rz, "in beam rest SC"});
  }
}

void sc_output(SpaceChargeContext& sim) {
  ScGrid& g = sim.sc_grid;
  OutScRequest& req = sim.prmtr.outsc;
  const std::string name = sim.elements.elem_name[sim.state.ipos].str();
  std::string title;
  if (sim.state.itype == kRfqType)
    title = one_record("(A6,A6,I4,A7,F12.2,A2)", {name, "cell#", req.cell, " at Z=", g.sc_z_step, "cm"});
  else
    title = one_record("(A6,A7,F12.2,A2)", {name, " at Z=", g.sc_z_step, "cm"});
  title = blank_fill(title);
  FormatCache cache;
  int& mode = req.mode;
  const char* ruler = "(2(A7,D12.5,A3))";
  if (sim.config.IFLAG2D == 1) {
    const double* u2 = g.sc_grid2d.data();
    const FortranFormat& row = cache.get("(2I5,D17.7)");
    auto dump = [&](TextOut& out) {
      for (int i = 0; i < g.NX; ++i)
        for (int j = 0; j < g.NY; ++j)
          write_checked(sim, out, row, {i + 1, j + 1, u2[i + j * g.NX]});
    };
    if (mode == -1) {
      TextOut out(sim.units, "denSC.dat");
      write_checked(sim, out, FortranFormat("(2(A7,I3))"), {" NXgrd=", g.NX, " NYgrd=", g.NY});
      write_checked(sim, out, FortranFormat(ruler), {"   hxx=", g.sc_hx, " cm", "   hyy=", g.sc_hy, " cm",
                                                     " rms11=", g.sc_rms_x, " cm", " rms33=", g.sc_rms_y, " cm"});
      write_checked(sim, out, FortranFormat("(A7,D15.7,A8,D12.5,A3)"),
                    {"  gamma=", g.gamma_sc, " charge=", sim.sc.sc_charge, " C "});
      write_checked(sim, out, FortranFormat("(2(3X,A2),A17)"), {"Ix", "Jy", "  rho/eps0,V/cm^2"});
      dump(out);
      mode = 0;
      return;
    }
    if (mode == 0) {
      write_potential(sim, format_records("(2(3X,A2),A17)", {"Ix", "Jy", "      potential,V"}), dump);
      mode = 1;
    }
    if (mode == 1) {
      if (req.files_pending == 1) {
        sim.units.open(kUnitScFieldX, "ExSC.dat");
        sim.units.open(kUnitScFieldY, "EySC.dat");
        req.files_pending = 0;
      }
      for (const auto& [unit, axis] : {std::pair{kUnitScFieldX, "x,cm"}, std::pair{kUnitScFieldY, "y,cm"}}) {
        sim.units.write(unit, title);
        write_checked(sim, unit, "(11X,A4,2(8X,A7))", {axis, "Ex,V/cm", "Ey,V/cm"});
      }
      write_line(sim, kUnitScFieldX, g.sc_half_x, 2,
                 [&](double v, std::array<double, 3>& E) { sc_field_2d_at(g, v, req.cross_y, E); });
      write_line(sim, kUnitScFieldY, g.sc_half_y, 2,
                 [&](double v, std::array<double, 3>& E) { sc_field_2d_at(g, req.cross_x, v, E); });
    }
    return;
  }
  if (sim.config.IFLAG2D != 0) return;
  const double* u3 = g.sc_grid3d.data();
  const FortranFormat& row = cache.get("(3I5,D17.7)");
  auto dump = [&](TextOut& out) {
    for (int i = 0; i < g.NX; ++i)
      for (int j = 0; j < g.NY; ++j)
        for (int l = 0; l < g.NZ; ++l)
          write_checked(sim, out, row,
                        {i + 1, j + 1, l + 1,
                         u3[i + static_cast<std::size_t>(g.NX) * (j + static_cast<std::size_t>(g.NY) * l)]});
  };
  if (mode == 3) {
    TextOut out(sim.units, "denSC.dat");
    write_checked(sim, out, FortranFormat("(3(A7,I3))"), {" NXgrd=", g.NX, " NYgrd=", g.NY, " NZgrd=", g.NZ});
    write_checked(sim, out, FortranFormat("(3(A7,D12.5,A3))"),
                  {"   hxx=", g.sc_hx, " cm", "   hyy=", g.sc_hy, " cm", "   hzz=", g.sc_hz, " cm", " rms11=",
                   g.sc_rms_x, " cm", " rms33=", g.sc_rms_y, " cm", " rms55=", g.sc_rms_z, " cm"});
    write_checked(sim, out, FortranFormat("(A7,D15.7,A8,D12.5,A3)"),
                  {"  gamma=", g.gamma_sc, " charge=", sim.sc.sc_charge, " C "});
    write_checked(sim, out, FortranFormat("(3(3X,A2),A17)"), {"Ix", "Jy", "Kz", "  rho/eps0,V/cm^2"});
    dump(out);
    mode = 2;
    return;
  }
  if (mode == 2) {
    write_potential(sim, format_records("(3(3X,A2),A17)", {"Ix", "Jy", "Kz", "      potential,V"}), dump);
    mode = 1;
  }
  if (mode == 1) {
    if (req.files_pending == 1) {
      sim.units.open(kUnitScFieldX, "ExSC.dat");
      sim.units.open(kUnitScFieldY, "EySC.dat");
      sim.units.open(kUnitScFieldZ, "EzSC.dat");
      req.files_pending = 0;
    }
    for (const auto& [unit, axis] : {std::pair{kUnitScFieldX, "x,cm"}, std::pair{kUnitScFieldY, "y,cm"},
                                     std::pair{kUnitScFieldZ, "z,cm"}}) {
      sim.units.write(unit, title);
      write_checked(sim, unit, "(11X,A4,3(8X,A7))", {axis, "Ex,V/cm", "Ey,V/cm", "Ez,V/cm"});
    }
    write_line(sim, kUnitScFieldX, g.sc_half_x, 3,
               [&](double v, std::array<double, 3>& E) { sc_field_3d_at(g, v, req.cross_y, req.cross_z, E); });
    write_line(sim, kUnitScFieldY, g.sc_half_y, 3,
               [&](double v, std::array<double, 3>& E) { sc_field_3d_at(g, req.cross_x, v, req.cross_z, E); });
    write_line(sim, kUnitScFieldZ, g.sc_half_z, 3,
               [&](double v, std::array<double, 3>& E) { sc_field_3d_at(g, req.cross_x, req.cross_y, v, E); });
  }
}

}  // namespace linac
