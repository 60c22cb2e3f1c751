// End-to-end RFQ cases (see the README of each case directory): energy gain
// against the transit-time factor pi/4, RF focusing against the smooth
// approximation of Hill's equation, and the driver's outputs, requests,
// save and resume, acceptance runs, repeated runs, cells with their own
// field tables, thread independence, and golden lines of a drifting beam.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "../../tools/rfq_cell_design.hpp"
#include "case_harness.hpp"
#include "control/dispatcher.hpp"
#include "platform/fatal.hpp"
#include "transport/table_writers.hpp"

namespace linac {
namespace {

using testing::CaseRun;
using testing::Placed;
using testing::read_file;
using testing::read_lines;
using testing::TempDir;
using testing::write_file;

std::vector<double> numbers_of(const std::string& line) {
  std::istringstream in(line);
  std::vector<double> v;
  std::string w;
  while (in >> w) {
    try {
      v.push_back(std::stod(w));
    } catch (...) {
      v.push_back(NAN);
    }
  }
  return v;
}

// N regular cells "L 0 r0 m 0 A01 A10".
std::string regular_cells(int N, double L, double r0, double A01, double A10) {
  std::string t;
  for (int i = 1; i <= N; ++i) t += fmt::format("{} {:.17g} 0 {:.17g} 1 0 {:.17g} {:.17g}\n", i, L, r0, A01, A10);
  return t;
}

TEST(RfqCases, EnergyGainOverAPhaseScan) {
  const int N = 6;
  const double V = 80000.0, A10 = 1e-3, W = 5000.0;
  const double lambda = rfq_design::kLightCmS / 200e6;
  const double L = rfq_design::beta_of(W) * lambda / 2;
  std::vector<double> phis, gains;
  std::string last_log, last_wtmp;
  for (int j = 0; j < 12; ++j) {
    const double phi = -180.0 + 30.0 * j;
    CaseRun run("cases/rfq_gain");
    write_file(run.dir / "rfq.#01", regular_cells(N, L, 0.5, 0.0, A10));
    write_file(run.dir / "sclinac.dat",
               fmt::format("1 prmtr harm=1\n1 prmtr iflag_t=1\n{} rfq 80 0 0.5 {} 1 40 1 1\nstop\n", N, phi));
    run.read_inputs();
    // A few particles near the axis: the statistics need a beam.
    std::vector<Placed> beam;
    for (int i = 0; i < 20; ++i) beam.push_back({1e-4 * i, 0.0, -1e-4 * i, 0.0});
    run.place_beam(1, beam);
    run.run_nominal_pass();
    phis.push_back(phi * M_PI / 180);
    gains.push_back(run.sim->ref.w0 - W);
    if (j == 3) {
      last_log = run.file("log.dat");
      last_wtmp = run.file("wtmp.dat");
    }
  }
  // Least squares of gain = a cos phi + b sin phi over the full circle.
  double a = 0, b = 0;
  for (std::size_t j = 0; j < phis.size(); ++j) {
    a += gains[j] * std::cos(phis[j]) * 2 / phis.size();
    b += gains[j] * std::sin(phis[j]) * 2 / phis.size();
  }
  const double want = N * (M_PI / 4) * A10 * V / 1000.0;  // keV/u
  EXPECT_NEAR(std::hypot(a, b), want, 1e-3 * want);
  EXPECT_NEAR(want / N * 1000, 62.83, 0.01) << "eV/u per cell";
  // The reference table ends at the exit energy of wtmp.dat.
  std::istringstream log(last_log);
  std::string line, last_row;
  while (std::getline(log, line))
    if (line.size() > 10 && line.substr(0, 5) == fmt::format("{:5d}", N)) last_row = line;
  ASSERT_FALSE(last_row.empty()) << last_log;
  const auto row = numbers_of(last_row);
  std::istringstream wt(last_wtmp);
  double w_out = NAN;
  while (std::getline(wt, line))
    if (line.find("rfq") != std::string::npos) w_out = numbers_of(line.substr(14)).back();
  // wtmp.dat keeps five digits (E11.5): 0.05 keV/u at 5000 keV/u.
  EXPECT_NEAR(row[3] + row[4], w_out, 0.05 + 1e-9);
}

TEST(RfqCases, RfFocusingMatchesTheSmoothApproximation) {
  for (double B : {1.0, 2.0, 3.0}) {
    CaseRun run("cases/rfq_focus");
    // The design energy and mass as the run knows them.
    run.read_inputs();
    const double amu_ev = run.sim->ref.amu_kev * 1000, W = run.sim->ref.w0;
    const double gamma = 1 + W / run.sim->ref.amu_kev;
    const double beta = std::sqrt(1 - 1 / (gamma * gamma));
    const double lambda = rfq_design::kLightCmS / 200e6, r0 = 0.3, V = 80000.0;
    const double A01 = B * amu_ev * r0 * r0 * gamma / (V * lambda * lambda);
    CaseRun rr("cases/rfq_focus");
    write_file(rr.dir / "rfq.#01", regular_cells(2, beta * lambda / 2, r0, A01, 0.0));
    write_file(rr.dir / "sclinac.dat", "1 prmtr harm=1\n1 prmtr iflag_t=1\n2 rfq 80 0 0.3 0 1 400 1 1\nstop\n");
    rr.read_inputs();
    const double x0 = 1e-3, xp0 = 1e-4;
    rr.place_beam(1, {{x0, 0, 0, 0}, {0, xp0, 0, 0}});
    rr.run_nominal_pass();
    const ParticleArrays& p = rr.sim->particles;
    const double M11 = p.x[1][1] / x0, M22 = p.xp[1][2] / xp0;
    const double sigma = std::acos((M11 + M22) / 2);
    const double smooth = B / (std::sqrt(8.0) * M_PI);
    EXPECT_NEAR(sigma, smooth, 0.01 * smooth) << "B = " << B;
    const double det = M11 * M22 - (p.xp[1][1] / x0) * (p.x[1][2] / xp0);
    // RK4 does not conserve the determinant exactly: 200 steps a cell leave
    // a drift of a few 1e-6.
    EXPECT_NEAR(det, 1.0, 1e-5) << "a period's matrix is symplectic";
  }
}

// ---------------------------------------------------------------- the driver

// Copies the driver case into a scratch directory with the given lattice
// (and velmo.dat edits), runs the program and returns the directory.
struct ProgramRun {
  TempDir dir;
  int rc = 0;
  // velmo_edit: a text of velmo.dat and its replacement.
  ProgramRun(const std::string& lattice, int threads = 1,
             const std::pair<std::string, std::string>& velmo_edit = {}) {
    const auto src = std::filesystem::path(LINAC_TEST_DATA_DIR) / "cases/rfq_driver";
    for (const auto& e : std::filesystem::directory_iterator(src))
      std::filesystem::copy_file(e.path(), dir / e.path().filename().string());
    write_file(dir / "sclinac.dat", lattice);
    if (!velmo_edit.first.empty()) {
      std::string v = read_file(dir / "velmo.dat");
      const auto at = v.find(velmo_edit.first);
      EXPECT_NE(at, std::string::npos) << velmo_edit.first;
      if (at != std::string::npos) v.replace(at, velmo_edit.first.size(), velmo_edit.second);
      write_file(dir / "velmo.dat", v);
    }
    rc = testing::run_program(dir.path(), threads);
  }
  std::string file(const char* n) const { return read_file(dir / n); }
  std::vector<std::string> lines(const char* n) const { return read_lines(dir / n); }
};

// Copies the driver case into dir with the given lattice, cell file (empty:
// the case's own) and velmo.dat edits (each a text and its replacement).
void driver_case(const TempDir& dir, const std::string& lattice, const std::string& cells = {},
                 const std::vector<std::pair<std::string, std::string>>& velmo_edits = {}) {
  const auto src = std::filesystem::path(LINAC_TEST_DATA_DIR) / "cases/rfq_driver";
  for (const auto& e : std::filesystem::directory_iterator(src))
    std::filesystem::copy_file(e.path(), dir / e.path().filename().string());
  write_file(dir / "sclinac.dat", lattice);
  if (!cells.empty()) write_file(dir / "rfq.#01", cells);
  std::string v = read_file(dir / "velmo.dat");
  for (const auto& [from, to] : velmo_edits) {
    const auto at = v.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) v.replace(at, from.size(), to);
  }
  write_file(dir / "velmo.dat", v);
}

// The out.dat lines of the rfq element (its cells and its own line), split
// at every " end of seed No." record: one block per pass.
std::vector<std::vector<std::string>> rfq_lines_per_pass(const std::vector<std::string>& out) {
  std::vector<std::vector<std::string>> passes(1);
  for (const auto& l : out) {
    if (l.find("end of seed No.") != std::string::npos) passes.emplace_back();
    else if (l.size() > 11 && l.substr(6, 3) == "rfq") passes.back().push_back(l);
  }
  if (passes.back().empty()) passes.pop_back();
  return passes;
}

const char* kLattice =
    "1 prmtr harm=1\n1 prmtr iflag_t=1\n5 rfq 60.0 0.0 0.3 -150.0 1.0 10 1 1\n1 drift 2.0 1.0 1.0\nstop\n";

TEST(RfqDriver, OutDatLinesPerCellListingsAndReferenceTable) {
  ProgramRun run(kLattice);
  ASSERT_EQ(run.rc, 0) << run.file("screen.txt");
  std::vector<std::string> names;
  for (const auto& l : run.lines("out.dat"))
    if (l.size() > 11 && l.substr(6, 3) == "rfq") names.push_back(l.substr(0, 4));
  EXPECT_EQ(names, (std::vector<std::string>{"   1", "   2", "   3", "   4", "   5", "   3"}))
      << "cells 1..5, then the element's own line at position 3";
  // Reference table from the entrance transition (cell 2) to the last cell.
  const std::string log = run.file("log.dat");
  const auto head = log.find("ncell  type        z, cm      Wsyn, keV/u   dWsyn, keV/u     Phi, deg    ");
  ASSERT_NE(head, std::string::npos) << log;
  std::istringstream rows(log.substr(head));
  std::string l;
  std::getline(rows, l);
  const double L = 0.44759618225336956;
  for (int i = 2; i <= 5; ++i) {
    ASSERT_TRUE(std::getline(rows, l));
    const auto v = numbers_of(l);
    EXPECT_EQ(v[0], i);
    EXPECT_NEAR(v[2], i * L, 5e-4) << "end of the cell";
  }
  EXPECT_NE(log.find("rfq.#01"), std::string::npos);
}

TEST(RfqDriver, ApertureAndFieldRequests) {
  const double L = 0.44759618225336956, r0 = 0.3;
  // -1: the step apertures of every cell in dev_aperture.dat.
  {
    ProgramRun run(std::string("1 prmtr harm=1\n1 prmtr dev_field=0.05 0.0 -1\n1 prmtr iflag_t=1\n") +
                   "5 rfq 60.0 0.0 0.3 -150.0 1.0 10 1 1\nstop\n");
    ASSERT_EQ(run.rc, 0) << run.file("screen.txt");
    const auto lines = run.lines("dev_aperture.dat");
    ASSERT_EQ(lines.size(), 2u + 5 * 10);
    EXPECT_EQ(lines[0], "           aperture of the RFQ ");
    EXPECT_EQ(lines[1], "       z ,cm      Rx ,cm      Ry ,cm    ");
    // The first step of the -1 fall cell (z' = L - zc inside the fall):
    // r0 / cos(pi (z' - z11)/(2 Dfall)), z11 = 0, Dfall = L.
    const double zc = 0.05 * L, zp = L - zc;
    const double a = r0 / std::cos(M_PI * zp / (2 * L));
    const double plateau = r0 / std::cos(6 * M_PI / 13);
    EXPECT_EQ(lines[2], fmt::format("{:12.3f}{:12.3f}{:12.3f}", zc, std::min(a, plateau), std::min(a, plateau)));
    // The regular cell (third): aperRFQ 0 gives the circle of a = 2 r0/(m + 1).
    EXPECT_EQ(lines[2 + 20], fmt::format("{:12.3f}{:12.3f}{:12.3f}", 2 * L + zc, 0.6 / 2.2, 0.6 / 2.2));
  }
  // 0: the field of every cell along the line, nstep + 1 rows a cell.
  {
    ProgramRun run(std::string("1 prmtr harm=1\n1 prmtr dev_field=0.05 0.0 0\n1 prmtr iflag_t=1\n") +
                   "5 rfq 60.0 0.0 0.3 -150.0 1.0 10 1 1\nstop\n");
    ASSERT_EQ(run.rc, 0) << run.file("screen.txt");
    const auto lines = run.lines("dev_field.dat");
    ASSERT_EQ(lines.size(), 2u + 5 * 11);
    EXPECT_EQ(lines[0], "  The field of RFQ at x=       0.050,cm y=       0.000, cm");
    EXPECT_EQ(lines[1], "    z, cm       Ex, V/cm       Ey, V/cm       Ez, V/cm   ");
    EXPECT_EQ(lines[12].substr(0, 12), lines[13].substr(0, 12)) << "a cell boundary is listed twice";
  }
  // One cell with three values: its rows and its log.dat listing; with four
  // values the listing only.
  for (int nval : {3, 4}) {
    const std::string req = nval == 3 ? "0.05 0.0 3" : "0.05 0.0 3 1";
    ProgramRun run("1 prmtr harm=1\n1 prmtr dev_field=" + req + "\n1 prmtr iflag_t=1\n" +
                   "5 rfq 60.0 0.0 0.3 -150.0 1.0 10 1 1\nstop\n");
    ASSERT_EQ(run.rc, 0) << run.file("screen.txt");
    const auto lines = run.lines("dev_field.dat");
    EXPECT_EQ(lines.size(), nval == 3 ? 2u + 11 : 0u);
    if (nval == 3) {
      EXPECT_EQ(lines[0], "  The field of RFQ cell#  3 at x=       0.050,cm y=       0.000, cm");
    }
    const std::string log = run.file("log.dat");
    EXPECT_NE(log.find(" The RFQ field have extracted in file dev_field.dat\n         regular cell#   3\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find("         Dcell=" + fmt::format("{:12.5f}", L)), std::string::npos);
    EXPECT_NE(log.find("         aperture of the cell #  3\n       z ,cm      Rx ,cm      Ry ,cm    \n"), std::string::npos);
  }
}

TEST(RfqDriver, MissingTimeModeRequestStopsTheRun) {
  ProgramRun run("1 prmtr harm=1\n5 rfq 60.0 0.0 0.3 -150.0 1.0 10 1 1\nstop\n");
  EXPECT_NE(run.rc, 0);
  EXPECT_NE(run.file("screen.txt").find("RFQerror -> command \"1 prmtr iflag_t=1\" is omitted"), std::string::npos);
  EXPECT_NE(run.file("log.dat").find("RFQerror -> command \"1 prmtr iflag_t=1\" is omitted"), std::string::npos);
}

TEST(RfqDriver, SaveAfterACellThenResumeGivesTheSameBeam) {
  ProgramRun whole(std::string("1 prmtr harm=1\n1 prmtr iflag_t=1\n-7 scrch 2\n") +
                   "5 rfq 60.0 0.0 0.3 -150.0 1.0 10 1 1\n1 drift 2.0 1.0 1.0\nstop\n");
  ASSERT_EQ(whole.rc, 0) << whole.file("screen.txt");
  ASSERT_TRUE(std::filesystem::exists(whole.dir / "scratch.#07"));
  TempDir resumed;
  for (const char* f : {"velmo.dat", "rfq.#01"}) std::filesystem::copy_file(whole.dir / f, resumed / f);
  std::filesystem::copy_file(whole.dir / "scratch.#07", resumed / "scratch.#07");
  write_file(resumed / "sclinac.dat", std::string("1 prmtr harm=1\n1 prmtr iflag_t=1\n7 scrch 2\n") +
                                          "5 rfq 60.0 0.0 0.3 -150.0 1.0 10 1 1\n1 drift 2.0 1.0 1.0\nstop\n");
  const int rc = testing::run_program(resumed.path(), 1);
  ASSERT_EQ(rc, 0) << read_file(resumed / "screen.txt");
  EXPECT_TRUE(read_file(whole.dir / "coord.dat") == read_file(resumed / "coord.dat"));
  // Cells 3..5 only, and no reference table after a restart.
  int cells = 0;
  for (const auto& l : read_lines(resumed / "out.dat"))
    if (l.size() > 11 && l.substr(6, 3) == "rfq") ++cells;
  EXPECT_EQ(cells, 3 + 1);
  const std::string log = read_file(resumed / "log.dat");
  EXPECT_EQ(log.find("Parameters of the Reference"), std::string::npos);
  EXPECT_NE(log.find("rfq.#01"), std::string::npos);
}

TEST(RfqDriver, SpaceChargeOutputsDoNotDependOnTheThreadCount) {
  const std::vector<const char*> files = {"out.dat", "coord.dat", "lost.dat", "wtmp.dat", "sc_warning.dat"};
  std::vector<std::string> out[2];
  int k = 0;
  for (int threads : {1, 4}) {
    // 10 mA with the 3-D model.
    ProgramRun run(kLattice, threads, {"CURRENT = 0.0", "CURRENT = 10.0"});
    ASSERT_EQ(run.rc, 0) << run.file("screen.txt");
    for (const char* f : files) out[k].push_back(run.file(f));
    ++k;
  }
  for (std::size_t f = 0; f < files.size(); ++f) EXPECT_TRUE(out[0][f] == out[1][f]) << files[f];
  EXPECT_NE(out[0][4].find("*RFQcell#"), std::string::npos) << out[0][4];
}

TEST(RfqDriver, AnAcceptanceRunRunsEveryCell) {
  TempDir dir;
  driver_case(dir, kLattice, {}, {{"IFLAG_DIS = 1", "IFLAG_DIS = 1, IACCEP = 1"}});
  ASSERT_EQ(testing::run_program(dir.path(), 2), 0) << read_file(dir / "screen.txt");
  const auto passes = rfq_lines_per_pass(read_lines(dir / "out.dat"));
  ASSERT_EQ(passes.size(), 1u);
  std::vector<std::string> names;
  for (const auto& l : passes[0]) names.push_back(l.substr(0, 4));
  EXPECT_EQ(names, (std::vector<std::string>{"   1", "   2", "   3", "   4", "   5", "   3"}));
  EXPECT_TRUE(std::filesystem::exists(dir / "accepted.dat"));
}

// An error study without errors (IFLAG_CORR = 2: no corrections, no
// injection offsets) runs the whole lattice once more per seed from the saved
// initial beam. With DF_4D = 0 the time mode's redrawn phases are all 0, so
// every pass starts from the same beam and the element, entered again with
// its records left from the pass before, must give the same lines.
const std::vector<std::pair<std::string, std::string>> kRepeatedPasses = {
    {"IFLAG_DIS = 1", "IFLAG_DIS = 1, IFLAG_CORR = 2, NRZ_MIN = 1, NRZ = 2"},
    {"DF_4D = 180.0", "DF_4D = 0.0"}};

std::string with_correct_group(const TempDir& dir) {
  std::string v = read_file(dir / "velmo.dat") + "&CORRECT\n  MONERR = 1\n/\n";
  write_file(dir / "velmo.dat", v);
  return v;
}

TEST(RfqDriver, ASecondRunOfTheElementGivesTheSameResults) {
  TempDir dir;
  driver_case(dir, kLattice, {}, kRepeatedPasses);
  with_correct_group(dir);
  ASSERT_EQ(testing::run_program(dir.path(), 2), 0) << read_file(dir / "screen.txt");
  const auto passes = rfq_lines_per_pass(read_lines(dir / "out.dat"));
  ASSERT_EQ(passes.size(), 3u) << "the nominal pass and two seeds";
  ASSERT_EQ(passes[0].size(), 6u);
  EXPECT_EQ(passes[1], passes[0]);
  EXPECT_EQ(passes[2], passes[0]);
  // The reference table of each pass alike.
  const std::string log = read_file(dir / "log.dat");
  std::vector<std::string> tables;
  for (auto at = log.find("ncell  type"); at != std::string::npos; at = log.find("ncell  type", at + 1)) {
    // The heading and the rows of the cells 2..5.
    std::istringstream rows(log.substr(at));
    std::string t, l;
    for (int k = 0; k < 5 && std::getline(rows, l); ++k) t += l + "\n";
    tables.push_back(t);
  }
  ASSERT_EQ(tables.size(), 3u);
  EXPECT_EQ(tables[1], tables[0]);
  EXPECT_EQ(tables[2], tables[0]);
}

// ------------------------------------------------------------- table cells

// The case's cell file with a table token on cells 3 and 4.
std::string cells_with_tables(const std::string& tok3, const std::string& tok4) {
  const auto src = std::filesystem::path(LINAC_TEST_DATA_DIR) / "cases/rfq_driver/rfq.#01";
  std::string out;
  int i = 0;
  for (const auto& l : read_lines(src)) {
    ++i;
    out += l + (i == 3 ? " " + tok3 : i == 4 ? " " + tok4 : std::string()) + "\n";
  }
  return out;
}

// Cell 3 of the case, a two-term regular cell: U/V = (1/2)[A01 (r/r0)^2
// cos 2 theta + A10 I0(kr) cos kz], k = pi/L, so per volt
// E = ((A01 x/r0^2 + (k/2) A10 I1(kr) cos kz x/r) (-1), (A01 y/r0^2 - (k/2)
// A10 I1(kr) cos kz y/r), (k/2) A10 I0(kr) sin kz). A10 carries the sign of
// the first regular cell of a concave = +1 chain, minus the file's value.
constexpr double kCellL = 0.44759618225336956, kCellR0 = 0.29999999999999999;
constexpr double kCellA01 = 1.0166930169779766, kCellA10 = -0.074358739584340819;

void regular_cell_field(double x, double y, double z, Vec3& E) {
  const double k = M_PI / kCellL, r = std::hypot(x, y);
  const double i1_r = r > 0 ? std::cyl_bessel_i(1.0, k * r) / r : k / 2;
  const double er = 0.5 * kCellA10 * k * i1_r * std::cos(k * z);
  E = {-(kCellA01 * x / (kCellR0 * kCellR0) + er * x), kCellA01 * y / (kCellR0 * kCellR0) - er * y,
       0.5 * kCellA10 * k * std::cyl_bessel_i(0.0, k * r) * std::sin(k * z)};
}

// eh_EMS.#NN of E only over x, y in [-half, half] and the z span zspan
// centred on the cell; field(x, y, z from the cell entrance).
void write_cell_table(const TempDir& dir, int NN, double half, double zspan,
                      void (*field)(double, double, double, Vec3&)) {
  auto sim = make_sim();
  sim->units.set_directory(dir.path());
  write_table3d(sim->units, fmt::format("eh_EMS.#{:02d}", NN), table_layout(half, half, zspan / 2, {0, 0, 0}),
                kKindE, [&](double x, double y, double dz, Vec3& E, Vec3& B) {
                  field(x, y, dz + kCellL / 2, E);
                  B = {0.0, 0.0, 0.0};
                });
}

void no_field(double, double, double, Vec3& E) { E = {0.0, 0.0, 0.0}; }

TEST(RfqDriver, TableCellsRunEveryPassFromTheirOwnTables) {
  // Reference: the analytic cells. The table run: cell 3 from a table of its
  // own two-term field, cell 4 (the exit transition) from a table without
  // field. Both run the nominal pass and two seeds, so a cell that kept the
  // table loaded last (cell 4's, empty) instead of reading its own would
  // show in the later passes.
  TempDir ref_dir, tab_dir;
  driver_case(ref_dir, kLattice, {}, kRepeatedPasses);
  with_correct_group(ref_dir);
  driver_case(tab_dir, kLattice, cells_with_tables("eh_EM.#07", "eh_EM.#08"), kRepeatedPasses);
  with_correct_group(tab_dir);
  write_cell_table(tab_dir, 7, 0.35, kCellL, regular_cell_field);
  write_cell_table(tab_dir, 8, 1.0, kCellL, no_field);
  ASSERT_EQ(testing::run_program(ref_dir.path(), 2), 0) << read_file(ref_dir / "screen.txt");
  ASSERT_EQ(testing::run_program(tab_dir.path(), 2), 0) << read_file(tab_dir / "screen.txt");
  const auto ref = rfq_lines_per_pass(read_lines(ref_dir / "out.dat"));
  const auto tab = rfq_lines_per_pass(read_lines(tab_dir / "out.dat"));
  ASSERT_EQ(tab.size(), 3u);
  EXPECT_EQ(tab[1], tab[0]);
  EXPECT_EQ(tab[2], tab[0]);
  // Cells 1..3 as with the analytic field: with 25 nodes over +-0.35 cm and
  // 201 along the cell the table's interpolation error stays below 1e-3 of
  // every statistic (with +-1 cm, a node every 0.083 cm, some beam
  // parameters of cell 3 move by 1 %).
  ASSERT_EQ(ref[0].size(), 6u);
  ASSERT_EQ(tab[0].size(), 6u);
  for (int c = 0; c < 3; ++c) {
    const auto a = numbers_of(ref[0][static_cast<std::size_t>(c)].substr(10));
    const auto b = numbers_of(tab[0][static_cast<std::size_t>(c)].substr(10));
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t j = 0; j < a.size(); ++j) {
      // The centroids (Xc, X'c, Yc, Y'c: small differences of large
      // numbers) to 5e-4 cm or mrad, a few percent of the beam's rms sizes.
      const bool centroid = j >= 19 && j <= 22;
      EXPECT_NEAR(b[j], a[j], centroid ? 5e-4 : 1e-3 * std::fabs(a[j]) + 2e-5) << "cell " << c + 1 << " column " << j;
    }
  }
  // Cell 4 without field: the reference particle gains nothing there.
  const std::string log = read_file(tab_dir / "log.dat");
  const auto head = log.find("ncell  type");
  ASSERT_NE(head, std::string::npos);
  std::istringstream rows(log.substr(head));
  std::string l;
  std::vector<std::vector<double>> table;
  std::getline(rows, l);
  while (std::getline(rows, l) && !l.empty()) table.push_back(numbers_of(l));
  ASSERT_EQ(table.size(), 4u) << "cells 2..5";
  EXPECT_EQ(table[2][0], 4);
  EXPECT_EQ(table[2][4], 0.0) << "dWsyn of the field-free table cell";
  EXPECT_EQ(table[3][3], table[2][3]) << "Wsyn unchanged across it";
}

TEST(RfqDriver, ATableShorterThanItsCellStopsTheRunNamingIt) {
  TempDir dir;
  driver_case(dir, kLattice, cells_with_tables("eh_EM.#07", "eh_EM.#07"));
  write_cell_table(dir, 7, 1.0, 0.9 * kCellL, regular_cell_field);
  EXPECT_NE(testing::run_program(dir.path(), 1), 0);
  const std::string screen = read_file(dir / "screen.txt");
  EXPECT_NE(screen.find("RFQerror -> 3D field table for cell is wrong"), std::string::npos) << screen;
  EXPECT_NE(screen.find("eh_EMS.#07 of cell 3"), std::string::npos) << screen;
  // log.dat: the text in 50 characters, the cell in 4, "is wrong" in 10.
  EXPECT_NE(read_file(dir / "log.dat").find(fmt::format("{:>50}{:4d}{:>10}", "RFQerror -> 3D field table for cell #", 3,
                                                        "is wrong")),
            std::string::npos)
      << read_file(dir / "log.dat");
  // Nothing of cell 3 ran: out.dat ends with cell 2.
  const auto passes = rfq_lines_per_pass(read_lines(dir / "out.dat"));
  ASSERT_EQ(passes.size(), 1u);
  EXPECT_EQ(passes[0].size(), 2u);
  // A table that is long enough but narrower than the aperture stops too.
  TempDir narrow;
  driver_case(narrow, kLattice, cells_with_tables("eh_EM.#07", "eh_EM.#07"));
  write_cell_table(narrow, 7, 0.05, kCellL, regular_cell_field);
  EXPECT_NE(testing::run_program(narrow.path(), 1), 0);
  EXPECT_NE(read_file(narrow / "screen.txt").find("eh_EMS.#07 of cell 3"), std::string::npos);
}

// ------------------------------------------------------------ golden lines

// The text of one F12.5 (or Fw.d) field and its blanks, as out.dat writes
// it: TR1 before and TR2 after (the wide fields TR4 and TR4).
std::string f_field(double v, int lead = 1, int trail = 2, int w = 12, int d = 5) {
  return std::string(static_cast<std::size_t>(lead), ' ') + fmt::format("{:{}.{}f}", v, w, d) +
         std::string(static_cast<std::size_t>(trail), ' ');
}

TEST(RfqDriver, GoldenOutputsOfAFiveCellDriftFixture) {
  CaseRun run("cases/rfq_drift");
  // Protons in atomic mass units (AMASS = 1), as the run takes them.
  const double W = 50.0, amu = kAmuKev;
  const double gamma = 1 + W / amu, beta = std::sqrt(1 - 1 / (gamma * gamma));
  const double lambda = 29979245800.0 / 350e6;
  const double L = beta * lambda / 2, r0 = 0.3, m = 1.2, A01 = 1.0, A10 = 0.07;
  // Fall, entrance transition, regular cell, exit transition, fall.
  write_file(run.dir / "rfq.#01",
             fmt::format("1 {0:.17g} 0 {1} {2} -1 {3} 0 0 {0:.17g} 0 0 0 0\n"
                         "2 {0:.17g} 0 {1} {2} -2 {3} {4} 0 0 0 0 0 0\n"
                         "3 {0:.17g} 0 {1} {2} 0 {3} {4} 0 0 0 0 0 0\n"
                         "4 {0:.17g} 0 {1} {2} 2 {3} {4} 0 0 0 0 0 0\n"
                         "5 {0:.17g} 0 {1} {2} 1 {3} 0 0 {0:.17g} 0 0 0 0\n",
                         L, r0, m, A01, A10));
  run.read_inputs();
  ASSERT_EQ(run.sim->ref.amu_kev, amu);
  const double d = 0.01, s = 0.01, dy = 0.02, sy = 0.005;
  run.place_beam(1, {{d, s, dy, sy}, {-d, -s, -dy, -sy}, {d, -s, dy, -sy}, {-d, s, -dy, sy}});
  run.run_nominal_pass();

  // out.dat: cells 1..5 at z = i L, then the element's own line (line 4 of
  // the lattice) with the numbers of the last cell.
  std::vector<std::string> lines;
  for (const auto& l : run.lines("out.dat"))
    if (l.size() > 11 && l.substr(6, 3) == "rfq") lines.push_back(l);
  ASSERT_EQ(lines.size(), 6u);
  const double bg = beta * gamma;
  for (int i = 1; i <= 6; ++i) {
    const std::string& l = lines[static_cast<std::size_t>(i - 1)];
    SCOPED_TRACE(l.substr(0, 161));
    ASSERT_EQ(l.size(), 558u);
    const double z = std::min(i, 5) * L;
    const double excess = z * (std::sqrt(1 + s * s + sy * sy) - 1);
    const double delta = 2 * M_PI * excess / (beta * lambda) * 180 / M_PI;  // deg
    // n_el, name, dist, energy, deviation, x_rms, y_rms, Xmax, Ymax,
    // phi_rms, phi_max, DW/W.
    const std::string head = fmt::format("{:4d}  rfq  ", i <= 5 ? i : 4) + f_field(z / 100) + f_field(W / 1000) +
                             f_field(0.0) + f_field(std::sqrt(d * d + s * s * z * z)) +
                             f_field(std::sqrt(dy * dy + sy * sy * z * z)) + f_field(d + s * z) +
                             f_field(dy + sy * z) + f_field(delta / std::sqrt(5.0)) + f_field(delta) + f_field(0.0);
    EXPECT_EQ(l.substr(0, head.size()), head);
    // Columns 24 (btgm, beta gamma of the reference) and 26..29 (the Twiss
    // parameters: alpha = -s z/d, beta = (d^2 + s^2 z^2)/(d s) cm/rad,
    // written in cm/mrad), 15 characters each from character 341.
    EXPECT_EQ(l.substr(341 + 4 * 15, 15), f_field(bg));
    const std::string twiss = f_field(-s * z / d) + f_field((d * d + s * s * z * z) / (d * s) * 1e-3) +
                              f_field(-sy * z / dy) + f_field((dy * dy + sy * sy * z * z) / (dy * sy) * 1e-3);
    EXPECT_EQ(l.substr(341 + 6 * 15, twiss.size()), twiss);
    // Lost and total counts.
    EXPECT_EQ(l.substr(526), fmt::format(" {:12.1f}    {:12.1f}   ", 0.0, 5.0));
  }

  // log.dat: the listing of cell 3 and the reference particle's table.
  const std::string log = run.file("log.dat");
  std::string listing = " The RFQ field have extracted in file dev_field.dat\n"
                        "         regular cell#   3\n";
  const double a = 2 * r0 / (m + 1);
  for (const auto& [label, v] : std::vector<std::pair<std::string, double>>{
           {" Dcell=", L}, {" V0RFQ=", 0.0}, {" R0RFQ=", r0}, {"     a=", a}, {"    ma=", m * a}, {"   A01=", A01},
           {"   A10=", -A10}})  // the first regular cell of a concave = +1 chain takes -A10
    listing += fmt::format("{:>15}{:12.5f}\n", label, v);
  // An empty free-format line, then the step apertures.
  listing += "\n         aperture of the cell #  3\n       z ,cm      Rx ,cm      Ry ,cm    \n";
  for (int j = 1; j <= 10; ++j) listing += fmt::format("{:12.3f}{:12.3f}{:12.3f}\n", (j - 0.5) * L / 10, a, a);
  EXPECT_NE(log.find(listing), std::string::npos) << listing << "\n----\n" << log;
  std::string table = fmt::format("{:>5}{:>7}    {:>12}{:>15}{:>15}{:>15}\n", "ncell", "  type ", "   z, cm    ",
                                  "  Wsyn, keV/u  ", " dWsyn, keV/u  ", "   Phi, deg    ");
  const int types[] = {0, -1, -2, 0, 2, 1};
  for (int i = 2; i <= 5; ++i)
    table += fmt::format("{:5d}   {:2d}  {:12.3f}{:15.3f}{:15.3f}{:15.3f}\n", i, types[i], i * L, W, 0.0, -150.0 + 90.0);
  EXPECT_NE(log.find(table), std::string::npos) << table << "\n----\n" << log;
}

// ------------------------------------------------ per-state phase origins

// A bunch of charge state iq: slot 0 at the phase centre, then n particles
// spread evenly over centre +- half (rad), near the axis with small slopes.
struct Bunch {
  double centre, half;
  int n;
};

// The drifting five-cell RFQ (V = 0) at the time-mode request, entered by
// the given bunches; velmo.dat of the drift case with the given edits; the
// lattice lines after the rfq line (line 2).
std::unique_ptr<CaseRun> rfq_bunches(const std::vector<Bunch>& bunches,
                                     const std::vector<std::pair<std::string, std::string>>& velmo_edits,
                                     const std::string& after = "") {
  auto run = std::make_unique<CaseRun>("cases/rfq_drift");
  std::filesystem::copy_file(std::filesystem::path(LINAC_TEST_DATA_DIR) / "cases/rfq_driver/rfq.#01",
                             run->dir / "rfq.#01");
  std::string v = read_file(run->dir / "velmo.dat");
  for (const auto& [from, to] : velmo_edits) {
    const auto at = v.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) v.replace(at, from.size(), to);
  }
  write_file(run->dir / "velmo.dat", v);
  write_file(run->dir / "sclinac.dat", "1 prmtr harm=1\n5 rfq 0.0 0.0 0.3 -150.0 1.0 10 1 1\n" + after + "stop\n");
  run->read_inputs();
  Sim& s = *run->sim;
  for (std::size_t q = 0; q < bunches.size(); ++q) {
    const Bunch& b = bunches[q];
    const int iq = static_cast<int>(q) + 1;
    std::vector<Placed> beam;
    for (int i = 1; i <= b.n; ++i)
      beam.push_back({0.01 * std::sin(1.0 * i), 0.001 * std::cos(1.7 * i), 0.01 * std::cos(1.1 * i),
                      0.001 * std::sin(1.3 * i)});
    run->place_beam(iq, beam);
    s.particles.phase[iq][0] = b.centre;
    for (int i = 1; i <= b.n; ++i) s.particles.phase[iq][i] = b.centre - b.half + 2 * b.half * (i - 1) / (b.n - 1);
  }
  // The time-mode request as a prmtr iflag_t=1 line would leave it, without
  // its redrawing of the phases.
  s.state.iflag_t = 1;
  run->run_nominal_pass();
  return run;
}

// Whole-beam centroid and rms of the phase deviations of the counted
// particles, each taken about its state's origin and wrapped into [-pi,
// pi); per state the mean deviation. Phases are those left after the
// element, relative to its exit reference phase.
struct PhaseMoments {
  double mean = 0.0, rms = 0.0;
  std::vector<double> state_mean;
};

PhaseMoments phase_moments(const Sim& s, const std::vector<double>& origin) {
  PhaseMoments m;
  std::vector<double> d;
  m.state_mean.assign(origin.size() + 1, 0.0);
  for (std::size_t q = 0; q < origin.size(); ++q) {
    const int iq = static_cast<int>(q) + 1;
    double sum = 0.0;
    int n = 0;
    for (int i = 0; i <= s.config.NPAT[iq]; ++i) {
      if (s.particles.status[iq][i] < 0) continue;
      const double w = (1 / std::sqrt(1 - s.particles.beta[iq][i] * s.particles.beta[iq][i]) - 1) * s.ref.amu_kev;
      if (!(std::abs(w / s.ref.w0 - 1) < s.config.DWWACC)) continue;
      const double di = std::remainder(s.particles.phase[iq][i] - origin[q], 2 * M_PI);
      d.push_back(di);
      sum += di;
      ++n;
    }
    m.state_mean[static_cast<std::size_t>(iq)] = sum / n;
  }
  for (double x : d) m.mean += x / static_cast<double>(d.size());
  double ss = 0.0;
  for (double x : d) ss += (x - m.mean) * (x - m.mean);
  m.rms = std::sqrt(ss / static_cast<double>(d.size() - 1));
  return m;
}

// Charge states 1 and 2 (two groups) a bucket and 0.4 rad apart, the
// design charge between them: IRIARFQ = nint((2 pi + 0.4)/pi)/2 = 1, the
// origins 0 and 2 pi, phi_ref = 2 + 0.2. Each bunch spreads +-1.3 rad, so
// a centre left at the bunches' entrance mean phases (2 and 2 + 2 pi +
// 0.4) would tear them apart at the wrap. The statistics after the RFQ are
// those of the phases about each state's bucket origin, and a filter of
// mode 1 after it brings both into one bucket keeping their 0.4 rad.
TEST(RfqPhaseOrigins, TwoGroupsABucketApart) {
  const std::vector<std::pair<std::string, std::string>> two_groups = {
      {"QDESIGN = 1.0", "QDESIGN = 1.5"},
      {"NQTOT = 1, NPAT = 4, QQ = 1.0, AMASS = 1.0", "NQTOT = 2, NPAT = 41, 41, QQ = 1.0, 2.0, AMASS = 1.0, 1.0"}};
  const std::vector<Bunch> bunches = {{2.0, 1.3, 41}, {2.0 + 2 * M_PI + 0.4, 1.3, 41}};
  {
    SCOPED_TRACE("statistics after the RFQ");
    auto run = rfq_bunches(bunches, two_groups);
    const Sim& s = *run->sim;
    EXPECT_EQ(s.state.IRIARFQ, 1);
    EXPECT_EQ(s.qphase.qstate_phase_origin[1], 0.0);
    EXPECT_NEAR(s.qphase.qstate_phase_origin[2], 2 * M_PI, 1e-15);
    const PhaseMoments m = phase_moments(s, {0.0, 2 * M_PI});
    // The bunches end 0.2 rad either side of the reference.
    EXPECT_NEAR(m.state_mean[1], -0.2, 1e-4);
    EXPECT_NEAR(m.state_mean[2], 0.2, 1e-4);
    const ElementStatsRow& e = s.stats.element_stats[2];
    EXPECT_NEAR(e.phic, m.mean, 1e-12);
    EXPECT_NEAR(e.phi_rms, m.rms, 1e-12);
    // Each state's centroid phase: its mean deviation about its origin,
    // plus the origin and the reference phase at the exit.
    for (int iq = 1; iq <= 2; ++iq)
      EXPECT_NEAR(s.stats.qstate_centroids[iq][5],
                  m.state_mean[static_cast<std::size_t>(iq)] + (iq - 1) * 2 * M_PI + s.history.ref_phase_out[2], 1e-9)
          << iq;
  }
  {
    SCOPED_TRACE("filter of mode 1 after the RFQ");
    auto run = rfq_bunches(bunches, two_groups, "3 filtr 1.0 0 1\n");
    const Sim& s = *run->sim;
    EXPECT_EQ(s.state.IRIARFQ, 0);
    EXPECT_EQ(s.qphase.qstate_phase_origin[2], 0.0);
    const PhaseMoments m = phase_moments(s, {0.0, 0.0});
    EXPECT_NEAR(m.state_mean[2] - m.state_mean[1], 0.4, 1e-4);
    // The phase centre of the two groups is the reference: their means
    // end at -0.2 and +0.2.
    EXPECT_NEAR(m.state_mean[1] + m.state_mean[2], 0.0, 1e-4);
  }
}

// One charge state whose mean phase is 2 rad at the RFQ entrance, spread
// over +-2.5 rad, the design charge above it: IRIARFQ = nint(-2/pi) = -1,
// origin 0, phi_ref = 2. The bunch ends centred on the reference; wrapped
// about a centre left at 2 rad, its particles below 2 - pi would be torn
// to the far side. Its rms phase after the RFQ is the direct one.
TEST(RfqPhaseOrigins, OneGroupWiderThanTheDistanceToTheWrap) {
  auto run = rfq_bunches({{2.0, 2.5, 51}}, {{"QDESIGN = 1.0", "QDESIGN = 2.0"}, {"NPAT = 4", "NPAT = 51"}});
  const Sim& s = *run->sim;
  EXPECT_EQ(s.state.IRIARFQ, -1);
  EXPECT_EQ(s.qphase.qstate_phase_origin[1], 0.0);
  const PhaseMoments m = phase_moments(s, {0.0});
  EXPECT_NEAR(m.mean, 0.0, 1e-4);
  // The 52 deviations 0.1 k (k = -25..25) and slot 0 at 0: sample rms
  // sqrt(0.01 sum k^2 / 51), sum k^2 = 2 (25 26 51 / 6).
  EXPECT_NEAR(m.rms, std::sqrt(2 * 25 * 26 * 51 / 6.0 * 0.01 / 51), 1e-4);
  const ElementStatsRow& e = s.stats.element_stats[2];
  EXPECT_NEAR(e.phi_rms, m.rms, 1e-12);
  EXPECT_NEAR(e.phic, m.mean, 1e-12);
}

}  // namespace
}  // namespace linac
