// A uniform static field as a field source (V/cm and G), for tests whose
// expected motion is known in closed form.
#pragma once

#include "transport/field_at.hpp"

namespace linac::testing {

struct UniformField {
  Vec3 E{};  // V/cm
  Vec3 B{};  // G
  bool element_field(double, double, double, double, Vec3& e, Vec3& b) const {
    e = E;
    b = B;
    return true;
  }
};

// Relativistic factors of a kinetic energy per nucleon W (keV/u).
inline double gamma_of_w(double W) { return W / 931494.3200000001 + 1.0; }
inline double beta_of_w(double W) {
  const double g = gamma_of_w(W);
  return std::sqrt(1.0 - 1.0 / (g * g));
}
inline double beta_of_gamma(double g) { return std::sqrt(1.0 - 1.0 / (g * g)); }

}  // namespace linac::testing
