// The run records as the beam routines see them: distributions, statistics,
// output tables, the error-seed pools and the plots.
#pragma once

#include "beam/err_stats.hpp"
#include "beam/out_tables.hpp"
#include "beam/phase_groups.hpp"
#include "beam/plots.hpp"
#include "beam/stats.hpp"
#include "numerics/numerics_context.hpp"

namespace linac {

struct BeamContext : NumericsContext {
  ChargeGroups charge_groups;
  QstatePhases qphase;
  BeamMoments beam_moments;
  BeamStats stats;
  BeamOutput beam_out;
  // Error-seed statistics: the particles of all seeds pooled per position.
  ErrStatAccumulators err_acc;
  // Plot picture and step viewer (IGRAPH = 1).
  PlotWindows plots;
};

}  // namespace linac
