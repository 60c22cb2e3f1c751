// Space charge where a run asks for it, through the program as a user runs
// it: the outputs of a prmtr outSC line in every model and mode, repeated
// by every pass of an error study; the ellipsoid comparison with and
// without the semi-axes of an ellipsoid; the 2-D field inside a bending
// magnet against the 3-D model (see cases/bend_space_charge/README).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "case_harness.hpp"
#include "common/constants.hpp"

namespace linac {
namespace {

using testing::read_file;
using testing::read_lines;
using testing::TempDir;
using testing::write_file;

using Lines = std::vector<std::string>;

const char* const kScFiles[5] = {"denSC.dat", "uSC.dat", "ExSC.dat", "EySC.dat", "EzSC.dat"};

bool exists(const TempDir& d, const std::string& f) { return std::filesystem::exists(d / f); }

// The out.dat lines of each pass, without the line that closes it
// (" end of seed No." and the seed number).
std::vector<Lines> passes(const Lines& out) {
  std::vector<Lines> p(1);
  for (const std::string& l : out) {
    if (l.find(" end of seed No.") != std::string::npos)
      p.emplace_back();
    else
      p.back().push_back(l);
  }
  p.pop_back();  // nothing follows the last pass
  return p;
}

// The title lines of a field-line file: those that begin with the element
// keyword, blanks at the end removed.
Lines titles(const TempDir& d, const std::string& file, const std::string& keyword) {
  Lines t;
  for (std::string l : read_lines(d / file))
    if (l.rfind(" " + keyword, 0) == 0) {
      l.erase(l.find_last_not_of(' ') + 1);
      t.push_back(l);
    }
  return t;
}

bool screen_has_library_message(const TempDir& d) {
  return read_file(d / "screen.txt").find(" *** ") != std::string::npos;
}

// Two charge states of argon (Q = 8, 9; A = 40) at 1 MeV/u, 5 mA each, on
// a small grid; IFLAG_CORR = 2 with seeds 1..1 and IFLAG_VRAND = -2 makes
// an error study without errors and without corrections, whose seed pass
// must repeat the nominal pass.
std::string drift_velmo(int iflag2d, int iflag_corr) {
  return fmt::format(
      "&TRAN QDESIGN = 8.0, ADESIGN = 40.0, WIN = 1.0D6, FREQB = 80.5D6,\n"
      "  NQTOT = 2, NPAT = 300, 300, QQ = 8.0, 9.0, AMASS = 40.0, 40.0, CURRENT = 5.0, 5.0,\n"
      "  EPSNX = 0.1, ALPHX = 0.0, BETX = 100.0, EPSNY = 0.1, ALPHY = 0.0, BETY = 100.0,\n"
      "  EPSNZ = 100.0, ALPHZ = 0.0, BETZ = 100.0 /\n"
      "&INDEX IGRAPH = 0, ISRF = 1, IFLAG_DIS = 1, IFLAG2D = {}, NXGRD = 17, NYGRD = 17,\n"
      "  NZGRD = 17, IFLAG_CORR = {}, NRZ_MIN = 1, NRZ = 1 /\n"
      "&CORRECT IFLAG_VRAND = -2 /\n",
      iflag2d, iflag_corr);
}

// Protons at 50 keV/u, 350 MHz, 5 mA, into the five cells of
// cases/rfq_driver (each 0.44759618 cm long). The time mode redraws the
// phases from the random stream in every pass; with DF_4D = 0 they are all
// 0, so that the passes stay alike.
std::string rfq_velmo(int iflag_corr) {
  return fmt::format(
      "&TRAN QDESIGN = 1.0, ADESIGN = 1.0, WIN = 50.0D3, FREQB = 350.0D6,\n"
      "  NQTOT = 1, NPAT = 300, QQ = 1.0, AMASS = 1.0, CURRENT = 5.0,\n"
      "  EPSNX = 0.02, ALPHX = 0.0, BETX = 2.0, EPSNY = 0.02, ALPHY = 0.0, BETY = 2.0,\n"
      "  EPSNZ = 100.0, ALPHZ = 0.0, BETZ = 100.0, DF_4D = 0.0 /\n"
      "&INDEX IGRAPH = 0, ISRF = 1, IFLAG_DIS = 1, NXGRD = 17, NYGRD = 17, NZGRD = 17,\n"
      "  IFLAG_CORR = {}, NRZ_MIN = 1, NRZ = 1 /\n"
      "&CORRECT IFLAG_VRAND = -2 /\n",
      iflag_corr);
}

// A request line before two drifts of 20 cm (22 and 20 steps), or before
// the five-cell RFQ.
std::string lattice(const std::string& request, bool rfq) {
  if (rfq)
    return "1 prmtr harm=1\n1 prmtr iflag_t=1\n1 prmtr outSC=" + request +
           "\n5 rfq 60.0 0.0 0.3 -150.0 1.0 10 1 1\n1 drift 2.0 1.0 1.0\nstop\n";
  return "1 prmtr outSC=" + request + "\n1 drift 20.0 1.5 1.5 22\n2 drift 20.0 1.5 1.5 20\nstop\n";
}

std::string drift_title(double z) { return fmt::format(" drift  at Z={:12.2f}cm", z); }
std::string rfq_title(int cell, double z) { return fmt::format(" rfq   cell#{:4d}  at Z={:12.2f}cm", cell, z); }

// Each outSC line of the table writes its files at the step (and cells) it
// names, in the nominal pass and again in the seed pass of an error study.
TEST(OutScRequests, EveryPassWritesTheFilesItAsksFor) {
  const double ds = 20.0 / 22.0;           // step of the first drift, cm
  const double cell = 0.44759618225336956;  // cell length of the RFQ, cm
  struct Row {
    const char* what;
    bool rfq;
    int iflag2d;
    std::string request;       // values of the outSC line
    std::vector<int> files;    // which of denSC, uSC, ExSC, EySC, EzSC appear
    Lines field_titles;        // the titles in the field-line files
  };
  // The title z is the start of the step: the entrance of the step k.
  const std::vector<Row> rows = {
      {"3-D: density, potential, field lines", false, 0, "5 0.0 0.0 0.0 3", {0, 1, 2, 3, 4},
       {drift_title(4 * ds)}},
      {"3-D: potential, field lines", false, 0, "5 0.0 0.0 0.0 2", {1, 2, 3, 4}, {drift_title(4 * ds)}},
      {"3-D: field lines", false, 0, "7 0.1 -0.1 0.0 1", {2, 3, 4}, {drift_title(6 * ds)}},
      {"2-D: density, potential, field lines", false, 1, "5 0.0 0.0 0.0 -1", {0, 1, 2, 3},
       {drift_title(4 * ds)}},
      {"2-D: potential, field lines", false, 1, "5 0.0 0.0 0.0 0", {1, 2, 3}, {drift_title(4 * ds)}},
      {"2-D: field lines", false, 1, "3 0.0 0.0 0.0 1", {2, 3}, {drift_title(2 * ds)}},
      {"step beyond the element: its last step", false, 0, "99 0.0 0.0 0.0 3", {0, 1, 2, 3, 4},
       {drift_title(21 * ds)}},
      {"RFQ: field lines from cell 2 every 2 cells", true, 0, "1 0.0 0.0 0.0 1 2 2", {2, 3, 4},
       {rfq_title(2, cell), rfq_title(4, 3 * cell)}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    TempDir nominal, study;
    for (int run = 0; run < 2; ++run) {
      const TempDir& d = run == 0 ? nominal : study;
      const int corr = run == 0 ? 0 : 2;
      write_file(d / "velmo.dat", r.rfq ? rfq_velmo(corr) : drift_velmo(r.iflag2d, corr));
      write_file(d / "sclinac.dat", lattice(r.request, r.rfq));
      if (r.rfq)
        std::filesystem::copy_file(std::filesystem::path(LINAC_TEST_DATA_DIR) / "cases/rfq_driver/rfq.#01",
                                   d / "rfq.#01");
      ASSERT_EQ(testing::run_program(d.path(), 1), 0) << read_file(d / "screen.txt");
    }
    // The files asked for, and no other.
    for (int f = 0; f < 5; ++f) {
      const bool wanted = std::find(r.files.begin(), r.files.end(), f) != r.files.end();
      EXPECT_EQ(exists(study, kScFiles[f]), wanted) << kScFiles[f];
      EXPECT_EQ(exists(nominal, kScFiles[f]), wanted) << kScFiles[f];
    }
    const std::string keyword = r.rfq ? "rfq" : "drift";
    for (int f = 2; f < 5; ++f) {
      if (exists(study, kScFiles[f])) {
        EXPECT_EQ(titles(study, kScFiles[f], keyword), r.field_titles) << kScFiles[f];
      }
    }
    // The seed pass repeats the nominal pass: its out.dat lines, and the
    // files it writes again are those of the nominal pass alone.
    const std::vector<Lines> p = passes(read_lines(study / "out.dat"));
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[1], p[0]);
    EXPECT_EQ(passes(read_lines(nominal / "out.dat")).at(0), p[0]);
    for (const char* f : kScFiles) {
      if (exists(nominal, f)) {
        EXPECT_TRUE(read_file(nominal / f) == read_file(study / f)) << f;
      }
    }
    // The grid scans of the ellipsoid comparison (3-D, outside the RFQ)
    // run once per pass and append: the study's are the nominal's twice.
    for (const char* f : {"fort.301", "fort.302", "fort.303"}) {
      const bool scans = r.iflag2d == 0 && !r.rfq;
      EXPECT_EQ(exists(study, f), scans) << f;
      if (!scans) continue;
      const std::string once = read_file(nominal / f);
      EXPECT_FALSE(once.empty()) << f;
      EXPECT_TRUE(read_file(study / f) == once + once) << f;
    }
    // No beam here is an ellipsoid (A_AXE = B_AXE = 0): no library
    // message on the screen.
    EXPECT_FALSE(screen_has_library_message(study)) << read_file(study / "screen.txt");
  }
}

// The values of the log.dat lines that begin with `key`, in order.
std::vector<double> log_values(const TempDir& d, const std::string& key) {
  std::vector<double> v;
  for (const std::string& l : read_lines(d / "log.dat"))
    if (l.rfind(key, 0) == 0) v.push_back(std::stod(l.substr(key.size())));
  return v;
}

int count_lines(const TempDir& d, const std::string& file, const std::string& line) {
  int n = 0;
  for (const std::string& l : read_lines(d / file)) n += l == line;
  return n;
}

// The comparison with the uniformly charged ellipsoid at the first step of
// a drift with current: its grid scans always; its factors only for an
// ellipsoid with three semi-axes, exact to the quadrature's 1e-4.
TEST(OutScRequests, EllipsoidComparisonNeedsThreeSemiAxes) {
  const double gamma = 1000.0 / kAmuKev + 1.0;  // frame of the 1 MeV/u reference
  struct Row {
    const char* what;
    std::string dist;  // distribution type and group OTHER
    double a, m;       // semi-axis across and rest-frame ratio c/a (0: no factors)
    const char* reason;
  } rows[] = {
      {"no group OTHER: A_AXE = B_AXE = 0", "IFLAG_DIS = 1 /\n", 0.0, 0.0,
       "  no ellipsoid comparison: A_AXE or B_AXE is 0"},
      {"continuous beam: C_AXE = 0", "IFLAG_DIS = 51 /\n&OTHER A_AXE = 0.2, B_AXE = 0.2 /\n", 0.2, 0.0,
       "  no ellipsoid comparison: C_AXE is 0"},
      {"sphere", fmt::format("IFLAG_DIS = 53 /\n&OTHER A_AXE = 0.2, B_AXE = 0.2, C_AXE = {:.17g} /\n", 0.2 / gamma),
       0.2, 1.0, nullptr},
      {"prolate, 3:1", fmt::format("IFLAG_DIS = 53 /\n&OTHER A_AXE = 0.1, B_AXE = 0.1, C_AXE = {:.17g} /\n", 0.3 / gamma),
       0.1, 3.0, nullptr},
      {"oblate, 1:3", fmt::format("IFLAG_DIS = 53 /\n&OTHER A_AXE = 0.3, B_AXE = 0.3, C_AXE = {:.17g} /\n", 0.1 / gamma),
       0.3, 1.0 / 3.0, nullptr},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    TempDir d;
    write_file(d / "velmo.dat",
               "&TRAN QDESIGN = 8.0, ADESIGN = 40.0, WIN = 1.0D6, FREQB = 80.5D6,\n"
               "  NQTOT = 1, NPAT = 500, QQ = 8.0, AMASS = 40.0, CURRENT = 5.0,\n"
               "  EPSNX = 0.1, ALPHX = 0.0, BETX = 100.0, EPSNY = 0.1, ALPHY = 0.0, BETY = 100.0,\n"
               "  EPSNZ = 100.0, ALPHZ = 0.0, BETZ = 100.0 /\n"
               "&INDEX IGRAPH = 0, ISRF = 1, NXGRD = 17, NYGRD = 17, NZGRD = 17, " +
                   r.dist);
    write_file(d / "sclinac.dat", "1 prmtr outSC=4 0.0 0.0 0.0 1\n1 drift 10.0 1.5 1.5 10\nstop\n");
    ASSERT_EQ(testing::run_program(d.path(), 1), 0) << read_file(d / "screen.txt");
    EXPECT_FALSE(screen_has_library_message(d)) << read_file(d / "screen.txt");
    // The grid's own gradients and the scans that give them.
    EXPECT_EQ(log_values(d, "     dEdx=").size(), r.reason ? 1u : 3u);
    for (const char* f : {"fort.301", "fort.302", "fort.303"}) EXPECT_GT(read_lines(d / f).size(), 100u) << f;
    if (r.reason != nullptr) {
      EXPECT_EQ(count_lines(d, "log.dat", r.reason), 1);
      EXPECT_TRUE(log_values(d, "       Mx=").empty());
      continue;
    }
    // Envelope-code factors, then the exact ones (F15.6).
    const std::vector<double> mx = log_values(d, "       Mx="), my = log_values(d, "       My="),
                              mz = log_values(d, "       Mz=");
    ASSERT_EQ(mx.size(), 2u);
    ASSERT_EQ(my.size(), 2u);
    ASSERT_EQ(mz.size(), 2u);
    const double want_z = testing::spheroid_mz(r.m);
    EXPECT_NEAR(mx[1], (1.0 - want_z) / 2.0, 1e-4);
    EXPECT_NEAR(my[1], (1.0 - want_z) / 2.0, 1e-4);
    EXPECT_NEAR(mz[1], want_z, 1e-4);
    if (r.m == 1.0) {
      // The envelope code's form factor at p = c/sqrt(ab) = 1: f = 0.33014.
      EXPECT_NEAR(mx[0], 0.33493, 1e-5);
      EXPECT_NEAR(mz[0], 0.33014, 1e-5);
    }
  }
}

// A continuous beam through a 45-degree bend: the 2-D model's space
// charge acts inside the magnet as the 3-D model's does (README of
// cases/bend_space_charge).
TEST(BendSpaceCharge, TwoDimensionalModelGrowsTheBeamAsTheThreeDimensionalOne) {
  struct Exit {
    double x, y;    // rms sizes from out.dat, cm
    double xp, yp;  // rms divergences from coord.dat, mrad
  };
  auto run = [](int iflag2d, double current) {
    TempDir d;
    const std::filesystem::path src = std::filesystem::path(LINAC_TEST_DATA_DIR) / "cases/bend_space_charge";
    std::filesystem::copy_file(src / "sclinac.dat", d / "sclinac.dat");
    std::string v = read_file(src / "velmo.dat");
    v.replace(v.find("CURRENT = 0.0"), 13, fmt::format("CURRENT = {:.1f}", current));
    v.replace(v.find("IFLAG2D = 0"), 11, fmt::format("IFLAG2D = {}", iflag2d));
    write_file(d / "velmo.dat", v);
    Exit e{};
    EXPECT_EQ(testing::run_program(d.path(), 1), 0) << read_file(d / "screen.txt");
    const Lines out = read_lines(d / "out.dat");
    EXPECT_EQ(out.size(), 4u) << read_file(d / "screen.txt");
    if (out.size() < 3) return e;
    std::istringstream bend(out[2]);
    std::string n, name;
    double dist, w, dw;
    bend >> n >> name >> dist >> w >> dw >> e.x >> e.y;
    EXPECT_EQ(name, "bmag");
    // coord.dat: a header, then the reference and every live particle.
    std::vector<double> xp, yp;
    const Lines coord = read_lines(d / "coord.dat");
    for (std::size_t k = 1; k < coord.size(); ++k) {
      std::istringstream in(coord[k]);
      double seed, iq, dt, dW, x, a, y, b;
      in >> seed >> iq >> dt >> dW >> x >> a >> y >> b;
      xp.push_back(a);
      yp.push_back(b);
    }
    EXPECT_EQ(xp.size(), 10001u) << "no particle is lost";
    auto rms = [](const std::vector<double>& u) {
      double m = 0.0, s = 0.0;
      for (double q : u) m += q;
      m /= static_cast<double>(u.size());
      for (double q : u) s += (q - m) * (q - m);
      return std::sqrt(s / static_cast<double>(u.size()));
    };
    e.xp = rms(xp);
    e.yp = rms(yp);
    return e;
  };
  const Exit cold = run(1, 0.0);
  const Exit flat = run(1, 50.0);
  const Exit full = run(0, 50.0);
  // The beam grows with current inside the magnet.
  EXPECT_GT(flat.x, 1.3 * cold.x);
  EXPECT_GT(flat.y, 1.5 * cold.y);
  // And as much as the 3-D model of the same continuous beam makes it.
  EXPECT_NEAR((flat.x - cold.x) / (full.x - cold.x), 1.0, 0.03);
  EXPECT_NEAR((flat.y - cold.y) / (full.y - cold.y), 1.0, 0.03);
  EXPECT_NEAR((flat.xp - cold.xp) / (full.xp - cold.xp), 1.0, 0.03);
  EXPECT_NEAR((flat.yp - cold.yp) / (full.yp - cold.yp), 1.0, 0.03);
}

}  // namespace
}  // namespace linac
