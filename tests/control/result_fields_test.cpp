// Result-file numbers beyond their fields: a few particles close to one
// line of a phase plane give a Twiss beta that F12.5 cannot hold. The run
// writes asterisks there, goes on to its end with every other number
// written, and ends with status 1 naming file, element, column and value.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "beam/out_tables.hpp"
#include "beam/stats.hpp"
#include "common/result_fields.hpp"
#include "common/unit_numbers.hpp"
#include "matrices/matrx.hpp"
#include "run/sim.hpp"
#include "control/input_fixture.hpp"
#include "control/velmo_main.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using testing::TaskRun;

// First column of the out.dat fields of the Twiss betas (0-based): I4, TR2,
// A5, ten fields of 15 columns, nine of 20, then seven (b_x) or eleven
// (b_z) of 15 and the blanks before the field.
constexpr std::size_t kBetaXColumn = 11 + 10 * 15 + 9 * 20 + 7 * 15 + 1;
constexpr std::size_t kBetaZColumn = 11 + 10 * 15 + 9 * 20 + 11 * 15 + 4;

// Every out.dat line is whole (header and data lines 558 columns, the seed
// line its own); asterisks stand only in the one field named, on the data
// lines from first_starred to last_starred.
void expect_whole_lines_with_one_starred_field(const std::vector<std::string>& out, std::size_t first_starred,
                                               std::size_t last_starred, std::size_t column) {
  for (std::size_t k = 0; k < out.size(); ++k) {
    const std::string& l = out[k];
    if (l.find("end of seed") != std::string::npos) continue;
    EXPECT_EQ(l.size(), kOutDatWidth) << "line " << k;
    if (k == 0) continue;  // the header's headings hold "*" themselves
    const std::size_t star = l.find('*');
    if (k >= first_starred && k <= last_starred) {
      ASSERT_GE(l.size(), column + 12);
      EXPECT_EQ(l.substr(column, 12), std::string(12, '*')) << l;
      EXPECT_EQ(l.find('*', column + 12), std::string::npos) << l;
      EXPECT_EQ(star, column) << l;
    } else {
      EXPECT_EQ(star, std::string::npos) << "line " << k << ": " << l;
    }
  }
}

// An ASTRA file of eight particles with one z moved to -1 m: the phase
// spread is 68 deg and the energy spread tiny, so the entry line's b_z is
// 1.8e6 deg/%, beyond F12.5.
TEST(ResultFields, AstraBeamWithTinyLongitudinalEmittanceEndsNamingBz) {
  TaskRun run(
      "&TRAN QDESIGN=5, ADESIGN=40, WIN=1.0D6, FREQB=5.0D7, NQTOT=2, NPAT=200, 200, QQ=5, 6,\n"
      "  AMASS=40, 40, EPSNX=0.1, BETX=100, EPSNY=0.1, BETY=100, EPSNZ=100, BETZ=100 /\n"
      "&INDEX IGRAPH=0, ISRF=1, IFLAG_DIS=21 /\n",
      "1 prmtr harm=1\n2 drift 10 2 2\n3 drift 5 1 1\nstop\n");
  std::string astra = "ASTRA beam\n";
  for (int k = 0; k < 8; ++k) {
    const double z = k == 0 ? -1.0 : 0.0001 * (k - 3);
    astra += std::to_string(0.001 * (k % 3 - 1)) + " " + std::to_string(-0.002 * (k % 2)) + " " +
             std::to_string(z) + " 0 0 2.6e9 " + (k < 4 ? "5" : "6") + " 40\n";
  }
  run.file("astra_ini.dat", astra);
  EXPECT_EQ(run.go(), 1);
  const std::string screen = run.screen.str();
  EXPECT_THAT(screen, HasSubstr(" out.dat line of element 0 (entry): b_z[deg/(%ofD_W/W)] = 17"));
  EXPECT_THAT(screen, HasSubstr(" does not fit its field F12.5 (written as asterisks)"));
  // The run went on to its end: the later lines and the end stamp exist.
  const auto out = run.lines_of("out.dat");
  ASSERT_EQ(out.size(), 6u);  // header, entry, three lattice lines, seed line
  EXPECT_THAT(out[4], StartsWith("   3  drift"));
  // The beam stays as degenerate over the drifts: every data line has it.
  expect_whole_lines_with_one_starred_field(out, 1, 4, kBetaZColumn);
  EXPECT_THAT(testing::read_file(run.dir / "log.dat"), HasSubstr("Task end at"));
  EXPECT_THAT(testing::read_file(run.dir / "log.dat"), HasSubstr("b_z[deg/(%ofD_W/W)]"));
  EXPECT_EQ(run.lines_of("wtmp.dat").size(), 3u);
}

// A drift whose vertical aperture is 1e-6 cm (the smallest a lattice line
// takes) keeps only the three on-axis particles (one per charge state);
// after the quadrupoles that follow, their horizontal plane is nearly a line and b_x is 1.3e15 cm/mrad.
TEST(ResultFields, ScrapedBeamOfThreeParticlesEndsNamingBxOfTheElement) {
  TaskRun run(
      "&TRAN QDESIGN=8, ADESIGN=40, WIN=1.0D6, FREQB=80.5D6, NQTOT=3, NPAT=100, 100, 100, QQ=7, 8, 9,\n"
      "  AMASS=40, 40, 40, EPSNX=0.1, ALPHX=0, BETX=100, EPSNY=0.1, ALPHY=0, BETY=100,\n"
      "  EPSNZ=100, ALPHZ=0, BETZ=100 /\n"
      "&INDEX IGRAPH=0, ISRF=1, IFLAG_DIS=1 /\n",
      "1 drift 10.0 2.0 1e-6\n0 quad 1400.0 20.0 15.0 2.0 0 40\n2 drift 10.0 2.0 2.0\n"
      "0 quad -1400.0 20.0 15.0 2.0 0 40\nstop\n");
  EXPECT_EQ(run.go(), 1);
  EXPECT_THAT(run.screen.str(), HasSubstr(" out.dat line of element 4 (quad): b_x[cm/mrad] = 1"));
  EXPECT_THAT(run.screen.str(), HasSubstr(" does not fit its field F12.5 (written as asterisks)"));
  const auto out = run.lines_of("out.dat");
  ASSERT_EQ(out.size(), 7u);  // header, entry, four lattice lines, seed line
  EXPECT_THAT(out[5], StartsWith("   4  quad"));
  expect_whole_lines_with_one_starred_field(out, 5, 5, kBetaXColumn);
}

// The rule at the writer: a number that is not finite stops at once, before
// its line; a finite one too wide for its field lets the line be written,
// and the first such number is the one the end of the run names.
TEST(ResultFields, NonFiniteStopsAtOnceAndTheFirstUnfitNumberIsKept) {
  auto sim = make_sim();
  const FortranFormat f("(I4,A6,2F12.5)");
  const std::string_view columns[] = {"n", "name", "a", "b"};
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const FmtItem fits[] = {1, std::string_view("drift"), 1.0, -99999.99999};
  const FmtItem wide_b[] = {2, std::string_view("quad"), 1.0, 2e6};
  const FmtItem wide_a[] = {3, std::string_view("quad"), -2e5, 1.0};
  const FmtItem not_finite[] = {4, std::string_view("quad"), 1.0, nan};

  check_result_line(*sim, f, fits, "out.dat", "element 1 (drift)", columns);
  EXPECT_TRUE(sim->result_fields.unfit_message.empty());
  EXPECT_NO_THROW(stop_on_unfit_number(*sim));

  check_result_line(*sim, f, wide_b, "out.dat", "element 2 (quad)", columns);
  check_result_line(*sim, f, wide_a, "out.dat", "element 3 (quad)", columns);
  ASSERT_EQ(sim->result_fields.unfit_message.size(), 2u);
  EXPECT_EQ(sim->result_fields.unfit_message[0],
            " out.dat line of element 2 (quad): b = 2000000 does not fit its field F12.5 (written as asterisks)");

  try {
    check_result_line(*sim, f, not_finite, "out.dat", "element 4 (quad)", columns);
    ADD_FAILURE() << "no stop";
  } catch (const FatalStop& s) {
    EXPECT_EQ(s.lines().at(0), " out.dat line of element 4 (quad): b = nan is not a finite number");
    EXPECT_TRUE(s.to_log());
  }
  try {
    stop_on_unfit_number(*sim);
    ADD_FAILURE() << "no stop";
  } catch (const FatalStop& s) {
    EXPECT_EQ(s.lines(), sim->result_fields.unfit_message);
  }
}

// Any formatted file: the message names the file and the line the value
// stands on (the line count of the unit plus the record of the write that
// holds it), and the place when one is given. Later misfits keep the first.
TEST(ResultFields, WriteCheckedNamesFileAndLineOfTheFirstMisfit) {
  TaskRun run;
  Sim& sim = *run.sim;
  sim.units.open(kUnitMatrix, "matrix.dat");
  sim.units.write(kUnitMatrix, std::vector<std::string>{"", " head"});
  const FortranFormat six("(6F10.4)");
  write_checked(sim, kUnitMatrix, six, {1.0, 2.0, 3.0, 4.0, 5.0, 6.0}, "element 7 (matrx)");
  EXPECT_TRUE(sim.result_fields.unfit_message.empty());
  // Eight items in a layout of six: the last two go to a second record by
  // reversion; the misfit stands on line 5 of the file.
  write_checked(sim, kUnitMatrix, six, {1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, -12345.5}, "element 7 (matrx)");
  write_checked(sim, kUnitMatrix, six, {1e9}, "element 9 (matrx)");
  ASSERT_EQ(sim.result_fields.unfit_message.size(), 2u);
  EXPECT_EQ(sim.result_fields.unfit_message[0],
            " matrix.dat line 5 (element 7 (matrx)): value 8 = -12345.5 does not fit its field F10.4 "
            "(written as asterisks)");
  // A slash starts the next record as well; without a place the line alone.
  const FortranFormat two("(A6,F8.2/A6,F8.2)");
  TaskRun other;
  other.sim->units.open(kUnitLog, "log.dat");
  write_checked(*other.sim, kUnitLog, two, {std::string_view(" a="), 1.0, std::string_view(" b="), 1e6});
  EXPECT_EQ(other.sim->result_fields.unfit_message.at(0),
            " log.dat line 2: value 4 = 1000000 does not fit its field F8.2 (written as asterisks)");
  sim.units.close_all();
  other.sim->units.close_all();
  const auto lines = run.lines_of("matrix.dat");
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[4], "    7.0000**********");
  EXPECT_EQ(other.lines_of("log.dat").at(1), "    b=********");
}

// A number that is not finite stops at once, before its line is written, in
// every kind of write: a unit, a short-lived file, a block built apart and a
// list-directed record. The lines before it are complete.
TEST(ResultFields, NonFiniteStopsBeforeItsLineInEveryKindOfWrite) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* label;
    std::function<void(Sim&)> write;  // writes one good line, then the bad one
    const char* file;
    const char* first_line;  // the stop's first message line
  };
  const FortranFormat row("(2I5,D17.7)");
  const Case cases[] = {
      {"unit", [&](Sim& s) {
         s.units.open(kUnitRms, "rms.dat");
         write_checked(s, kUnitRms, row, {1, 1, 0.5});
         write_checked(s, kUnitRms, row, {1, 2, inf}, "element 3 (drift)");
       },
       "rms.dat", " rms.dat line 2 (element 3 (drift)): value 3 = inf is not a finite number"},
      {"short-lived file", [&](Sim& s) {
         TextOut out(s.units, "denSC.dat");
         write_checked(s, out, row, {1, 1, 0.5});
         write_checked(s, out, row, {1, 2, nan});
       },
       "denSC.dat", " denSC.dat line 2: value 3 = nan is not a finite number"},
      {"block", [&](Sim& s) {
         s.units.open(kUnitMatrix, "matrix.dat");
         s.units.write(kUnitMatrix, "first");
         RecordBlock b;
         b.add_line("");
         b.add(FortranFormat("(2F10.4)"), {1.0, 2.0});
         b.add(FortranFormat("(2F10.4)"), {-inf, 2.0});
         write_checked(s, kUnitMatrix, std::move(b), "element 7 (matrx)");
       },
       "matrix.dat", " matrix.dat line 4 (element 7 (matrx)): value 1 = -inf is not a finite number"},
      {"list-directed", [&](Sim& s) {
         s.units.open(kUnitCoMonitor, "co_monitor.dat");
         write_list_checked(s, kUnitCoMonitor, {0.5, -0.25});
         write_list_checked(s, kUnitCoMonitor, {0.5, nan});
       },
       "co_monitor.dat", " co_monitor.dat line 2: value 2 = nan is not a finite number"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TaskRun run;
    try {
      c.write(*run.sim);
      ADD_FAILURE() << "no stop";
    } catch (const FatalStop& s) {
      EXPECT_EQ(s.lines().at(0), c.first_line);
    }
    run.sim->units.close_all();
    EXPECT_EQ(run.lines_of(c.file).size(), 1u) << "only the line before the bad one is written";
  }
}

// emit_level.dat: E15.5 holds every finite number, down to the smallest
// and up to the largest double; a level curve that is not finite stops,
// naming the row's line (header on line 1, rows from line 2).
TEST(ResultFields, EmitLevelKeepsEveryFiniteNumberAndStopsOnANonFiniteOne) {
  TaskRun run;
  Sim& sim = *run.sim;
  sim.state.ifirst_stat = -1;  // the file is opened by the first curve
  LevelCurve curve;
  for (int i = 0; i < kLevelCurveRows; ++i)
    for (int k = 1; k <= 3; ++k) {
      curve.e[static_cast<std::size_t>(i)][static_cast<std::size_t>(k)] = i % 2 ? 1.7e308 : 4.9e-324;
      curve.f[static_cast<std::size_t>(i)][static_cast<std::size_t>(k)] = 0.01 * i;
    }
  write_emit_level(sim, curve);
  EXPECT_TRUE(sim.result_fields.unfit_message.empty());
  curve.e[9][2] = std::numeric_limits<double>::quiet_NaN();
  try {
    write_emit_level(sim, curve);
    ADD_FAILURE() << "no stop";
  } catch (const FatalStop& s) {
    // The first curve filled lines 1..102; the second header is line 103.
    EXPECT_EQ(s.lines().at(0), " emit_level.dat line 113: ey [cm*mrad] = nan is not a finite number");
  }
}

}  // namespace
}  // namespace linac
