#include "beam/particle_dump.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "beam/phase_groups.hpp"
#include "beam/stats.hpp"
#include "beam/beam_context.hpp"
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

// Slots per chunk of the formatted text. Chunks are formatted on threads
// (the formatter keeps no state) and written in slot order, so the file is
// the same for any number of threads. The text of one charge state is held
// at once: at most 41 chunks, about 20 MB.
constexpr int kDumpChunk = 4096;

// Writes the records row(i, text) appends for slots i = first..last, in
// slot order; row appends nothing for a slot that is left out.
template <class Row>
void write_slots(TextOut& out, int first, int last, const Row& row) {
  const int chunks = (last - first + kDumpChunk) / kDumpChunk;
  std::vector<std::string> text(static_cast<std::size_t>(std::max(chunks, 0)));
#pragma omp parallel for schedule(static) if (chunks > 1)
  for (int c = 0; c < chunks; ++c) {
    std::string& t = text[static_cast<std::size_t>(c)];
    const int lo = first + c * kDumpChunk;
    const int hi = std::min(last, lo + kDumpChunk - 1);
    for (int i = lo; i <= hi; ++i) row(i, t);
  }
  for (std::string& t : text) {
    if (t.empty()) continue;
    t.pop_back();  // the last line end; the writer adds it
    out.write(t);
  }
}

// Appends the records of one formatted row, each with its line end.
void append(std::string& t, const FortranFormat& f, std::span<const FmtItem> items) {
  for (const std::string& rec : f.write(items)) {
    t += rec;
    t += '\n';
  }
}

// Modes 1 and 2: the charge states, a header and every slot 0..NPAT+ntest.
void write_all_slots(BeamContext& sim, TextOut& out, bool deviations) {
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
  const double amu = ref.amu_kev, w0 = ref.w0;
  for (int iq = 1; iq <= c.NQTOT; ++iq) {
    const double Q = c.QQ[iq], A = c.AMASS[iq];
    write_slots(out, 0, c.NPAT[iq] + sim.npat.ntest[iq], [&](int i, std::string& t) {
      const double b = p.beta[iq][i];
      double v5 = p.phase[iq][i], v6 = b;
      if (deviations) {
        v5 = p.phase[iq][i] * ns_per_rad;
        const double W = (1.0 / std::sqrt(1.0 - b * b) - 1.0) * amu;
        v6 = (W - w0) * 0.001;
      }
      const FmtItem items[] = {Q,  A,  p.x[iq][i],  slope * p.xp[iq][i], p.y[iq][i], slope * p.yp[iq][i],
                               v5, v6, p.z[iq][i], p.status[iq][i]};
      append(t, row, items);
    });
  }
}

// Modes 0 and -1: the live beam particles (status exactly 0, slots 0..NPAT).
void write_live(BeamContext& sim, TextOut& out, bool folded) {
  const RunConfig& c = sim.config;
  const ParticleArrays& p = sim.particles;
  out.write(std::string(kLiveHeader));
  const FortranFormat row(kLiveRow);
  const double shift = sim.state.IRIARFQ * kPi;
  const std::int32_t nharm = c.nharm_sc;
  const double amu = sim.ref.amu_kev;
  for (int iq = 1; iq <= c.NQTOT; ++iq) {
    const double Q = c.QQ[iq], A = c.AMASS[iq];
    write_slots(out, 0, c.NPAT[iq], [&](int i, std::string& t) {
      if (p.status[iq][i] != kLive) return;
      const double phase = folded ? phase_wrap_harm(p.phase[iq][i] + shift, nharm) : p.phase[iq][i];
      const double W = kinetic_energy_kev(p.beta[iq][i], amu);
      const FmtItem items[] = {i + 1, p.x[iq][i], p.xp[iq][i], p.y[iq][i], p.yp[iq][i],
                               phase, W * 0.001,  Q,           A};
      append(t, row, items);
    });
  }
}

}  // namespace

void write_particle_dump(BeamContext& sim, std::int32_t mode, const char* name) {
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

void ascii_cmd(BeamContext& sim, std::int32_t n) {
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
