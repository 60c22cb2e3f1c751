// The state-setting lattice commands align, enge, swtch, cdump and scrch,
// run through the dispatcher on lines read by the lattice reader.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <string>

#include "run/sim.hpp"
#include "common/unit_numbers.hpp"
#include "control/dispatcher.hpp"
#include "control/lattice_reader.hpp"
#include "input_fixture.hpp"

namespace linac {
namespace {

using testing::InputRun;

constexpr double kDeg = 0.017453292519943295;  // rad per degree
constexpr double kW0 = 1000.0;                 // keV/u

// Reads the lattice text and runs every line in the given pass (1 nominal,
// 2 error study; draw: the error-drawing pass).
struct CommandRun : InputRun {
  explicit CommandRun(const std::string& lattice) {
    file("linac.dat", lattice);
    EXPECT_EQ(run([&](ControlContext& s) { ReadElements(s); }), 0) << screen.str();
    sim->units.open(kUnitLog, "log.dat");
    sim->ref.w0 = kW0;
  }
  void pass(int ipass, bool draw = false) {
    Sim& s = *sim;
    s.state.ipass = ipass;
    s.state.idraw = draw ? 1 : 0;
    s.state.ipos = s.config.iel_first - 1;
    for (std::int32_t n = s.config.iel_first; n <= s.config.iel_last; ++n) {
      dispatch_element(s, n);
      ASSERT_EQ(s.state.ipos, n);
    }
  }
  double te(int q, int t) const { return sim->type_rec.type_errors[static_cast<std::size_t>(q - 1)][static_cast<std::size_t>(t)]; }
};

TEST(AlignCommand, AmplitudesInStoredUnits) {
  struct Case {
    const char* line;
    int type;
    std::array<double, 7> want;  // q1..q7 of the type
  };
  const Case cases[] = {
      {" 1 align quad 0.1 0.2 1 2 3 4 5", 4, {0.1, 0.2, 0.001, 2 * kDeg, 0.03, 4 * kDeg, 0.05}},
      {" 0 align quad 0.1", 4, {}},
      {" -1 align quad 0.1", 4, {}},
      {" 5 align cav 0.1 0 0 1 2", 6, {0.1, 0, 0, kDeg, 0.02, 0, 0}},
      {" 1 align sol 1 2 3 4 5 6 7", 2, {1, 2, 0.003, 4 * kDeg, 0.05, 6 * kDeg, 0.07}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    // The drawing pass acts as the nominal pass does: the stores repeat.
    for (const bool draw : {false, true}) {
      CommandRun r(std::string(c.line) + "\n");
      r.pass(draw ? 2 : 1, draw);
      for (int q = 1; q <= 7; ++q) EXPECT_DOUBLE_EQ(r.te(q, c.type), c.want[q - 1]) << "q" << q << " draw " << draw;
    }
  }
  // A cavity table takes all seven; the sol line gives sol3d its first five.
  CommandRun cav(" 5 align cav 0.1 0.2 3 1 2 4 5\n 1 align sol 1 2 3 4 5 6 7\n");
  cav.pass(1);
  const TableParams& tp = cav.sim->tables;
  EXPECT_DOUBLE_EQ(tp.DCAV[5], 0.1);
  EXPECT_DOUBLE_EQ(tp.dcav2[5], 0.2);
  EXPECT_DOUBLE_EQ(tp.dcav3[5], 0.003);
  EXPECT_DOUBLE_EQ(tp.SFAS[5], kDeg);
  EXPECT_DOUBLE_EQ(tp.SERF[5], 0.02);
  EXPECT_DOUBLE_EQ(tp.sfas2[5], 4 * kDeg);
  EXPECT_DOUBLE_EQ(tp.serf2[5], 0.05);
  EXPECT_EQ(tp.DCAV[4], 0.0);
  const std::array<double, 7> sol3d{1, 2, 0.003, 4 * kDeg, 0.05, 0, 0};
  for (int q = 1; q <= 7; ++q) EXPECT_DOUBLE_EQ(cav.te(q, 18), sol3d[q - 1]) << q;
}

TEST(EngeCommand, SourcesOfTheFringeCoefficients) {
  // Slot 12 holds the entrance coefficients of quad; a later " 0 enge quad"
  // returns both sides to the internal ones; k < 0 changes nothing.
  std::string lattice;
  for (int i = 1; i <= 11; ++i) lattice += " 1 cdump\n";
  lattice += " 1 enge quad 0.3 3.1 -1.8 0.5 0 0\n 2 enge quad 1 2 3 4 5 6\n -1 enge quad\n";
  CommandRun r(lattice);
  r.pass(1);
  const auto& src = r.sim->type_rec.enge_src;
  EXPECT_EQ(src[4][1], 12);
  EXPECT_EQ(src[4][2], 13);
  r.sim->units.close(kUnitLog);
  const auto log = r.lines_of("log.dat");
  ASSERT_EQ(log.size(), 6u);  // two reports; the k < 0 line writes none
  EXPECT_EQ(log[0], "           !* ENGE *! ");
  EXPECT_EQ(log[1], " quad      entrance c0:c5=    0.300000    3.100000   -1.800000    0.500000    0.000000    0.000000");
  EXPECT_EQ(log[2], " quad      exit    c0:c5      are internal");
  EXPECT_EQ(log[4], log[1]);
  EXPECT_EQ(log[5], " quad       exit   c0:c5=     1.000000    2.000000    3.000000    4.000000    5.000000    6.000000");

  CommandRun back(lattice + " 0 enge quad\n");
  back.pass(1);
  EXPECT_EQ(back.sim->type_rec.enge_src[4][1], 0);
  EXPECT_EQ(back.sim->type_rec.enge_src[4][2], 0);

  // A side above 2 stops the run, but not in the drawing pass, which only
  // takes positions.
  CommandRun bad(" 3 enge quad 0.3 3.1 -1.8 0.5 0 0\n");
  bad.pass(2, true);
  EXPECT_EQ(testing::fatal_message([&] { bad.pass(1); }), " 'enge' command is defined bad");
}

TEST(StateCommands, CommonFrameSwtchAndScrch) {
  CommandRun r(" 4 swtch 0.95\n 1 cdump\n -7 scrch\n -8 scrch 2.5\n");
  Sim& s = *r.sim;
  s.config.NQTOT = 1;
  s.config.NPAT[1] = 3;
  r.pass(1);
  EXPECT_EQ(s.scan.factor, 0.95);
  EXPECT_EQ(s.scan.elem, 4);
  for (int p = 1; p <= 4; ++p) {
    EXPECT_EQ(s.history.ref_W_in[p], kW0);
    EXPECT_EQ(s.history.ref_W_out[p], kW0);
    EXPECT_EQ(s.history.ref_phase_out[p], 0.0);
  }
  // Only the scrch line without numbers saves, and only in the nominal pass.
  EXPECT_TRUE(std::filesystem::exists(r.dir / "scratch.#07"));
  EXPECT_FALSE(std::filesystem::exists(r.dir / "scratch.#08"));
  EXPECT_EQ(s.state.iscrch, -8);
  EXPECT_EQ(s.state.iscrch_elem, 4);
  std::filesystem::remove(r.dir / "scratch.#07");

  // An error-study pass restores the design energy of the place at swtch
  // and scrch, keeps the nominal reference values and saves nothing.
  s.history.ref_W_out[1] = 1234.0;
  s.ref.w0 = 999.0;
  s.scan.factor = 0.0;
  r.pass(2);
  EXPECT_EQ(s.scan.factor, 0.95);
  EXPECT_EQ(s.history.ref_W_out[1], 1234.0);
  EXPECT_EQ(s.ref.w0, kW0);  // from the scrch lines at the end
  EXPECT_FALSE(std::filesystem::exists(r.dir / "scratch.#07"));
  // The drawing pass only takes the positions.
  s.scan.factor = 0.0;
  r.pass(2, true);
  EXPECT_EQ(s.scan.factor, 0.0);
}

}  // namespace
}  // namespace linac
