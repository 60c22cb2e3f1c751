// Correction sections cut from the cdump brackets of a lattice: the table
// of sections, its listing, and the lattices that stop the run.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "run/sim.hpp"
#include "common/unit_numbers.hpp"
#include "control/error_seed_loop.hpp"
#include "corrections/sections.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

using testing::fatal_text;

// An element table from keywords; "cdump:n" gives a cdump line numbered n.
void lattice(Sim& sim, const std::vector<std::string>& lines) {
  sim.config.iel_first = 1;
  sim.config.iel_last = static_cast<std::int32_t>(lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& l = lines[i];
    const auto colon = l.find(':');
    sim.elements.elem_name[i + 1] = l.substr(0, colon);
    sim.elements.elem_int[i + 1][kElemN] = colon == std::string::npos ? 1 : std::stoi(l.substr(colon + 1));
  }
}

struct Expected {
  std::int32_t cdump, first, last, extra;
};

struct SectionCase {
  const char* name;
  std::vector<std::string> lines;
  std::vector<Expected> sections;  // empty: the run stops with `stop`
  std::string stop;
};

TEST(CorrectionSections, TableOfLatticeCases) {
  const std::vector<SectionCase> cases = {
      {"no cdump: one section without correction up to the last line but one",
       {"drift", "quad", "drift", "mon"}, {{0, 1, 3, 3}}, ""},
      {"plain, pair, plain, pair",
       {"drift", "cdump:1", "corr", "mon", "cdump:1", "drift", "drift", "cdump:2", "mon", "cdump:2", "drift"},
       {{0, 1, 1, 1}, {1, 2, 5, 5}, {0, 6, 7, 7}, {2, 8, 10, 10}},
       ""},
      {"third cdump of a number is the end of the monitor range, inside the next section",
       {"cdump:1", "corr", "cdump:1", "drift", "mon", "cdump:1", "drift", "drift"},
       {{1, 1, 3, 6}, {0, 4, 7, 7}},
       ""},
      {"a cdump whose number never returns", {"drift", "cdump:4", "corr", "mon", "drift"}, {}, " opened CDUMP brackets"},
      {"an opening cdump as the last line after a section without correction", {"drift", "drift", "cdump:3"}, {},
       " opened CDUMP brackets"},
      {"a third line right after the closing one opens a pair that never closes",
       {"cdump:1", "corr", "cdump:1", "cdump:1", "drift", "drift"}, {}, " opened CDUMP brackets"},
  };
  for (const auto& c : cases) {
    auto sim = make_sim();
    std::ostringstream screen;
    sim->screen.redirect(screen);
    sim->state.IFLAG_UNIX = 1;
    lattice(*sim, c.lines);
    if (c.sections.empty()) {
      EXPECT_EQ(fatal_text([&] { setup_correction_sections(*sim); }), c.stop) << c.name;
      continue;
    }
    setup_correction_sections(*sim);
    const CorrStudy& cs = sim->corr_study;
    const std::vector<Expected>& want = c.sections;
    ASSERT_EQ(cs.n_sections, static_cast<int>(want.size())) << c.name;
    for (std::size_t i = 0; i < want.size(); ++i) {
      const auto& row = cs.corr_section[i + 1];
      EXPECT_EQ(row[kCsCdump], want[i].cdump) << c.name << " section " << i + 1;
      EXPECT_EQ(row[kCsFirst], want[i].first) << c.name << " section " << i + 1;
      EXPECT_EQ(row[kCsLast], want[i].last) << c.name << " section " << i + 1;
      EXPECT_EQ(row[kCsExtra], want[i].extra) << c.name << " section " << i + 1;
    }
    EXPECT_EQ(sim->scan.cur_cdump, want.back().cdump) << c.name;
    EXPECT_TRUE(screen.str().empty()) << c.name;
  }
}

TEST(CorrectionSections, MoreSectionsThanTheTableHoldsStop) {
  // 51 pairs of cdump lines, each around one drift.
  std::vector<std::string> lines;
  for (int i = 1; i <= 51; ++i) {
    lines.push_back("cdump:" + std::to_string(i));
    lines.push_back("drift");
    lines.push_back("cdump:" + std::to_string(i));
  }
  lines.push_back("drift");
  auto sim = make_sim();
  sim->state.IFLAG_UNIX = 1;
  lattice(*sim, lines);
  EXPECT_EQ(fatal_text([&] { setup_correction_sections(*sim); }),
            " correction section 51 (element lines 151..153): a lattice holds at most 50 correction sections");
}

TEST(CorrectionSections, ListingGoesToScreenAndBothMonitorFilesOnlyWithUnixFlagZero) {
  // Written out column by column: (8X,A8,I2,25X,A21) and
  // (8X,A8,I2,13X,A30,I3) for the section lines, (3(A6,I4,1X)) and
  // (3(I3,1X,A5,2X)) for the element lines; trailing X moves write nothing.
  const std::string b8(8, ' ');
  const std::vector<std::string> block = {
      b8 + "SECTION#" + " 1" + std::string(25 + 8, ' ') + "no correction",
      "  ne1=   1   ne2=   1   ne3=   1",
      "  1 drift    1 drift    1 drift",
      "",
      b8 + "SECTION#" + " 2" + std::string(13 + 8, ' ') + " correction for CDUMP#" + "  7",
      "  ne1=   2   ne2=   4   ne3=   4",
      "  7 cdump    7 cdump    7 cdump",
      "",
  };
  for (int unix_flag : {0, 1}) {
    testing::TempDir dir;
    auto sim = make_sim();
    std::ostringstream screen;
    sim->screen.redirect(screen);
    sim->units.set_directory(dir.path());
    sim->state.IFLAG_UNIX = unix_flag;
    sim->units.open(kUnitPhMonitor, "ph_monitor.dat");
    sim->units.open(kUnitBpMonitor, "bp_monitor.dat");
    lattice(*sim, {"drift", "cdump:7", "mon", "cdump:7", "drift"});
    sim->elements.elem_int[3][kElemN] = 1;
    setup_correction_sections(*sim);
    sim->units.close_all();
    const std::vector<std::string> want = unix_flag == 0 ? block : std::vector<std::string>{};
    EXPECT_EQ(testing::read_lines(dir / "ph_monitor.dat"), want) << unix_flag;
    EXPECT_EQ(testing::read_lines(dir / "bp_monitor.dat"), want) << unix_flag;
    std::vector<std::string> shown;
    std::istringstream in(screen.str());
    for (std::string l; std::getline(in, l);) shown.push_back(l);
    EXPECT_EQ(shown, want) << unix_flag;
  }
}

}  // namespace
}  // namespace linac
