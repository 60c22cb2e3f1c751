// Character routines of the library and its number fields.
#include "numerics/lib_text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace linac {
namespace {

TEST(LibText, IntToText) {
  struct Case {
    std::int32_t n;
    int width;
    std::string field;
    std::int32_t status;
  };
  const Case cases[] = {
      {7, 4, "   7", 0},   {-25, 4, " -25", 0}, {-250, 4, "-250", 0},
      {-2500, 4, "....", 5},  // does not fit: unchanged, 5 characters needed
      {3, 0, "", -1},
  };
  for (const Case& c : cases) {
    std::string field(static_cast<std::size_t>(c.width), '.');
    std::int32_t status = 99;
    int_to_text(c.n, field, status);
    EXPECT_EQ(field, c.field) << c.n;
    EXPECT_EQ(status, c.status) << c.n;
  }
}

TEST(LibText, SearchesAndCopies) {
  EXPECT_EQ(first_not_in("  ab", " "), 3);
  EXPECT_EQ(first_not_in("   ", " "), 0);
  EXPECT_EQ(first_not_in("", " "), 1);
  EXPECT_EQ(first_not_in("x", ""), 1);
  EXPECT_EQ(index_exact("abcABC", "BC"), 5);
  EXPECT_EQ(index_exact("abcABC", "bC"), 0);
  EXPECT_EQ(index_exact("abc", ""), 0);
  EXPECT_EQ(copy_padded("abcdef", 3), "abc");
  EXPECT_EQ(copy_padded("ab", 4), "ab  ");
  EXPECT_EQ(char_of_code(65), 'A');
  EXPECT_EQ(char_of_code(-3), '\0');

  struct Copy {
    int i1, i2, j1, j2;
    std::string dst;
    std::int32_t status;
  };
  const Copy copies[] = {
      {2, 4, 1, 3, "bcd......", 0},
      {2, 4, 1, 5, "bcd  ....", 0},   // rest of the range blank-filled
      {1, 6, 2, 4, ".abc.....", -3},  // three source characters not copied
      {3, 2, 1, 3, ".........", -2},  // empty source range
      {5, 7, 1, 3, ".........", -2},  // source range passes its end
      {1, 2, 8, 10, ".........", -1}, // destination range passes its end
  };
  for (const Copy& c : copies) {
    std::string dst(9, '.');
    std::int32_t status = 99;
    copy_substring("abcdef", c.i1, c.i2, dst, c.j1, c.j2, status);
    EXPECT_EQ(dst, c.dst) << c.i1 << c.i2 << c.j1 << c.j2;
    EXPECT_EQ(status, c.status) << c.i1 << c.i2 << c.j1 << c.j2;
  }
}

TEST(LibText, TextToInt) {
  struct Case {
    const char* s;
    std::int32_t value;
    std::int32_t status;
  };
  const Case cases[] = {
      {"42", 42, 0},          {"  - 17  ", -17, 0},     {"+5", 5, 0},
      {"12x", 12, 3},         {"", 0, -1},              {"2147483647", 2147483647, 0},
      {"2147483648", 0, -2},  {"   ", 0, -1},
  };
  for (const Case& c : cases) {
    std::int32_t value = -1, status = 99;
    text_to_int(c.s, value, status);
    EXPECT_EQ(status, c.status) << c.s;
    if (c.status >= 0) {
      EXPECT_EQ(value, c.value) << c.s;
    }
  }
}

TEST(LibText, ExponentFields) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double v;
    int w, d;
    bool scale1;
    char letter;
    std::string out;
  };
  const Case cases[] = {
      {1.5, 24, 15, true, 'D', "   1.500000000000000D+00"},
      {-1e-300, 24, 15, true, 'D', "  -1.000000000000000-300"},
      {0.0, 24, 15, false, 'D', "   0.000000000000000D+00"},
      {0.25, 14, 6, true, 'E', "  2.500000E-01"},
      {9.9999996, 14, 6, true, 'E', "  1.000000E+01"},  // rounding carries into the exponent
      {0.5, 12, 4, false, 'E', "  0.5000E+00"},
      {std::nan(""), 14, 6, false, 'E', "           NaN"},
      {-inf, 14, 6, true, 'E', "     -Infinity"},
      {-1.5, 9, 6, true, 'E', "*********"},
  };
  for (const Case& c : cases) EXPECT_EQ(exp_field(c.v, c.w, c.d, c.scale1, c.letter), c.out) << c.v;
  EXPECT_EQ(int_field(-1, 6), "    -1");
  EXPECT_EQ(int_field(1234567, 6), "******");
}

}  // namespace
}  // namespace linac
