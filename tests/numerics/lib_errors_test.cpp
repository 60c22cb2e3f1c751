// The library's error and message system: layouts to the character, the
// rules of each error type for printing, handing outward and stopping, and
// the insert store.
#include "numerics/lib_errors.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "control/velmo_main.hpp"
#include "lib_messages.hpp"
#include "numerics_test_support.hpp"

namespace linac {
namespace {

using namespace testing;

// A FATAL error handed out of the LU factorisation and
// printed when the routine called from the system returns.
TEST(LibErrors, FatalFromUserLevelRoutineIsPrintedAtItsReturn) {
  CapturedSim cs;
  Sim& sim = *cs;
  E1PSH(sim, "DLSARG");
  E1PSH(sim, "DL2ARG");
  E1MES(sim, 4, 2,
        "The input matrix is singular.  Some of the diagonal elements of the upper triangular "
        "matrix U of the LU factorization are close to zero.");
  E1POP(sim, "DL2ARG");  // handed outward to DLSARG, an internal level: nothing yet
  EXPECT_TRUE(cs.lines().empty());
  EXPECT_TRUE(stops_run([&] { E1POP(sim, "DLSARG"); }));
  const Lines expected = {
      "",
      " *** FATAL    ERROR 2 from DLSARG.  The input matrix is singular.  Some of",
      " ***          the diagonal elements of the upper triangular matrix U of the ",
      " ***          LU factorization are close to zero.",
  };
  EXPECT_EQ(cs.lines(), expected);
}

// A TERMINAL error four routines deep: printed at once with the traceback,
// internal levels marked, the stop at the pop of the routine that holds it.
TEST(LibErrors, TerminalDeepInsideShowsTracebackAndStopsAtPop) {
  CapturedSim cs;
  Sim& sim = *cs;
  for (const char* n : {"DCSINT", "DC2INT", "DC2DEC", "DC1SOR"}) E1PSH(sim, n);
  E1INSI(sim, 1, 2);
  E1INSI(sim, 2, 3);
  E1INSD(sim, 1, 1.0);
  E1MES(sim, 5, 2,
        "Points in the data point abscissas array, XDATA, must be distinct, but XDATA(%(I1)) = "
        "XDATA(%(I2)) = %(D1).");
  EXPECT_EQ(cs.lines(), kEqualAbscissaeMessage);  // printed during E1MES
  cs.clear();
  EXPECT_TRUE(stops_run([&] { E1POP(sim, "DC1SOR"); }));
  EXPECT_TRUE(cs.lines().empty());  // nothing printed twice
}

// Line breaking: a message of exactly the room after the header fits; one
// character more moves the last word; a word longer than a line is cut at
// 64 columns. Header " 1 from ABC" leaves 48 characters on the first line.
TEST(LibErrors, LineBreaksAtRoomAndHardBreaks) {
  struct Case {
    std::string text;
    Lines expected;
  };
  const std::string x40(40, 'x');
  const std::string z150(150, 'z');
  const std::vector<Case> cases = {
      {x40 + " yyyy", {"", " *** WARNING  ERROR 1 from ABC.  " + x40 + " yyyy"}},
      {x40 + " yyyyy", {"", " *** WARNING  ERROR 1 from ABC.  " + x40, " ***          yyyyy"}},
      {"a " + z150,
       {"", " *** WARNING  ERROR 1 from ABC.  a", " ***          " + std::string(64, 'z'),
        " ***          " + std::string(64, 'z'), " ***          " + std::string(22, 'z')}},
  };
  for (const Case& c : cases) {
    CapturedSim cs;
    Sim& sim = *cs;
    E1PSH(sim, "ABC");
    E1MES(sim, 3, 1, c.text);
    EXPECT_TRUE(cs.lines().empty());  // a WARNING waits for the return
    E1POP(sim, "ABC");
    EXPECT_EQ(cs.lines(), c.expected) << c.text;
    for (const auto& line : cs.lines()) EXPECT_LE(line.size(), 78u);
  }
}

TEST(LibErrors, NestedWarningIsPrintedByOutermostRoutineWithInnerCode) {
  CapturedSim cs;
  Sim& sim = *cs;
  E1PSH(sim, "OUTER");
  E1PSH(sim, "INNER");
  E1MES(sim, 3, 7, "Inner warning.");
  E1POP(sim, "INNER");
  EXPECT_TRUE(cs.lines().empty());
  EXPECT_EQ(N1RTY(sim, 1), 3);  // what the callee left
  EXPECT_EQ(N1RCD(sim, 1), 7);
  EXPECT_FALSE(stops_run([&] { E1POP(sim, "OUTER"); }));
  EXPECT_EQ(cs.lines(), (Lines{"", " *** WARNING  ERROR 7 from OUTER.  Inner warning."}));
  EXPECT_EQ(sim.numerics.errors.level, 1);
  EXPECT_EQ(N1RTY(sim, 0), 3);  // handed down to the user level
  // The same warning from a routine called directly: printed at its pop.
  cs.clear();
  E1PSH(sim, "INNER");
  E1MES(sim, 3, 7, "Inner warning.");
  E1POP(sim, "INNER");
  EXPECT_EQ(cs.lines(), (Lines{"", " *** WARNING  ERROR 7 from INNER.  Inner warning."}));
}

TEST(LibErrors, PrintAndStopRulesPerType) {
  struct Case {
    int type;
    bool printed_at_once;  // during E1MES
    bool printed;          // at all
    bool stops;            // at the pop back to the user level
  };
  const Case cases[] = {
      {1, false, false, false}, {2, false, false, false}, {3, false, true, false},
      {4, false, true, true},   {5, true, true, true},    {6, true, true, false},
      {7, true, true, true},
  };
  for (const Case& c : cases) {
    CapturedSim cs;
    Sim& sim = *cs;
    E1PSH(sim, "R");
    E1MES(sim, c.type, 9, "Text.");
    EXPECT_EQ(!cs.lines().empty(), c.printed_at_once) << "type " << c.type;
    EXPECT_EQ(stops_run([&] { E1POP(sim, "R"); }), c.stops) << "type " << c.type;
    const Lines lines = cs.lines();
    EXPECT_EQ(lines.size(), c.printed ? 2u : 0u) << "type " << c.type;
    if (c.printed) {
      EXPECT_EQ(lines[1], " *** " + std::string(lib_error_type_name(c.type)) +
                              " ERROR 9 from R.  Text.");
    }
    // A NOTE stays with its routine; every other type is handed outward.
    if (!c.stops) {
      EXPECT_EQ(N1RTY(sim, 0), c.type == 1 ? 0 : c.type) << "type " << c.type;
    }
  }
}

TEST(LibErrors, CodeZeroDiscardsPendingMessage) {
  CapturedSim cs;
  Sim& sim = *cs;
  E1PSH(sim, "R");
  E1MES(sim, 3, 5, "First.");
  E1MES(sim, -1, 0, "Ignored.");
  E1POP(sim, "R");
  EXPECT_TRUE(cs.lines().empty());
}

TEST(LibErrors, InsertsAreSubstitutedByTheirRules) {
  struct Case {
    std::function<void(Sim&)> store;
    std::string text;
    std::string composed;
  };
  const std::string l255(255, 'q');
  const std::vector<Case> cases = {
      {[](ControlContext& s) { E1INSI(s, 1, -25); }, "%(I1)", ".  -25"},
      {[](ControlContext& s) { E1INSI(s, 1, 7); E1INSI(s, 1, 8); }, "%(I1)", ".  7"},  // first wins
      {[](ControlContext& s) { E1INSI(s, 1, 7); }, "%(i1)", ".  7"},                  // either case
      {[](Sim&) {}, "n=%(I2)", ".  n=%(I2)"},                              // never set
      {[](ControlContext& s) { E1INSI(s, 10, 5); }, "%(I1)", ".  %(I1)"},             // bad index
      {[](ControlContext& s) { E1INSI(s, 1, 3); }, "x%(I1)", ".  x3"},
      {[](ControlContext& s) { E1INSI(s, 1, 3); }, "%(X1)", ".  %(X1)"},  // not an insert letter
      {[](ControlContext& s) { E1INSD(s, 1, 1.5); }, "%(D1)", ".  1.500000000000000D+00"},
      {[](ControlContext& s) { E1INSD(s, 2, -1e-300); }, "%(D2)", ".  -1.000000000000000-300"},
      {[](ControlContext& s) { E1INSD(s, 1, 0.0); }, "%(D1)", ".  0.000000000000000D+00"},
      {[](ControlContext& s) { E1INSR(s, 1, 0.25f); }, "%(R1)", ".  2.500000E-01"},
      {[](ControlContext& s) { E1INSR(s, 1, -0.5f); }, "%(R1)", ".  -5.000000E-01"},
      {[](ControlContext& s) { E1INSR(s, 1, 0.0f); }, "%(R1)", ".  0.000000E+00"},
      {[](ControlContext& s) { E1INSL(s, 1, "abc  "); }, "[%(L1)]", ".  [abc]"},
      {[](ControlContext& s) { E1INSL(s, -1, "ab  "); }, "[%(L1)]", ".  [ab  ]"},
      {[](ControlContext& s) { E1INSL(s, 1, "   "); }, "[%(L1)]", ".  [ ]"},
      {[](ControlContext& s) { E1INSL(s, -1, ""); }, "[%(L1)]", ".  [%(L1)]"},  // empty value
      // A full store ignores further values: 263 + 1 + 8 fits, 270 + 30 + 8 does not.
      {[&l255](ControlContext& s) {
         E1INSL(s, 1, l255);
         E1INSI(s, 2, 5);
         E1INSL(s, 3, std::string(30, 'w'));
       },
       "%(I2)%(L3)", ".  5%(L3)"},
  };
  for (const Case& c : cases) {
    CapturedSim cs;
    Sim& sim = *cs;
    E1PSH(sim, "INS");
    c.store(sim);
    E1MES(sim, 3, 1, c.text);
    EXPECT_EQ(sim.numerics.errors.message, c.composed) << c.text;
    EXPECT_EQ(sim.numerics.errors.inserts_used, 1) << "store emptied after the message";
  }
}

TEST(LibErrors, InsertStoreIsEmptiedByEachMessage) {
  CapturedSim cs;
  Sim& sim = *cs;
  E1PSH(sim, "R");
  E1INSI(sim, 1, 5);
  E1MES(sim, 3, 1, "a%(I1)");
  E1MES(sim, 3, 1, "b%(I1)");
  E1POP(sim, "R");
  EXPECT_EQ(cs.lines(), (Lines{"", " *** WARNING  ERROR 1 from R.  b%(I1)"}));
}

TEST(LibErrors, LowerCaseFirstLetterPrintsUpperInHeaderAndTraceback) {
  CapturedSim cs;
  Sim& sim = *cs;
  E1PSH(sim, "DLSARG");
  E1PSH(sim, "dL2TRG");
  E1MES(sim, 5, 1, "x");
  const Lines lines = cs.lines();
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[1], " *** TERMINAL ERROR 1 from DL2TRG.  x");
  EXPECT_EQ(lines[5], "     DL2TRG                               5           1    (Called internally)");
  EXPECT_EQ(lines[6], "     DLSARG                               0           0");
  EXPECT_EQ(lines[7], "     USER                                 0           0");
}

TEST(LibErrors, StackHoldsFortyNineRoutinesAndStopsOnTheFiftieth) {
  CapturedSim cs;
  Sim& sim = *cs;
  for (int k = 1; k <= 49; ++k) {
    std::string name = "R";
    name += std::to_string(k);
    E1PSH(sim, name);
  }
  EXPECT_EQ(sim.numerics.errors.level, 50);
  EXPECT_TRUE(cs.lines().empty());
  EXPECT_TRUE(stops_run([&] { E1PSH(sim, "R50"); }));
  const Lines lines = cs.lines();
  ASSERT_EQ(lines.size(), 1u + 2u + 3u + 50u);
  EXPECT_EQ(lines[1], " *** TERMINAL ERROR 1 from R49.  Error condition in E1PSH.  Push would cause");
  EXPECT_EQ(lines[2], " ***          stack level to exceed 50. ");
  EXPECT_EQ(lines[6], "     R49                                  5           1    (Called internally)");
  EXPECT_EQ(lines[55], "     USER                                 0           0");
}

TEST(LibErrors, PopErrorsStopTheRun) {
  {
    CapturedSim cs;
    Sim& sim = *cs;
    E1PSH(sim, "AAA");
    EXPECT_TRUE(stops_run([&] { E1POP(sim, "BBB"); }));
    EXPECT_EQ(cs.lines(), (Lines{"",
                                 " *** TERMINAL ERROR 2 from AAA.  Error condition in E1POP.  BBB does not",
                                 " ***          match the name AAA in the stack."}));
  }
  {
    CapturedSim cs;
    Sim& sim = *cs;
    EXPECT_TRUE(stops_run([&] { E1POP(sim, "ZZZ"); }));
    EXPECT_EQ(cs.lines(),
              (Lines{"", " *** TERMINAL ERROR 1 from E1POP.  Error condition in E1POP.  Cannot pop from",
                     " ***          ZZZ because stack is empty."}));
  }
  {
    // Names compare blank-extended: a pushed "DMACH " pops as "DMACH".
    CapturedSim cs;
    Sim& sim = *cs;
    E1PSH(sim, "DMACH ");
    EXPECT_FALSE(stops_run([&] { E1POP(sim, "DMACH"); }));
    EXPECT_TRUE(cs.lines().empty());
  }
}

TEST(LibErrors, UserSwitchMakesCalleeErrorsReportToThatLevel) {
  CapturedSim cs;
  Sim& sim = *cs;
  E1PSH(sim, "QUAD");
  E1USR(sim, "ON");
  E1PSH(sim, "INNER");
  E1MES(sim, 3, 4, "warn");
  E1POP(sim, "INNER");
  const Lines expected = {
      "",
      " *** WARNING  ERROR 4 from INNER.  warn",
      "     Here is a traceback of subprogram calls in reverse order:",
      "     Routine name                    Error type  Error code",
      "     ------------                    ----------  ----------",
      "     INNER                                3           4",
      "     QUAD                                 3           4",
      "     USER                                 0           0",
  };
  EXPECT_EQ(cs.lines(), expected);
  E1USR(sim, "off");
  cs.clear();
  E1POP(sim, "QUAD");
  EXPECT_TRUE(cs.lines().empty());  // already printed
}

TEST(LibErrors, InvalidArgumentsOfServiceRoutinesStop) {
  {
    CapturedSim cs;
    Sim& sim = *cs;
    E1PSH(sim, "Q");
    E1USR(sim, "On");
    ASSERT_GE(cs.lines().size(), 2u);
    EXPECT_EQ(cs.lines()[1],
              " *** TERMINAL ERROR 1 from Q.  Invalid value for SWITCH in call to E1USR. ");
    EXPECT_TRUE(stops_run([&] { E1POP(sim, "Q"); }));
  }
  {
    CapturedSim cs;
    Sim& sim = *cs;
    EXPECT_TRUE(stops_run([&] { N1RTY(sim, 2); }));
    EXPECT_EQ(cs.lines(), (Lines{"", " *** TERMINAL ERROR 1 from USER.  The argument passed to "
                                     "N1RTY must be 0 or 1."}));
  }
  {
    CapturedSim cs;
    Sim& sim = *cs;
    E1PSH(sim, "T");
    EXPECT_TRUE(stops_run([&] { E1MES(sim, 9, 1, "x"); }));
    EXPECT_EQ(cs.lines(), (Lines{"", " *** UNKNOWN  ERROR 0 from T.  Error from E1MES.  Illegal error type",
                                 " ***          specified."}));
  }
}

TEST(LibErrors, ResultQueriesBeforeAnyCall) {
  CapturedSim cs;
  Sim& sim = *cs;
  EXPECT_EQ(N1RTY(sim, 0), 0);
  EXPECT_EQ(N1RTY(sim, 1), -1);
  EXPECT_EQ(N1RCD(sim, 1), -1);
  // Two run contexts never share their error state.
  CapturedSim other;
  E1PSH(*cs, "A");
  EXPECT_EQ((*other).numerics.errors.level, 1);
  EXPECT_EQ(N1RTY(*other, 0), 0);
}

// A library stop ends the run through the program's one stop path: non-zero
// status, the library's message printed once and nothing after it.
TEST(LibErrors, LibraryStopEndsRunThroughTopLevel) {
  CapturedSim cs;
  const int status = run_guarded(*cs, [](ControlContext& sim) {
    E1PSH(sim, "R");
    E1MES(sim, 5, 3, "Bad argument.");
    E1POP(sim, "R");
    sim.screen.write_line("not reached");
  });
  EXPECT_NE(status, 0);
  EXPECT_EQ(cs.lines(), (Lines{"", " *** TERMINAL ERROR 3 from R.  Bad argument."}));
}

}  // namespace
}  // namespace linac
