// State of the corrections of an error study: the correction sections cut
// from the cdump brackets of the lattice, the tables of the steering
// measurement and fit, the sums over fits and seeds, and the settings of the
// longitudinal correction of the section being handled. Owned by the
// corrections context (corr_study); indices follow the lattice notation (1-based, entry 0
// unused) so that the tables read like the file layouts that print them.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "common/constants.hpp"

namespace linac {

inline constexpr int kMaxSections = 50;         // correction sections
inline constexpr int kMaxSteerCorrectors = 25;  // steering correctors of a section
inline constexpr int kMaxMonitors = 25;         // monitors of a section
inline constexpr int kMaxEquations = 25;        // monitor equations of a section
inline constexpr int kMaxCorrCavities = 50;     // corrector cavities of a section
inline constexpr int kMaxLongTests = 150;       // trial particles of the longitudinal measurement
inline constexpr int kMaxPasses = 2;            // steering measurement passes

// Columns of a correction section row.
inline constexpr int kCsCdump = 1;    // bracket number, 0 for a section without correction
inline constexpr int kCsFirst = 2;    // first element
inline constexpr int kCsLast = 3;     // last element
inline constexpr int kCsExtra = 4;    // end of the monitor search range
inline constexpr int kCsNx = 5;       // horizontal correctors
inline constexpr int kCsNy = 6;       // vertical correctors
inline constexpr int kCsSteered = 7;  // 1 once a steering fit was made

// Result of the last fit of a section, for the log line of a fit the
// minimiser did not call converged and for the timing figures.
struct FitOutcome {
  double f = 0.0;    // objective at the reported minimum
  double edm = 0.0;  // estimated distance to the minimum
  std::int32_t calls = 0;
  bool valid = false;
  bool call_limit = false;
};

// Wall-clock seconds spent per part of the corrections (summed over seeds).
struct CorrTimes {
  double longitudinal = 0.0;  // energy and phase measurement passes
  double measurement = 0.0;   // steering measurement passes
  double fits = 0.0;          // minimiser
  double final_pass = 0.0;    // final passes of the sections
};

struct CorrStudy {
  // Sections: rows 1..n_sections, columns kCsCdump..kCsSteered.
  std::array<std::array<std::int32_t, 8>, kMaxSections + 1> corr_section{};
  std::int32_t n_sections = 0;
  std::int32_t corr_index = 0;  // section being handled, 1..n_sections

  // Steering correctors of the section being handled (1..n_corr; the
  // horizontal ones are 1..n_x).
  std::array<std::int32_t, kMaxSteerCorrectors + 1> corr_elem{};
  std::array<std::string, kMaxSteerCorrectors + 1> corr_name{};
  std::array<double, kMaxSteerCorrectors + 1> corr_value{};  // normalised in the fit, mrad after it
  std::array<std::array<double, kMaxSteerCorrectors + 1>, kMaxSections + 1> corr_limit{};  // mrad
  std::int32_t n_x = 0, n_y = 0, n_mon = 0;

  // Monitor equations: rows 1..n_eq, the horizontal ones 1..n_eq_x.
  std::array<std::int32_t, kMaxEquations + 1> eq_elem{};
  std::array<std::int32_t, kMaxEquations + 1> eq_pass{};     // measurement pass 1 or 2
  std::array<double, kMaxEquations + 1> eq_dist{};           // virtual monitor distance, cm (0: position)
  std::array<double, kMaxEquations + 1> eq_err{};            // measurement error, cm
  std::array<double, kMaxEquations + 1> eq_weight{};         // cm
  std::array<std::string, kMaxEquations + 1> eq_name{};
  std::int32_t n_eq = 0, n_eq_x = 0;

  // Readings (pass, monitor, corrector, component x cm, x' rad, y cm, y' rad).
  std::array<std::array<std::array<double, 5>, kMaxMonitors + 1>, kMaxPasses + 1> mon_read0{};
  std::array<std::array<std::array<std::array<double, 5>, kMaxSteerCorrectors + 1>, kMaxMonitors + 1>,
             kMaxPasses + 1>
      mon_read_t{};
  std::array<double, kMaxEquations + 1> read_meas{}, rhs{};
  std::array<std::array<double, kMaxSteerCorrectors + 1>, kMaxEquations + 1> resp_meas{}, resp{};
  std::array<std::array<double, 5>, kMaxMonitors + 1> mon_after{};

  // Sums over the fit repetitions (and, for the statistics, over seeds).
  std::array<std::array<double, kMaxSteerCorrectors + 1>, kMaxSections + 1> corr_sum{};
  std::array<std::array<std::array<double, kMaxSteerCorrectors + 1>, kMaxSteerCorrectors + 1>,
             kMaxSections + 1>
      corr_prod{};
  std::array<std::array<double, 5>, kMaxMonitors + 1> mon_sum{};
  std::array<std::array<std::array<double, 5>, 5>, kMaxMonitors + 1> mon_prod{};

  // Weight of each charge state in averages over states:
  // (NPAT(iq) + 1) / sum over states of (NPAT + 1).
  std::array<double, kMaxChargeStates + 1> q_weight{};
  // Section-start centroid per charge state: x, x' (cm, rad), y, y', phase
  // (rad), energy W (keV/u).
  std::array<std::array<double, 7>, kMaxChargeStates + 1> stored_centroids{};

  // Longitudinal correction of the section: the phcor line and its modes
  // (0 off, 1 charge state 1, 2 beam average) and tolerances (deg, %).
  std::int32_t phcor_pos = 0;
  std::int32_t phcor_mode_phase = 0, phcor_mode_energy = 0;
  double phcor_tol_phase = 0.0, phcor_tol_energy = 0.0;
  // Energy (keV/u) and phase (rad) of test particle i (0: slot 0) per charge
  // state, and their q_weight averages.
  std::array<std::array<double, kMaxLongTests + 1>, kMaxChargeStates + 1> w_test{}, ph_test{};
  std::array<double, kMaxLongTests + 1> w_test_avr{}, ph_test_avr{};

  FitOutcome last_fit;
  CorrTimes times;
  // Monitor rms orbit (cm, both planes) of the beam centroid before and
  // after the steering of the last seed, summed over the monitors.
  double orbit_sq_before = 0.0, orbit_sq_after = 0.0;
  std::int32_t orbit_count = 0;
};

}  // namespace linac
