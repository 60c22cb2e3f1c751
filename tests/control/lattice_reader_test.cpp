#include "control/lattice_reader.hpp"

#include <gtest/gtest.h>

#include <map>

#include "input_fixture.hpp"

namespace linac {
namespace {

using testing::InputRun;
using testing::join;
using testing::rec132;

// One keyword row: the linac.dat text, and every field of slot 1 that it
// must fill (fields not listed must stay 0).
struct RowCase {
  std::string text;
  std::string name;
  std::int32_t elem_n;
  std::map<int, double> P;
  std::map<int, std::int32_t> I;  // columns 11..16
  double length;
  std::int32_t isol = 0;
};

// Every keyword row of the reader, one or more lines each.
const RowCase kRowCases[] = {
    {" 2 align quad 0.1 0.2 1 2 3 4 5", "align", 2,
     {{1, 0.1}, {2, 0.2}, {3, 1}, {4, 2}, {5, 3}, {6, 4}, {7, 5}}, {{15, 4}}, 0},
    {" 0 align quad 0.1", "align", 0, {}, {{15, 4}}, 0},
    {" -99 align cav 0.1", "align", -99, {}, {{15, 6}}, 0},
    {" 5 align cav 0.1 0 0 1 2", "align", 5, {{1, 0.1}, {4, 1}, {5, 2}}, {{15, 6}}, 0},
    {" 1 enge quad 0.3 3.1 -1.8 0.5 0 0", "enge", 1, {{1, 0.3}, {2, 3.1}, {3, -1.8}, {4, 0.5}},
     {{15, 4}}, 0},
    {" 0 enge cav", "enge", 0, {}, {{15, 6}}, 0},
    {" 1 fit 1 2 3.5 4.5 9", "fit", 1, {{1, 3.5}, {2, 4.5}}, {{11, 1}, {12, 2}}, 0},
    {" 1 vary 3 4 5", "vary", 3, {{1, 1.313e14}, {2, 1.313e14}, {3, 1.313e14}},
     {{11, 3}, {12, 4}, {13, 5}}, 0},
    {" 1 fblck 1 2", "fblck", 1, {{1, 1}, {2, 2}}, {}, 0},
    {" 7 ascii 3", "ascii", 7, {}, {{11, 3}}, 0},
    {" 7 ascii 3 -1", "ascii", 7, {}, {{11, 3}, {12, -1}}, 0},
    // Without numbers: the live-beam layout in the nominal run, no warning.
    {" 999 ascii", "ascii", 999, {}, {}, 0},
    {" 1 shrt 0.1 0.2 0.3", "shrt", 1, {{1, 0.1}, {2, 0.2}, {3, 0.3}}, {}, 0},
    {" 1 filtr 1 2 3", "filtr", 1, {{1, 1}, {2, 2}, {3, 3}}, {}, 0},
    {" -7 scrch", "scrch", -7, {}, {}, 0},
    {" -7 scrch 2.5", "scrch", -7, {{1, 2.5}}, {{11, 1}}, 0},
    {" -3 encor", "encor", -3, {}, {}, 0},
    {" 1 drift 10 2 2", "drift", 1, {{1, 10}, {2, 2}, {3, 2}}, {}, 10},
    {" 1 drift 10 2 2 7", "drift", 1, {{1, 10}, {2, 2}, {3, 2}}, {{11, 7}}, 10},
    // Apertures of 0 (none) and at the smallest size a lattice takes.
    {" 1 drift 10 0 0", "drift", 1, {{1, 10}}, {}, 10},
    {" 1 drift 1e-6 1e-6 -1e-6", "drift", 1, {{1, 1e-6}, {2, 1e-6}, {3, -1e-6}}, {}, 1e-6},
    {" 1 tdstr 10 2 2 5", "tdstr", 1, {{1, 10}, {2, 2}, {3, 2}}, {{11, 5}, {12, -1}}, 10},
    {" 1 tdstr 10 2 2 5 6", "tdstr", 1, {{1, 10}, {2, 2}, {3, 2}}, {{11, 5}, {12, 6}}, 10},
    {" 1 bunch 5 2 3 4 12", "bunch", 1, {{1, 5}, {2, 2}, {3, 3}, {4, 4}}, {{11, 12}}, 5},
    {" 1  cav      10.00000   20.00    0.30000E+02    40.000  -90.00   50", "cav", 1,
     {{1, 10}, {2, 20}, {3, 30}, {4, 40}, {5, -90}}, {{11, 50}}, 10},
    {" 4  cavcr     0.50000    1.00   -0.25000E-02     3.000   12.50   50", "cav", 4,
     {{1, 0.5}, {2, 1}, {3, -0.0025}, {4, 3}, {5, 12.5}}, {{11, 50}, {15, 1}}, 0.5},
    {" 4  cavc      0.50000    1.00   -0.25000E-02     3.000   12.50   50", "cav", 4,
     {{1, 0.5}, {2, 1}, {3, -0.0025}, {4, 3}, {5, 12.5}}, {{11, 50}, {15, 1}}, 0.5},
    // uds: the table length P1 and the field-free extension P4.
    {" 6 uds 10 1 2 3 4 2\n 0.5\n\n 0.7 9", "uds", 6,
     {{1, 10}, {2, 1}, {3, 2}, {4, 3}, {5, 0.5}, {6, 0.7}}, {{11, 4}, {12, 2}}, 13},
    {" 6 uds 10 1 2 3 4 0", "uds", 6, {{1, 10}, {2, 1}, {3, 2}, {4, 3}}, {{11, 4}}, 13},
    {" 1 bmag 1 2 3 4 5 6 7 8 9 10", "bmag", 1,
     {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 6}, {7, 7}, {8, 8}, {9, 9}}, {{11, 10}}, 1},
    {" 1 strip 1 2 3 4", "strip", 1, {{1, 1}, {2, 2}, {3, 3}, {4, 4}}, {}, 0},
    {" 1 cdump", "cdump", 1, {}, {}, 0},
    {" 1 trace 5", "trace", 1, {}, {}, 0},
    {" 1 zero 1 2", "zero", 1, {{1, 1}, {2, 2}}, {}, 0},
    {" 1 phcor", "phcor", 1, {{3, 1}, {4, 1}}, {}, 0},
    {" 1 phcor 5 6 7", "phcor", 1, {{1, 5}, {2, 6}, {3, 7}, {4, 1}}, {}, 0},
    {" 8 mon 1 2 3", "mon", 8, {{1, 1}, {2, 2}, {3, 3}, {4, 2}, {5, 3}}, {}, 0},
    {" 8 mon 1 2 3 4 5", "mon", 8, {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}}, {}, 0},
    {" 1 updat 1 2", "updat", 1, {{1, 1}, {2, 2}}, {}, 0},
    {" 1 matrx 3", "matrx", 1, {{1, 3}}, {}, 0},
    {" 5 corr 10 1 2 3 4.5 0 0", "corr", 5, {{1, 10}, {2, 1}, {3, 2}, {4, 3}, {8, 1}, {9, 2}},
     {{11, 5}}, 10},
    {" 5 corr 10 1 2 3 -2.5 0.1 0.2", "corr", 5,
     {{1, 10}, {2, 1}, {3, 2}, {4, 3}, {5, 0.1}, {6, 0.2}, {7, 0.2}}, {{11, -3}}, 10},
    {" 1 fper", "fper", 1, {}, {}, 0},
    {" 5 ecorr 10 1 2 3 4 6.5 0 0", "ecorr", 5,
     {{1, 10}, {2, 1}, {3, 2}, {4, 3}, {5, 4}, {8, 1}, {9, 2}}, {{11, 7}}, 10},
    {" 2 sol 1 30 5 5 7", "sol", 2, {{1, 1}, {2, 30}, {3, 5}, {4, 5}}, {}, 30},
    {" 2 sol 1 30 5 5", "sol", 2, {{1, 1}, {2, 30}, {3, 5}, {4, 5}}, {{15, 1}}, 30, 1},
    {" 0 sol 1 30 5 5", "sol", 0, {{1, 1}, {2, 30}, {3, 5}, {4, 5}}, {}, 30, 1},
    {" 2 sol 1 30 5 5 7 9", "sol", 2, {{1, 1}, {2, 30}, {3, 5}, {4, 5}, {5, 7}}, {{11, 9}}, 30},
    {" 1 mult 1 2 3 4 5 6 7", "mult", 1, {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 6}},
     {{11, 7}}, 1},
    {" 1 mult 1 2 3 4 5 6 7 8", "mult", 1, {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 6}},
     {{11, 8}, {12, 7}}, 1},
    // Matrix model (n = -1) for nearly equal gradients or without steps.
    {" 3 quad 1 20 20 2 10", "quad", -1, {{1, 1}, {2, 20}, {3, 20}, {4, 2}}, {{11, 10}}, 20},
    {" 3 quad 1 20 18 2 10", "quad", 3, {{1, 1}, {2, 20}, {3, 18}, {4, 2}}, {{11, 10}}, 20},
    {" 3 quad 1 20 19.01 2 10", "quad", -1, {{1, 1}, {2, 20}, {3, 19.01}, {4, 2}}, {{11, 10}}, 20},
    {" 3 quad 1 20 18 2", "quad", -1, {{1, 1}, {2, 20}, {3, 18}, {4, 2}}, {}, 20},
    {" 4 quad 1 20 18 2 1 10", "quad", 4, {{1, 1}, {2, 20}, {3, 18}, {4, 2}}, {{11, 10}, {12, 1}},
     20},
    {" 1 equad 1 20 3 4", "equad", 1, {{1, 1}, {2, 20}, {3, 3}}, {{11, 4}}, 20},
    {" 1 eq3d 1 20 3 4", "eq3d", 1, {{1, 1}, {2, 20}, {3, 3}}, {{11, 4}}, 20},
    {" 1 ehex 1 20 3 4", "ehex", 1, {{1, 1}, {2, 20}, {3, 3}}, {{11, 4}}, 20},
    {" 1 sol3d 1 20 3 4", "sol3d", 1, {{1, 1}, {2, 20}, {3, 3}}, {{11, 4}}, 20},
    {" 1 einz 1 20 3 4", "einz", 1, {{1, 1}, {2, 20}, {3, 3}}, {{11, 4}}, 20},
    {" 1 extrc 1 20 3 4", "extrc", 1, {{1, 1}, {2, 20}, {3, 3}}, {{11, 4}}, 20},
    {" 1 m5 1 2 3 4 5 6 7", "m5", 1, {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 6}}, {{11, 7}},
     1},
    {" 1 ebfld 1 2 3 4", "ebfld", 1, {{1, 1}, {2, 2}, {3, 3}, {4, 4}}, {}, 0},
    {" 1 mhb 1 2 3 4 5 6 7 8 9", "mhb", 1, {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}},
     {{11, 50}, {12, 6}, {13, 7}, {14, 8}, {15, 9}}, 3},
    {" 1 mhb 1 2 3 4 5 6 7 8 9 10", "mhb", 1, {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}},
     {{11, 10}, {12, 6}, {13, 7}, {14, 8}, {15, 9}}, 3},
    {" 1 mhb4 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15", "mhb4", 1,
     {{1, 1}, {2, 2}, {3, 3}, {4, 5}, {5, 6}, {6, 8}, {7, 9}, {8, 11}, {9, 12}, {10, 14}, {11, 15}},
     {{11, 4}, {12, 7}, {13, 10}, {14, 13}, {15, 50}}, 1},
    {" 1 mhb4 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16", "mhb4", 1,
     {{1, 1}, {2, 2}, {3, 3}, {4, 5}, {5, 6}, {6, 8}, {7, 9}, {8, 11}, {9, 12}, {10, 14}, {11, 15}},
     {{11, 4}, {12, 7}, {13, 10}, {14, 13}, {15, 16}}, 1},
    {" 1 fhide 1 2", "fhide", 1, {{1, 1}, {2, 2}}, {}, 0},
    {" 1 deck 1 2 3 4", "deck", 1, {{1, 1}, {2, 2}, {3, 3}}, {{11, 4}}, 2},
    {" 1 comb 10 20 quad& 1.5 sol 2", "comb", 1, {{1, 10}, {2, 20}, {3, 1.5}, {4, 2}}, {{13, 3}},
     20},
    {" 1 slit 1 2", "slit", 1, {{1, 1}, {2, 2}}, {}, 0},
    {" 1 prmtr nqtot0=2", "prmtr", 1, {{1, 2}}, {{11, 9}, {12, 1}}, 0},
    {" 1 prmtr harm = 2 3", "prmtr", 1, {{1, 2}, {2, 3}}, {{11, 3}, {12, 2}}, 0},
    {" 2 prmtr outsc=1 2 3 4 5 6 7 8 9 10", "prmtr", 2,
     {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 6}, {7, 7}, {8, 8}, {9, 9}}, {{11, 26}, {12, 9}},
     0},
    {" 1 swtch 1.5", "swtch", 1, {{1, 1.5}}, {}, 0},
};

TEST(ReadElements, EveryKeywordRow) {
  for (const auto& c : kRowCases) {
    SCOPED_TRACE(c.text);
    InputRun r;
    r.sim->config.ISOL = c.isol;
    r.file("linac.dat", c.text + "\n");
    std::int32_t nel = -1;
    ASSERT_EQ(r.run([&](ControlContext& s) { nel = ReadElements(s); }), 0) << r.screen.str();
    EXPECT_EQ(r.screen.str(), "");
    EXPECT_EQ(nel, 1);
    const ElementTable& e = r.sim->elements;
    EXPECT_EQ(e.elem_name[1].trimmed(), c.name);
    EXPECT_EQ(e.elem_int[1][kElemN], c.elem_n);
    for (int j = 1; j <= kElemPar; ++j) {
      const auto it = c.P.find(j);
      EXPECT_EQ(e.elem_par[1][j], it == c.P.end() ? 0.0 : it->second) << "P" << j;
    }
    for (int j = 11; j <= kElemInt; ++j) {
      const auto it = c.I.find(j);
      EXPECT_EQ(e.elem_int[1][j], it == c.I.end() ? 0 : it->second) << "I" << j;
    }
    EXPECT_EQ(e.elem_pos[1], c.length);
    EXPECT_EQ(e.elem_pos[0], 0.0);
  }
}

TEST(ReadElements, PositionsAccumulateAndCommentsTakeNoSlot) {
  InputRun r;
  r.file("linac.dat",
         " 1 drift 10 2 2\n !1 drift 10\n ! any words\n 6 uds 2.5 1 2 3 4 1\n 0.5\n"
         " 3 quad 1 20 18 2 10\n 8 mon 1 2 3\n");
  std::int32_t nel = -1;
  ASSERT_EQ(r.run([&](ControlContext& s) { nel = ReadElements(s); }), 0) << r.screen.str();
  const Sim& s = *r.sim;
  EXPECT_EQ(nel, 4);
  EXPECT_EQ(s.config.iel_first, 1);
  EXPECT_EQ(s.config.iel_last, 4);
  EXPECT_EQ(s.ref.s_entry, 0.0);
  // The uds line takes P1 + P4 = 2.5 + 3 cm.
  const double pos[] = {0, 10, 15.5, 35.5, 35.5};
  for (int i = 0; i <= 4; ++i) EXPECT_EQ(s.elements.elem_pos[i], pos[i]) << i;
  EXPECT_EQ(s.elements.elem_name[3].str(), "quad ");
  EXPECT_EQ(s.elements.elem_name[5].str(), "     ");
}

TEST(ReadElements, EmptyFile) {
  InputRun r;
  r.file("linac.dat", "");
  std::int32_t nel = -1;
  ASSERT_EQ(r.run([&](ControlContext& s) { nel = ReadElements(s); }), 0);
  EXPECT_EQ(nel, 0);
  EXPECT_EQ(r.sim->config.iel_first, 1);
  EXPECT_EQ(r.sim->config.iel_last, 0);
}

TEST(ReadElements, CountNotTakenByTheKeywordWarnsAndStoresNothing) {
  InputRun r;
  r.file("linac.dat", " 1 drift 10\n 2 drift 5 1 1\n 3 quad 1 20\n");
  ASSERT_EQ(r.run(ReadElements), 0);
  const std::string w1 =
      " WARNING: linac.dat line 1 ' 1 drift 10': drift takes 3 or 4 numbers, this line has 1; its "
      "numbers are not stored";
  const std::string w3 =
      " WARNING: linac.dat line 3 ' 3 quad 1 20': quad takes 4, 5 or 6 numbers, this line has 2; "
      "its numbers are not stored";
  EXPECT_EQ(r.screen.str(), w1 + "\n" + w3 + "\n");
  EXPECT_EQ(r.lines_of("log.dat"), (std::vector<std::string>{w1, w3}));
  EXPECT_EQ(r.sim->elements.elem_par[1][1], 0.0);
  EXPECT_EQ(r.sim->elements.elem_pos[1], 0.0);
  EXPECT_EQ(r.sim->elements.elem_pos[2], 5.0);
  EXPECT_EQ(r.sim->elements.elem_int[3][kElemN], -1);
}

TEST(ReadElements, StartOfTheRun) {
  struct Case {
    const char* what;
    std::string linac;
    std::int32_t prepass_iscrch;
    std::int32_t iel_first, iscrch, iscrch_elem;
    double s_entry;
  };
  const Case cases[] = {
      {"restart line", " 1 drift 10 2 2\n 7 scrch\n 2 drift 5 2 2\n 9 scrch\n", 7, 2, 7, 0, 10},
      {"first line restarts with numbers", " 1 scrch 2.5\n 4 scrch\n", 1, 1, 1, 1, 0},
      {"encor", " 1 drift 10 2 2\n 3 encor\n 2 drift 5 2 2\n 4 encor\n", 0, 2, 0, 0, 10},
      {"save points are no start", " 1 drift 10 2 2\n -7 scrch\n -3 encor\n", 0, 1, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    InputRun r;
    r.sim->state.iscrch = c.prepass_iscrch;
    r.file("linac.dat", c.linac);
    ASSERT_EQ(r.run(ReadElements), 0) << r.screen.str();
    EXPECT_EQ(r.sim->config.iel_first, c.iel_first);
    EXPECT_EQ(r.sim->state.iscrch, c.iscrch);
    EXPECT_EQ(r.sim->state.iscrch_elem, c.iscrch_elem);
    EXPECT_EQ(r.sim->ref.s_entry, c.s_entry);
  }
}

TEST(ReadElements, IflagTIsClearedBehindARestartInsideAnRfq) {
  InputRun r;
  r.sim->state.iscrch = 1;
  r.file("linac.dat", " 1 prmtr iflag_t=3\n 1 scrch 2.5\n 1 prmtr iflag_t=3\n");
  ASSERT_EQ(r.run(ReadElements), 0) << r.screen.str();
  EXPECT_EQ(r.sim->elements.elem_par[1][1], 3.0);
  EXPECT_EQ(r.sim->elements.elem_par[3][1], 0.0);
  EXPECT_EQ(r.sim->elements.elem_int[3][11], 12);
}

TEST(ReadElements, AijRfqSwitchesActWhileReading) {
  InputRun r;
  r.file("linac.dat", " 1 prmtr AijRFQ=1 1\n");
  ASSERT_EQ(r.run(ReadElements), 0) << r.screen.str();
  const double expect[] = {0, 1, 1, 0, 0, 0, 0};
  for (int j = 1; j <= 6; ++j) EXPECT_EQ(r.sim->rfq.AijRFQ[j], expect[j]) << j;
  EXPECT_EQ(r.sim->elements.elem_int[1][11], 27);
}

TEST(ReadElements, HarmonicLineIsFoundByItsParameterCode) {
  InputRun r;
  r.file("linac.dat", " 1 prmtr harm=2\n 1 prmtr iflag_t=1\n 1 drift 10 2 2\n");
  ASSERT_EQ(r.run(ReadElements), 0) << r.screen.str();
  const Sim& s = *r.sim;
  EXPECT_TRUE(is_harmonic_line(s.elements, 1));
  EXPECT_FALSE(is_harmonic_line(s.elements, 2));  // another parameter
  EXPECT_FALSE(is_harmonic_line(s.elements, 3));  // another keyword
  EXPECT_FALSE(is_harmonic_line(s.elements, -1));
  EXPECT_FALSE(is_harmonic_line(s.elements, kMaxElements + 1));
}

TEST(PrmtrCode, LastNameInTableOrderWins) {
  const std::pair<const char*, int> names[] = {
      {"Qdesign", 1},      {"ADESIGN", 2},     {"harm", 3},         {"scur", 4},
      {"isol", 5},         {"iflag2d", 6},     {"iflag_qq", 7},     {"nqtot", 8},
      {"nqtot0", 9},       {"NQTOT1", 10},     {"outq", 11},        {"iflag_t", 12},
      {"iflag_dudt", 13},  {"iflag_ebfld", 14}, {"iflag_chain", 15}, {"iflag_lev", 17},
      {"iflag_log", 19},   {"msln_dstr", 20},  {"monerr", 21},      {"zlhsc", 22},
      {"current", 23},     {"delta2", 24},     {"gridsc", 25},      {"outsc", 26},
      {"aijrfq", 27},      {"iflag_accep", 28}, {"dev_field", 29},  {"delta1", 30},
      {"aperrfq", 31},     {"init_cosy", 32},  {"cneutr", 33},      {"trace", 34},
      {"mhb", 35},         {"write_ascii", 36}, {"iwrite_rms", 50}, {" harm ", 3},
      {"xyz", 0},          {"", 0},
  };
  for (const auto& [name, code] : names) EXPECT_EQ(prmtr_code(name), code) << name;
}

TEST(ReadElements, Refusals) {
  struct Case {
    const char* what;
    std::string linac;
    std::vector<std::string> screen;  // exact screen lines; empty: check `part` only
    std::string part;                 // part of the first screen line
  };
  const std::string mon = " 8 mon 0 0 0";
  const Case cases[] = {
      {"unknown keyword", " 1 foo 1\n",
       {rec132(" 1 foo 1"), "From ReadElements: ERROR--unknown command"}, ""},
      {"eh3d has no row", " 1 eh3d 1 2 3 4\n",
       {rec132(" 1 eh3d 1 2 3 4"), "From ReadElements: ERROR--unknown command"}, ""},
      {"comb without &", " 1 comb 10 20\n",
       {rec132(" 1 comb 10 20"), "From ReadElements: ERROR--unknown command"}, ""},
      {"cav align of table 0", " 0 align cav 1\n",
       {join(" ", rec132(" 0 align cav 1")), " wrong 'align' element"}, ""},
      {"cav align of table 100", " 100 align cav 1\n",
       {join(" ", rec132(" 100 align cav 1")), " wrong 'align' element"}, ""},
      {"scrch 0", " 0 scrch\n", {"  n can't be equal 0  in 'n scrch' "}, ""},
      {"uds with 6 numbers", " 6 uds 10 1 2 3 4 6\n", {" bed defined element UDS"}, ""},
      {"monitor without sizes", mon + "\n",
       {join("   ne=   1", rec132(mon).substr(0, 79)), " wrongly defined device"}, ""},
      {"rfq concave 2", " 100 rfq 80 1 0.3 -90 1 10 1 2\n",
       {" parameter \"concave\" must be equal to +1 or -1"}, ""},
      {"prmtr without =", " 1 prmtr harm\n", {"wrong name of the parameter"}, ""},
      {"prmtr unknown name", " 1 prmtr foo=1\n", {"wrong name of the parameter"}, ""},
      {"AijRFQ not 0 or 1", " 1 prmtr AijRFQ=1 2\n", {"  AijRFQ must be equal 0 or 1"}, ""},
      {"rfq cell file missing", " 100 rfq 80 1 0.3 -90 1 10 3 -1\n", {}, "rfq.#03"},
      {"vary with 7 elements", " 1 vary 1 2 3 4 5 6 7\n", {},
       " linac.dat line 1 ' 1 vary 1 2 3 4 5 6 7': 7 element numbers, but a vary line takes at most 6"},
      {"filtr with 12 numbers", " 1 filtr 1 2 3 4 5 6 7 8 9 10 11 12\n", {},
       "12 numbers, but a filtr line stores at most 11"},
      {"comb marker 0", " 1 quad& 1 2\n", {}, "the first item holding '&' is item 2"},
      {"comb marker 11", " 1 comb 1 2 3 4 5 6 7 8 9 10 x& 1 y 2\n", {},
       "the first item holding '&' is item 13"},
      {"encor before the restart line", " 3 encor\n 7 scrch\n", {},
       " linac.dat line 1: the run would start at this encor line, before the restart line 7 scrch"},
      {"step count not an integer", " 1 drift 10 2 2 1.5\n", {}, "'1.5'"},
      {"too few items", " 1 bunch 5 2 3\n", {}, "linac.dat"},
      {"ascii number beyond three digits", " 1000 ascii 1\n", {},
       " linac.dat line 1 ' 1000 ascii 1': ascii number 1000; the dump file ascii.#NNN takes numbers up to 999"},
      {"uds numbers missing", " 6 uds 10 1 2 3 4 2\n 0.5\n", {},
       " end of file linac.dat: the uds line 1 expects 2 further numbers, found 1"},
      // Numbers no machine reaches, and codes beyond the integer range.
      {"drift of -1e300 cm", " 1 drift -1e300 2 2\n", {},
       " linac.dat line 1: number P1 = -1e+300; lattice numbers must be finite"},
      {"drift of 1e8 cm", " 1 drift 1e8 2 2\n", {}, " linac.dat line 1: element length 100000000 cm"},
      {"AijRFQ beyond the integer range", " 1 prmtr AijRFQ=1e10\n", {},
       " linac.dat line 1: AijRFQ value 1 = 10000000000: not a whole number"},
      // Lengths and apertures below 1e-6 cm, other than 0.
      {"drift aperture of 1e-320 cm", " 1 drift 10 1e-320 1\n", {},
       " linac.dat line 1: drift aperture ax (item 2) = 1e-320 cm; lengths and apertures are 0 or at least "
       "1e-06 cm in size"},
      {"drift of 1e-320 cm", " 1 drift 1e-320 1 1\n", {}, " linac.dat line 1: drift length L (item 1) = 1e-320 cm"},
      {"elliptic drift of 1e-7 cm", " 1 drift 10 1 -1e-7\n", {}, "drift aperture ay (item 3) = -1e-07 cm"},
      {"quad aperture", " 1 quad 1000 10 10 1e-7\n", {}, " linac.dat line 1: quad aperture radius a (item 4) = 1e-07 cm"},
      {"quad effective length", " 1 quad 1000 10 1e-9 1\n", {}, "quad effective length Lf (item 3) = 1e-09 cm"},
      {"bending gap", " 1 bmag 100 50 45 1e-9 10 0 0 0 0 10\n", {}, "bmag gap g (item 4) = 1e-09 cm"},
      {"cavc aperture", " 1 cavc 10 1 1 -1e-10 0 10\n", {}, "cavc aperture radius a (item 4) = -1e-10 cm"},
      {"ebfld radius", " 1 ebfld 1 1 10 1e-300\n", {}, "ebfld radius r (item 4) = 1e-300 cm"},
      {"uds extension", " 6 uds 10 1 2 1e-8 4 0\n", {}, "uds extension Lx (item 4) = 1e-08 cm"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    InputRun r;
    r.sim->state.iscrch = 7;
    r.file("linac.dat", c.linac);
    EXPECT_NE(r.run(ReadElements), 0);
    const auto lines = r.screen_lines();
    if (!c.screen.empty()) {
      EXPECT_EQ(lines, c.screen);
    } else {
      ASSERT_FALSE(lines.empty());
      EXPECT_NE(lines[0].find(c.part), std::string::npos) << lines[0];
    }
  }
}

// A prmtr value that is not a finite number stops the reading naming the
// line, the parameter and the text; read as a plain list it would end the
// values and leave the parameter at 0 (space charge off for scur=NaN).
TEST(ReadElements, PrmtrValuesThatAreNotNumbersAreRefused) {
  struct Case {
    const char* line;
    std::string part;  // part of the one screen line
  };
  const Case cases[] = {
      {" 1 prmtr scur=NaN", " linac.dat line 1 (prmtr scur): value 1 'nan' is not a finite number"},
      {" 1 prmtr scur=Inf", "(prmtr scur): value 1 'inf' is not a finite number"},
      {" 1 prmtr scur=-infinity", "(prmtr scur): value 1 '-infinity'"},
      {" 1 prmtr scur=abc", "(prmtr scur): value 1 'abc'"},
      {" 1 prmtr scur=1e400", "(prmtr scur): value 1 '1e400'"},
      {" 1 prmtr scur=,2", "(prmtr scur): value 1 ''"},
      {" 3 prmtr current=1.5 nan", " linac.dat line 1 (prmtr current): value 2 'nan'"},
      {" 1 prmtr delta1=0.45x", "(prmtr delta1): value 1 '0.45x'"},
      {" 1 prmtr aijrfq=1 0 1 inf 1 1", "(prmtr AijRFQ): value 4 'inf'"},
      {" 1 prmtr outsc=3 0 0 nan 2", "(prmtr outSC): value 4 'nan'"},
      {" 1 prmtr trace=1e999", "(prmtr trace): value 1 '1e999'"},
      {" 1 prmtr adesign=abc", "(prmtr Adesign): value 1 'abc'"},
      {" 1 prmtr gridsc=33 33 nan", "(prmtr gridSC): value 3 'nan'"},
      {" 1 prmtr scur=", " linac.dat line 1 (prmtr scur): no value after '='"},
      {" 1 prmtr harm=   ", "(prmtr harm): no value after '='"},
      {" 1 prmtr iflag_chain=", "(prmtr iflag_chain): no value after '='"},
      {" 1 prmtr mhb=8 0", " linac.dat line 1 (prmtr mhb): 2 values; mhb takes one value"},
      {" 1 prmtr mhb=8 0 0 1", "(prmtr mhb): 4 values"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    InputRun r;
    r.file("linac.dat", std::string(c.line) + "\n");
    EXPECT_NE(r.run(ReadElements), 0);
    const auto lines = r.screen_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(c.part), std::string::npos) << lines[0];
  }
  // Parameters that act on no value take a line without one; items after
  // the ninth value are not read.
  for (const char* line : {" 1 prmtr iflag_log=", " 1 prmtr MonErr=", " 1 prmtr msln_dstr=",
                           " 1 prmtr outsc=1 2 3 4 5 6 7 8 9 word"}) {
    SCOPED_TRACE(line);
    InputRun r;
    r.file("linac.dat", std::string(line) + "\n");
    EXPECT_EQ(r.run(ReadElements), 0);
    EXPECT_TRUE(r.screen_lines().empty());
  }
}

TEST(ReadElements, UnknownCommandIsLogged) {
  InputRun r;
  r.file("linac.dat", " 1 drift 10 2 2\n 2 foo 1\n");
  EXPECT_NE(r.run(ReadElements), 0);
  EXPECT_EQ(r.lines_of("log.dat"),
            (std::vector<std::string>{rec132(" 2 foo 1"), " From ReadElements: ERROR--unknown command"}));
}

TEST(ReadElements, AtMost2000Lines) {
  std::string lattice;
  for (int i = 0; i < 2000; ++i) lattice += " 1 drift 1 1 1\n";
  {
    InputRun r;
    r.file("linac.dat", lattice);
    std::int32_t nel = 0;
    ASSERT_EQ(r.run([&](ControlContext& s) { nel = ReadElements(s); }), 0);
    EXPECT_EQ(nel, 2000);
    EXPECT_EQ(r.sim->elements.elem_pos[2000], 2000.0);
  }
  {
    InputRun r;
    r.file("linac.dat", lattice + " ! a comment\n 1 drift 1 1 1\n");
    EXPECT_NE(r.run(ReadElements), 0);
    EXPECT_EQ(r.screen_lines().at(0),
              " linac.dat line 2002: more than 2000 element lines; the lattice holds at most 2000");
  }
}

}  // namespace
}  // namespace linac
