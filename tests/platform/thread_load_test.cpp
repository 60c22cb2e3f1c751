// The default thread count on a machine shared with other programs: the
// processors less the other runnable tasks, at least one; and the count of
// runnable tasks read from the kernel's statistics text.
#include <gtest/gtest.h>

#include "platform/wait_policy.hpp"

namespace linac {
namespace {

TEST(ThreadLoad, IdleProcessorsLessOtherRunningTasks) {
  struct Case {
    int available, running, threads;
  } cases[] = {
      {8, 1, 8},   // only this process runs: every processor
      {8, 3, 6},   // two other tasks
      {8, 8, 1},   // seven others: one left
      {8, 9, 1},   // as many others as processors
      {8, 40, 1},  // far more
      {4, 2, 3},
      {1, 1, 1},
      {8, 0, 8},   // nothing counted (not even this process): unknown, all
      {8, -1, 8},  // the system does not tell: all
      {0, 5, 1},   // never fewer than one thread
  };
  for (const Case& c : cases)
    EXPECT_EQ(threads_for_load(c.available, c.running), c.threads)
        << "available " << c.available << " running " << c.running;
}

TEST(ThreadLoad, RunningTasksFromTheStatisticsText) {
  struct Case {
    const char* text;
    int running;
  } cases[] = {
      {"cpu  1 2 3\nctxt 5\nprocs_running 17\nprocs_blocked 0\n", 17},
      {"procs_running 1\n", 1},
      {"procs_running 3", 3},  // last line without a line end
      {"cpu 1\nprocs_blocked 2\n", -1},
      {"procs_running x\n", -1},
      {"xprocs_running 4\n", -1},
      {"", -1},
  };
  for (const Case& c : cases) EXPECT_EQ(running_tasks(c.text), c.running) << c.text;
  // This machine tells, and counts at least this test's own thread.
  EXPECT_GE(running_tasks_now(), 1);
}

}  // namespace
}  // namespace linac
