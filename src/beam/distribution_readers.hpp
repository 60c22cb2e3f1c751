// Initial beams read from the particle files of other beam codes.
//
//   lanl_ini.dat      title line; per particle: ignored, x (cm), x' (rad),
//                     y (cm), y' (rad), phase (rad), W (MeV/u), Q, A
//   astra_ini.dat     title line; per particle: x, y, z (m), px, py, pz
//                     (eV/c), Q, A
//   kobra_ini.dat     per particle: ignored, ignored, x, y (m), vz, vx, vy
//                     (m/s), Q, A, ignored, I (mA carried by the particle)
//   dinamion_ini.dat  per particle: an integer (ignored), x (cm), beta_x,
//                     y (cm), beta_y, ignored, beta_z, phase (deg), Q
//
// All are list-directed text in the working directory: numbers separated by
// blanks or commas, a particle record may continue on following lines, and
// what follows the last number of a record on its line is not read.
//
// The LANL, ASTRA and KOBRA readers find the charge states in the file (in
// the order of their first particle, which becomes the state's reference
// particle in slot 0), replace NQTOT, QQ and AMASS, and list the per-state
// means in log.dat. The DINAMION reader files the particles under the charge
// states of the parameter file.
//
// A file is checked whole before any particle is stored: a missing or
// truncated file, an item that is not a number, more than 6 charge states,
// more particles of a state than its 166002 slots, a file without
// particles, and values that give no finite coordinates (zero longitudinal
// velocity or momentum, speeds at or above c, a mass number not above 0)
// stop the run with a message naming the file and the line.
#pragma once

namespace linac {

struct BeamContext;

// IFLAG_DIS = 20. Sets harm and wavelength_2pi from the first lattice line
// (which must be "prmtr harm=N"), fills the particle block, and shifts all
// phases by the plain mean of the state mean phases; WIN := the plain mean
// of the state mean energies (keV/u).
void read_lanl_distribution(BeamContext& sim);

// IFLAG_DIS = 21. As LANL; positions from m to cm. The file's momenta are
// replaced: every particle takes the longitudinal momentum p_ref of the
// first record and random transverse momenta within +-1e-3 p_ref; its phase
// is the time to travel -z at its speed.
void read_astra_distribution(BeamContext& sim);

// IFLAG_DIS = 23. Fills the particle block, sets CURRENT of each state to
// the sum of the current column of its particles (a particle joins the
// first state whose charge is within 1e-4 of its own), gives each particle
// a random phase in (-pi, pi), writes the table to log.dat and then stops
// the run (this distribution type is for inspecting a file: no transport).
void read_kobra_distribution(BeamContext& sim);

// IFLAG_DIS = 49. Files every particle under each charge state of the
// parameter file whose charge is within 0.1 of its own (NQTOT, QQ
// unchanged), sets NPAT, and leaves the mean kinetic energy per nucleon of
// all stored particles (keV/u) in w_file_mean. Called once right after the
// parameter file is read (the design energy WIN := 1000 w_file_mean eV/u)
// and again when the initial beam is made.
void read_dinamion(BeamContext& sim);

}  // namespace linac
