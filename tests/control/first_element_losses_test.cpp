// The losses of the first element appear in its out.dat line: the lost
// column of every element line equals the lost.dat records of that element
// (every particle lost is written once, in the element that lost it).
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "input_fixture.hpp"

namespace linac {
namespace {

using testing::read_file;
using testing::read_lines;
using testing::run_binary_in;
using testing::TempDir;

std::vector<std::string> tokens(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> t;
  for (std::string w; in >> w;) t.push_back(w);
  return t;
}

TEST(FirstElementLosses, OutDatCountsEqualLostDatRecordsPerElement) {
  struct Case {
    const char* what;
    std::string index;  // extra INDEX members
  };
  // An acceptance run (beam filling the phase and energy window) and a
  // nominal run; both scrape in their first element.
  const Case cases[] = {{"acceptance run", "IACCEP=1"}, {"nominal run", ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    testing::write_file(dir / "velmo.dat",
                        "&TRAN QDESIGN=1, ADESIGN=1, WIN=1.0D6, FREQB=1.0D8, NQTOT=1, NPAT=2000, QQ=1,\n"
                        "      AMASS=1, EPSNX=0.5, BETX=100, EPSNY=0.5, BETY=100, EPSNZ=100, BETZ=100,\n"
                        "      PHMAX=30, DWWACC=0.02 /\n&INDEX IGRAPH=0, ISRF=1, IFLAG_DIS=1, " +
                            c.index + " /\n");
    // Element 1 scrapes to 0.2 cm half sizes; element 2 to 0.1 cm.
    testing::write_file(dir / "sclinac.dat", "1 drift 10 0.2 0.2\n2 drift 10 0.1 0.1\n3 drift 5 2 2\nstop\n");
    ASSERT_EQ(run_binary_in(dir), 0) << read_file(dir / "screen.txt");

    std::vector<int> lost_records(4, 0);
    const auto lost = read_lines(dir / "lost.dat");
    for (std::size_t k = 1; k < lost.size(); ++k) ++lost_records.at(std::stoi(tokens(lost[k]).at(0)));

    int seen = 0;
    for (const auto& line : read_lines(dir / "out.dat")) {
      const auto t = tokens(line);
      if (t.size() != 35 || t[1] == "name") continue;
      const int n = std::stoi(t[0]);
      if (n < 1 || n > 3) continue;
      ++seen;
      // The lost column is the second last: counts written with one decimal.
      EXPECT_EQ(std::stod(t[33]), lost_records[static_cast<std::size_t>(n)]) << "element " << n << ": " << line;
    }
    EXPECT_EQ(seen, 3);
    EXPECT_GT(lost_records[1], 0) << "the first element must scrape for this check to bite";
  }
}

}  // namespace
}  // namespace linac
