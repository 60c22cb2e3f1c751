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

}  // namespace
}  // namespace linac
