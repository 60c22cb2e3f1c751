#include "common/text_utils.hpp"

#include <gtest/gtest.h>

#include "platform/fatal.hpp"

namespace linac {
namespace {

TEST(IndexNocase, Cases) {
  struct Case {
    std::string str, key;
    int expect;
  };
  const Case cases[] = {
      {"Solenoid", "SOL", 1},   {"1 drift 10", "DRIFT", 3}, {"abab", "AB", 1},
      {"abc", "", 0},           {"", "a", 0},               {"ab", "abc", 0},
      {"cav", "cav ", 0},       {"cav 1", "CAV ", 1},       {"xx2Dtable", "2dTABLE", 3},
      {"\xe9t\xc9", "\xc9", 3},  // a byte above 127 matches only itself
      {"\xe9", "\xc9", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(index_nocase(c.str, c.key), c.expect) << c.str << "|" << c.key;
}

TEST(CompareNocase, Cases) {
  struct Case {
    std::string a, b;
    int expect;
  };
  const Case cases[] = {
      {"abc", "ABC  ", 0}, {"abc", "ab", 1}, {"a", "B", -1}, {"", "   ", -1}, {"", "", 0},
      {"ab\x01", "ab", -1},  // rest below a blank sorts before the blank-extended shorter text
      {"ab", "ab\x01", 1},   {"ab", "abc", -1}, {"abc  ", "ABC", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(compare_nocase(c.a, c.b), c.expect) << c.a << "|" << c.b;
}

TEST(CharacterCodes, FoldOnlyLatinLetters) {
  EXPECT_EQ(upper_ascii("z"), 90);
  EXPECT_EQ(upper_ascii("Z"), 90);
  EXPECT_EQ(upper_ascii("{"), 123);
  EXPECT_EQ(upper_ascii("`"), 96);
  EXPECT_EQ(ascii_code("\xe9"), 233);
  EXPECT_EQ(upper_ascii("\xe9"), 233);
}

TEST(Trimmed, DropsTrailingBlanksOnly) {
  EXPECT_EQ(trimmed(" 1 drift 10   "), " 1 drift 10");
  EXPECT_EQ(trimmed("   "), "");
  EXPECT_EQ(trimmed(""), "");
  EXPECT_EQ(trimmed("a\t"), "a\t");  // only blanks are trailing fill
}

TEST(DigitRoutines, Cases) {
  EXPECT_EQ(int_to_2digits(0), "00");
  EXPECT_EQ(int_to_2digits(7), "07");
  EXPECT_EQ(int_to_2digits(99), "99");
  EXPECT_EQ(int_to_2digits(100), ":0");
  EXPECT_EQ(int_to_2digits(-1), "0/");
  EXPECT_EQ(int_to_3digits(5), "005");
  EXPECT_EQ(int_to_3digits(999), "999");
  EXPECT_EQ(int_to_3digits(1000), ":00");
  EXPECT_EQ(int_to_3digits(-7), "00)");
}

TEST(NumberedNames, StemsAndRangeChecks) {
  EXPECT_EQ(numbered_name("scratch.#", 5, 2), "scratch.#05");
  EXPECT_EQ(numbered_name("ascii.#", 42, 3), "ascii.#042");
  EXPECT_EQ(vrand_name(12), "vrand_012.dat");
  EXPECT_EQ(buncher_table_name(3), "MHBrz.#03");
  EXPECT_THROW(numbered_name("scratch.#", 100, 2), FatalStop);
  EXPECT_THROW(numbered_name("scratch.#", -1, 2), FatalStop);
  EXPECT_THROW(vrand_name(1000), FatalStop);
  EXPECT_THROW(buncher_table_name(10), FatalStop);
  EXPECT_EQ(table_dir_name("  /data/tables/  ", "eh_MWS.#01"), "/data/tables/eh_MWS.#01");
  EXPECT_EQ(table_dir_name("   ", "eh_MWS.#01"), "eh_MWS.#01");
  EXPECT_EQ(table_dir_name("x", "eh_MWS.#01"), "eh_MWS.#01");
}

}  // namespace
}  // namespace linac
