// Constants of the space-charge model.
#pragma once

#include <array>

#include "common/constants.hpp"

namespace linac {

inline constexpr double kEps0 = 8.854187817620391e-14;  // vacuum permittivity, F/cm
// Charge-to-mass factor of the equations of motion in z: e/(m_u c) per cm and T.
inline constexpr double kQaForce = 0.0032184034535;
// V/cm to the field unit of the equations of motion, (V/m)/c.
inline constexpr double kVcmToEq = 100.0 / 299792458.0;
// Periodic images tried, in this order: the bunch itself, then the
// neighbouring periods outward.
inline constexpr std::array<int, 11> kImageOrder = {0, -1, 1, -2, 2, -3, 3, -4, 4, -5, 5};

}  // namespace linac
