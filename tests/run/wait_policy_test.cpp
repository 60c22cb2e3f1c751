// How the program's OpenMP threads wait: a choice the user made through
// OMP_WAIT_POLICY or GOMP_SPINCOUNT is kept; without one they wait
// passively (no spinning) when other programs keep half the processors
// busy, else as the runtime would. Read back from the runtime's own report of its settings
// (OMP_DISPLAY_ENV): the spin count of a waiting thread is 0 for passive
// waiting, 300000 by the runtime's default.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <string>

#include "platform/wait_policy.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

using testing::TempDir;
using testing::read_file;

// Counts the occurrences of `what` in `text`.
int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + what.size())) ++n;
  return n;
}

TEST(WaitPolicy, PassiveWhenOthersKeepHalfTheProcessorsBusy) {
  struct Case {
    bool chosen;
    int running, available;
    bool passive;
  } cases[] = {
      {false, 1, 8, false},   // idle machine: the runtime's default
      {false, 4, 8, false},   // three others: most processors idle
      {false, 5, 8, true},    // four others: half busy
      {false, 9, 8, true},    // as many others as processors
      {false, 40, 8, true},
      {false, 2, 2, true},    // one other on two processors
      {false, 2, 1, true},
      {false, -1, 8, false},  // unknown: the runtime's default
      {true, 1, 8, false},    // the user's choice, whatever the load
      {true, 40, 8, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(wait_passively(c.chosen, c.running, c.available), c.passive)
        << c.chosen << " " << c.running << " " << c.available;
  EXPECT_GE(available_processors(), 1);
}

TEST(WaitPolicy, TheUsersChoiceIsKept) {
  struct Case {
    const char* env;   // the user's choice, or none
    const char* spin;  // spin count the runtime then works with ("" either)
  } cases[] = {
      {"", ""},  // none: passive or the default, by the load at the start
      {"OMP_WAIT_POLICY=active", "30000000000"},  // the runtime's active spin
      {"OMP_WAIT_POLICY=passive", "0"},
      {"GOMP_SPINCOUNT=5000", "5000"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    // In an empty directory the program stops at once for want of its
    // parameter file, after the runtime has reported its settings.
    const std::string cmd = "cd '" + dir.path().string() +
                            "' && env -u OMP_WAIT_POLICY -u GOMP_SPINCOUNT OMP_DISPLAY_ENV=verbose " +
                            c.env + " '" LINAC_PROGRAM "' < /dev/null > screen.txt 2>&1";
    const int rc = std::system(cmd.c_str());
    const std::string screen = read_file(dir.path() / "screen.txt");
    EXPECT_NE(rc, 0) << c.env;
    // The last report is the one of the runtime the run went on with.
    std::string last;
    const std::string key = "GOMP_SPINCOUNT = '";
    for (std::size_t at = screen.find(key); at != std::string::npos; at = screen.find(key, at + 1)) {
      std::size_t k = at + key.size();
      while (k < screen.size() && std::isdigit(static_cast<unsigned char>(screen[k]))) ++k;
      if (k > at + key.size() && k < screen.size() && screen[k] == '\'') last = screen.substr(at + key.size(), k - at - key.size());
    }
    if (*c.spin != '\0') {
      EXPECT_EQ(last, c.spin) << c.env << "\n" << screen;
    } else {
      EXPECT_TRUE(last == "0" || last == "300000") << screen;
    }
    // Started anew before anything was done: the run's message comes once.
    EXPECT_EQ(count(screen, "velmo.dat not found"), 1) << c.env << "\n" << screen;
  }
}

}  // namespace
}  // namespace linac
