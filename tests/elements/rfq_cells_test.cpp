// The RFQ cell file: its lines, the sign chain and normalisation of the
// regular section, the positions and lengths, one record per rfq line, and
// the refusals of bad rfq lines and cell files while the lattice is read.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "cases/case_harness.hpp"
#include "run/sim.hpp"
#include "common/unit_numbers.hpp"
#include "elements/rfq/rfq_cells.hpp"
#include "elements/rfq/rfq_cells.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

using testing::fatal_text;
using testing::TempDir;
using testing::write_file;

TEST(RfqCellLine, NumbersAndTableToken) {
  struct Case {
    const char* line;
    std::vector<std::pair<int, double>> c;  // columns that must hold these values
    int table;
  };
  const Case cases[] = {
      // Only the numbers before the token are read.
      {"1 3.2 0 0.35 1.2 0 0.9 0.08 eh_EM.#07", {{2, 3.2}, {4, 0.35}, {5, 1.2}, {7, 0.9}, {8, 0.08}, {9, 0.0}}, 7},
      {"1 3.2 0 0.35 1.2 0", {{2, 3.2}, {6, 0.0}, {7, 0.0}, {14, 0.0}}, 0},
      // Found without regard to case; a blank digit reads as 0.
      {"2 1.5 0 0.3 1 3 0.5 EH_em.#1 ", {{2, 1.5}, {6, 3.0}, {7, 0.5}}, 10},
      {"3 1 0 0.3 1 0 1 2 3 4 5 6 7 8 99 98", {{7, 1.0}, {14, 8.0}}, 0},
  };
  for (const Case& k : cases) {
    const RfqCellLine l = parse_rfq_cell_line(k.line, "rfq.#01", 1);
    EXPECT_EQ(l.table, k.table) << k.line;
    for (const auto& [col, v] : k.c) EXPECT_EQ(l.c[col], v) << k.line << " column " << col;
  }
}

class RfqReader : public ::testing::Test {
 protected:
  void SetUp() override {
    sim->units.set_directory(dir.path());
    sim->units.open(kUnitLog, "log.dat");
    sim->rfq.AijRFQ.fill(1.0);
  }
  // Reads rfq.#01 with N cells for element line 5.
  void read(const std::string& text, int N, double concave = 1.0, double R = 0.4) {
    write_file(dir / "rfq.#01", text);
    RfqFlags& q = sim->rfq;
    q.rfq_ncells = N;
    q.rfq_volt = 80.0;
    q.rfq_R = R;
    q.rfq_phi0 = -30.0;
    q.rfq_concave = concave;
    read_rfq_cells(*sim, 5, 1);
  }
  TempDir dir;
  std::unique_ptr<Sim> sim = make_sim();
};

// -2, three regular cells with every term, +2, a fall cell after them and a
// regular cell after the break.
const char* kChain =
    "1 1.0 0 0.3 1.5 -2 0.9 0.05\n"
    "2 1.0 0 0.3 1.5 0 0.9 0.05 0.01 0.02 0.03 0.04 0.06 0.07\n"
    "3 1.2 0 0.3 1.5 0 0.9 0.05 0.01 0.02 0.03 0.04 0.06 0.07\n"
    "4 1.4 0 0.3 1.5 0 0.9 0.05 0.01 0.02 0.03 0.04 0.06 0.07\n"
    "5 1.4 0 0.3 1.5 2 0.9 0.05\n"
    "6 1.4 0 0.3 1.0 1 0.9 0.01 0.0 1.0\n"
    "7 1.4 0 0.3 1.5 0 0.9 0.05 0.01 0.02 0.03 0.04 0.06 0.07\n";

TEST_F(RfqReader, SignChainNormalisationAndPositions) {
  for (double concave : {1.0, -1.0}) {
    read(kChain, 7, concave);
    const RfqCellSet& s = sim->rfq_lines.by_line.at(5);
    EXPECT_EQ(s.ifirst, 2);
    EXPECT_EQ(s.ilast, 4);
    EXPECT_EQ(s.n0, 1) << "the entrance transition starts the accelerating section";
    // First regular cell: -concave, then alternating; the exit transition
    // continues the alternation, the entrance one takes concave.
    const double first = -concave;
    EXPECT_EQ(s.cells[2].c[8], first * 0.05);
    EXPECT_EQ(s.cells[3].c[8], -first * 0.05);
    EXPECT_EQ(s.cells[4].c[8], first * 0.05);
    EXPECT_EQ(s.cells[5].c[8], -first * 0.05);
    EXPECT_EQ(s.cells[1].c[8], concave * 0.05);
    // A regular cell after the break keeps its file values.
    EXPECT_EQ(s.cells[7].c[8], 0.05);
    EXPECT_EQ(s.cells[7].c[10], 0.02);
    for (int j = 2; j <= 4; ++j) {
      const RfqCell& c = s.cells[j];
      const double k = M_PI / c.len, kr = k * c.r0;
      const double sg = (j % 2 == 0) ? first : -first;
      // Table interpolation: relative error below (3 h)^2/4, h = 1.1 kmax/1000.
      const double tol = 9 * s.bessel.h * s.bessel.h / 4;
      EXPECT_EQ(c.c[9], 0.01) << "A03 is not normalised";
      EXPECT_NEAR(c.c[10], sg * 0.02 / std::cyl_bessel_i(4.0, kr), tol * std::abs(c.c[10]));
      EXPECT_NEAR(c.c[11], 0.03 / std::cyl_bessel_i(2.0, 2 * kr), tol * c.c[11]);
      EXPECT_NEAR(c.c[12], 0.04 / std::cyl_bessel_i(6.0, 2 * kr), tol * c.c[12]);
      EXPECT_NEAR(c.c[13], sg * 0.06 / std::cyl_bessel_i(0.0, 3 * kr), tol * std::abs(c.c[13]));
      EXPECT_NEAR(c.c[14], sg * 0.07 / std::cyl_bessel_i(4.0, 3 * kr), tol * std::abs(c.c[14]));
      EXPECT_EQ(c.volt, 80000.0);
      EXPECT_DOUBLE_EQ(c.amin, 2 * 0.3 / 2.5);
    }
    // Grid: 1.1 times the largest k (2R - a) of the regular section.
    const double kmax = (2 * 0.4 - 0.24) * M_PI / 1.0;
    EXPECT_NEAR(s.bessel.h, kmax * 1.100000023841858 / 1000, 1e-15);
    EXPECT_DOUBLE_EQ(s.cells[4].zstart, 3.2);
    EXPECT_DOUBLE_EQ(s.length, 1.0 + 1.0 + 1.2 + 1.4 + 1.4 + 1.4 + 1.4);
    EXPECT_DOUBLE_EQ(sim->rfq.rfq_length, s.length);
  }
}

TEST_F(RfqReader, SwitchesAndPreLength) {
  sim->rfq.AijRFQ = {0, 1, 0, 1, 0, 1, 0};  // A03, A21, A30 off
  read("1 0.8 0 0.3 1 -1 0.9 0.01 0 0.8\n2 0.5 0 0.3 1 -3 0.9\n3 1.0 0 0.3 1.5 0 0.9 0.05 0.01 0.02 0.03 0.04 0.06 0.07\n",
       3);
  const RfqCellSet& s = sim->rfq_lines.by_line.at(5);
  EXPECT_EQ(s.cells[3].c[9], 0.01);
  EXPECT_EQ(s.cells[3].c[10], 0.0);
  EXPECT_NE(s.cells[3].c[11], 0.0);
  EXPECT_EQ(s.cells[3].c[12], 0.0);
  EXPECT_NE(s.cells[3].c[13], 0.0);
  EXPECT_EQ(s.cells[3].c[14], 0.0);
  EXPECT_DOUBLE_EQ(s.pre_len, 1.3) << "the -1 and -3 cells before the regular section";
  EXPECT_EQ(s.n0, 3);
}

TEST_F(RfqReader, EveryRfqLineKeepsItsOwnCells) {
  write_file(dir / "rfq.#02", "1 2.0 0 0.3 1.2 0 0.8 0.02\n");
  read("1 1.0 0 0.3 1.5 0 0.9 0.05\n2 1.0 0 0.3 1.5 0 0.9 0.05\n", 2);
  sim->rfq.rfq_ncells = 1;
  read_rfq_cells(*sim, 9, 2);
  ASSERT_EQ(sim->rfq_lines.by_line.size(), 2u);
  EXPECT_EQ(sim->rfq_lines.by_line.at(5).ncells, 2);
  EXPECT_DOUBLE_EQ(sim->rfq_lines.by_line.at(5).length, 2.0);
  EXPECT_EQ(sim->rfq_lines.by_line.at(9).ncells, 1);
  EXPECT_DOUBLE_EQ(sim->rfq_lines.by_line.at(9).cells[1].c[7], 0.8);
}

// The cell file is found under the whole TABLE_DIR, however long (the
// directory here has 103 characters; a decoy with other cells stands where
// its first 65 characters would lead).
TEST_F(RfqReader, CellFileUnderALongTableDirectory) {
  const std::string deep = "t/" + std::string(100, 'R') + "/";
  std::filesystem::create_directories(dir / deep);
  write_file(dir / (deep + "rfq.#01"), "1 2.0 0 0.3 1.2 0 0.8 0.02\n");
  write_file(dir / (deep.substr(0, 65) + "rfq.#01"), "1 3.0 0 0.3 1.2 0 0.8 0.02\n");
  sim->tables.TABLE_DIR = deep;
  RfqFlags& q = sim->rfq;
  q.rfq_ncells = 1;
  q.rfq_volt = 80.0;
  q.rfq_R = 0.4;
  q.rfq_phi0 = -30.0;
  q.rfq_concave = 1.0;
  read_rfq_cells(*sim, 5, 1);
  const RfqCellSet& s = sim->rfq_lines.by_line.at(5);
  EXPECT_EQ(s.file_name, deep + "rfq.#01");
  EXPECT_DOUBLE_EQ(s.length, 2.0);
}

TEST_F(RfqReader, BadCellFilesAreRefusedNamingFileCellAndValue) {
  const std::string reg = "1 1.0 0 0.3 1.5 0 0.9 0.05\n";
  struct Case {
    std::string text;
    int N;
    std::string expect;  // part of the message
  };
  const Case cases[] = {
      {reg, 2, "1 lines, but the rfq line of element 5 asks for 2 cells"},
      {"1 1.0 0 0.3 x.5 0 0.9\n", 1, "x.5"},
      {"1 1.0 0 0.3 1.5 0 0.9 eh_EM.#x7\n", 1, "not followed by two digits"},
      {"1 1.0 0 0.3 1.5 0 0.9" + std::string(150, ' ') + "\n", 1, "characters; a cell line holds at most 160"},
      {"1 1.0 0 0.3 1.5 3 0.9\n", 1, " RFQ file must contain at least 1 reg. cell "},
      {"1 0.0 0 0.3 1.5 0 0.9\n", 1, "cell 1 (line 1): length L = 0 cm"},
      {reg + "2 1.0 0 -0.3 1.5 -3 0.9\n", 2, "cell 2 (line 2): mean aperture r0 = -0.3 cm"},
      {"1 1.0 0 0.3 -1 0 0.9\n", 1, "cell 1 (line 1): modulation m = -1"},
      {reg + "2 1.0 0 0.3 1 1 0.9 0 0.2 0\n", 2, "fall length Dfall = 0 cm"},
      {reg + "2 1.0 0 0.3 1.5 4 0.9 0.05 0 0 0 0 0.3\n", 2, "axial transition length d4 = 0 cm"},
      {reg + "2 1.0 0 0.3 1.5 4 0.9 0.05 0.3\n", 2, "vane transition length t4 = 0 cm"},
      {"1 1.0 0 0.9 1.0 0 0.9\n", 1, "2R = 0.8 cm does not exceed the minimum aperture a"},
  };
  for (const Case& k : cases) EXPECT_NE(fatal_text([&] { read(k.text, k.N); }).find(k.expect), std::string::npos)
      << k.text << "\n -> " << fatal_text([&] { read(k.text, k.N); });
  std::filesystem::remove(dir / "rfq.#01");
  EXPECT_NE(fatal_text([&] { read_rfq_cells(*sim, 5, 1); }).find("rfq.#01"), std::string::npos);
}

// The example's cell file (made by tools/make_rfq_cells: fall, transition,
// 40 regular cells, transition, fall, quadrupole and field-free cell) with
// one number replaced.
std::string example_cells_with(int line, int column, const std::string& value) {
  const auto path = std::filesystem::path(LINAC_TEST_DATA_DIR) / ".." / "examples" / "rfq_buncher" / "rfq.#01";
  std::istringstream in(testing::read_file(path));
  std::string text, row;
  for (int l = 1; std::getline(in, row); ++l) {
    if (l == line) {
      std::istringstream items(row);
      std::vector<std::string> c;
      for (std::string w; items >> w;) c.push_back(w);
      c.at(static_cast<std::size_t>(column - 1)) = value;
      row.clear();
      for (const auto& w : c) row += w + " ";
    }
    text += row + "\n";
  }
  return text;
}

constexpr int kExampleCells = 46;  // the example's rfq line: 46 cells, R = 0.3 cm

// Each number of a cell line outside its range stops the read naming the
// file, the line, the column and the value; the cell type is checked before
// anything derived from it (no integer conversion of 2147483648).
TEST_F(RfqReader, CellNumbersOutsideTheirRangesAreRefused) {
  struct Case {
    int line, column;
    std::string value;
    std::string words;  // the stop holds " rfq.#01 cell <line> (line <line>): " and these
  };
  std::vector<Case> cases = {
      {3, 7, "1e200", "A01 = 1e+200 (column 7); it must be within -1000 .. 1000"},
      {3, 4, "1e9", "mean aperture r0 = 1000000000 cm (column 4); it must be within 0.0001 .. 100 cm"},
      {3, 4, "1e-320", "mean aperture r0 = 1e-320 cm (column 4)"},
      {3, 4, "0", "mean aperture r0 = 0 cm (column 4)"},
      {46, 4, "1e-320", "mean aperture r0 = 1e-320 cm (column 4); it must be within 0.0001 .. 100 cm, or 0 in a "
                        "field-free cell"},
      {3, 2, "0.00001", "length L = 1e-05 cm (column 2); it must be within 0.0001 .. 1000 cm"},
      {3, 2, "2000", "length L = 2000 cm (column 2)"},
      {3, 5, "0.05", "modulation m = 0.05 (column 5); it must be within 0.1 .. 10"},
      {3, 5, "11", "modulation m = 11 (column 5)"},
      {44, 6, "2147483648", "cell type = 2147483648 (column 6); it must be a number whose nearest integer is "
                            "within -9 .. 9"},
      {44, 6, "1000", "cell type = 1000 (column 6)"},
      {44, 6, "1e9", "cell type = 1000000000 (column 6)"},
      {44, 6, "-99", "cell type = -99 (column 6)"},
      {44, 6, "9.5", "cell type = 9.5 (column 6)"},
      {1, 10, "0", "fall length Dfall = 0 cm (column 10)"},
      {44, 10, "1e-300", "fall length Dfall = 1e-300 cm (column 10)"},
      {44, 9, "-5000", "start of the fall z11 = -5000 cm (column 9)"},
      {45, 8, "1e300", "A03 = 1e+300 (column 8)"},
      {43, 8, "-1e300", "A10 = -1e+300 (column 8)"},
      {46, 11, "1e300", "coefficient = 1e+300 (column 11)"},
      {3, 1, "1e300", "c1 (not used) = 1e+300 (column 1)"},
      {3, 3, "-1e300", "c3 (not used) = -1e+300 (column 3)"},
  };
  // Every coefficient of a regular cell, at +-1e300.
  const char* names[] = {"A01", "A10", "A03", "A12", "A21", "A23", "A30", "A32"};
  for (int c = 7; c <= 14; ++c)
    for (const char* v : {"1e300", "-1e300"})
      cases.push_back({3, c, v, fmt::format("{} = {} (column {})", names[c - 7], std::stod(v), c)});
  for (const Case& k : cases) {
    const std::string text = example_cells_with(k.line, k.column, k.value);
    const std::string msg = fatal_text([&] { read(text, kExampleCells, 1.0, 0.3); });
    const std::string head = fmt::format(" rfq.#01 cell {0} (line {0}): ", k.line);
    EXPECT_NE(msg.find(head + k.words), std::string::npos)
        << "line " << k.line << " column " << k.column << " = " << k.value << "\n -> " << msg;
  }
}

// The limits themselves and what a real file holds are accepted: the
// example as made, the type's nearest integer at the ends of -9 .. 9, a
// field-free cell without aperture, coefficients of 1000.
TEST_F(RfqReader, CellNumbersAtTheirLimitsAreRead) {
  struct Case {
    int line, column;
    std::string value;
    int type;  // the type of that line as read
  };
  const Case cases[] = {
      {3, 1, "3", 0},       {46, 6, "-9", -9},  {46, 6, "9.4", 9}, {46, 6, "-9.4", -9},
      {46, 4, "0", 7},      {45, 6, "5", 5},    {3, 7, "1000", 0}, {3, 14, "-1000", 0},
      {3, 5, "0.1", 0},     {44, 9, "-1000", 1}, {46, 2, "1000", 7},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(fmt::format("line {} column {} = {}", k.line, k.column, k.value));
    read(example_cells_with(k.line, k.column, k.value), kExampleCells, 1.0, 0.3);
    const RfqCellSet& s = sim->rfq_lines.by_line.at(5);
    EXPECT_EQ(s.cells[static_cast<std::size_t>(k.line)].type, k.type);
    EXPECT_EQ(s.ifirst, 3);
    EXPECT_EQ(s.ilast, 42);
  }
}

// A cell much shorter than the aperture would need the Bessel functions
// beyond the range of finite numbers (I_0(y) overflows near y = 713, and the
// grid holds 3.3 times k (2R - a)): refused, naming the file and the reach.
TEST_F(RfqReader, ApertureFarBeyondTheCellLengthIsRefused) {
  // L = 1e-3 cm, R = 0.3 cm, a = 0.6/2.2 cm: k (2R - a) = pi 0.327/1e-3 = 1028.
  const std::string msg = fatal_text([&] { read(example_cells_with(3, 2, "0.001"), kExampleCells, 1.0, 0.3); });
  EXPECT_NE(msg.find(" rfq.#01: k (2R - a) = 1028."), std::string::npos) << msg;
  EXPECT_NE(msg.find("tabulated for k (2R - a) up to 200"), std::string::npos) << msg;
}

// The ends of the Bessel table (its interior against std::cyl_bessel_i is
// checked with the field): at the largest reach the reader allows, every
// order at the last node is finite and equals the closed-form I_n(m x) to
// the library routine's accuracy; beyond the last node the last interval
// is continued linearly and below 0 the first, so no argument reads outside
// the table; a non-finite argument gives a non-finite value in the particle
// loops and a stop elsewhere.
TEST(RfqBessel, TableEndsAndArgumentsBeyondThem) {
  auto sim = make_sim();
  for (const double reach : {2.0, kRfqMaxBesselReach}) {
    SCOPED_TRACE(reach);
    RfqBesselTable t;
    build_bessel_table(*sim, reach * 1.100000023841858 / 1000.0, t);
    // I_n(m x) of order n at multiple m, from the lookup.
    auto got = [](const RfqBessel& b, int m, int n) {
      const auto k = static_cast<std::size_t>(n);
      return m == 1 ? b.B1[k] : m == 2 ? b.B2[k] : b.B3[k];
    };
    const int orders[] = {0, 6, 8, 6};
    for (int j : {1, kBesselNodes}) {
      const double x = j * t.h;
      const RfqBessel b = rfq_bessel_interp(t, x, 8);
      for (int m = 1; m <= 3; ++m)
        for (int n = 0; n < orders[m]; ++n) {
          const double I = std::cyl_bessel_i(static_cast<double>(n), m * x);
          ASSERT_TRUE(std::isfinite(got(b, m, n)));
          EXPECT_NEAR(got(b, m, n), I, 1e-9 * I) << "node " << j << " I_" << n << "(" << m << "x)";
        }
    }
    const auto& r0 = t.rows[0];
    const auto& r1 = t.rows[1];
    const auto& p = t.rows[kBesselNodes - 1];
    const auto& q = t.rows[kBesselNodes];
    const double last = kBesselNodes * t.h;
    for (double x : {last + 0.5 * t.h, 3.0 * last, 1e6, 1e12, -0.5 * t.h, -1e9}) {
      SCOPED_TRACE(x);
      const bool above = x > 0.0;
      const double f = above ? (x - (kBesselNodes - 1) * t.h) / t.h : x / t.h;
      const auto& lo = above ? p : r0;
      const auto& hi = above ? q : r1;
      const RfqBessel b = rfq_bessel_interp(t, x, 2);
      EXPECT_DOUBLE_EQ(b.B1[0], lo[0] + f * (hi[0] - lo[0]));
      EXPECT_DOUBLE_EQ(b.B1[1], (lo[1] + f * (hi[1] - lo[1])) * x * 0.5);
      double T0 = 0.0, T1 = 0.0;
      rfq_bessel_ratio01(t, x, T0, T1);
      EXPECT_EQ(T0, b.B1[0]);
      EXPECT_DOUBLE_EQ(T1 * 0.5 * x, b.B1[1]);
      const RfqBessel b8 = rfq_bessel_interp(t, x, 8);
      EXPECT_EQ(b8.B1[0], b.B1[0]);
      if (std::abs(x) <= 3.0 * last) {
        for (int m = 1; m <= 3; ++m)
          for (int n = 0; n < orders[m]; ++n) EXPECT_TRUE(std::isfinite(got(b8, m, n))) << m << " " << n;
      }
    }
    for (double x : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
      const RfqBessel b = rfq_bessel_interp(t, x, 8);
      EXPECT_FALSE(std::isfinite(b.B1[0]) && std::isfinite(b.B1[1]));
      const std::string msg = fatal_text([&] { rfq_bessel_checked(t, x, 8, "rfq.#01 cell 3"); });
      EXPECT_NE(msg.find(" rfq.#01 cell 3: the modified Bessel functions are asked for at k r = "), std::string::npos)
          << msg;
      EXPECT_NE(msg.find("must be a finite number"), std::string::npos) << msg;
    }
  }
}

// The rfq line itself, refused while the lattice is read.
TEST(RfqLattice, BadRfqLinesAreRefusedNamingTheLine) {
  struct Case {
    const char* line;
    const char* expect;
  };
  const Case cases[] = {
      {"2 rfq 80 0 0.4 -30 1 10 1 0", "parameter \"concave\" must be equal to +1 or -1"},
      {"0 rfq 80 0 0.4 -30 1 10", "0 cells; an RFQ holds 1..500"},
      {"501 rfq 80 0 0.4 -30 1 10", "501 cells; an RFQ holds 1..500"},
      {"2 rfq 80 0 0.4 -30 1 0", "0 steps per cell (made even); a cell takes 2..800"},
      {"2 rfq 80 0 0.4 -30 1 801", "802 steps per cell (made even)"},
      {"2 rfq 80 0 0 -30 1 10", "aperture radius R = 0 cm"},
      {"2 rfq 80 0 0.4 -30 -1 10", "harmonic P5 = -1"},
      {"2 rfq 80 0 1e-320 -30 1 10", "aperture radius R = 1e-320 cm; it must be within 0.0001 .. 100 cm"},
      {"2 rfq 80 0 1e3 -30 1 10", "aperture radius R = 1000 cm"},
      {"2 rfq 1e5 0 0.4 -30 1 10", "inter-vane voltage V = 100000 kV; it must be within -10000 .. 10000 kV"},
      {"2 rfq 80 0 0.4 -1e6 1 10", "phase phi = -1000000 deg; it must be within -100000 .. 100000 deg"},
  };
  for (const Case& k : cases) {
    testing::CaseRun run("cases/rfq_cells");
    testing::write_file(run.dir / "sclinac.dat", std::string("1 prmtr harm=1\n1 prmtr iflag_t=1\n") + k.line + "\nstop\n");
    const std::string msg = fatal_text([&] { run.read_inputs(); });
    EXPECT_NE(msg.find(k.expect), std::string::npos) << k.line << " -> " << msg;
    if (std::string(k.expect).find("concave") == std::string::npos) {
      EXPECT_NE(msg.find("line 3"), std::string::npos) << msg;
    }
  }
}

TEST(RfqLattice, ElementLengthIsTheSumOfTheCells) {
  testing::CaseRun run("cases/rfq_cells");
  testing::write_file(run.dir / "rfq.#01", "1 1.25 0 0.3 1.5 -1 0.9 0 0 1.25\n2 1.5 0 0.3 1.5 0 0.9 0.05\n");
  testing::write_file(run.dir / "sclinac.dat", "1 prmtr harm=1\n1 prmtr iflag_t=1\n2 rfq 80 99.0 0.4 -30 1 9\n1 drift 10 1 1\nstop\n");
  run.read_inputs();
  const Sim& s = *run.sim;
  EXPECT_DOUBLE_EQ(s.elements.elem_pos[3] - s.elements.elem_pos[2], 2.75) << "not P2";
  EXPECT_EQ(s.elements.elem_int[3][11], 10) << "9 steps are made 10";
  EXPECT_EQ(s.elements.elem_int[3][12], 1) << "the cell file defaults to 1";
}

}  // namespace
}  // namespace linac
