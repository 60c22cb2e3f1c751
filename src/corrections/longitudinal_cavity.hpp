// What the longitudinal correction reads of a corrector cavity.
#pragma once

#include <cstdint>

namespace linac {

struct CorrectionsContext;

// The amplitude cavity line k used in the nominal pass (the unit of its
// amplitude set-point P8).
double cavity_field_used(const CorrectionsContext& sim, std::int32_t k);

}  // namespace linac
