#include "control/lattice_prepass.hpp"

#include <gtest/gtest.h>

#include "input_fixture.hpp"
#include "platform/fatal.hpp"

namespace linac {
namespace {

using testing::InputRun;
using testing::read_file;
using testing::join;
using testing::rec132;

const std::string kData = LINAC_TEST_DATA_DIR "/control/data/";

TEST(IcheckSclinac, KeepsFoldsAndBlanksCharacters) {
  std::string line = rec132("1 DRIFT\t10 +-=_.!&\b\r\n");
  EXPECT_EQ(icheck_sclinac(line), 132 - 15);
  EXPECT_EQ(line, rec132("1 drift 10 +-=_.!&"));
  std::string blank = rec132("\t");
  EXPECT_EQ(icheck_sclinac(blank), 132);
}

TEST(IcheckSclinac, ForbiddenCharacterStopsWithTheThreePartWarning) {
  struct Case {
    std::string text;
    int code;
  };
  const Case cases[] = {{"1 drift 10, 2", 44}, {"1 drift 10/2", 47},  {"! it's", 39},
                        {"1 \"x\"", 34},        {"1 caf\xe9 2", 233}, {"1 (x)", 40}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string line = rec132(c.text);
    try {
      icheck_sclinac(line);
      ADD_FAILURE() << "accepted";
    } catch (const FatalStop& stop) {
      const auto& l = stop.lines();
      ASSERT_EQ(l.size(), 4u);
      EXPECT_EQ(l[0], " WARNING: wrong ASCII symbol in sclinac.dat");
      char expect[32];
      std::snprintf(expect, sizeof expect, " j= %4d  ASCII(jchar)=", c.code);
      EXPECT_EQ(l[1], std::string(expect) + static_cast<char>(c.code));
      EXPECT_EQ(l[2].size(), 132u);
      EXPECT_EQ(l[3], "stop  in subroutine \"icheck_sclinac\" ");
    }
  }
}

TEST(SplitLatticeLine, ItemsKeywordTypeAndComb) {
  auto sim = make_sim();
  set_start_values(*sim);
  struct Case {
    std::string text;
    std::int32_t n;
    std::string word;
    std::int32_t t, k, a;
  };
  const Case cases[] = {
      {"2 align quad 0.1 0.1", 2, "align", 4, 2, 0},
      {"2 align equad 0.1 0.1", 2, "align", 17, 2, 0},
      {"2 align Drift1 0.1", 2, "align", 1, 1, 0},
      {"-3 ENGE sol 1 2 3", -3, "enge ", 2, 3, 0},
      {"1 comb 10 20 quad& 1.5 sol 2", 1, "comb ", 0, 8, 3},
      {" 5 drift 10 2 2", 5, "drift", 0, 3, 0},
      {"7 cavity12 1", 7, "cavit", 0, 1, 0},
      {"1 comb 10 20", 0, "     ", 0, 2, 0},  // comb without '&': no word
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string line = rec132(c.text);
    const LatticeSplit sp = split_lattice_line(sim->types, line, "sclinac.dat", 1);
    EXPECT_EQ(sp.n, c.n);
    EXPECT_EQ(sp.word.str(), c.word);
    EXPECT_EQ(sp.t, c.t);
    EXPECT_EQ(sp.k, c.k);
    EXPECT_EQ(sp.a, c.a);
  }
}

TEST(SplitLatticeLine, Failures) {
  auto sim = make_sim();
  set_start_values(*sim);
  for (const std::string text : {"7", "2 align foo 1", "1 enge"}) {
    SCOPED_TRACE(text);
    std::string line = rec132(text);
    try {
      split_lattice_line(sim->types, line, "sclinac.dat", 3);
      ADD_FAILURE() << "accepted";
    } catch (const FatalStop& stop) {
      ASSERT_EQ(stop.lines().size(), 2u);
      EXPECT_EQ(stop.lines()[0], join(" ", rec132(text)));
      EXPECT_EQ(stop.lines()[1], " wrong string in sclinac.dat");
    }
  }
  std::string line = rec132("x drift 1");
  try {
    split_lattice_line(sim->types, line, "sclinac.dat", 3);
    ADD_FAILURE() << "accepted";
  } catch (const FatalStop& stop) {
    // The free-format reader's input error names the file, the line and the item.
    EXPECT_NE(stop.lines()[0].find("sclinac.dat"), std::string::npos) << stop.lines()[0];
    EXPECT_NE(stop.lines()[0].find("'x'"), std::string::npos) << stop.lines()[0];
  }
}

TEST(MakeLinacDat, CavityLatticeMatchesTheGoldenFile) {
  InputRun r;
  r.file("sclinac.dat", read_file(kData + "sclinac_cav.dat"));
  r.file("fi_in.dat", read_file(kData + "fi_in_phases.dat"));
  r.sim->config.NSTEP_CAV = 50;
  ASSERT_EQ(r.run(make_linac_dat), 0) << r.screen.str();
  EXPECT_EQ(read_file(r.dir / "linac.dat"), read_file(kData + "linac_cav.golden"));
  EXPECT_EQ(r.sim->state.iscrch, 0);
  EXPECT_EQ(r.screen.str(), "");
}

TEST(MakeLinacDat, CopiesLinesAndStops) {
  struct Case {
    const char* what;
    std::string sclinac;
    std::vector<std::string> linac;
  };
  const Case cases[] = {
      {"first line stops", "stop\n1 drift 10 2 2\n", {}},
      {"stop inside a word", "1 drift 10 2 2\n2 drift 3 1 1 stopper\n3 drift 1 1 1\n",
       {rec132(" 1 drift 10 2 2")}},
      {"commented stop", "1 drift 10\n! stop here no\n2 drift 1\nstop\n",
       {rec132(" 1 drift 10"), rec132(" ! stop here no"), rec132(" 2 drift 1")}},
      {"bad bytes behind the stop line", "1 DRIFT 10\nSTOP\n1,2/3 '\xe9'\n", {rec132(" 1 drift 10")}},
      {"column 131 kept", std::string(130, ' ') + "5\nstop\n", {rec132(join(" ", std::string(130, ' ')) + "5")}},
      {"long comment cut", join("!", std::string(140, 'c')) + "\nstop\n", {join(" !", std::string(130, 'c'))}},
      {"blank lines before the stop line", "1 drift 10\n\n  \t \nstop\n", {rec132(" 1 drift 10")}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    InputRun r;
    r.file("sclinac.dat", c.sclinac);
    ASSERT_EQ(r.run(make_linac_dat), 0) << r.screen.str();
    EXPECT_EQ(r.lines_of("linac.dat"), c.linac);
    // A missing fi_in.dat is created empty.
    EXPECT_TRUE(std::filesystem::exists(r.dir / "fi_in.dat"));
  }
}

TEST(MakeLinacDat, RestartScan) {
  struct Case {
    const char* what;
    std::string sclinac;
    std::int32_t iscrch;
  };
  const Case cases[] = {
      {"save point only", "1 drift 1 1 1\n-5 scrch\nstop\n", 0},
      {"restart line", "1 drift 1 1 1\n-5 scrch\n5 SCRCH\n7 scrch\nstop\n", 5},
      {"behind the stop line", "1 drift 1 1 1\nstop\n5 scrch\n", 0},
      {"commented", "!5 scrch\nstop\n", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    InputRun r;
    r.file("sclinac.dat", c.sclinac);
    ASSERT_EQ(r.run(make_linac_dat), 0) << r.screen.str();
    EXPECT_EQ(r.sim->state.iscrch, c.iscrch);
  }
}

TEST(MakeLinacDat, Refusals) {
  struct Case {
    const char* what;
    std::string sclinac;
    std::string fi_in;  // "-" for no file
    std::string message;  // part of the first screen line
  };
  const Case cases[] = {
      {"restart number not an integer", "x scrch\n", "-", "'x'"},
      {"comma in a comment", "! a, b\n", "-", " WARNING: wrong ASCII symbol in sclinac.dat"},
      {"fi_in.dat short", "1 cav 1 2 3 4\n2 cav 1 2 3 4\n", "10\n",
       " end of file fi_in.dat: no RF phase left for the cavity of sclinac.dat line 2"},
      {"fi_in.dat missing", "1 cav 1 2 3 4\n", "-",
       " end of file fi_in.dat: no RF phase left for the cavity of sclinac.dat line 1"},
      {"step count not an integer", "1 cav 1 2 3 4 5.5\n", "0\n", "'5.5'"},
      {"cav line with 3 numbers", "1 drift 1\n1 cav 10 20 30\n", "0\n",
       " sclinac.dat line 2: a cav line takes 4 numbers, or 5 with its step count; this one has 3"},
      {"cavity number too wide", "100 cav 10 20 30 40\n", "0\n",
       " sclinac.dat line 1: the cavity number n (I2, -9..99) does not fit its field in linac.dat"},
      {"cavity number below -9", "-10 cav 10 20 30 40\n", "0\n", "cavity number n"},
      {"length too wide", "1 cav 1.0e7 20 30 40\n", "0\n", "the first number (F12.5) does not fit"},
      {"phase too wide", "1 cav 10 20 30 40\n", "123456.0\n", "the RF phase from fi_in.dat (F8.2)"},
      {"step count too wide", "1 cav 10 20 30 40 123456\n", "0\n", "the step count (I5)"},
      {"text past column 132", "1 drift 10 2 2" + std::string(125, ' ') + "12.5\n", "-",
       " sclinac.dat line 1 holds text beyond column 132, which would be lost"},
      {"text in column 132", std::string(131, ' ') + "5\n", "-",
       " sclinac.dat line 1 holds text in column 132, which would be lost in linac.dat"},
      // A lattice without its stop line is empty or cut short: running the
      // rest would end as if it were whole.
      {"empty file", "", "-", " sclinac.dat: no stop line; the lattice must end with a line holding"},
      {"cut at a line end", "1 drift 10\n\n  \t \n", "-", "cut short after line 3"},
      {"only a commented stop", "1 drift 10\n! stop\n", "-", "no stop line"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    InputRun r;
    r.file("sclinac.dat", c.sclinac);
    if (c.fi_in != "-") r.file("fi_in.dat", c.fi_in);
    EXPECT_NE(r.run(make_linac_dat), 0);
    const auto lines = r.screen_lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines[0].find(c.message), std::string::npos) << lines[0];
  }
}

TEST(MakeLinacDat, MissingSclinacIsNamed) {
  InputRun r;
  EXPECT_NE(r.run(make_linac_dat), 0);
  EXPECT_NE(r.screen.str().find("sclinac.dat"), std::string::npos) << r.screen.str();
}

}  // namespace
}  // namespace linac
