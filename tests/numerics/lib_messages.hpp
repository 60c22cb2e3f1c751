// The library messages printed on a captured screen, each joined from its
// lines into one text with runs of blanks squashed to one blank, so a test
// can compare whole message texts whatever the line breaks.
#pragma once

#include <string>
#include <vector>

#include "numerics_test_support.hpp"

namespace linac::testing {

inline std::string squash_blanks(const std::string& s) {
  std::string out;
  for (char ch : s)
    if (!(ch == ' ' && !out.empty() && out.back() == ' ')) out.push_back(ch);
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

// " *** WARNING  ERROR 2 from NAME.  Text ..." continued on " ***          "
// lines; traceback lines end a message.
inline std::vector<std::string> library_messages(const CapturedSim& cs) {
  std::vector<std::string> msgs;
  bool open = false;
  for (const std::string& line : cs.lines()) {
    if (line.rfind(" ***          ", 0) == 0 && open) {
      msgs.back().append(1, ' ').append(line, 14, std::string::npos);
    } else if (line.rfind(" *** ", 0) == 0) {
      msgs.push_back(line.substr(5));
      open = true;
    } else {
      open = false;
    }
  }
  for (auto& m : msgs) m = squash_blanks(m);
  return msgs;
}

// The TERMINAL message of DC1SOR for XDATA(2) = XDATA(3) = 1, raised four
// routines deep under DCSINT, with its traceback.
inline const Lines kEqualAbscissaeMessage = {
    "",
    " *** TERMINAL ERROR 2 from DC1SOR.  Points in the data point abscissas array,",
    " ***          XDATA, must be distinct, but XDATA(2) = XDATA(3) = ",
    " ***          1.000000000000000D+00.",
    "     Here is a traceback of subprogram calls in reverse order:",
    "     Routine name                    Error type  Error code",
    "     ------------                    ----------  ----------",
    "     DC1SOR                               5           2    (Called internally)",
    "     DC2DEC                               0           0    (Called internally)",
    "     DC2INT                               0           0    (Called internally)",
    "     DCSINT                               0           0",
    "     USER                                 0           0",
};

}  // namespace linac::testing
