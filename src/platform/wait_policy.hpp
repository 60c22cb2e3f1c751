// How many OpenMP threads the program takes and how they wait for each other.
//
// By default the OpenMP runtime lets a thread that waits at a barrier or
// for the next parallel region spin on its core for milliseconds before it
// sleeps. On a machine whose cores are busy with other work the thread being
// waited for is then often not running while the waiters burn the cores it
// needs, and a run on all cores becomes slower than on one. The program
// therefore takes only as many threads as there are idle processors at its
// start, and when at least half of the processors are busy with other
// programs its threads also sleep at once while they wait (passive
// waiting). With most processors idle it keeps the runtime's spinning,
// which is then much the quicker for the many short parallel regions of a
// run (space charge, phase scans). A choice the user made through
// OMP_WAIT_POLICY or GOMP_SPINCOUNT is kept. The runtime reads these
// variables when it is loaded, before main, so the choice is made by
// starting the program anew with the variable set.
#pragma once

namespace linac {

// Whether the user has chosen how OpenMP threads wait: OMP_WAIT_POLICY or
// GOMP_SPINCOUNT is set in the environment (to any value).
bool wait_policy_chosen();

// Whether the threads are to wait passively: the user has not chosen and
// tasks of other programs keep at least half of the `available` processors
// busy (running: runnable tasks of the machine with this process's thread,
// -1 when unknown).
bool wait_passively(bool chosen, int running, int available);

// The processors this process may run on (at least 1).
int available_processors();

// When wait_passively(wait_policy_chosen(), running_tasks_now(),
// available_processors()): sets
// OMP_WAIT_POLICY=PASSIVE and starts the running program anew with the same
// arguments (it then finds the choice made and goes on). Returns when the
// program is to go on as it is: nothing to change, or the new start failed
// (the runtime's default then holds). Call it first thing in main, before
// any output or input.
void wait_passively_when_busy(char** argv);

// The number of threads a run takes when the user has not set
// OMP_NUM_THREADS: the processors it may use less the tasks of other
// programs that are running on the machine at that moment, at least one.
// Threads beyond the idle processors would only wait for time slices, and
// every thread of a parallel region that is not running holds the region
// back. available: processors of this process; running: runnable tasks of
// the machine, this process's own thread among them.
int threads_for_load(int available, int running);

// The runnable tasks of the machine now (procs_running of /proc/stat text
// `stat`), or -1 when the text does not give it.
int running_tasks(const char* stat);

// The runnable tasks of the machine now, the fewest of three looks 0.2 ms
// apart (a task that runs only for a moment is not counted), or
// -1 when the system does not tell.
int running_tasks_now();

}  // namespace linac
