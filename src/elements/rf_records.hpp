// Records of the RF gaps: the cavity's last phase scan, the working data of
// the buncher's amplitude search, and the multi-harmonic buncher being run
// with its r-z field table.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace linac {

// Nodes of the r-z table of a multi-harmonic buncher.
inline constexpr int kMhbMaxNz = 501;  // longitudinal nodes
inline constexpr int kMhbMaxNr = 21;   // radial nodes
inline constexpr int kMhbMinNodes = 2;  // per coordinate: a cell needs two
// Points of an on-axis buncher table MHB.#0N: the harmonic sum at every
// point costs points^2 operations.
inline constexpr int kMhbAxisMaxPoints = 10001;

// Phases of a buncher characteristic: -90 deg to 267.5 deg by 2.5 deg.
inline constexpr int kBunchPhases = 144;
// Amplitudes of the coarse scan of the amplitude search.
inline constexpr int kBunchAmplitudes = 50;

// An r-z table MHBrz.#0N of E_r and E_z (V/cm at unit amplitude) on nz x nr
// nodes; node (j, i), 0-based, lies at z = j L/(nz - 1), r = i rmax/(nr - 1).
// Immutable once read; shared through the table cache.
struct MhbRzTable {
  int nz = 0;
  int nr = 0;
  std::vector<double> er;  // er[j * nr + i], V/cm
  std::vector<double> ez;  // ez[j * nr + i], V/cm
  double Er(int j, int i) const { return er[static_cast<std::size_t>(j) * nr + i]; }
  double Ez(int j, int i) const { return ez[static_cast<std::size_t>(j) * nr + i]; }
};

// An on-axis buncher table MHB.#0N rebuilt from its Fourier series: the
// axial field E(z) and its derivative dE/dz (V/cm, V/cm^2 at unit
// amplitude) at n equidistant points z_m = m L/(n - 1), m = 0..n-1.
// Immutable once read; shared through the table cache.
struct MhbAxisTable {
  int n = 0;
  double L = 0.0;  // cm
  std::vector<double> E;
  std::vector<double> dE;
};

// The multi-harmonic buncher being run (mhb: slots 1 and 3 of the
// amplitudes, 1 and 2 of the harmonics; mhb4: all four).
struct MhbData {
  double mhb_rmax = 0.0;   // radius of the last radial node, cm
  std::int32_t mhb_nr = 0;  // radial nodes, 2..21
  std::int32_t mhb_nz = 0;  // longitudinal nodes, 2..501
  double mhb_phase = 0.0;  // phase of the element, rad
  std::array<double, 5> mhb_amp{};          // 1..4: amplitude factors of the harmonics
  std::array<double, 5> mhb_hphase{};       // 1..4: phases of the harmonics of mhb4, rad
  std::array<std::int32_t, 5> mhb_harm{};   // 1..4: harmonic numbers
  std::shared_ptr<const MhbRzTable> rz;     // the r-z table in use
  std::int32_t mhb_axis_n = 0;              // points of the on-axis table
  std::shared_ptr<const MhbAxisTable> axis; // the on-axis table last read
};

// Working data of the buncher's amplitude search, reset at every buncher:
// nothing passes from one buncher to the next.
struct BuncherSearch {
  std::array<double, kBunchAmplitudes + 2> T{};  // T[j + 1]: amplitude j = -1..50 of the coarse scan
  std::int32_t jf = 0;  // first coarse amplitude whose characteristic was not positive (0: none)
  std::array<double, kBunchPhases> phi{};  // phase table of the last characteristic, rad
  std::array<double, kBunchPhases> W{};    // exit energies of the design particle, keV/u
  double lo = 0.0, hi = 0.0;  // bracket of the rising crossing of w0, rad
};

struct RfElementRecords {
  // Largest exit energy gain per nucleon of the design particle found by the
  // last cavity phase scan, keV/u.
  double cav_energy_gain = 0.0;
  BuncherSearch bunch_search;
  MhbData mhb_data;
};

}  // namespace linac
