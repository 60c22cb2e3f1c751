#include "transport/misalign.hpp"

#include <fmt/format.h>

#include "common/sim.hpp"
#include "platform/fatal.hpp"
#include "transport/frame.hpp"
#include "transport/push_z.hpp"
#include "transport/seams.hpp"

namespace linac {

namespace {

[[noreturn]] void misalignment_not_available(const Sim& sim, const char* what) {
  fatal({fmt::format(" {}: {} is not available yet", element_label(sim, sim.state.ipos), what)},
        true);
}

}  // namespace

void misalign_identity(Sim& sim) {
  Misalign& m = sim.transport.misalign;
  m.off_in = {0.0, 0.0, 0.0};
  m.off_out = {0.0, 0.0, 0.0};
  m.ang_in = {0.0, 0.0, 0.0};
  m.ang_out = {0.0, 0.0, 0.0};
  m.rot_in = kUnitMatrix3;
  m.rot_out = kUnitMatrix3;
  m.phase_error = m.phase_err_unif = m.phase_err_norm = 0.0;
  m.rel_field_error = m.field_err_unif = m.field_err_norm = 0.0;
}

void misalign_reuse(Sim& sim) {
  misalign_identity(sim);
  if (sim.state.ipass == 1 || sim.state.itype == 0 ||
      sim.transport.misalign.chord_len < kMinChord)
    return;
  misalignment_not_available(sim, "applying drawn misalignment and field errors");
}

void misalign_draw(Sim& sim) { misalignment_not_available(sim, "drawing element errors"); }

void misalign_in(Sim& sim) {
  // The misalignment is the identity, so only z is set.
  const Misalign& m = sim.transport.misalign;
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
    const std::int32_t* status = sim.particles.status[iq];
    double* z = sim.particles.z[iq];
    const int last = last_slot(sim, iq);
    for (int i = 0; i <= last; ++i)
      if (status[i] >= 0) z[i] = 0.0;
  }
  if (sim.state.ipass == 2) {
    for (int k = 0; k < 3; ++k)
      if (m.off_in[k] != 0.0 || m.ang_in[k] != 0.0)
        misalignment_not_available(sim, "moving the beam into a misaligned element");
  }
}

void misalign_out(Sim& sim) {
  const Misalign& m = sim.transport.misalign;
  if (sim.state.ipass == 2) {
    for (int k = 0; k < 3; ++k)
      if (m.off_out[k] != 0.0 || m.ang_out[k] != 0.0)
        misalignment_not_available(sim, "moving the beam out of a misaligned element");
  }
  const bool relative = sim.state.iflag_chain == 0;
  const double phase_out = sim.history.ref_phase_out[sim.state.ipos];
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
    const std::int32_t* status = sim.particles.status[iq];
    double* z = sim.particles.z[iq];
    double* phase = sim.particles.phase[iq];
    const int last = last_slot(sim, iq);
    for (int i = 0; i <= last; ++i) {
      if (status[i] < 0) continue;
      z[i] = 0.0;
      if (relative) phase[i] = phase[i] - phase_out;
    }
  }
}

}  // namespace linac
