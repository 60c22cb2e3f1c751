#include "beam/particle_dump.hpp"

#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include "beam/phase_groups.hpp"
#include "beam/stats.hpp"
#include "common/sim.hpp"
#include "common/text_utils.hpp"
#include "platform/format.hpp"
#include "platform/units.hpp"

namespace linac {

namespace {

using T = std::string_view;

constexpr T kSlotRow = "(2F8.2,7E15.6,I3)";
constexpr T kLiveRow = "(I5,4E14.5,F10.5,E18.5,2F10.2)";
constexpr T kLiveHeader =
    "   #        x(cm)       x'(rad)         y(cm)      y'(rad)     phi(rad)       W(MeV/amu)       "
    "Q(e)    A(amu)";
static_assert(kLiveHeader.size() == 109);

void put(TextOut& out, const FortranFormat& f, std::span<const FmtItem> items) {
  out.write(f.write(items));
}

// Modes 1 and 2: the charge states, a header and every slot 0..NPAT+ntest.
void write_all_slots(Sim& sim, TextOut& out, bool deviations) {
  const RunConfig& c = sim.config;
  const ParticleArrays& p = sim.particles;
  const ReferenceBlock& ref = sim.ref;
  out.write(format_records("(I6)", {c.NQTOT}));
  std::vector<FmtItem> qs;
  for (int iq = 1; iq <= c.NQTOT; ++iq) qs.emplace_back(c.QQ[iq]);
  if (!qs.empty()) out.write(format_records("(5F12.2)", qs));
  const T xp = deviations ? "   x' [mrad]  " : "   x' [rad]   ";
  const T yp = deviations ? "   y' [mrad]  " : "   y' [rad]   ";
  const T t5 = deviations ? "  time [nsec]  " : "  phase [rad]  ";
  const T t6 = deviations ? "  W-W0 [MeV/ u]" : "     beta      ";
  out.write(format_records("(2A8,7A15,A8)",
                           {T(" charge "), T("  Amass "), T("    x [cm]     "), xp,
                            T("    y [cm]     "), yp, t5, t6, T("  zloss [cm]   "), T("  spin  ")}));
  const FortranFormat row(kSlotRow);
  const double slope = deviations ? 1000.0 : 1.0;
  const double ns_per_rad = ref.wavelength_2pi * 1e9 / kSpeedOfLightCm;
  for (int iq = 1; iq <= c.NQTOT; ++iq) {
    const int last = c.NPAT[iq] + sim.npat.ntest[iq];
    for (int i = 0; i <= last; ++i) {
      const double b = p.beta[iq][i];
      double v5 = p.phase[iq][i], v6 = b;
      if (deviations) {
        v5 = p.phase[iq][i] * ns_per_rad;
        const double W = (1.0 / std::sqrt(1.0 - b * b) - 1.0) * ref.amu_kev;
        v6 = (W - ref.w0) * 0.001;
      }
      const FmtItem items[] = {c.QQ[iq], c.AMASS[iq], p.x[iq][i], slope * p.xp[iq][i], p.y[iq][i],
                               slope * p.yp[iq][i], v5, v6, p.z[iq][i], p.status[iq][i]};
      put(out, row, items);
    }
  }
}

// Modes 0 and -1: the live beam particles (status exactly 0, slots 0..NPAT).
void write_live(Sim& sim, TextOut& out, bool folded) {
  const RunConfig& c = sim.config;
  const ParticleArrays& p = sim.particles;
  out.write(std::string(kLiveHeader));
  const FortranFormat row(kLiveRow);
  const double shift = sim.state.IRIARFQ * kPi;
  for (int iq = 1; iq <= c.NQTOT; ++iq) {
    for (int i = 0; i <= c.NPAT[iq]; ++i) {
      if (p.status[iq][i] != kLive) continue;
      const double phase = folded ? phase_wrap_harm(sim, p.phase[iq][i] + shift) : p.phase[iq][i];
      const double W = kinetic_energy_kev(p.beta[iq][i], sim.ref.amu_kev);
      const FmtItem items[] = {i + 1,  p.x[iq][i], p.xp[iq][i], p.y[iq][i],  p.yp[iq][i],
                               phase, W * 0.001,  c.QQ[iq],    c.AMASS[iq]};
      put(out, row, items);
    }
  }
}

}  // namespace

void write_particle_dump(Sim& sim, std::int32_t mode, const char* name) {
  TextOut out(sim.units, name);
  switch (mode) {
    case 1:
      return write_all_slots(sim, out, false);
    case 2:
      return write_all_slots(sim, out, true);
    case 0:
      return write_live(sim, out, false);
    case -1:
      return write_live(sim, out, true);
    default:
      return;  // an unknown layout leaves the file empty
  }
}

void ascii_cmd(Sim& sim, std::int32_t n) {
  RunState& s = sim.state;
  s.ipos += 1;
  if (s.idraw == 1) return;
  if (s.ipass == 1) {
    ReferenceHistory& h = sim.history;
    h.ref_W_in[s.ipos] = sim.ref.w0;
    h.ref_W_out[s.ipos] = sim.ref.w0;
    h.elem_rf_phase[s.ipos] = 0.0;
    h.ref_phase_out[s.ipos] = 0.0;
  }
  const auto& ints = sim.elements.elem_int[static_cast<std::size_t>(n)];
  const std::int32_t number = ints[kElemN];
  if (ints[12] == s.iseed && number >= 0) {
    const std::string name = numbered_name("ascii.#", number, 3);
    write_particle_dump(sim, ints[11], name.c_str());
  }
  stat_copy_prev(sim, s.ipos);
}

}  // namespace linac
