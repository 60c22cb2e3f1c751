#include "beam/lost_coord.hpp"

#include <array>
#include <cmath>

#include "common/sim.hpp"
#include "control/velmo_main.hpp"
#include "platform/format.hpp"
#include "transport/frame.hpp"

namespace linac {

static_assert(kLostHeader.size() == 313);

void write_lost_header(Sim& sim) { sim.units.write(kUnitLost, kLostHeader); }

void write_lost_particle(Sim& sim, std::int32_t n, std::int32_t i, std::int32_t iq,
                         std::int32_t mode) {
  static const FortranFormat kLayout(kLostRecordFormat);
  const ParticleArrays& p = sim.particles;
  std::array<double, 3> v{};  // velocity in the element frame, units of c
  if (mode == 1) {
    v = {p.betax[iq][i], p.betay[iq][i], p.betaz[iq][i]};
  } else {
    const double xp = p.xp[iq][i];
    const double yp = p.yp[iq][i];
    const double vz = p.beta[iq][i] / std::sqrt(1.0 + xp * xp + yp * yp);
    v = {xp * vz, yp * vz, vz};
  }
  const std::array<double, 3> r{p.x[iq][i], p.y[iq][i], p.z[iq][i]};
  const Frame& f = sim.frame.entry;
  const std::array<double, 3> lab_r = lab_point(f, r);
  const std::array<double, 3> lab_v = lab_direction(f, v);
  const std::string name = sim.elements.elem_name[n].str();
  const FmtItem items[] = {
      n,           std::string_view(name), sim.config.QQ[iq], sim.config.AMASS[iq],
      lab_r[0],    lab_r[1],   lab_r[2],   lab_v[0],   lab_v[1],   lab_v[2],
      r[0],        r[1],       r[2],       v[0],       v[1],       v[2],
      f.origin[0], f.origin[1], f.origin[2],
      f.axes[0][0], f.axes[0][1], f.axes[0][2],
      f.axes[1][0], f.axes[1][1], f.axes[1][2],
      f.axes[2][0], f.axes[2][1], f.axes[2][2]};
  write_formatted(sim.units, kUnitLost, kLayout, std::span<const FmtItem>(items));
}

}  // namespace linac
