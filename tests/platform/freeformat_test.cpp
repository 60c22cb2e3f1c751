#include "platform/freeformat.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>

#include "platform/fatal.hpp"
#include "platform/units.hpp"
#include "scratch_units.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

using linac::testing::write_file;

using linac::testing::fatal_message;

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(ParseIntItem, GoodAndBad) {
  struct Good {
    const char* item;
    std::int32_t value;
  };
  const Good good[] = {{"0", 0},           {"7", 7},           {"+7", 7},
                       {"-7", -7},         {"007", 7},         {"-0", 0},
                       {"2147483647", 2147483647}, {"-2147483648", -2147483647 - 1}};
  for (const auto& c : good) {
    const auto v = parse_int_item(c.item);
    ASSERT_TRUE(v.has_value()) << c.item;
    EXPECT_EQ(*v, c.value) << c.item;
  }
  // Reals, exponents, stray signs, blanks and values beyond 32 bits are not integers.
  const char* bad[] = {"",   "+",  "-",    "1.0", "1.", "1e3", "--1", "+-1", "1-", "1 ",
                       "x1", "1x", "0x10", "2147483648", "-2147483649", "99999999999999999999"};
  for (const char* item : bad) EXPECT_FALSE(parse_int_item(item).has_value()) << "'" << item << "'";
}

TEST(ParseRealItem, GoodValuesMatchTheCompilersConversion) {
  // The expected values are the compiler's own correctly rounded literals.
  struct Good {
    const char* item;
    double value;
  };
  const Good good[] = {
      {"10", 10.0},          {"10.", 10.0},         {".5", 0.5},           {"-.5e-3", -0.5e-3},
      {"1e3", 1e3},          {"1E+3", 1e3},         {"1.5D3", 1.5e3},      {"1.5d-3", 1.5e-3},
      {"+2", 2.0},           {"-7", -7.0},          {"0.1", 0.1},          {"3.14159265358979323846", 3.14159265358979323846},
      {"1e-310", 1e-310},    {"4.9e-324", 4.9e-324}, {"1.7976931348623157e308", 1.7976931348623157e308},
      {"123456789012345678901234567890", 123456789012345678901234567890.0},
      {"0.000000000000000000000000000001e+30", 1.0}, {"1.E0", 1.0}, {"1e007", 1e7},
  };
  for (const auto& c : good) {
    const auto v = parse_real_item(c.item);
    ASSERT_TRUE(v.has_value()) << c.item;
    EXPECT_TRUE(same_bits(*v, c.value)) << c.item << " gave " << *v;
  }
  // Below the smallest denormal: a zero that keeps its sign.
  const auto tiny = parse_real_item("-1e-400");
  ASSERT_TRUE(tiny.has_value());
  EXPECT_TRUE(same_bits(*tiny, -0.0));
  const auto zero = parse_real_item("-0.0");
  ASSERT_TRUE(zero.has_value());
  EXPECT_TRUE(same_bits(*zero, -0.0));
}

TEST(ParseRealItem, BadItems) {
  const char* bad[] = {"",     "1.2.3", "e5",   "abc", "1e",     "--1",   "+",     "-",      ".",    ".e5",
                       "1e+",  "1e5.",  "1.5q3", "inf", "nan",   "-inf",  "infinity", "1,5", "0x1p3", "1e999",
                       "1.5+3", " 1",   "1 ",   "1d5d", "+-1",   "1ee5"};
  for (const char* item : bad) EXPECT_FALSE(parse_real_item(item).has_value()) << "'" << item << "'";
}

TEST(FreeLine, ItemsSeparatedByBlanksTabsAndCommas) {
  FreeLine line("  12\tdrift1 ,-2.5D1,  .5 , x", "sclinac.dat", 3);
  EXPECT_EQ(line.items_left(), 5u);
  EXPECT_EQ(line.read_int(), 12);
  EXPECT_EQ(line.read_text(5), "drift");  // cut to the asked length
  EXPECT_EQ(line.read_real(), -25.0);
  EXPECT_EQ(line.read_real(), 0.5);
  EXPECT_FALSE(line.at_end());
  EXPECT_EQ(line.read_text(8), "x");  // a short item is not padded
  EXPECT_TRUE(line.at_end());
  EXPECT_EQ(line.items_left(), 0u);
  EXPECT_EQ(line.file(), "sclinac.dat");
  EXPECT_EQ(line.line_number(), 3);
}

TEST(FreeLine, EmptyAndCommaOnlyLines) {
  EXPECT_TRUE(FreeLine("", "f", 1).at_end());
  EXPECT_TRUE(FreeLine(" \t \r", "f", 1).at_end());
  // A trailing comma adds no item; a comma after a comma is an empty item.
  EXPECT_EQ(FreeLine("1 2,", "f", 1).items_left(), 2u);
  EXPECT_EQ(FreeLine("1,,2", "f", 1).items_left(), 3u);
  EXPECT_EQ(FreeLine(",1", "f", 1).items_left(), 2u);
  EXPECT_EQ(FreeLine("1 , 2", "f", 1).items_left(), 2u);
}

TEST(FreeLine, ErrorsNameFileLineAndItem) {
  struct Case {
    const char* line;
    int what;  // 0 int, 1 real, 2 text; the failing read comes after `skip` good text reads
    int skip;
    const char* message;
  };
  const Case cases[] = {
      {"1 cav x1", 0, 2, " input error in sclinac.dat line 3: 'x1' is not an integer"},
      {"1.0", 0, 0, " input error in sclinac.dat line 3: '1.0' is not an integer"},
      {"1 cav 1.2.3", 1, 2, " input error in sclinac.dat line 3: '1.2.3' is not a real number"},
      {"1,,2", 1, 1, " input error in sclinac.dat line 3: '' is not a real number"},
      {"1 cav", 1, 2, " input error in sclinac.dat line 3: item 3 missing, a real number expected"},
      {"1 cav", 0, 2, " input error in sclinac.dat line 3: item 3 missing, an integer expected"},
      {"", 2, 0, " input error in sclinac.dat line 3: item 1 missing, a text expected"},
  };
  for (const auto& c : cases) {
    FreeLine line(c.line, "sclinac.dat", 3);
    for (int k = 0; k < c.skip; ++k) line.read_text(10);
    const std::string msg = fatal_message([&] {
      if (c.what == 0) line.read_int();
      if (c.what == 1) line.read_real();
      if (c.what == 2) line.read_text(5);
    });
    EXPECT_EQ(msg, c.message) << c.line;
  }
}

TEST(FreeLine, CountingModeStopsAtTheFirstNonNumber) {
  double v[9] = {};
  FreeLine a("1 2.5 -3e1 x 5", "f", 1);
  EXPECT_EQ(a.read_reals_counting(v, 9), 3);
  EXPECT_EQ(v[0], 1.0);
  EXPECT_EQ(v[1], 2.5);
  EXPECT_EQ(v[2], -30.0);
  EXPECT_EQ(a.read_text(5), "x");  // the item that stopped the count is still there

  FreeLine b("1 2 3 4 5 6 7 8 9 10 11", "f", 1);
  EXPECT_EQ(b.read_reals_counting(v, 9), 9);
  EXPECT_EQ(v[8], 9.0);
  EXPECT_EQ(b.items_left(), 2u);

  FreeLine c("", "f", 1);
  EXPECT_EQ(c.read_reals_counting(v, 9), 0);
  FreeLine d("1,,2", "f", 1);
  EXPECT_EQ(d.read_reals_counting(v, 9), 1);  // the empty item is not a number
}

class FreeStreamTest : public linac::testing::ScratchUnitsTest {};

TEST_F(FreeStreamTest, ReadsAcrossLinesAndSkipsBlankLines) {
  write_file(tmp_ / "uds.txt", "1 2\n\n   \n3\r\n\t4, 5\n");
  FreeStream s(units_, "uds.txt");
  EXPECT_EQ(s.file(), "uds.txt");
  EXPECT_EQ(s.read_int(), 1);
  EXPECT_EQ(s.read_real(), 2.0);
  EXPECT_EQ(s.read_real(), 3.0);
  EXPECT_EQ(s.line_number(), 4);
  EXPECT_EQ(s.read_int(), 4);
  EXPECT_FALSE(s.at_end());
  EXPECT_EQ(s.read_real(), 5.0);
  EXPECT_TRUE(s.at_end());
  EXPECT_EQ(fatal_message([&] { s.read_real(); }),
            " input error in uds.txt line 5: end of file, a real number expected");
}

TEST_F(FreeStreamTest, FirstNumberOfEachLineHoldingAValue) {
  // fi_in.dat: one phase per line; further numbers and blank lines are passed over.
  write_file(tmp_ / "fi_in.dat", "-90 7 8\n\n  \n12.5\n3e1 junk\n\n");
  FreeStream s(units_, "fi_in.dat");
  EXPECT_EQ(s.next_line_first_real(), -90.0);
  EXPECT_EQ(s.next_line_first_real(), 12.5);
  EXPECT_EQ(s.line_number(), 4);
  EXPECT_FALSE(s.at_end());  // looks ahead to line 5 without losing it
  EXPECT_EQ(s.next_line_first_real(), 30.0);
  EXPECT_TRUE(s.at_end());
  EXPECT_EQ(s.next_line_first_real(), std::nullopt);
}

TEST_F(FreeStreamTest, NextLineSkipsTheRestOfAStartedLine) {
  write_file(tmp_ / "f.txt", "1 2 3\n4 5\n6\n");
  FreeStream s(units_, "f.txt");
  EXPECT_EQ(s.read_int(), 1);
  EXPECT_EQ(s.next_line_first_real(), 4.0);  // "2 3" are left behind with line 1
  EXPECT_EQ(s.read_int(), 6);                // the rest of line 2 was skipped too
  EXPECT_TRUE(s.at_end());
}

TEST_F(FreeStreamTest, ANewRecordDropsTheRestOfTheLineOnly) {
  // Reads that each begin a new record: a read may run on over further
  // lines, what it leaves of its last line is dropped, and a line already
  // looked at but not yet read is kept.
  write_file(tmp_ / "f.txt", "1 2 3\n4\n5 6\n7 8\n\n9\n");
  FreeStream s(units_, "f.txt");
  EXPECT_EQ(s.read_int(), 1);
  s.next_record();
  EXPECT_EQ(s.read_int(), 4);
  EXPECT_EQ(s.read_int(), 5);  // the same read runs on over line 3
  s.next_record();
  EXPECT_EQ(s.read_int(), 7);
  EXPECT_EQ(s.read_int(), 8);
  EXPECT_FALSE(s.at_end());  // looks ahead to line 6
  s.next_record();
  EXPECT_EQ(s.read_int(), 9);
  s.next_record();
  EXPECT_TRUE(s.at_end());
}

TEST_F(FreeStreamTest, BadItemsAndEmptyOrMissingFiles) {
  write_file(tmp_ / "fi_in.dat", "\n10\nphase\n");
  {
    FreeStream s(units_, "fi_in.dat");
    EXPECT_EQ(s.next_line_first_real(), 10.0);
    EXPECT_EQ(fatal_message([&] { s.next_line_first_real(); }),
              " input error in fi_in.dat line 3: 'phase' is not a real number");
  }
  write_file(tmp_ / "empty.dat", "");
  {
    FreeStream s(units_, "empty.dat");
    EXPECT_TRUE(s.at_end());
    EXPECT_EQ(s.next_line_first_real(), std::nullopt);
    EXPECT_EQ(fatal_message([&] { s.read_int(); }),
              " input error in empty.dat line 0: end of file, an integer expected");
  }
  EXPECT_NE(fatal_message([&] { FreeStream s(units_, "none.dat"); }).find("none.dat"), std::string::npos);
  EXPECT_FALSE(file_exists(units_, "none.dat"));
}

}  // namespace
}  // namespace linac
