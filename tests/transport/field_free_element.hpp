// A quadrupole whose field is switched off: the drift's own steps, with the
// element type of a quadrupole and its misalignment (misalign_reuse). Tests
// register it for the quad handler; a misaligned field-free element must
// leave every particle as a plain drift does.
#pragma once

#include <cmath>
#include <cstdint>

#include "run/sim.hpp"
#include "transport/frame.hpp"
#include "transport/misalign.hpp"
#include "transport/reference.hpp"
#include "transport/stepping.hpp"

namespace linac::testing {

// Element line n: length elem_pos(n) - elem_pos(n - 1) (cm) in elem_int(n,
// 11) steps, no aperture.
inline void field_free_quad(ControlContext& sim, std::int32_t& n) {
  ReferenceBlock& r = sim.ref;
  RunState& s = sim.state;
  s.ipos += 1;
  const double L = sim.elements.elem_pos[n] - sim.elements.elem_pos[n - 1];
  r.elem_len = L;
  s.itype = 4;
  r.gamma_s = r.w0 / r.amu_kev + 1.0;
  r.beta_s = std::sqrt(1.0 - 1.0 / (r.gamma_s * r.gamma_s));
  r.nstep = sim.elements.elem_int[n][11];
  place_element(sim, 0.0, L, 1.0, 0.0);
  if (s.idraw == 1) return misalign_draw(sim);
  r.drift_aper_x = r.drift_aper_y = 0.0;
  r.step_len = L / r.nstep;
  ref_path_straight(sim, L);
  if (s.ipass == 1) {
    sim.history.ref_W_in[s.ipos] = r.w0;
    sim.history.elem_rf_phase[s.ipos] = 0.0;
  }
  r.elem_phase = 0.0;
  const FieldAt<DriftAperture> field{{0.0, 0.0}};
  ref_particle_element(sim, field);
  misalign_reuse(sim);
  misalign_in(sim);
  stat(sim, 0);
  step_element(sim, n, field, L, false);
}

}  // namespace linac::testing
