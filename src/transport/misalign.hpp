// The misalignment of the element being run and the moves of the beam into
// and out of the element's frame. Drawn errors are not applied yet: the
// misalignment is the identity, and a pass that would need drawn errors
// stops the run with a message instead of running without them.
#pragma once

namespace linac {

struct Sim;

// No misalignment: zero offsets and angles, unit rotations, no phase or
// field error.
void misalign_identity(Sim& sim);

// The misalignment of the current position from its drawn deviates. In the
// nominal pass (and for elements without length or type) the identity;
// otherwise the drawn errors would act, which is not available yet.
void misalign_reuse(Sim& sim);

// The error-drawing pass of the current position (not available yet).
void misalign_draw(Sim& sim);

// Every live particle into the element frame at its entrance (z := 0), and
// back into the beam-line frame at the exit (z := 0; with iflag_chain = 0
// every live phase is made relative to the design particle's exit phase).
void misalign_in(Sim& sim);
void misalign_out(Sim& sim);

}  // namespace linac
