// Error-seed statistics: the particles of every seed pooled position by
// position into one ensemble, whose emittances staterr.dat lists after the
// last seed. A seed-to-seed spread of the centroid enlarges the pooled
// emittances: they show how much the random errors blow the beam up.
#pragma once

#include <array>

#include "beam/stats.hpp"
#include "common/constants.hpp"

namespace linac {

struct BeamContext;

// Accumulators per element position 0..2000: the sums of the six
// statistics coordinates and of their products over the counted particles
// of all seeds, their count, and the operating harmonic in force at the
// position (it converts the phase spread to time at the end).
struct ErrStatAccumulators {
  std::array<std::array<double, 7>, kElementSlots> acc_sum{};  // 1..6
  std::array<Sym6, kElementSlots> acc_sumsq{};                 // (1..6, 1..6)
  std::array<double, kElementSlots> acc_count{};
  std::array<double, kElementSlots> acc_harm{};
};

// Empties the accumulators of positions iel_first - 1 .. iel_last.
void err_stat_clear(BeamContext& sim);

// At position ipos: when the element moved the beam (imoved = 1) adds the
// step values of the last statistics call; otherwise repeats the
// accumulators of the previous position.
void err_stat_accumulate(BeamContext& sim);

// Pooled emittances of one position (output units: normalised 4 x rms
// cm*mrad for x and y, 4 x rms keV/u*ns longitudinally); found = false
// when fewer than two particles were pooled there.
struct PooledEmittances {
  bool found = false;
  std::array<double, 3> e{};
};
PooledEmittances pooled_emittances(const ErrStatAccumulators& acc, int p, double W, double FREQB,
                                   double amu_kev);

// staterr.dat: one line per element line, (I4,A7,F10.4,3E15.5): the line,
// its keyword, its end position (cm) and the pooled ex, ey, ez. A position
// with fewer than two pooled particles repeats the previous line's values
// (0 for the first).
void err_stat_write(BeamContext& sim);

}  // namespace linac
