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

}  // namespace linac::testing
