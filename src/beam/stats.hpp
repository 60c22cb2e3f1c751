// Beam statistics: centroids, second moments, rms and maximum and level
// emittances, Twiss parameters, largest excursions and particle counts of
// the beam at an integration step, and at an element exit the per-position
// record that out.dat prints.
//
// Statistics coordinates (see phase_groups.hpp): x cm, x' rad, y cm, y' rad,
// phase deviation rad, dW/W. Emittances in beam_moments are rms and not
// normalised: cm*rad for x and y, rad (phase times dW/W) longitudinally.
//
// Values where the moments do not exist: with fewer than two counted
// particles the covariances are 0 (one particle: its coordinates are the
// centroid; none: the centroid is 0). A plane whose rms emittance is zero
// to rounding is degenerate: its eps_rms, eps_max and level emittance are
// 0, and its Twiss alpha, beta and gamma are stored as 0, a value no real
// beam has (beta > 0), which marks the plane; its rms sizes are then
// sqrt(|s11|) and sqrt(|s22|). Zero to rounding means either
//  - a coordinate without spread: its central moment s is not above
//    kRoundingSpread times its mean square about the origin, <v^2>. The
//    central moment is taken as (sum v^2 - n mean^2) / (n - 1), so a
//    coordinate with one value c for every particle (all particles at one
//    energy off the reference, or at one angle) leaves the rounding of
//    the sums, up to about (kStatChunk + n / kStatChunk) * 1.1e-16 * c^2
//    (5e-13 c^2 for a million particles), not 0; or
//  - a line in the plane: det = s11 s22 - s12^2 <= kDegenerateDet s11 s22
//    (emittance below 1e-6 of sigma_u sigma_u').
// A genuine emittance, however small, is kept: the test is relative to the
// plane's own sizes and offsets.
// No zero denominator puts a NaN or an infinity into a record.
#pragma once

#include <array>
#include <cstdint>
#include <cstddef>
#include <vector>

#include "common/constants.hpp"
#include "common/records.hpp"
#include "common/uninit_allocator.hpp"

namespace linac {

struct BeamContext;

// Relative size of the rms emittance determinant below which a plane is
// taken as degenerate (zero emittance up to rounding of the moments).
inline constexpr double kDegenerateDet = 1e-12;
// Central second moment, relative to the mean square about the origin, at
// or below which a coordinate has no spread (the moment is the rounding of
// its sums): 200 times the largest rounding of a million particles' sums;
// a coordinate spread by sigma about a centroid c is kept while sigma > 1e-5
// |c|, where its moment is still good to 5e-3.
inline constexpr double kRoundingSpread = 1e-10;
// Particle slots per chunk of the statistics sums. Sums are taken chunk by
// chunk and the chunk sums combined in slot order, so the result does not
// depend on the number of threads.
inline constexpr int kStatChunk = 4096;
inline constexpr int kChunksPerState = (kParticleSlots + kStatChunk - 1) / kStatChunk;
// Bins of the single-particle emittance histogram of the level emittances.
inline constexpr int kLevelBins = 1001;
// Rows 0..100 of a level curve in emit_level.dat.
inline constexpr int kLevelCurveRows = 101;

using Sym6 = std::array<std::array<double, 7>, 7>;  // (m, j) in 1..6

// The current beam, overwritten by each statistics call.
struct BeamMoments {
  std::array<double, 4> twiss_alpha{};  // 1..3 = x, y, longitudinal plane
  std::array<double, 4> twiss_beta{};   // cm/rad, cm/rad, rad per unit dW/W
  std::array<double, 4> twiss_gamma{};  // rad/cm, rad/cm, dW/W per rad
  std::array<double, 4> eps_rms{};      // cm*rad, cm*rad, rad
  std::array<double, 4> eps_max{};      // cm*rad, cm*rad, rad
  std::array<double, 7> centroid{};     // 1..6, statistics coordinates
  Sym6 sigma{};                         // second central moments, 1..6
};

// The statistics of one element position, as out.dat prints them.
struct ElementStatsRow {
  double exn_rms4 = 0.0;   // 4 eps_rms(1) betgam0, cm*rad
  double eyn_rms4 = 0.0;   // 4 eps_rms(2) betgam0, cm*rad
  double ezn_rms4 = 0.0;   // 4 eps_rms(3) T, keV/u*ns
  double exn_max = 0.0;    // eps_max(1) betgam0, cm*rad
  double eyn_max = 0.0;    // cm*rad
  double ezn_max = 0.0;    // keV/u*ns
  double x_rms = 0.0;      // cm
  double xp_rms = 0.0;     // rad
  double y_rms = 0.0;      // cm
  double yp_rms = 0.0;     // rad
  double phi_rms = 0.0;    // rad
  double dww_rms = 0.0;    // 1
  double exn_level = 0.0;  // level emittance x betgam0, cm*rad
  double eyn_level = 0.0;  // cm*rad
  double ezn_level = 0.0;  // level emittance z T, keV/u*ns
  double xc = 0.0;         // cm
  double xpc = 0.0;        // rad
  double yc = 0.0;         // cm
  double ypc = 0.0;        // rad
  double phic = 0.0;       // rad
  double btgm = 0.0;       // reference beta*gamma at the exit
  double w_mean = 0.0;     // mean kinetic energy, MeV/u
  std::array<double, 4> beam_max{};  // 1..3: largest |x| cm, |y| cm, |phase deviation| rad
  double alpha_x = 0.0;
  double beta_x = 0.0;     // cm/rad
  double alpha_y = 0.0;
  double beta_y = 0.0;     // cm/rad
  double alpha_z = 0.0;
  double beta_z = 0.0;     // rad per unit dW/W
};

struct PositionCounts {
  std::array<std::int32_t, kElementSlots> n_live{};  // live particles at the exit of p
  std::array<std::int32_t, kElementSlots> n_lost{};  // particles lost in p
};

// Per integration step: values 1..6 the rms of x, x', y, y', phase
// deviation and dW/W; 7..9 the rms emittances.
struct StepStatsRow {
  std::array<double, 10> v{};
};

// Step values handed to the error-seed statistics: the sums (not
// normalised) of the six coordinates and of their products, and the count.
struct ErrStatStep {
  std::array<double, 7> step_sum{};
  Sym6 step_sumsq{};
  double step_count = 0.0;
};

// Sums of one chunk of particle slots.
struct StatChunkSums {
  double n = 0.0;                  // counted particles
  std::int32_t live = 0;           // live particles, all energies
  std::int32_t beam = 0;           // beam particles (status 0), all energies
  std::array<double, 6> sum{};     // sums of v(m)
  std::array<double, 21> prod{};   // sums of v(m) v(j), m <= j, row by row
  double phase_sum = 0.0;          // absolute phase sum (centroid), rad
  double w_sum = 0.0;              // kinetic energy sum (centroid), keV/u
  std::array<double, 6> maxv{};    // largest |v(m)| inside DWWMAX
};

// The running sums of one chunk of slots at one intermediate step of an
// element, kept between the runs of slots that add to them (the lane pairs
// of the particle loop, lane by lane).
struct StepChunkSums {
  std::int32_t live = 0, beam = 0;
  double n = 0.0;
  std::array<double, 36> lanes{};
};

// The statistics of the intermediate steps 1..nstep-1 of an element taken
// while the particles go through all steps a few slots at a time: what the
// particle loop of each step reads, and the sums of every step and chunk.
struct StepSumsPlan {
  int steps = 0;   // steps 1..steps are taken (0: none)
  int nitems = 0;  // chunks per step, in the order of the statistics pass
  std::array<std::int32_t, kMaxChargeStates + 1> first_item{};  // chunk of slot 0 of each state
  std::array<std::int32_t, kMaxChargeStates + 1> last_slot{};   // last slot of each state taken, -1 none
  std::array<bool, kMaxChargeStates + 1> count_only{};          // state outside the statistics range
  std::array<double, kMaxChargeStates + 1> mean_phase{};        // phase origin of each state, rad
  std::vector<double> w_origin, phase_origin;                   // per step 0..steps
  double amu_kev = 0.0, dwwacc = 0.0, dwwmax = 0.0;
  bool add_phase_origin = true;
  std::vector<StepChunkSums> sums;  // step k, chunk w at (k - 1) nitems + w
};

struct BeamStats {
  std::array<ElementStatsRow, kElementSlots> element_stats{};
  PositionCounts position_counts;
  std::array<StepStatsRow, kMaxSteps + 1> step_stats{};
  // Per charge state: means and second central moments of the counted
  // particles (denominator n - 1).
  std::array<std::array<double, 7>, kMaxChargeStates + 1> q_mean{};
  std::array<Sym6, kMaxChargeStates + 1> q_sigma{};
  // Per charge state: centroid x, x', y, y' (cm, rad), phase (rad) and
  // kinetic energy per nucleon (keV/u).
  std::array<std::array<double, 7>, kMaxChargeStates + 1> qstate_centroids{};
  ErrStatStep err_step;
  // Level emittance per plane 1..3 (cm*rad, cm*rad, rad), kept from one
  // exit to the next.
  std::array<double, 4> eps_level{};
  // Working storage of the particle loops (one entry per chunk).
  std::array<StatChunkSums, kMaxChargeStates * kChunksPerState> chunk{};
  // Working storage of the level emittances, one entry per slot of the
  // statistics range, grown to the largest beam: three single-particle
  // invariants, and the dW/W the exit statistics pass keeps for them. Left
  // uninitialised when grown: every entry is written by the thread that
  // owns its chunk before it is read.
  std::vector<double, UninitAllocator<double>> level_r;
  std::vector<double, UninitAllocator<double>> level_dww;
  StepSumsPlan step_sums;
};

// One level curve: for rows i = 0..100 the emittance 10 i d and the
// fraction of counted particles outside it, per plane 1..3 (output units:
// normalised cm*mrad for x and y, keV/u*ns longitudinally).
struct LevelCurve {
  std::array<std::array<double, 4>, kLevelCurveRows> e{};
  std::array<std::array<double, 4>, kLevelCurveRows> f{};
};

// The charge-state range of the statistics and outputs: nqtot0..nqtot1,
// where a last state of 0 means NQTOT (the range is never empty while
// NQTOT >= 1), limited to 1..NQTOT.
struct StateRange {
  int first = 1;
  int last = 0;
};
StateRange statistics_range(const RunConfig& c);

// Statistics at step k of the current element; at k >= nstep also the exit
// records of position ipos. Stops the run when fewer than 3 particles live.
void stat(BeamContext& sim, std::int32_t k);
// The statistics of the intermediate steps of the current element taken
// while a push carries every particle through all its steps (see
// push_states_steps with step_sums), each equal bit for bit to
// stat(sim, k) after step k: possible while the mean phases of the steps
// do not depend on the particles (iflag_t != 1) and the sums of all steps
// fit in kStepSumsBytes.
inline constexpr std::size_t kStepSumsBytes = std::size_t{64} << 20;
bool step_sums_possible(const BeamContext& sim);
// Before the push: the origins and chunks of steps 1..nstep-1, the sums
// cleared (no step is taken when the mode gate leaves them out).
void prepare_step_sums(BeamContext& sim);
// After step k: adds the live slots slots[0..n) of state iq, increasing and
// inside one chunk, to that chunk's sums of step k. The runs of slots of a
// chunk come in slot order; different chunks may be added by different
// threads at the same time.
void add_step_sums(BeamContext& sim, int k, int iq, const std::int32_t* slots, int n);
// stat(sim, k) of an intermediate step from its kept sums, after the losses
// of step k are recorded.
void stat_from_step_sums(BeamContext& sim, std::int32_t k);
// Position p repeats the statistics and counts of p - 1.
void stat_copy_prev(BeamContext& sim, std::int32_t p);
// Exit bookkeeping of an acceptance run.
void stat_acceptance_exit(BeamContext& sim);

// Maximum and level emittances of the current beam (an element exit):
// fills eps_max of beam_moments and the kept level emittances; with curve
// set also the level curve, using betgam0 and the energy-time factor T
// (keV/u*ns per rad) for its output units.
void level_emittances(BeamContext& sim, double T, LevelCurve* curve);
// Appends one level curve (header and 101 rows) to emit_level.dat, opening
// it at the first call of the run.
void write_emit_level(BeamContext& sim, const LevelCurve& curve);

// Energy-time factor T = W 1e9 / (2 pi FREQB harm): phase (rad) times
// dW/W into keV/u*ns at reference energy W (keV/u); 0 when FREQB harm = 0.
double energy_time_factor(double W, double FREQB, double harm);

}  // namespace linac
