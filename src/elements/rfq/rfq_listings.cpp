#include "elements/rfq/rfq_listings.hpp"

#include <cmath>
#include <string>

#include "elements/elements_context.hpp"
#include "common/unit_numbers.hpp"
#include "platform/format.hpp"

namespace linac {

namespace {

constexpr double kCos3Zone = 0.8660254037844386;
constexpr const char* kFieldHeading = "    z, cm       Ex, V/cm       Ey, V/cm       Ez, V/cm   ";
constexpr const char* kApertureHeading = "   z ,cm      Rx ,cm      Ry ,cm    ";

void put(ElementsContext& sim, int unit, std::string_view fmt, std::initializer_list<FmtItem> items) {
  write_checked(sim, unit, fmt, items);
}

std::int32_t& header_flag(ElementsContext& sim, const RfqDevRequest& req) {
  return sim.elements.elem_int[static_cast<std::size_t>(req.line)][15];
}

void field_rows(ElementsContext& sim, const RfqCellSet& s, int nstep, int zcol) {
  for (int k = 0; k <= nstep; ++k) {
    const auto& row = s.work.field_rec[static_cast<std::size_t>(k)];
    put(sim, kUnitDevField, "(F12.3,3D15.5)", {row[static_cast<std::size_t>(zcol)], row[2], row[3], row[4]});
  }
}

void parameter_block(ElementsContext& sim, const RfqCellSet& s, int i) {
  const RfqCell& c = s.cells[static_cast<std::size_t>(i)];
  const double V = c.volt;
  auto num = [&](const char* label, double v) { put(sim, kUnitLog, "(A15,F12.5)", {std::string_view(label), v}); };
  auto type = [&]() { put(sim, kUnitLog, "(A15,I5)", {std::string_view("  type="), c.type}); };
  // Length, voltage, vane geometry and the two lowest coefficients of a
  // modulated (regular or transition) cell.
  auto vane_cell = [&]() {
    num(" Dcell=", c.len);
    num(" V0RFQ=", V);
    num(" R0RFQ=", c.r0);
    num("     a=", c.amin);
    num("    ma=", c.mod * c.amin);
    num("   A01=", c.c[7]);
    num("   A10=", c.c[8]);
  };
  switch (c.type) {
    case 1:
    case -1:
    case 3:
    case -3: {
      // Fall and quadrupole cells: the fall cell names r0 R0RFQ and lists
      // its fall (c13 shown under the name z11), the quadrupole cell names r0 a.
      const bool fall = std::abs(c.type) == 1;
      put(sim, kUnitLog, "(A21,I4)", {std::string_view("           RMS cell#"), i});
      type();
      num(" dcell=", c.len);
      num(" V0RFQ=", V);
      num(fall ? " R0RFQ=" : "     a=", c.r0);
      num("   A01=", c.c[7]);
      num("   A03=", c.c[8]);
      if (fall) {
        num("   z11=", c.c[13]);
        num(" Dfall=", c.c[10]);
        num("   z12=", std::min(c.c[13] + c.c[10], c.len));
      }
      break;
    }
    case 2:
    case -2:
    case 4:
    case -4:
      put(sim, kUnitLog, "(A22,I4)", {std::string_view("  TRANSITION  cell #"), i});
      type();
      vane_cell();
      if (std::abs(c.type) == 2)
        num("    d2=", kCos3Zone * c.len);
      else
        num("    d4=", c.c[9]);
      break;
    case 0:
      put(sim, kUnitLog, "(A22,I4)", {std::string_view("       regular cell#"), i});
      vane_cell();
      break;
    default:
      break;
  }
}

}  // namespace

void rfq_cell_listing(ElementsContext& sim, const RfqCellSet& s, int i, int nstep, double step_len,
                      const RfqDevRequest& req) {
  if (req.code == kRfqNoRequest) return;
  const RfqCell& c = s.cells[static_cast<std::size_t>(i)];
  const auto& apx = s.work.vane_apx;
  const auto& apy = s.work.vane_apy;
  if (req.code == -1) {
    std::int32_t& flag = header_flag(sim, req);
    if (flag == -1) {
      flag = 1;
      sim.units.open(kUnitDevField, "dev_aperture.dat");
      put(sim, kUnitDevField, "(A31,I3)", {std::string_view("aperture of the RFQ ")});
      put(sim, kUnitDevField, "(A40)", {std::string_view(kApertureHeading)});
    }
    for (int j = 1; j <= nstep; ++j)
      put(sim, kUnitDevField, "(3F12.3)",
          {c.zstart + (j - 0.5) * step_len, apx[static_cast<std::size_t>(j)], apy[static_cast<std::size_t>(j)]});
    return;
  }
  if (req.code == 0) {
    std::int32_t& flag = header_flag(sim, req);
    if (flag == -1) {
      flag = 1;
      put(sim, kUnitDevField, "(A24,F12.3,A6,F12.3,A4)",
          {std::string_view("  The field of RFQ at x="), req.x, std::string_view(",cm y="), req.y,
           std::string_view(", cm")});
      put(sim, kUnitDevField, "(A57)", {std::string_view(kFieldHeading)});
    }
    field_rows(sim, s, nstep, 1);
    return;
  }
  if (req.code != i) return;
  if (req.n_val == 3) {
    put(sim, kUnitDevField, "(A24,I3,A6,F12.3,A6,F12.3,A4)",
        {std::string_view("  The field of RFQ cell#"), i, std::string_view(" at x="), req.x,
         std::string_view(",cm y="), req.y, std::string_view(", cm")});
    put(sim, kUnitDevField, "(A57)", {std::string_view(kFieldHeading)});
    field_rows(sim, s, nstep, 0);
  }
  put(sim, kUnitLog, "(A51,I4)", {std::string_view(" The RFQ field have extracted in file dev_field.dat")});
  parameter_block(sim, s, i);
  sim.units.write(kUnitLog, list_directed(std::span<const FmtItem>{}));
  put(sim, kUnitLog, "(A31,I3)", {std::string_view("aperture of the cell #"), i});
  put(sim, kUnitLog, "(A40)", {std::string_view(kApertureHeading)});
  for (int j = 1; j <= nstep; ++j)
    put(sim, kUnitLog, "(3F12.3)",
        {(j - 0.5) * step_len, apx[static_cast<std::size_t>(j)], apy[static_cast<std::size_t>(j)]});
}

void rfq_sync_table(ElementsContext& sim, const RfqCellSet& s, double phi0_rad) {
  const std::string blank = list_directed(std::span<const FmtItem>{});
  sim.units.write(kUnitLog, blank);
  sim.units.write(kUnitLog, blank);
  put(sim, kUnitLog, "(A75)", {std::string_view(s.file_name)});
  const auto& w = s.work;
  if (w.sync_W_in[1] == 0.0) return;
  sim.units.write(kUnitLog, blank);
  for (const char* text :
       {"      * Parameters of the Reference (synchronous) Particle *",
        " type=+-2,4   Cell is transition", " type=0       Cell  is regular",
        " Z, cm        Distance to end of cell from the  RFQ entrance",
        " Wsyn, keV/u  Energy of the synchr. part. at the cell entrance",
        " dWsyn, keV/u Energy gain of the synchr. part. in the cell ",
        " Phi, deg     Synchronous phase at the  cell center"})
    sim.units.write(kUnitLog, list_directed({std::string_view(text)}));
  sim.units.write(kUnitLog, blank);
  put(sim, kUnitLog, "(A5,A7,4X,A12,3A15)",
      {std::string_view("ncell"), std::string_view("  type "), std::string_view("   z, cm    "),
       std::string_view("  Wsyn, keV/u  "), std::string_view(" dWsyn, keV/u  "),
       std::string_view("   Phi, deg    ")});
  double phi_ref = w.sync_ph_in[static_cast<std::size_t>(s.n0)];
  for (int i = s.n0; i <= s.ncells; ++i) {
    const auto u = static_cast<std::size_t>(i);
    const RfqCell& c = s.cells[u];
    double phi = (w.sync_ph_mid[u] - phi_ref + phi0_rad) / kDegToRad;
    if (s.concave == -1.0) phi -= 180.0;
    put(sim, kUnitLog, "(I5,3X,I2,2X,F12.3,3F15.3)",
        {i, c.type, c.zstart + c.len, w.sync_W_in[u], w.sync_W_out[u] - w.sync_W_in[u], phi});
    phi_ref += kPi;
  }
}

}  // namespace linac
