#include "beam/out_tables.hpp"

#include <cmath>
#include <vector>

#include <fmt/format.h>

#include "beam/stats.hpp"
#include "beam/beam_context.hpp"
#include "common/text_utils.hpp"
#include "common/unit_numbers.hpp"
#include "platform/fatal.hpp"

namespace linac {

namespace {

constexpr double kRadToDeg = 57.29577951308232;

constexpr std::string_view kOutLine =
    "(I4,TR2,A5,10(TR1,F12.5,TR2),9(TR4,F12.5,TR4),11(TR1,F12.5,TR2),1(TR4,F12.5,TR4),2(TR1,F12.1,TR3))";
constexpr std::string_view kOutQFirst =
    "(I4,TR2,A5,1(TR1,F12.5,TR2),1(TR3,F10.6,TR2),1(TR4,F4.1),6(TR1,F12.5,TR2),1(TR3,F13.6,TR3),TR2,"
    "3(TR1,F12.5,TR2),1(TR3,F13.6,TR3),3(TR1,F12.5,TR2),2(TR4,I7,TR4))";
constexpr std::string_view kOutQOther =
    "(TR41,1(TR4,F4.1),6(TR1,F12.5,TR2),1(TR3,F13.6,TR3),TR2,3(TR1,F12.5,TR2),1(TR3,F13.6,TR3),"
    "3(TR1,F12.5,TR2),2(TR4,I7,TR4))";
constexpr std::string_view kOutQHeader =
    "n_el  name       dist[m]         btgm         Q        W[keV/u]       dw/w[%]        Xc[cm]       "
    "X'c[mrad]        Yc[cm]       Y'c[mrad]      Exn_rms[cm*mrad]     x_rms[cm]      x'_rms[cm]        "
    "Rxx'       Eyn_rms[cm*mrad]     y_rms[cm]      y'_rms[cm]        Ryy'          Npat          Ntot       ";
static_assert(kOutQHeader.size() == 301);

constexpr std::string_view kEmitHeader = "(TR2,6A15)";
constexpr std::string_view kEmitRow = "(6E15.5)";
constexpr std::string_view kEmitColumns[] = {"ex [cm*mrad]", "1-N/N0", "ey [cm*mrad]",
                                             "1-N/N0",       "ez [keV/u*ns]", "1-N/N0"};

// The headings of the out_q.dat columns, item by item (a line after the
// first of a block lacks the first four).
constexpr std::string_view kOutQColumns[] = {
    "n_el",      "name",       "dist[m]",          "btgm",      "Q",         "W[keV/u]",
    "dw/w[%]",   "Xc[cm]",     "X'c[mrad]",        "Yc[cm]",    "Y'c[mrad]", "Exn_rms[cm*mrad]",
    "x_rms[cm]", "x'_rms[cm]", "Rxx'",             "Eyn_rms[cm*mrad]", "y_rms[cm]", "y'_rms[cm]",
    "Ryy'",      "Npat",       "Ntot"};

// The headings of the out.dat columns, item by item, as the header of a
// run with level fraction part gives them (rfq: the RFQ's b_z heading).
struct OutDatColumns {
  std::string level;
  std::string exn, eyn, ezn;
  std::string_view names[35];
  OutDatColumns(double part, bool rfq)
      : level(level_label(part)),
        exn("exn" + level + "[cm*mrad]"),
        eyn("eyn" + level + "[cm*mrad]"),
        ezn("ezn" + level + "[keV/u*ns]"),
        names{"n_el",          "name",          "dist[m]",           "Energy[MeV/u]",      "(W-Wtmp)/Wtmp,%",
              "x_rms[cm]",     "y_rms[cm]",     "Xmax[cm]",          "Ymax[cm]",           "phi_rms[deg]",
              "phi_max[deg]",  "DW/W[rel.u.]",  "4*exn_rms[cm*mrad]", exn,                 "exn_max[cm*mrad]",
              "4*eyn_rms[cm*mrad]", eyn,        "eyn_max[cm*mrad]",  "4*ezn_rms[keV/u*ns]", ezn,
              "ezn_max[keV/u*ns]", "Xc[cm]",    "X'c[mrad]",         "Yc[cm]",             "Y'c[mrad]",
              "btgm",          "Zc[deg]",       "a_x",               "b_x[cm/mrad]",       "a_y",
              "b_y[cm/mrad]",  "a_z",           rfq ? "b_z[deg*(%ofD_W/W)]" : "b_z[deg/(%ofD_W/W)]",
              "#of_lost_part", "total#of_par"} {}
  OutDatColumns(const OutDatColumns&) = delete;
  OutDatColumns& operator=(const OutDatColumns&) = delete;
};

std::string element_where(std::int32_t n, std::string_view name) {
  return fmt::format("element {} ({})", n, trimmed(name));
}

// The out.dat data line of position n. The layout's closing TR3 belongs to
// the record: lines are padded to the header's width.
// label: the number in column 1 (n when negative).
void write_out_line(BeamContext& sim, std::int32_t n, std::string_view name, double z, std::int32_t label = -1) {
  const ElementStatsRow& r = sim.stats.element_stats[static_cast<std::size_t>(n)];
  const PositionCounts& pc = sim.stats.position_counts;
  const double W = sim.history.ref_W_out[static_cast<std::size_t>(n)];
  // Deviation of the mean energy from the reference, %; 0 without a reference energy.
  const double dev = W != 0.0 ? (1000.0 * r.w_mean - W) / W * 100.0 : 0.0;
  const FmtItem items[] = {
      label >= 0 ? label : n,
      name,
      z * 0.01,
      r.w_mean,
      dev,
      r.x_rms,
      r.y_rms,
      r.beam_max[1],
      r.beam_max[2],
      r.phi_rms * kRadToDeg,
      r.beam_max[3] * kRadToDeg,
      r.dww_rms,
      r.exn_rms4 * 1000.0,
      r.exn_level * 1000.0,
      r.exn_max * 1000.0,
      r.eyn_rms4 * 1000.0,
      r.eyn_level * 1000.0,
      r.eyn_max * 1000.0,
      r.ezn_rms4,
      r.ezn_level,
      r.ezn_max,
      r.xc,
      r.xpc * 1000.0,
      r.yc,
      r.ypc * 1000.0,
      r.btgm,
      r.phic / kDegToRad,
      r.alpha_x,
      r.beta_x * 0.001,
      r.alpha_y,
      r.beta_y * 0.001,
      r.alpha_z,
      r.beta_z * 0.01 / kDegToRad,
      static_cast<double>(pc.n_lost[static_cast<std::size_t>(n)]),
      static_cast<double>(pc.n_live[static_cast<std::size_t>(n)]),
  };
  const FortranFormat& layout = sim.beam_out.formats.get(kOutLine);
  const OutDatColumns columns(sim.PART, label >= 0);
  check_result_line(sim, layout, items, "out.dat", element_where(n, name), columns.names);
  std::vector<std::string> recs = layout.write(items);
  for (auto& rec : recs)
    if (rec.size() < kOutDatWidth) rec.resize(kOutDatWidth, ' ');
  sim.units.write(kUnitOut, recs);
}

// The out_q.dat block of position n: one line per charge state of the
// statistics range.
void write_outq_block(BeamContext& sim, std::int32_t n, std::string_view name, double z) {
  RunState& st = sim.state;
  if (st.ifirst_out == -1) {
    sim.units.open(kUnitOutQ, "out_q.dat");
    st.ifirst_out = 1;
    sim.units.write(kUnitOutQ, kOutQHeader);
  }
  const StateRange range = statistics_range(sim.config);
  const double bg = sim.ref.betgam0;
  for (int iq = range.first; iq <= range.last; ++iq) {
    const Sym6& s = sim.stats.q_sigma[static_cast<std::size_t>(iq)];
    const auto& qc = sim.stats.qstate_centroids[static_cast<std::size_t>(iq)];
    // rms sizes, correlation and emittance of a plane; a plane without
    // spread (fewer than two counted particles) shows zeros.
    auto plane = [](double s11, double s12, double s22, double& sx, double& sxp, double& rxx, double& ex) {
      sx = std::sqrt(std::fabs(s11));
      sxp = std::sqrt(std::fabs(s22));
      rxx = sx * sxp > 0.0 ? s12 / (sx * sxp) : 0.0;
      ex = std::sqrt(std::max(0.0, s11 * s22 - s12 * s12));
    };
    double sx, sxp, rxx, ex, sy, syp, ryy, ey;
    plane(s[1][1], s[1][2], s[2][2], sx, sxp, rxx, ex);
    plane(s[3][3], s[3][4], s[4][4], sy, syp, ryy, ey);
    std::int32_t npat = 0;
    const std::int32_t* status = sim.particles.status[iq];
    for (int i = 0; i <= sim.config.NPAT[static_cast<std::size_t>(iq)]; ++i) npat += status[i] >= 0;
    const std::vector<FmtItem> common = {
        sim.config.QQ[static_cast<std::size_t>(iq)],
        qc[6],
        std::sqrt(std::fabs(s[6][6])) * 100.0,
        qc[1],
        qc[2] * 1000.0,
        qc[3],
        qc[4] * 1000.0,
        bg * ex * 1000.0,
        sx,
        sxp * 1000.0,
        rxx,
        bg * ey * 1000.0,
        sy,
        syp * 1000.0,
        ryy,
        npat,
    };
    std::vector<FmtItem> items;
    if (iq == range.first) {
      items = {n, name, z * 0.01, bg};
      items.insert(items.end(), common.begin(), common.end());
      items.push_back(nint(static_cast<double>(sim.stats.position_counts.n_live[static_cast<std::size_t>(n)])));
      const FortranFormat& layout = sim.beam_out.formats.get(kOutQFirst);
      check_result_line(sim, layout, items, "out_q.dat", element_where(n, name), kOutQColumns);
      sim.units.write(kUnitOutQ, layout.write(items));
    } else {
      const FortranFormat& layout = sim.beam_out.formats.get(kOutQOther);
      check_result_line(sim, layout, common, "out_q.dat", element_where(n, name),
                        std::span(kOutQColumns).subspan(4));
      sim.units.write(kUnitOutQ, layout.write(common));
    }
  }
}

}  // namespace

std::string level_label(double part) {
  const std::string d = int_to_3digits(static_cast<std::int32_t>(part * 1000.0));
  return d.substr(0, 2) + "." + d.substr(2, 1);
}

std::string out_dat_header(double part, bool rfq) {
  const std::string L = level_label(part);
  std::string h;
  h += "n_el  name       dist[m]     Energy[MeV/u] (W-Wtmp)/Wtmp,%   x_rms[cm]      y_rms[cm]      Xmax[cm]       "
       "Ymax[cm]     phi_rms[deg]   phi_max[deg]   DW/W[rel.u.]   4*exn_rms[cm*mrad]   exn";
  h += L;
  h += "[cm*mrad]  ";
  h += "  exn_max[cm*mrad]  ";
  h += " 4*eyn_rms[cm*mrad] ";
  h += "  eyn";
  h += L;
  h += "[cm*mrad]  ";
  h += "  eyn_max[cm*mrad]  ";
  h += " 4*ezn_rms[keV/u*ns]";
  h += "  ezn";
  h += L;
  h += "[keV/u*ns]  ";
  h += "  ezn_max[keV/u*ns] ";
  h += "    Xc[cm]     ";
  h += "  X'c[mrad]    ";
  h += "    Yc[cm]      ";
  h += " Y'c[mrad]     ";
  h += "   btgm        ";
  h += "  Zc[deg]      ";
  h += "    a_x        ";
  h += "b_x[cm/mrad]   ";
  h += "    a_y        ";
  h += "b_y[cm/mrad]   ";
  h += "    a_z        ";
  h += rfq ? "b_z[deg*(%ofD_W/W)] " : "b_z[deg/(%ofD_W/W)] ";
  h += " #of_lost_part ";
  h += " total#of_par";
  return h;
}

void write_element_output(BeamContext& sim, std::int32_t n, std::string_view name, double z) {
  if (index_nocase(name, "entry") > 0) sim.units.write(kUnitOut, out_dat_header(sim.PART, false));
  write_out_line(sim, n, name, z);
  if (sim.config.outQ == 1) write_outq_block(sim, n, name, z);
}

void write_rfq_output(BeamContext& sim, std::int32_t cell, std::int32_t n, std::string_view name, double z) {
  if (index_nocase(name, "entry") > 0) sim.units.write(kUnitOut, out_dat_header(sim.PART, true));
  write_out_line(sim, n, name, z, cell);
}

void write_emit_level(BeamContext& sim, const LevelCurve& curve) {
  RunState& st = sim.state;
  if (st.ifirst_stat == -1) {
    sim.units.open(kUnitEmitLevel, "emit_level.dat");
    st.ifirst_stat = 1;
  }
  const FortranFormat& head = sim.beam_out.formats.get(kEmitHeader);
  sim.units.write(kUnitEmitLevel, head.write({std::string_view(" ex [cm*mrad]  "), std::string_view("     1-N/N0    "),
                                              std::string_view(" ey [cm*mrad]  "), std::string_view("     1-N/N0    "),
                                              std::string_view(" ez [keV/u*ns] "), std::string_view("     1-N/N0    ")}));
  const FortranFormat& row = sim.beam_out.formats.get(kEmitRow);
  for (int i = 0; i < kLevelCurveRows; ++i) {
    const auto& e = curve.e[static_cast<std::size_t>(i)];
    const auto& f = curve.f[static_cast<std::size_t>(i)];
    const FmtItem items[] = {e[1], f[1], e[2], f[2], e[3], f[3]};
    write_checked(sim, kUnitEmitLevel, row, items, {}, kEmitColumns);
  }
}

}  // namespace linac
