// The ranges that input values never leave for a real ion linac, in one
// place beside the readers that enforce them (velmo.dat in
// control/parameter_file.cpp; the particle files in
// beam/distribution_readers.cpp, control/initial_beam.cpp and
// control/beam_state.cpp). A value outside its range stops the run with the
// file, member or record and the value: such a value is a typing or file
// fault, and letting it through gives NaN, Inf or asterisk fields later.
//
// The bounds are generous on purpose: they lie orders of magnitude beyond any
// machine (uranium is charge 92, mass 238; RF runs from about 10 MHz to a few
// GHz) and well inside the range where the arithmetic of the transport stays
// finite (squares of coordinates and phases of 1e28 rad and more are not).
//
// velmo.dat members (as written in the file, before unit conversion):
//   QQ(iq), QDESIGN        charge number                |Q| <= 300
//   AMASS(iq), ADESIGN     mass number, u               0 < A <= 1000
//   FREQB                  RF base frequency, Hz        1e3 .. 1e11
//   WIN (after UDESIGN)    design energy, keV/u         0 .. 1e9
//   EPSNX, EPSNY           emittances, cm mrad          0 .. 1e4
//   EPSNZ                  longitudinal emittance       0 .. 1e6
//   ALPHX, ALPHY, ALPHZ    Twiss alpha                  |alpha| <= 1e4
//   BETX, BETY, BETZ       Twiss beta                   0 (not given) or 1e-2 .. 1e6
//   X00, Y00               offsets, cm                  |x| <= 1e4
//   XP00, YP00             offsets, mrad                |x'| <= 1e4
//   PH00, PHI0, PHMAX      phases, deg                  |phi| <= 1e5
//   DF_4D                  phase half width, deg        -1e5 .. 1e5 (above 180 taken as 180)
//   DWW00(iq)              energy offset, percent       -100 < dW/W <= 1e8
//   PART                   fraction for level emittance 0 < PART < 1
//   DWWACC                 energy acceptance            0 < DWWACC <= 1e6
//   DWWMAX                 energy limit (0: DWWACC)     0 .. 1e6
//   NP_SET, PARTCORR       fraction of the particles    0 < f <= 1 (error study)
//   DB_B                   relative beta half width     0 <= DB_B < 1
//   DEESRF                 relative field error         0 .. 1
//   SFAS(k)                phase error, deg             |.| <= 360
//   SERF(k)                relative field error, %      0 .. 100
//   APER(k), DCAV(k)       aperture, misalignment, cm   0 .. 1e4
//   CURRENT(iq)            beam current, mA             0 .. 1e6
//   A_AXE, B_AXE, C_AXE    semi-axes, cm (C: deg)       0 .. 1e4
//   TE00_STEP, PHDEV_STEP  correction-study steps       0 < step <= 1e4
//   IFLAG_QQ               last charge state            0 .. 6
//   NSTEP_CAV, IINT        step counts                  1 .. 1e6 (IINT 0 .. 1e6)
//   NRZ                    error seeds                  0 .. 999
// Every other real member must be finite.
//
// Lattice lines (linac.dat): every number finite with |P| <= 1e15, element
// lengths |L| <= 1e7 cm (100 km); lengths and aperture sizes 0 or at least
// 1e-6 cm (10 nm, far below any foil, slit or gap) in size.
//
// Particle files (read_dis.dat, the restart file scratch.#NN, the text
// distributions lanl_ini.dat, astra_ini.dat, kobra_ini.dat and
// dinamion_ini.dat): every number finite; charge and mass numbers as above;
// speed beta in (kMinBeta, 1) (for ASTRA: the speed of the reference
// momentum; for KOBRA and DINAMION: of the velocity components); transverse
// coordinates |x|, |y| <= 1e4 cm (1e2 m in ASTRA and KOBRA, also |z| in
// ASTRA); slopes |x'|, |y'| <= 1e4 rad (KOBRA and DINAMION: vx/vz, vy/vz);
// phases |phi| <= 1e9 rad (DINAMION: the same in deg); LANL energies
// 0 < W <= 1e6 MeV/u; KOBRA currents |I| <= 1e6 mA. A lost particle of
// read_dis.dat or of a restart file needs finite values only.
//
// Beam-state files (ini_dis.dat, corr_dis.dat, scratch.#NN), besides their
// particles: the reduced RF wavelength within c/(2 pi f) for f in the
// FREQB range, the space-charge grid and model as velmo.dat allows them;
// a restart file's harmonic with FREQB * harm in the FREQB range.
//
// Result files (out.dat, out_q.dat, coord.dat, lost.dat, wtmp.dat, and every
// other formatted file: matrix.dat, the monitors, the log.dat listings, ...):
// before each line is written, every number of it must be finite and fit
// the field of its layout (common/result_fields.hpp). A number that is not
// finite stops the run at once; one too wide for its field is written as
// asterisks and the run, once at its end, stops with status 1 naming the
// file, the line or element, the column and the value. Fields of F12.5 hold
// -99999.99999 .. 999999.99999, F12.1 up to 99999999999.9, F12.3 the lost.dat
// positions to 1e8 cm, F12.7 its speeds; E15.5 holds every finite number;
// the F4.1 charge column of out_q.dat holds -9.9 .. 99.9 (a charge number
// of 100 or more, or of -10 or less, ends such a run with outQ = 1).
// The input ranges above keep a real beam inside these fields; what still
// leaves them is a nearly degenerate beam (a few particles close to one line
// of a phase plane give a Twiss beta of 1e6 and more).
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

namespace linac::input_range {

inline constexpr double kMaxChargeNumber = 300.0;
inline constexpr double kMaxMassNumber = 1000.0;
inline constexpr double kMinFrequency = 1e3;   // Hz
inline constexpr double kMaxFrequency = 1e11;  // Hz
inline constexpr double kMaxEnergy = 1e9;      // keV/u
inline constexpr double kMaxEmittance = 1e4;   // transverse, cm mrad
inline constexpr double kMaxEmittanceZ = 1e6;  // longitudinal
inline constexpr double kMaxTwissAlpha = 1e4;
inline constexpr double kMinTwissBeta = 1e-2;
inline constexpr double kMaxTwissBeta = 1e6;
inline constexpr double kMaxOffset = 1e4;       // cm, and mrad for slopes
inline constexpr double kMaxPhaseDeg = 1e5;     // deg
inline constexpr double kMaxEnergySpread = 1e6; // relative
inline constexpr double kMaxCurrent = 1e6;      // mA
inline constexpr double kMaxStepCount = 1e6;
// Particle files.
inline constexpr double kMaxCoordinate = 1e4;   // cm
inline constexpr double kMaxSlope = 1e4;        // rad
inline constexpr double kMaxPhaseRad = 1e9;     // rad
inline constexpr double kMinBeta = 1e-6;        // v/c: about 0.5 eV/u
// Lattice lines: every number, and the length of an element (cm).
inline constexpr double kMaxLatticeNumber = 1e15;
inline constexpr double kMaxLatticeLength = 1e7;
inline constexpr double kMinLatticeSize = 1e-6;  // cm, lengths and apertures other than 0

// True when v is finite and lo <= v <= hi.
inline bool within(double v, double lo, double hi) { return std::isfinite(v) && v >= lo && v <= hi; }

// One particle as a file gives it: x (cm), x' (rad), y (cm), y' (rad),
// phase (rad), speed beta = v/c and status (>= 0 live).
struct ParticleRecord {
  double x, xp, y, yp, phase, beta;
  std::int32_t status;
};

// Stops the run, naming the file, the record number and the particle, when
// a number of the record is not finite, or when a live particle has a speed
// outside (kMinBeta, 1) or a coordinate, slope or phase outside its range.
// A lost particle keeps the values it was lost with; they must be finite.
void check_particle_record(std::string_view file, long record, int iq, long slot,
                           const ParticleRecord& p);

// Stops the run naming the file, the record and the quantity when a charge
// number or a mass number is not finite or lies outside its range
// (|Q| <= kMaxChargeNumber; 0 < A <= kMaxMassNumber).
void check_charge_number(std::string_view file, long record, std::string_view what, double q);
void check_mass_number(std::string_view file, long record, std::string_view what, double a);

}  // namespace linac::input_range

namespace linac {

// Space-charge grid capacity: nodes per direction of the solver's grid.
inline constexpr std::int32_t kMaxGridXY = 129;
inline constexpr std::int32_t kMaxGridZ = 257;
// The sine transforms need at least two interior nodes across.
inline constexpr std::int32_t kMinGridXY = 4;
inline constexpr std::int32_t kMinGridZ = 2;
// The nodes each grid size of velmo.dat (group INDEX) may take.
struct GridLimit {
  const char* member;
  std::int32_t lo, hi;
};
inline constexpr GridLimit kScGridLimits[] = {
    {"NXGRD", kMinGridXY, kMaxGridXY}, {"NYGRD", kMinGridXY, kMaxGridXY}, {"NZGRD", kMinGridZ, kMaxGridZ}};

// NINT(n fraction): the particles of a charge state that a pass with the
// given fraction (member names it, e.g. "NP_SET") uses. Stops the run when
// that is not within 0..n (a fraction outside [0, 1], NaN): a pass never
// uses more particles than exist.
std::int32_t scaled_particle_count(std::int32_t n, double fraction, const char* member);

// The one check of space-charge grid sizes (nodes per direction) against
// the solver's storage, shared by velmo.dat and the gridSC lattice line: a
// sentence naming the member and its value when the solver cannot hold the
// grid, empty when it can.
std::string sc_grid_size_fault(std::int32_t nx, std::int32_t ny, std::int32_t nz);
// The same for the space-charge model switch IFLAG2D (0 or 1), shared by
// velmo.dat and the iflag2D lattice line.
std::string sc_model_fault(std::int32_t iflag2d);

}  // namespace linac
