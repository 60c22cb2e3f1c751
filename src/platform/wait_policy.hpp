// How the OpenMP threads of the program wait for each other.
//
// By default the OpenMP runtime lets a thread that waits at a barrier or
// for the next parallel region spin on its core for milliseconds before it
// sleeps. On a machine whose cores are busy with other work the thread being
// waited for is then often not running while the waiters burn the cores it
// needs, and a run on all cores becomes slower than on one. The program
// therefore lets its threads sleep at once while they wait (passive
// waiting) unless the user has chosen otherwise through OMP_WAIT_POLICY or
// GOMP_SPINCOUNT. The runtime reads these variables when it is loaded,
// before main, so the choice is made by starting the program anew with the
// variable set.
#pragma once

namespace linac {

// Whether the user has chosen how OpenMP threads wait: OMP_WAIT_POLICY or
// GOMP_SPINCOUNT is set in the environment (to any value).
bool wait_policy_chosen();

// When the user has not chosen: sets OMP_WAIT_POLICY=PASSIVE and starts the
// running program anew with the same arguments (it then finds the choice
// made and goes on). Returns when the program is to go on as it is: a choice
// was made, or the new start failed (the runtime's default then holds).
// Call it first thing in main, before any output or input.
void wait_passively_unless_chosen(char** argv);

}  // namespace linac
