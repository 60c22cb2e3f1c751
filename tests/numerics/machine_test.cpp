// Machine constants against IEEE 754 bit patterns, the unit table, the
// option tables and the messages of the constant routines.
#include "numerics/machine.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "numerics_test_support.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

using namespace testing;

TEST(Machine, IntegerConstants) {
  CapturedSim cs;
  const std::int32_t expected[13] = {0, 32, 4, 2, 31, 2147483647, 2, 24, -125, 128, 53, -1021, 1024};
  for (int n = 1; n <= 12; ++n) EXPECT_EQ(IMACH(*cs, n), expected[n]) << n;
  EXPECT_TRUE(cs.lines().empty());
}

TEST(Machine, FloatingConstantsHaveTheirIeeeBitPatterns) {
  CapturedSim cs;
  const std::uint64_t dbits[9] = {0,
                                  0x0010000000000000u,
                                  0x7FEFFFFFFFFFFFFFu,
                                  0x3CA0000000000000u,  // 2^-53
                                  0x3CB0000000000000u,  // 2^-52
                                  0x3FD34413509F79FFu,
                                  0x7FF8000000000000u,
                                  0x7FF0000000000000u,
                                  0xFFF0000000000000u};
  const std::uint32_t abits[9] = {0,           0x00800000u, 0x7F7FFFFFu, 0x33800000u, 0x34000000u,
                                  0x3E9A209Bu, 0x7FC00000u, 0x7F800000u, 0xFF800000u};
  for (int n = 1; n <= 8; ++n) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(DMACH(*cs, n)), dbits[n]) << n;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(AMACH(*cs, n)), abits[n]) << n;
  }
  EXPECT_EQ(DMACH(*cs, 4), std::ldexp(1.0, -52));
  EXPECT_EQ(DMACH(*cs, 3), std::ldexp(1.0, -53));
  EXPECT_EQ(DMACH(*cs, 5), std::log10(2.0));
  EXPECT_EQ(AMACH(*cs, 5), static_cast<float>(std::log10(2.0)));
  const double nan = DMACH(*cs, 6);
  EXPECT_FALSE(nan == nan);
  EXPECT_TRUE(cs.lines().empty());
}

TEST(Machine, OutOfRangeArgumentsPrintAndStop) {
  {
    CapturedSim cs;
    EXPECT_TRUE(stops_run([&] { IMACH(*cs, 13); }));
    EXPECT_EQ(cs.lines(), (Lines{"", " *** TERMINAL ERROR 5 from IMACH.  The argument",
                                 " ***          must be between 1 and 12 inclusive.",
                                 " ***          N =     13.", ""}));
  }
  {
    CapturedSim cs;
    std::int32_t unit = 0;
    EXPECT_TRUE(stops_run([&] { UMACH(*cs, -4, unit); }));
    EXPECT_EQ(cs.lines(), (Lines{"", " *** TERMINAL ERROR 5 from UMACH.  The absolute",
                                 " ***          value of the index variable must be",
                                 " ***          1, 2, or 3.  IABS(N) =      4.", ""}));
  }
  {
    CapturedSim cs;
    EXPECT_TRUE(stops_run([&] { DMACH(*cs, 9); }));
    EXPECT_EQ(cs.lines(), (Lines{"", " *** TERMINAL ERROR 5 from DMACH.  The argument must be between 1 and 8",
                                 " ***          inclusive. N = 9"}));
  }
  {
    CapturedSim cs;
    EXPECT_TRUE(stops_run([&] { AMACH(*cs, 0); }));
    ASSERT_EQ(cs.lines().size(), 3u);
    EXPECT_EQ(cs.lines()[2], " ***          inclusive. N = 0");
  }
  {
    CapturedSim cs;
    EXPECT_TRUE(stops_run([&] { ACHAR(*cs, -1); }));
    EXPECT_EQ(cs.lines(), (Lines{"", " *** TERMINAL ERROR 1 from ACHAR.  The ASCII value must be non-negative while",
                                 " ***          I = -1 is given."}));
  }
}

TEST(Machine, UnitTableRedirectsLibraryMessages) {
  CapturedSim cs;
  linac::testing::TempDir tmp;
  Sim& sim = *cs;
  sim.units.set_directory(tmp.path());
  std::int32_t unit = 0;
  for (std::int32_t n = 1; n <= 3; ++n) {
    UMACH(sim, n, unit);
    EXPECT_EQ(unit, n == 1 ? 5 : 6);
  }
  unit = 7;
  UMACH(sim, -3, unit);
  unit = 0;
  UMACH(sim, 3, unit);
  EXPECT_EQ(unit, 7);
  EXPECT_TRUE(stops_run([&] { DMACH(sim, 9); }));
  sim.units.close_all();
  EXPECT_TRUE(cs.lines().empty());
  const Lines file = linac::testing::read_lines(tmp / "fort.7");
  ASSERT_EQ(file.size(), 3u);
  EXPECT_EQ(file[1], " *** TERMINAL ERROR 5 from DMACH.  The argument must be between 1 and 8");
}

TEST(Machine, CharacterHelpers) {
  CapturedSim cs;
  EXPECT_EQ(ACHAR(*cs, 65), 'A');
  EXPECT_EQ(ACHAR(*cs, 321), 'A');  // only the low 8 bits count
  EXPECT_EQ(ACHAR(*cs, 0), '\0');
  EXPECT_TRUE(same_letter('a', 'A'));
  EXPECT_TRUE(same_letter('A', 'A'));
  EXPECT_FALSE(same_letter('A', 'a'));
  EXPECT_FALSE(same_letter('b', 'A'));
}

TEST(Machine, OptionGetsPutsAndDefaults) {
  CapturedSim cs;
  Sim& sim = *cs;
  struct Get {
    const char* product;
    int chapter;
    std::vector<std::int32_t> iopts;
    std::vector<std::int32_t> values;
  };
  const std::vector<Get> gets = {
      {"MATH", 1, {17}, {1, 2}},
      {"MATH", 1, {-17}, {1, 2}},
      {"math", 1, {17}, {1, 2}},
      {"Mathematics", 1, {17}, {1, 2}},
      {"MATH", 1, {5, 17}, {1, 2147483647, 1, 2}},
      {"MATH", 2, {1}, {1, 16, 0, 1, 1, 16, 0, 1}},
      {"MATH", 5, {85, 56, 100}, {0, 0, 500, 2147483647}},
      {"STAT", 19, {1, 2, 3}, {0, 2, 3}},
  };
  for (const Get& g : gets) {
    std::vector<std::int32_t> out(g.values.size() + 2, -99);
    IUMAG(sim, g.product, g.chapter, 1, static_cast<std::int32_t>(g.iopts.size()), g.iopts.data(),
          out.data());
    EXPECT_EQ(std::vector<std::int32_t>(out.begin(), out.begin() + static_cast<long>(g.values.size())),
              g.values)
        << g.product << " " << g.chapter;
    EXPECT_EQ(out[g.values.size()], -99) << "nothing written beyond the values";
  }
  std::vector<std::int32_t> opts = {17};
  std::vector<std::int32_t> vals = {1, 0};
  IUMAG(sim, "MATH", 1, 2, 1, opts.data(), vals.data());
  std::vector<std::int32_t> got(2);
  IUMAG(sim, "MATH", 1, 1, 1, opts.data(), got.data());
  EXPECT_EQ(got, (std::vector<std::int32_t>{1, 0}));
  std::vector<std::int32_t> neg = {-17};
  IUMAG(sim, "MATH", 1, 1, 1, neg.data(), got.data());
  EXPECT_EQ(got, (std::vector<std::int32_t>{1, 2}));  // defaults
  IUMAG(sim, "MATH", 1, 2, 1, neg.data(), vals.data());  // reset to defaults
  IUMAG(sim, "MATH", 1, 1, 1, opts.data(), got.data());
  EXPECT_EQ(got, (std::vector<std::int32_t>{1, 2}));
  EXPECT_TRUE(cs.lines().empty());
}

TEST(Machine, OptionReportsWhileTheCountLasts) {
  CapturedSim cs;
  Sim& sim = *cs;
  std::vector<std::int32_t> one = {1};
  std::vector<std::int32_t> count = {2};
  IUMAG(sim, "MATH", 10, 2, 1, one.data(), count.data());
  const Lines put = {
      "",
      " A change (put) was made by IUMAG to option number      1 in MATH",
      " chapter 10, resulting in the following values for that option:",
      "             entry number              value",
      std::string(19 + 5, ' ') + "1" + std::string(7 + 11, ' ') + "2",
  };
  EXPECT_EQ(cs.lines(), put);
  cs.clear();
  std::vector<std::int32_t> opt17 = {17};
  std::vector<std::int32_t> got(2);
  IUMAG(sim, "MATH", 1, 1, 1, opt17.data(), got.data());
  const Lines get = {
      "",
      " A return (get) of the following values from option",
      " number     17 in MATH chapter  1 was performed by IUMAG:",
      "             entry number              value",
      std::string(24, ' ') + "1" + std::string(18, ' ') + "1",
      std::string(24, ' ') + "2" + std::string(18, ' ') + "2",
  };
  EXPECT_EQ(cs.lines(), get);
  cs.clear();
  IUMAG(sim, "MATH", 1, 1, 1, opt17.data(), got.data());
  EXPECT_TRUE(cs.lines().empty());  // the count is used up
  std::vector<std::int32_t> ctl(1);
  IUMAG(sim, "MATH", 10, 1, 1, one.data(), ctl.data());
  EXPECT_EQ(ctl[0], 0);
}

TEST(Machine, OptionArgumentErrorsAreAllReportedThenStop) {
  {
    CapturedSim cs;
    std::vector<std::int32_t> opts = {1};
    std::vector<std::int32_t> vals(4);
    EXPECT_TRUE(stops_run([&] { IUMAG(*cs, "MATH", 1, 1, 1, opts.data(), vals.data()); }));
    EXPECT_EQ(cs.lines(), (Lines{"", " *** TERMINAL ERROR 6 from IUMAG.  IOPTS(1) = 1 is an invalid MATH chapter 1",
                                 " ***          option number."}));
  }
  // Two errors in one call: both messages, then the stop.
  struct TwoErrors {
    const char* product;
    std::int32_t ichp, iact, numopt;
    const char* one_of_them;
  };
  const TwoErrors cases[] = {
      {"XYZW", 1, 3, 1, "PRODNM = XYZW is invalid."},             // IACT and the product name
      {"STAT", 3, 1, 0, "No options exist for STAT chapter 3."},  // no options, and NUMOPT = 0
  };
  for (const TwoErrors& c : cases) {
    SCOPED_TRACE(c.product);
    CapturedSim cs;
    std::vector<std::int32_t> opts = {1};
    std::vector<std::int32_t> vals(4);
    EXPECT_TRUE(stops_run(
        [&] { IUMAG(*cs, c.product, c.ichp, c.iact, c.numopt, opts.data(), vals.data()); }));
    int messages = 0;
    for (const auto& line : cs.lines())
      if (line.rfind(" *** TERMINAL ERROR", 0) == 0) ++messages;
    EXPECT_EQ(messages, 2);
    EXPECT_NE(cs.out.str().find(c.one_of_them), std::string::npos);
  }
}

}  // namespace
}  // namespace linac
