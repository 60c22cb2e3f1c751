// The run records as the corrections of an error study see them: their
// sections, steering tables and sums, and the one routine of the control
// layer they call, which runs a lattice line through its handler
// (installed by the control context).
#pragma once

#include <cstdint>

#include "corrections/corr_study.hpp"
#include "matrices/matrices_context.hpp"

namespace linac {

struct CorrectionsContext : MatricesContext {
  CorrStudy corr_study;
  // Runs lattice line n as the dispatcher does (see dispatch_element).
  void (*dispatch_line)(CorrectionsContext&, std::int32_t& n) = nullptr;
};

}  // namespace linac
