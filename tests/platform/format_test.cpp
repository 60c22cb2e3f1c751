#include "platform/format.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/fatal.hpp"
#include "platform/screen.hpp"
#include "platform/units.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

// ---------------------------------------------------------------------------
// Golden table: format texts, items and the records that gfortran 12 wrote
// for them (tools/make_format_golden.f90). Values are stored by their bits,
// so the items are exactly those that gfortran formatted.

struct GoldenCase {
  int line = 0;            // line of the "C"/"L" header in the fixture
  bool list = false;       // list-directed write
  std::string fmt;
  std::vector<char> kinds;  // 'i', 'd', 'f', 's'
  std::vector<std::string> values;
  std::vector<std::string> records;

  std::vector<FmtItem> items() const {
    std::vector<FmtItem> out;
    for (std::size_t k = 0; k < kinds.size(); ++k) {
      const std::string& v = values[k];
      switch (kinds[k]) {
        case 'i': out.emplace_back(static_cast<std::int32_t>(std::stol(v))); break;
        case 'd': out.emplace_back(std::bit_cast<double>(static_cast<std::uint64_t>(std::stoull(v, nullptr, 16)))); break;
        case 'f': out.emplace_back(std::bit_cast<float>(static_cast<std::uint32_t>(std::stoul(v, nullptr, 16)))); break;
        default: out.emplace_back(std::string_view(v)); break;
      }
    }
    return out;
  }
  std::string describe() const {
    std::ostringstream s;
    s << "fixture line " << line << ": " << (list ? std::string("list-directed") : fmt) << " items";
    for (std::size_t k = 0; k < kinds.size(); ++k) s << " " << kinds[k] << ":" << values[k];
    return s.str();
  }
};

std::vector<GoldenCase> read_golden() {
  const std::string path = std::string(LINAC_TEST_DATA_DIR) + "/platform/data/fortran_format_golden.txt";
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "missing fixture " << path;
  std::vector<GoldenCase> cases;
  GoldenCase cur;
  std::string line;
  int n = 0;
  bool open = false;
  while (std::getline(in, line)) {
    ++n;
    if (line.rfind("C ", 0) == 0 || line == "L") {
      EXPECT_FALSE(open) << "unterminated case before line " << n;
      cur = GoldenCase{};
      cur.line = n;
      cur.list = line == "L";
      if (!cur.list) cur.fmt = line.substr(2);
      open = true;
    } else if (line.rfind("I ", 0) == 0 && line.size() >= 4) {
      cur.kinds.push_back(line[2]);
      cur.values.push_back(line.size() > 4 ? line.substr(4) : std::string());
    } else if (line.rfind("R [", 0) == 0 && line.back() == ']') {
      cur.records.push_back(line.substr(3, line.size() - 4));
    } else if (line == "E") {
      cases.push_back(cur);
      open = false;
    } else {
      ADD_FAILURE() << "unreadable fixture line " << n << ": " << line;
    }
  }
  EXPECT_FALSE(open);
  return cases;
}

TEST(FormatGolden, EveryRowMatchesGfortran) {
  const auto cases = read_golden();
  ASSERT_FALSE(cases.empty());
  int failures = 0;
  for (const auto& c : cases) {
    std::vector<FmtItem> items = c.items();
    std::vector<std::string> got;
    if (c.list) {
      // A list-directed write gives one record here.
      got.push_back(list_directed(items));
    } else {
      got = FortranFormat(c.fmt).write(items);
    }
    if (got != c.records) {
      ++failures;
      std::ostringstream s;
      for (const auto& r : got) s << "[" << r << "]";
      std::ostringstream w;
      for (const auto& r : c.records) w << "[" << r << "]";
      if (failures <= 60) ADD_FAILURE() << c.describe() << "\n  got    " << s.str() << "\n  wanted " << w.str();
    }
  }
  EXPECT_EQ(failures, 0) << "of " << cases.size() << " cases";
}

// ---------------------------------------------------------------------------
// Layouts of the system's files. Expected texts are built from the layout
// rules field by field (a column count and the Fortran editing of simple
// values), independently of the writer.

std::string blanks(std::size_t n) { return std::string(n, ' '); }

struct LayoutCase {
  std::string fmt;
  std::vector<FmtItem> items;
  std::vector<std::string> records;
};

TEST(FormatLayouts, RecordsOfTheSystemsLayouts) {
  const std::string e15_1 = "    0.10000E+01", e15_m25 = "   -0.25000E+01", e15_125 = "    0.12500E+00",
                    e15_m3 = "    0.10000E-02", e15_0 = "    0.00000E+00";
  const std::string tr3 = blanks(3);
  const std::vector<LayoutCase> cases = {
      {"(I5,A9,4E15.5)",
       {12, std::string_view(" x(cm)"), 1.0, -2.5, 0.125, 1e-3},
       {"   12" + blanks(3) + " x(cm)" + e15_1 + e15_m25 + e15_125 + e15_m3}},
      // A text longer than its field keeps its first characters.
      {"(A17,A25)",
       {std::string_view("abc"), std::string_view("a text longer than twenty-five")},
       {blanks(14) + "abc" + "a text longer than twenty"}},
      // Eight groups but six values: the record ends after the sixth field;
      // the blanks of the seventh TR3 are not written (7+7+6*18 = 122).
      {"(I7,I7,8(TR3,E15.5))",
       {1, -2, 1.0, -2.5, 0.125, 1e-3, 0.0, 1.0},
       {"      1     -2" + tr3 + e15_1 + tr3 + e15_m25 + tr3 + e15_125 + tr3 + e15_m3 + tr3 + e15_0 + tr3 + e15_1}},
      // Text, scale-free F fields and nested repeats: 4+2+5+2*6+2*6*12+3*12+9*12 = 311.
      {"(I4,TR2,A5,2F6.1,2(3F12.3,3F12.7),3F12.3,3(3F12.7))",
       {7, std::string_view("drift"), 1.25, -0.75, 1.0, 2.0, 3.0, 0.5, 0.25, 0.125, -1.0, -2.0, -3.0, -0.5, -0.25,
        -0.125, 10.0, 20.0, 30.0, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9},
       {"   7" + blanks(2) + "drift" + "   1.2" + "  -0.8" + "       1.000       2.000       3.000" +
        "   0.5000000   0.2500000   0.1250000" + "      -1.000      -2.000      -3.000" +
        "  -0.5000000  -0.2500000  -0.1250000" + "      10.000      20.000      30.000" +
        "   0.1000000   0.2000000   0.3000000   0.4000000   0.5000000   0.6000000   0.7000000   0.8000000"
        "   0.9000000"}},
      // Reversion to the last top-level group with its repeat count.
      {"(I4,3(2I3))",
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
       {"   1  2  3  4  5  6  7", "  8  9 10 11 12 13", " 14 15"}},
      // Reversion to the start when there is no group; 3 records.
      {"(E25.15,I15)",
       {1.0, 3, -2.5, 4, 0.125},
       {"    0.100000000000000E+01" + blanks(14) + "3", "   -0.250000000000000E+01" + blanks(14) + "4",
        "    0.125000000000000E+00"}},
      // Literals before the first field without a value are written.
      {"(A10,F12.4,A8)", {std::string_view("  gam="), 1.5}, {"      gam=      1.5000"}},
      {"(2(A10,I3),A30)", {std::string_view("a"), 1, std::string_view("b"), 22, std::string_view("end")},
       {blanks(9) + "a  1" + blanks(9) + "b 22" + blanks(27) + "end"}},
      {"(28X,A8,I5,A2)", {std::string_view("* Seed#"), 3, std::string_view(" *")},
       {blanks(28) + " * Seed#    3 *"}},
      {"(TR5,A32,I6,TR6,I6,TR4,'(Called internally)')", {std::string_view("DSPLIN"), 3, 1},
       {blanks(5) + blanks(26) + "DSPLIN" + "     3" + blanks(6) + "     1" + blanks(4) + "(Called internally)"}},
      // 1PD24.15 and 1PE14.6: one digit before the point.
      {"(1PD24.15)", {1.5}, {"   1.500000000000000D+00"}},
      {"(1PE14.6)", {-1.5e-10}, {" -1.500000E-10"}},
      // Slash inside the layout: three records from one write.
      {"(A58,A5,A1,/,A58,F6.3,A4,F6.3,A9,/,A72)",
       {std::string_view(" The field of \""), std::string_view("quad "), std::string_view("\""),
        std::string_view(" from z="), 0.5, std::string_view(" to "), 12.25, std::string_view(" cm"),
        std::string_view("x")},
       {blanks(43) + " The field of \"quad \"", blanks(50) + " from z= 0.500 to 12.250" + blanks(6) + " cm",
        blanks(71) + "x"}},
  };
  for (const auto& c : cases) {
    auto got = FortranFormat(c.fmt).write(std::span<const FmtItem>(c.items));
    EXPECT_EQ(got, c.records) << c.fmt;
  }
  // The two long records of the brief's examples.
  EXPECT_EQ(FortranFormat("(I7,I7,8(TR3,E15.5))").write(std::span<const FmtItem>(cases[2].items))[0].size(), 122u);
  EXPECT_EQ(FortranFormat(cases[3].fmt).write(std::span<const FmtItem>(cases[3].items))[0].size(), 311u);
}

TEST(FormatLayouts, ScaleFactorAndStateDoNotLeakBetweenWrites) {
  FortranFormat f("(F8.3,1PE12.4)");
  // The 1P of the first write must not scale the F field of the second.
  auto first = f.write({2.5, 2.5, 2.5, 2.5});
  EXPECT_EQ(first, (std::vector<std::string>{"   2.500  2.5000E+00", "  25.000  2.5000E+00"}));
  EXPECT_EQ(f.write({2.5}), std::vector<std::string>{"   2.500"});
  EXPECT_EQ(f.text(), "(F8.3,1PE12.4)");
}

TEST(FormatLayouts, MixedKindsAreConverted) {
  // An integer through F/E/D is the real of the same value.
  EXPECT_EQ(format_records("(F8.3,E12.4,D12.4)", {5, -3, 0}),
            std::vector<std::string>{"   5.000 -0.3000E+01  0.0000D+00"});
  // A real through I is truncated toward zero; beyond the integer range or
  // NaN the field is asterisks.
  EXPECT_EQ(format_records("(5I5)", {2.7, -2.7, 1e30, std::nan(""), 99999.9f}),
            std::vector<std::string>{"    2   -2**********99999"});
  // -0.5 truncates to the integer 0, which has no sign.
  EXPECT_EQ(format_records("(I3.2)", {-0.5}), std::vector<std::string>{" 00"});
}

TEST(FormatLayouts, WideFieldsMatchPrintf) {
  // Fields far wider than any buffer: compared with the C library's own
  // correctly rounded conversion.
  char want[512];
  std::snprintf(want, sizeof want, "%410.300f", 1.2345e100);
  EXPECT_EQ(format_records("(F410.300)", {1.2345e100}), std::vector<std::string>{want});
  std::snprintf(want, sizeof want, "%.99e", -6.02214076e23);  // -d.ddd...e+23
  std::string mantissa = std::string(want).substr(1, 101);     // "d.ddd..."
  std::string expect = "-0." + mantissa.substr(0, 1) + mantissa.substr(2, 99) + "E+24";
  EXPECT_EQ(format_records("(E110.100)", {-6.02214076e23}),
            std::vector<std::string>{std::string(110 - expect.size(), ' ') + expect});
  // Plain C texts are taken as text items.
  EXPECT_EQ(format_records("(A,I2)", {"x", 4}), std::vector<std::string>{"x 4"});
}

TEST(FormatLayouts, FloatItemsShowSinglePrecisionDigits) {
  // 0.1f is 0.100000001490116119384765625 exactly; a double near 0.1 is not.
  EXPECT_EQ(format_records("(F20.15,E16.9)", {0.1f, 0.1f}),
            std::vector<std::string>{"   0.100000001490116 0.100000001E+00"});
  EXPECT_EQ(list_directed({0.1f}), "  0.100000001    ");
}

TEST(FormatLayouts, ListDirectedSeedRecords) {
  EXPECT_EQ(list_directed({std::string_view(" end of seed No."), 0}), "  end of seed No.           0");
  EXPECT_EQ(list_directed({std::string_view(" Nseed"), 12}), "  Nseed          12");
  EXPECT_EQ(list_directed({std::string_view("a"), std::string_view("b")}), " ab");
  EXPECT_EQ(list_directed({1.0}), "   1.0000000000000000     ");
  EXPECT_EQ(list_directed(std::span<const FmtItem>()), "");
}

// ---------------------------------------------------------------------------
// Errors: each stops the run with a message that quotes the format text.

TEST(FormatErrors, MalformedTextsStopTheRun) {
  const char* bad[] = {"I5",      "(I5",    "(I5,)",   "(,I5)",  "(Q5)",   "(F8)",    "(E10)",  "(I0)",
                       "(F0.3)",  "(0I5)",  "('abc)",  "(I5 I5)", "(TR)",   "(P)",     "(I5))",  "(2('x')",
                       "(I5.6)",  "(F8.)",  "(3TR2)",  "(-I5)",   "()x",    "(A0)",    "(2'x')", "((I5)"};
  for (const char* text : bad) {
    try {
      FortranFormat f(text);
      ADD_FAILURE() << "accepted " << text;
    } catch (const FatalStop& e) {
      ASSERT_FALSE(e.lines().empty());
      EXPECT_NE(e.lines()[0].find(std::string("\"") + text + "\""), std::string::npos) << e.lines()[0];
    }
  }
}

TEST(FormatErrors, WrongItemsStopTheRun) {
  struct Case {
    std::string fmt;
    std::vector<FmtItem> items;
  };
  const std::vector<Case> cases = {
      {"(I5)", {std::string_view("x")}},   // text to a number field
      {"(F8.3)", {std::string_view("x")}},
      {"(A5)", {5}},                       // number to a text field
      {"(A)", {1.5}},
      {"(E10.0)", {1.5}},                  // no significant digit
      {"(3PE10.1)", {1.5}},                // scale factor beyond d + 1
      {"('abc')", {1}},                    // items but no data descriptor
      {"(I5,('x'))", {1, 2}},              // none in the part reverted to
  };
  for (const auto& c : cases) {
    FortranFormat f(c.fmt);
    try {
      f.write(std::span<const FmtItem>(c.items));
      ADD_FAILURE() << "accepted " << c.fmt;
    } catch (const FatalStop& e) {
      EXPECT_NE(e.lines()[0].find("\"" + c.fmt + "\""), std::string::npos) << e.lines()[0];
    }
  }
}

// ---------------------------------------------------------------------------
// Writing to units and the parsed-format cache.

TEST(FormatUnits, RecordsGoToFilesAndScreen) {
  testing::TempDir tmp;
  std::ostringstream screen_text;
  Screen screen(screen_text);
  Units units(screen);
  units.set_directory(tmp.path());
  units.open(30, "log.dat");
  write_formatted(units, 30, "(A10,F15.6)", {std::string_view("  gam="), 1.25});
  const FortranFormat two("(2I3)");
  write_formatted(units, 30, two, {1, 2, 3});
  std::vector<FmtItem> items = {std::string_view("x"), 4};
  write_formatted(units, kScreenUnit, "(A,I2)", std::span<const FmtItem>(items));
  write_formatted(units, kScreenUnit, two, std::span<const FmtItem>(items.data() + 1, 1));
  units.close(30);
  EXPECT_EQ(testing::read_lines(tmp / "log.dat"),
            (std::vector<std::string>{"      gam=       1.250000", "  1  2", "  3"}));
  EXPECT_EQ(screen_text.str(), "x 4\n  4\n");
}

TEST(FormatUnits, CacheParsesEachTextOnce) {
  FormatCache cache;
  const FortranFormat& a = cache.get("(I5,A9,4E15.5)");
  const FortranFormat& b = cache.get(std::string("(I5,A9,") + "4E15.5)");
  const FortranFormat& c = cache.get("(I5)");
  EXPECT_EQ(&a, &b);
  EXPECT_NE(&a, &c);
  EXPECT_EQ(c.write({42}), std::vector<std::string>{"   42"});
  // A malformed text is reported and not kept.
  EXPECT_THROW(cache.get("(I5"), FatalStop);
  EXPECT_THROW(cache.get("(I5"), FatalStop);
}

}  // namespace
}  // namespace linac
