// Whole runs whose inputs push a number of a formatted file beyond its
// field: the field shows asterisks, the run goes on to its end, and then
// ends with status 1 naming the file, its line and the value. Each case is
// a runnable example with one input changed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "cases/case_harness.hpp"

namespace linac {
namespace {

// The run of digits that follows the first occurrence of prefix in text at
// or after from, with where it ends; empty when prefix is not followed by a
// digit. Scans by hand: the checked build warns inside std::regex.
std::string digits_after(const std::string& text, const std::string& prefix, std::size_t from = 0,
                         std::size_t* end = nullptr) {
  for (std::size_t at = text.find(prefix, from); at != std::string::npos; at = text.find(prefix, at + 1)) {
    std::size_t k = at + prefix.size();
    const std::size_t first = k;
    while (k < text.size() && std::isdigit(static_cast<unsigned char>(text[k]))) ++k;
    if (k > first) {
      if (end != nullptr) *end = k;
      return text.substr(first, k - first);
    }
  }
  return {};
}

using ::testing::HasSubstr;

struct OverflowCase {
  const char* label;
  const char* example;
  const char* find;     // text of sclinac.dat replaced (first occurrence); empty: insert
  const char* replace;  // its replacement, or the lines inserted before the first lattice line
  const char* file;     // the file the message names
  const char* message;  // the rest of the message after "<file> line N"
  const char* heading;  // text of a line at most eight lines above the starred one ("" for none)
};

const OverflowCase kCases[] = {
    // A 10 m drift in the FODO cell: the longitudinal block of the section
    // matrix grows with the drift and the "sm after" rows leave F10.4.
    {"fodo cell with a 10 m drift", "fodo_matrix", "1 drift 99.0 2.0 2.0", "1 drift 1000.0 2.0 2.0", "matrix.dat",
     " (element 7 (matrx)): value 5 = ", "sm after"},
    // Corrector limits of 1e9 mrad: the normalised response equations of
    // bp_monitor.dat leave F15.8.
    {"corrector limit of 1e9 mrad", "error_study", "1 corr 0 2 2 ", "1 corr 0 1e9 1e9 ", "bp_monitor.dat",
     ": value 1 = ", "!** Equation Ax=b"},
    // phcor tolerances of 1e9: the tolerance echoed in ph_monitor.dat.
    {"phcor tolerance of 1e9", "error_study", "1 phcor 2 2 0.2 0.05", "1 phcor 2 2 1e9 1e9", "ph_monitor.dat",
     ": value 5 = 1000000000 does not fit its field F6.2", ""},
    // The trace block's own number is written in I3.
    {"trace block 1000", "drift_channel", "", "1 prmtr trace=1000\n", "log.dat",
     " (element 1 (prmtr trace=1000)): value 2 = 1000 does not fit its field I3", ""},
    // A design mass number of 1e9: the TRACE3D energy A W = 1e9 * 1 MeV.
    {"design mass 1e9 under a trace block", "drift_channel", "", "1 prmtr Adesign=1e9\n1 prmtr trace=1\n",
     "log.dat", " (element 2 (prmtr trace=1)): value 2 = 1000000000 does not fit its field F12.5", "TRACE3D"},
};

void PrintTo(const OverflowCase& c, std::ostream* os) { *os << c.label; }

class ResultOverflowRun : public ::testing::TestWithParam<OverflowCase> {};

TEST_P(ResultOverflowRun, FieldIsStarredRunEndsAndStopsNamingFileLineAndValue) {
  const OverflowCase& c = GetParam();
  testing::TempDir dir;
  testing::copy_example(c.example, dir.path());
  if (std::filesystem::exists(dir / "make_tables.sh")) {
    const std::string tables = "cd '" + dir.path().string() + "' && bash make_tables.sh '" LINAC_MAKE_FIELD_TABLE
                               "' > tables.txt 2>&1";
    ASSERT_EQ(std::system(tables.c_str()), 0) << testing::read_file(dir / "tables.txt");
  }
  std::string lattice = testing::read_file(dir / "sclinac.dat");
  if (*c.find != '\0') {
    const auto at = lattice.find(c.find);
    ASSERT_NE(at, std::string::npos) << c.find;
    lattice.replace(at, std::string(c.find).size(), c.replace);
  } else {
    // Before the first line that is not a comment.
    std::size_t at = 0;
    while (lattice[at] == '!') at = lattice.find('\n', at) + 1;
    lattice.insert(at, c.replace);
  }
  testing::write_file(dir / "sclinac.dat", lattice);

  const int status = testing::run_program(dir.path(), 2);
  const std::string screen = testing::read_file(dir / "screen.txt");
  ASSERT_TRUE(WIFEXITED(status)) << screen;
  EXPECT_EQ(WEXITSTATUS(status), 1) << screen;

  // The message: file, line number, place, column and value.
  std::string named(" ");
  named.append(c.file).append(" line ");
  const std::string number = digits_after(screen, named);
  ASSERT_FALSE(number.empty()) << screen;
  const std::size_t line = std::stoul(number);
  EXPECT_THAT(screen, HasSubstr(std::string(c.file) + " line " + number + c.message)) << screen;
  EXPECT_THAT(screen, HasSubstr("(written as asterisks)"));

  // The run went on to its end: the end stamp precedes the stop message.
  EXPECT_LT(screen.find("Task end at"), screen.find(" line " + number));

  // The named line of the file holds the asterisks of one whole field of
  // the descriptor named ("F10.4": ten).
  // "its field F10.4" or "its field 1PE15.5": the width follows the letter.
  const std::size_t field = screen.find("its field ");
  ASSERT_NE(field, std::string::npos) << screen;
  std::size_t letter = field + std::string("its field ").size();
  while (letter < screen.size() && !std::isalpha(static_cast<unsigned char>(screen[letter]))) ++letter;
  if (letter < screen.size() && screen[letter] == 'P') ++letter;
  ASSERT_LT(letter, screen.size()) << screen;
  const std::string digits = digits_after(screen, screen.substr(letter, 1), letter);
  ASSERT_FALSE(digits.empty()) << screen;
  const std::size_t width = std::stoul(digits);
  const std::vector<std::string> lines = testing::read_lines(dir / c.file);
  ASSERT_GE(lines.size(), line);
  const std::string& starred = lines[line - 1];
  EXPECT_NE(starred.find(std::string(width, '*')), std::string::npos) << starred;
  if (*c.heading != '\0') {
    bool seen = false;
    for (std::size_t k = line >= 9 ? line - 9 : 0; k + 1 < line; ++k)
      seen = seen || lines[k].find(c.heading) != std::string::npos;
    EXPECT_TRUE(seen) << "no \"" << c.heading << "\" above line " << line;
  }
}

INSTANTIATE_TEST_SUITE_P(Examples, ResultOverflowRun, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<OverflowCase>& i) {
                           std::string n;
                           for (const char* p = i.param.label; *p; ++p)
                             n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                           return n;
                         });

// The starred "sm after" entry of the 10 m FODO section is the sigma
// transform of a unit phase-plane matrix by a drift-like block
// [[1, m56], [0, 1]]: 1 + m56^2, with m56 written beside it. The message
// carries the value that the field could not hold.
TEST(ResultOverflowRun, FodoMessageCarriesTheValueTheFieldLost) {
  testing::TempDir dir;
  testing::copy_example("fodo_matrix", dir.path());
  std::string lattice = testing::read_file(dir / "sclinac.dat");
  lattice.replace(lattice.find("1 drift 99.0"), 12, "1 drift 1000.0");
  testing::write_file(dir / "sclinac.dat", lattice);
  testing::run_program(dir.path(), 1);
  const std::string screen = testing::read_file(dir / "screen.txt");
  std::size_t at = 0;
  const std::string number = digits_after(screen, " matrix.dat line ", 0, &at);
  ASSERT_FALSE(number.empty()) << screen;
  const std::size_t value_at = screen.find(": value 5 = ", at);
  ASSERT_NE(value_at, std::string::npos) << screen;
  const double lost_value = std::stod(screen.substr(value_at + std::string(": value 5 = ").size()));
  const std::vector<std::string> lines = testing::read_lines(dir / "matrix.dat");
  const std::size_t line = std::stoul(number);
  ASSERT_GT(lines.size(), line);
  // The row after the starred one: m56 in its fifth field, 1 in its sixth.
  const std::string& next = lines[line];
  const double m56 = std::stod(next.substr(40, 10));
  EXPECT_EQ(next.substr(50, 10), "    1.0000");
  EXPECT_NEAR(lost_value, 1.0 + m56 * m56, 1e-4 * (1.0 + m56 * m56));
  EXPECT_EQ(lines[line - 1].substr(40, 10), std::string(10, '*'));
}

}  // namespace
}  // namespace linac
