// The initial beam of a run: restored from a restart file or read_dis.dat,
// or made by the acceptance-run generator or the distribution that
// IFLAG_DIS selects; then the charge-state range, macro-particle charges,
// space-charge current, entrance statistics, centring and ini_dis.dat.
// After the nominal pass the beam can be written back as read_dis.out or
// read_dis_ascii.out.
#pragma once

#include <string>

#include "common/unit_numbers.hpp"

namespace linac {

struct ControlContext;

// The whole initial-beam step of the run, in order: exclusions, restart or
// read_dis.dat, generated or acceptance beam, entrance statistics, centring,
// entrance copies, charge groups and ini_dis.dat.
void make_initial_beam(ControlContext& sim);

// The steps one by one (make_initial_beam calls them in this order).
void check_beam_source_exclusions(ControlContext& sim);
void read_restart_file(ControlContext& sim);
void read_dis_dat(ControlContext& sim);
void generate_beam(ControlContext& sim);
void generate_acceptance_beam(ControlContext& sim);
void set_charge_range(ControlContext& sim);
void set_macro_charges(ControlContext& sim);
void entrance_statistics(ControlContext& sim);
void centre_generated_beam(ControlContext& sim);

// "scratch.#NN" of a restart number.
std::string restart_file_name(int iscrch);

// After the nominal pass with IWRITE_DIS = 1: read_dis.out when
// write_ascii = 0, read_dis_ascii.out when it is 1, nothing otherwise.
void write_particle_file(ControlContext& sim);

}  // namespace linac
