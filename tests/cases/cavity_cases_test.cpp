// End-to-end cases of the RF cavity: twenty gaps on one table through the
// table cache (tests/cases/cavity_cache), and the cavity linac example run
// by the program with 1 and 4 threads.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include <sys/wait.h>

#include "case_harness.hpp"
#include "elements/rf_gap_fixture.hpp"

namespace linac {
namespace {

using testing::CaseRun;
using testing::Placed;

constexpr int kCavities = 20;
constexpr double kLambdaBar = testing::kRfLambda / kTwoPi;

// The cache case with every cavity on table `first + k` (k = 0..19 when
// own_copies, else 0), its gap tables and fi_in.dat written; run through the
// nominal pass.
struct CacheRun {
  CaseRun run{"cases/cavity_cache"};
  explicit CacheRun(bool own_copies) {
    Sim& s = *run.sim;
    s.units.set_directory(run.dir.path());
    std::string lattice = "! twenty gaps\n";
    std::string phases;
    for (int k = 1; k <= kCavities; ++k) {
      const int table = own_copies ? k : 1;
      if (k == 1 || own_copies) testing::write_gap_table(s, testing::GapSpec{}, table);
      lattice += std::to_string(table) + " cav 10.0 1.0 1.0 0.0 50\n";
      phases += "-30.0\n";
    }
    lattice += "stop\n";
    if (own_copies) testing::write_file(run.dir / "sclinac.dat", lattice);
    testing::write_file(run.dir / "fi_in.dat", phases);
    run.read_inputs();
    run.place_beam(1, {{0.1, 0.001, -0.1, 0.0}, {-0.2, 0.0, 0.05, 0.002},
                       {0.0, -0.002, 0.3, 0.0}, {0.25, 0.001, 0.0, -0.001}});
    run.run_nominal_pass();
  }
};

TEST(CavityCases, TwentyCavitiesReadTheirTableOnceAndGainAsTheThinGap) {
  CacheRun shared(false);
  CacheRun copies(true);
  EXPECT_EQ(shared.run.sim->field_tables.disk_reads, 1);
  EXPECT_EQ(copies.run.sim->field_tables.disk_reads, kCavities);
  for (const char* f : {"out.dat", "wtmp.dat", "coord.dat"}) {
    EXPECT_GT(shared.run.file(f).size(), 0u) << f;
    EXPECT_TRUE(shared.run.file(f) == copies.run.file(f)) << f << " differs";
  }
  const testing::GapSpec g;
  const ReferenceHistory& h = shared.run.sim->history;
  const std::vector<std::string> wtmp = shared.run.lines("wtmp.dat");
  ASSERT_EQ(wtmp.size(), static_cast<std::size_t>(kCavities));
  for (int k = 1; k <= kCavities; ++k) {
    const double W_in = h.ref_W_in[k];
    const double G = testing::thin_gap_gain(g, 1.0, testing::speed_of_w(W_in), kLambdaBar);
    const double expected = G * std::cos(30.0 * kDegToRad);
    EXPECT_NEAR(h.ref_W_out[k] - W_in, expected, 3e-3 * expected) << "cavity " << k;
    // The printed row: its number, name and entrance energy (E15.5 keeps
    // 5 digits: 0.1 keV/u at 1000 keV/u, too coarse for the gain).
    std::istringstream row(wtmp[static_cast<std::size_t>(k - 1)]);
    int n = 0;
    std::string name;
    double phase = 0.0, phase_out = 0.0, w_in = 0.0;
    row >> n >> name >> phase >> phase_out >> w_in;
    EXPECT_EQ(n, k);
    EXPECT_EQ(name, "cav");
    EXPECT_NEAR(w_in, W_in, 5e-5 * W_in);
  }
  // The energy went up by twenty gains.
  EXPECT_GT(h.ref_W_out[kCavities], 1000.0 + 19.0 * 2.26253 * std::cos(30.0 * kDegToRad));
}

// The cavity example with the gap table its script makes.
void copy_example_with_tables(const testing::TempDir& dir) {
  testing::copy_example("cavity_linac", dir.path());
  const std::string tables = "cd '" + dir.path().string() +
                             "' && bash make_tables.sh '" LINAC_MAKE_FIELD_TABLE "' > tables.txt 2>&1";
  ASSERT_EQ(std::system(tables.c_str()), 0) << testing::read_file(dir / "tables.txt");
}

TEST(CavityLinac, ProgramOutputsDoNotDependOnTheThreadCount) {
  const char* const files[] = {"out.dat", "coord.dat", "lost.dat", "wtmp.dat", "log.dat"};
  std::string out[2][5];
  for (int r = 0; r < 2; ++r) {
    testing::TempDir dir;
    ASSERT_NO_FATAL_FAILURE(copy_example_with_tables(dir));
    ASSERT_EQ(testing::run_program(dir.path(), r == 0 ? 1 : 4), 0)
        << testing::read_file(dir / "screen.txt");
    for (int f = 0; f < 5; ++f) out[r][f] = testing::without_stamps(testing::read_file(dir / files[f]));
  }
  // The scraper removes part of the beam; every gap lists itself.
  EXPECT_GT(std::count(out[0][2].begin(), out[0][2].end(), '\n'), 20);
  std::size_t listings = 0;
  for (std::size_t p = 0; (p = out[0][4].find("Cavity parameters for TRACE3D", p)) != std::string::npos; ++p)
    ++listings;
  EXPECT_EQ(listings, 4u);
  for (int f = 0; f < 5; ++f) {
    EXPECT_GT(out[0][f].size(), 0u) << files[f];
    EXPECT_TRUE(out[0][f] == out[1][f]) << files[f] << " differs between 1 and 4 threads";
  }
}

// The example's gap table with one node damaged: read as it stood, the
// first x node moved from -2 to -10 cm gave x_rms 0.689 cm instead of 0.235
// cm, and a first z node of -1e300 cm no acceleration, both with status 0.
// The run must end with status 1 naming the file, the record and the value.
TEST(CavityLinac, DamagedGapTableEndsTheRunNamingTheNode) {
  struct Case {
    int record;  // 3: x nodes, 5: z nodes
    double value;
    const char* words;
  } cases[] = {
      {3, -10.0, "eh_MWS.#01 record 3: x node 1 = -10 cm should lie at -2"},
      {5, -1e300, "eh_MWS.#01 record 5: z node 1 = -1e+300 cm is not a finite coordinate"},
  };
  for (const auto& c : cases) {
    testing::TempDir dir;
    ASSERT_NO_FATAL_FAILURE(copy_example_with_tables(dir));
    std::string bytes = testing::read_file(dir / "eh_MWS.#01");
    std::size_t at = 0;  // start of the record's data: past the records before it and its marker
    for (int r = 1; r < c.record; ++r) {
      std::int32_t len = 0;
      std::memcpy(&len, bytes.data() + at, 4);
      at += static_cast<std::size_t>(len) + 8;
    }
    std::memcpy(bytes.data() + at + 4, &c.value, 8);
    testing::write_file(dir / "eh_MWS.#01", bytes);
    const int rc = testing::run_program(dir.path());
    ASSERT_TRUE(WIFEXITED(rc));
    EXPECT_EQ(WEXITSTATUS(rc), 1);
    const std::string screen = testing::read_file(dir / "screen.txt");
    EXPECT_NE(screen.find(c.words), std::string::npos) << screen;
  }
}

}  // namespace
}  // namespace linac
