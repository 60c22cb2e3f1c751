#include "common/input_ranges.hpp"

#include <fmt/format.h>

#include "common/constants.hpp"
#include "platform/fatal.hpp"

namespace linac::input_range {

namespace {

[[noreturn]] void refuse_record(std::string_view file, long record, const std::string& what) {
  fatal(fmt::format(" {}, record {}: {}", file, record, what));
}

}  // namespace

void check_particle_record(std::string_view file, long record, int iq, long slot,
                           const ParticleRecord& p) {
  const struct {
    const char* name;
    double value, limit;
  } cols[] = {{"x", p.x, kMaxCoordinate},  {"x'", p.xp, kMaxSlope},         {"y", p.y, kMaxCoordinate},
              {"y'", p.yp, kMaxSlope},     {"phase", p.phase, kMaxPhaseRad}, {"beta", p.beta, 1.0}};
  const std::string who = fmt::format("charge state {}, particle {}", iq, slot);
  for (const auto& c : cols)
    if (!std::isfinite(c.value))
      refuse_record(file, record, fmt::format("{}: {} = {}; every value must be a finite number", who,
                                              c.name, c.value));
  if (p.status < 0) return;
  if (!(p.beta > kMinBeta && p.beta < 1.0))
    refuse_record(file, record, fmt::format("{}: speed beta = {}; a particle's v/c must lie in ({}, 1)",
                                            who, p.beta, kMinBeta));
  for (const auto& c : cols)
    if (std::fabs(c.value) > c.limit)
      refuse_record(file, record, fmt::format("{}: {} = {}; allowed range [-{}, {}]", who, c.name,
                                              c.value, c.limit, c.limit));
}

void check_charge_number(std::string_view file, long record, std::string_view what, double q) {
  if (!within(q, -kMaxChargeNumber, kMaxChargeNumber))
    refuse_record(file, record, fmt::format("charge number {} = {}; allowed range [-{}, {}]", what, q,
                                            kMaxChargeNumber, kMaxChargeNumber));
}

void check_mass_number(std::string_view file, long record, std::string_view what, double a) {
  if (!(std::isfinite(a) && a > 0.0 && a <= kMaxMassNumber))
    refuse_record(file, record,
                  fmt::format("mass number {} = {}; allowed range (0, {}]", what, a, kMaxMassNumber));
}

}  // namespace linac::input_range

namespace linac {

std::string sc_grid_size_fault(std::int32_t nx, std::int32_t ny, std::int32_t nz) {
  const std::int32_t values[] = {nx, ny, nz};
  for (int d = 0; d < 3; ++d) {
    const GridLimit& g = kScGridLimits[d];
    if (values[d] < g.lo || values[d] > g.hi)
      return fmt::format("{} = {}; space-charge grid nodes must lie in {}..{}", g.member, values[d],
                         g.lo, g.hi);
  }
  return {};
}

std::string sc_model_fault(std::int32_t iflag2d) {
  if (iflag2d == 0 || iflag2d == 1) return {};
  return fmt::format("IFLAG2D = {}; the space-charge model must be 0 (3-D, bunched) or 1 (2-D, "
                     "continuous)",
                     iflag2d);
}

std::int32_t scaled_particle_count(std::int32_t n, double fraction, const char* member) {
  const double scaled = static_cast<double>(n) * fraction;
  const std::int32_t k = nint(scaled, member);
  if (k < 0 || k > n)
    fatal(fmt::format(" {} = {} asks for {} of the {} particles of a charge state; it must lie in "
                      "(0, 1]",
                      member, fmt::format("{}", fraction), k, n));
  return k;
}

}  // namespace linac
