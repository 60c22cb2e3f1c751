#include "beam/lost_coord.hpp"

#include <fmt/format.h>

#include <cmath>
#include <string>

#include "beam/beam_context.hpp"
#include "common/text_utils.hpp"
#include "common/unit_numbers.hpp"
#include "platform/format.hpp"
#include "beam/out_tables.hpp"

namespace linac {

namespace {

// The quantities of the lost.dat and coord.dat columns, item by item.
constexpr std::string_view kLostColumns[] = {
    "n_el",    "name",    "Q",       "A",       "Xfirst,cm", "Yfirst,cm", "Zfirst,cm", "VXfirst", "VYfirst", "VZfirst",
    "Xdev,cm", "Ydev,cm", "Zdev,cm", "VXdev",   "VYdev",     "VZdev",     "Xc,cm",     "Yc,cm",   "Zc,cm",   "O(11)",
    "O(12)",   "O(13)",   "O(21)",   "O(22)",   "O(23)",     "O(31)",     "O(32)",     "O(33)"};
constexpr std::string_view kCoordColumns[] = {"Nseed", "iq", "dt[nsec]", "dW[Mev/u]", "x[cm]", "x'[mrad]",
                                              "y[cm]", "y'[mrad]"};

}  // namespace

static_assert(kLostHeader.size() == 313);
static_assert(kCoordHeader.size() == 120);

void write_lost_header(BeamContext& sim) { sim.units.write(kUnitLost, kLostHeader); }

void write_lost_particle(BeamContext& sim, std::int32_t n_el, std::int32_t i, std::int32_t iq,
                         std::int32_t mode) {
  static const FortranFormat kRecord(
      "(I4,TR2,A5,2F6.1,2(3F12.3,3F12.7),3F12.3,3(3F12.7))");
  const ParticleArrays& p = sim.particles;
  const double pos[3] = {p.x[iq][i], p.y[iq][i], p.z[iq][i]};
  double vel[3];
  if (mode == kLostPushedInTime) {
    vel[0] = p.betax[iq][i];
    vel[1] = p.betay[iq][i];
    vel[2] = p.betaz[iq][i];
  } else {
    // Speed along the slopes: v = beta (x', y', 1) / sqrt(1 + x'^2 + y'^2).
    const double xp = p.xp[iq][i];
    const double yp = p.yp[iq][i];
    vel[2] = p.beta[iq][i] / std::sqrt(1.0 + xp * xp + yp * yp);
    vel[0] = xp * vel[2];
    vel[1] = yp * vel[2];
  }
  // Entrance frame of the element: lab = origin + sum_k r_k O(k, l).
  const Frame& f = sim.frame.entry;
  double lab_pos[3];
  double lab_vel[3];
  for (int l = 0; l < 3; ++l) {
    double sp = 0.0;
    double sv = 0.0;
    for (int k = 0; k < 3; ++k) {
      sp += pos[k] * f.axes[k][l];
      sv += vel[k] * f.axes[k][l];
    }
    lab_pos[l] = f.origin[l] + sp;
    lab_vel[l] = sv;
  }
  const std::string name = sim.elements.elem_name[n_el].str();
  const FmtItem items[] = {
      n_el,          std::string_view(name), sim.config.QQ[iq], sim.config.AMASS[iq],
      lab_pos[0],    lab_pos[1],             lab_pos[2],        lab_vel[0],
      lab_vel[1],    lab_vel[2],             pos[0],            pos[1],
      pos[2],        vel[0],                 vel[1],            vel[2],
      f.origin[0],   f.origin[1],            f.origin[2],       f.axes[0][0],
      f.axes[0][1],  f.axes[0][2],           f.axes[1][0],      f.axes[1][1],
      f.axes[1][2],  f.axes[2][0],           f.axes[2][1],      f.axes[2][2]};
  check_result_line(sim, kRecord, items, "lost.dat",
                    fmt::format("element {} ({}), charge state {}, particle {}", n_el, trimmed(name), iq, i),
                    kLostColumns);
  sim.units.write(kUnitLost, kRecord.write(items));
}

void write_coord_dat(BeamContext& sim) {
  static const FortranFormat kLine("(I7,I7,8(TR3,E15.5))");
  sim.units.write(kUnitCoord, kCoordHeader);
  const ParticleArrays& p = sim.particles;
  const ReferenceBlock& r = sim.ref;
  // Reference gamma of the current design energy.
  const double gamma_ref = (r.w0 + r.amu_kev) / r.amu_kev;
  const std::int32_t iseed = sim.state.iseed;
  for (std::int32_t iq = 1; iq <= sim.config.NQTOT; ++iq) {
    for (std::int32_t i = 0; i <= sim.config.NPAT[iq]; ++i) {
      if (p.status[iq][i] < 0) continue;
      // RF phase to time: t = phase * lambda/(2 pi harm) / c, in ns.
      const double dt = p.phase[iq][i] * r.wavelength_2pi / kSpeedOfLightCm * 1e9;
      const double b = p.beta[iq][i];
      const double gamma = 1.0 / std::sqrt(1.0 - b * b);
      const double dw = (gamma - gamma_ref) * r.amu_mev;  // MeV/u
      const FmtItem items[] = {iseed,          iq,          dt,          dw, p.x[iq][i],
                               p.xp[iq][i] * 1000.0, p.y[iq][i], p.yp[iq][i] * 1000.0};
      check_result_line(sim, kLine, items, "coord.dat", fmt::format("charge state {}, particle {}", iq, i),
                        kCoordColumns);
      sim.units.write(kUnitCoord, kLine.write(items));
    }
  }
}

}  // namespace linac
