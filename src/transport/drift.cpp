#include "transport/drift.hpp"

#include <cmath>

#include <fmt/format.h>

#include "platform/fatal.hpp"
#include "transport/frame.hpp"
#include "transport/reference.hpp"
#include "transport/stepping.hpp"
#include "transport/table_fields.hpp"

namespace linac {

double drift_step_count(int given, double L, double beta_s, double wavelength_2pi) {
  double nstep = given;
  if (given == 0) nstep = std::trunc(L / (beta_s * kTwoPi * wavelength_2pi * 0.25)) + 1.0;
  if (nstep < 2.0) nstep = 2.0;
  return nstep;
}

void drift_element(TransportContext& sim, std::int32_t n) {
  ReferenceBlock& r = sim.ref;
  RunState& s = sim.state;
  const auto& P = sim.elements.elem_par[n];
  s.ipos += 1;
  const double L = P[1];
  r.elem_len = L;
  r.drift_aper_x = P[2];
  r.drift_aper_y = P[3];
  s.itype = 1;
  if (r.drift_aper_y != 0.0 && r.drift_aper_x == 0.0)
    fatal({fmt::format(" {}: aperture half size P2 = 0 with P3 = {} cm", element_label(sim, n),
                       r.drift_aper_y),
           " give both half sizes, or P3 = 0 for no aperture"},
          true);

  // Design velocity at the drift entrance.
  r.gamma_s = r.w0 / r.amu_kev + 1.0;
  r.beta_s = std::sqrt(1.0 - 1.0 / (r.gamma_s * r.gamma_s));
  const double nstep =
      drift_step_count(sim.elements.elem_int[n][11], L, r.beta_s, r.wavelength_2pi);
  check_step_count(sim, n, nstep);
  r.nstep = static_cast<std::int32_t>(nstep);

  place_element(sim, 0.0, L, 1.0, 0.0);
  if (s.idraw == 1) {
    misalign_draw(sim);
    return;
  }

  r.aper_x = r.drift_aper_x;
  r.aper_y = r.drift_aper_y;
  r.step_len = L / r.nstep;
  ref_path_straight(sim, L);

  ReferenceHistory& h = sim.history;
  if (s.ipass == 1) {
    h.ref_W_in[s.ipos] = r.w0;
    h.elem_rf_phase[s.ipos] = (s.iflag_chain == 1) ? h.elem_rf_phase[s.ipos - 1] : 0.0;
    r.elem_phase = h.elem_rf_phase[s.ipos];
    ref_particle_element(sim);
  }
  r.elem_phase = h.elem_rf_phase[s.ipos];
  if (s.ipass != 1) ref_particle_element(sim);

  misalign_identity(sim);
  misalign_in(sim);
  stat(sim, 0);

  with_added_fields(sim, DriftAperture{r.drift_aper_x, r.drift_aper_y},
                    [&](const auto& field) { step_element(sim, n, field, L, false); });
}

void vary_cmd(TransportContext&, std::int32_t) {}

void fit_cmd(TransportContext&, std::int32_t) {}

}  // namespace linac
