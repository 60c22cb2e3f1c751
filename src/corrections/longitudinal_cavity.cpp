#include "corrections/longitudinal_cavity.hpp"

#include "corrections/corrections_context.hpp"

namespace linac {

// The cavity stores the amplitude of its nominal pass by element position,
// which is the line's index in a pass over the whole lattice.
double cavity_field_used(const CorrectionsContext& sim, std::int32_t k) { return sim.tables.field_used[static_cast<std::size_t>(k)]; }

}  // namespace linac
