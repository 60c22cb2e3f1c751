// The run sequence: one call runs one task from start to end.
#pragma once

#include <functional>
#include <string>

#include "common/unit_numbers.hpp"
#include "platform/clock.hpp"

namespace linac {

struct ControlContext;

// The stamp record (A17,A25) with the label right-justified in 17 columns.
std::string stamp_record(const std::string& label, const LocalTime& t);

// The main program: steps of one task, in order. Throws FatalStop on a
// fatal input error.
void velmo_main(ControlContext& sim);

// Runs velmo_main, turns a fatal stop into its messages, flushes and closes
// every file, and gives the exit status (0 only for a normal end).
int run_program(ControlContext& sim);
// The same guard around any body (tests run parts of a task through it).
int run_guarded(ControlContext& sim, const std::function<void(ControlContext&)>& body);

// The nominal pass over the lattice: entrance statistics and out.dat
// header, every lattice line through the dispatcher with its out.dat line,
// the end-of-pass record, wtmp.dat and coord.dat.
void nominal_pass(ControlContext& sim);
// wtmp.dat: one record per element line with its reference values.
void write_wtmp(ControlContext& sim);

}  // namespace linac
