// Whole error studies without corrections: the seed loop's files and
// seeds, replay of stored errors, reproducibility for any thread count,
// the pooled statistics against one seed's own, the correction subset,
// restart from a scrch save point, and the inputs that stop a study.
#include <gtest/gtest.h>

#include <omp.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "run/sim.hpp"
#include "beam/beam_state.hpp"
#include "control/dispatcher.hpp"
#include "control/error_seed_loop.hpp"
#include "control/velmo_main.hpp"
#include "input_fixture.hpp"
#include "platform/unformatted.hpp"
#include "test_support.hpp"
#include "transport/field_free_element.hpp"

namespace linac {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::read_lines;
using testing::TaskRun;

// 1 MeV/u protons at 100 MHz, fixed seed, no plots; `tran`, `index` and
// `correct` add members to the groups.
std::string velmo(const std::string& tran, const std::string& index, const std::string& correct = "") {
  return "&TRAN QDESIGN=1, ADESIGN=1, WIN=1.0D6, FREQB=1.0D8, NQTOT=1, QQ=1, AMASS=1,\n"
         "      EPSNX=0.1, ALPHX=0.5, BETX=100, EPSNY=0.2, ALPHY=-1.5, BETY=40,\n"
         "      EPSNZ=100, ALPHZ=0.3, BETZ=50, " +
         tran + " /\n&INDEX IGRAPH=0, ISRF=1, IFLAG_DIS=1, " + index + " /\n&CORRECT " + correct + " /\n";
}

// Drifts around a field-free quadrupole (20 cm, 10 steps) whose type gets
// amplitudes of 0.02 cm (x, y), 0.01 cm (z) and a 3 mrad roll.
const std::string kLattice =
    "1 align quad 0.02 0.01 3\n"
    "1 drift 10 2 2\n"
    "1 quad 0 20 10 2 10\n"
    "2 drift 5 2 2\n"
    "stop\n";
constexpr int kLines = 4;

struct Study : TaskRun {
  Study(const std::string& v, const std::string& lattice) : TaskRun(v, lattice) {
    sim->handlers.set(HandlerId::quad_element, testing::field_free_quad);
  }
};

// The out.dat blocks of a run, each ended by its " end of seed No." line.
std::vector<std::vector<std::string>> out_blocks(const TaskRun& r) {
  std::vector<std::vector<std::string>> blocks(1);
  for (const auto& l : r.lines_of("out.dat")) {
    if (l.find(" end of seed No.") != std::string::npos) {
      blocks.back().push_back(l);
      blocks.emplace_back();
    } else if (l.find("entry") != std::string::npos || !blocks.back().empty()) {
      blocks.back().push_back(l);
    }
  }
  blocks.pop_back();
  return blocks;
}

TEST(ErrorSeedLoop, SeedsFilesAndVrandRecords) {
  Study run(velmo("NPAT=200, X00=0.1", "IFLAG_CORR=2, NRZ_MIN=5, NRZ=2", "IFLAG_VRAND=1"), kLattice);
  ASSERT_EQ(run.go(), 0) << run.screen.str();
  const auto blocks = out_blocks(run);
  ASSERT_EQ(blocks.size(), 3u);
  const char* ends[] = {"  end of seed No.           0", "  end of seed No.           5",
                        "  end of seed No.           6"};
  for (int b = 0; b < 3; ++b) {
    EXPECT_EQ(blocks[b].size(), 1u + kLines + 1u);
    EXPECT_EQ(blocks[b].back(), ends[b]);
  }
  // Each seed's injection error lies within +- X00 = 0.1 cm of the
  // nominal entrance centroid (the nominal pass of a study has none).
  const double xc0 = std::stod(blocks[0][0].substr(341, 15));
  for (int b = 1; b < 3; ++b) {
    const double d = std::stod(blocks[b][0].substr(341, 15)) - xc0;
    EXPECT_LT(std::abs(d), 0.1) << b;
    EXPECT_GT(std::abs(d), 0.0) << b;
  }
  // One record of ten 64-bit deviates per line, framed 4 + 80 + 4.
  for (const char* name : {"vrand_005.dat", "vrand_006.dat"}) {
    const std::string bytes = read_file(run.dir / name);
    ASSERT_EQ(bytes.size(), kLines * 88u) << name;
    for (int r = 0; r < kLines; ++r) {
      EXPECT_EQ(static_cast<unsigned char>(bytes[88 * r]), 80u);
      EXPECT_EQ(static_cast<unsigned char>(bytes[88 * r + 84]), 80u);
    }
  }
  EXPECT_NE(read_file(run.dir / "vrand_005.dat"), read_file(run.dir / "vrand_006.dat"));
  for (const char* name : {"ph_monitor.dat", "bp_monitor.dat", "co_monitor.dat", "out_wq.dat", "out_phq.dat",
                           "corr_dis.dat", "staterr.dat"})
    EXPECT_TRUE(fs::exists(run.dir / name)) << name;
  EXPECT_EQ(run.lines_of("staterr.dat").size(), static_cast<std::size_t>(kLines));

  // The same seeds replayed from the files give the same element errors,
  // though not the same injection errors (the stream is no longer advanced
  // by a drawing pass).
  Study replay(velmo("NPAT=200, X00=0.1", "IFLAG_CORR=2, NRZ_MIN=5, NRZ=2", "IFLAG_VRAND=-1"), kLattice);
  for (const char* name : {"vrand_005.dat", "vrand_006.dat"}) fs::copy_file(run.dir / name, replay.dir / name);
  ASSERT_EQ(replay.go(), 0) << replay.screen.str();
  for (int n = 1; n <= kLines; ++n) EXPECT_EQ(replay.sim->elements.elem_err[n], run.sim->elements.elem_err[n]) << n;
  EXPECT_NE(out_blocks(replay)[2][0], blocks[2][0]);
}

TEST(ErrorSeedLoop, CentredDeviatesReproduceTheNominalPass) {
  // u = 0.5 and n = 0 for every deviate: no offset, tilt, roll or field
  // error; without injection offsets the seed's pass is the nominal one.
  Study run(velmo("NPAT=200", "IFLAG_CORR=2, NRZ_MIN=1, NRZ=1", "IFLAG_VRAND=-1"), kLattice);
  {
    UnformattedOut out(run.sim->units, (run.dir / "vrand_001.dat").string());
    for (int n = 0; n < kLines; ++n) {
      RecordOut rec;
      for (int k = 1; k <= 10; ++k) rec.put(k == 7 || k == 8 ? 0.0 : 0.5);
      out.write(rec);
    }
    out.close();
  }
  ASSERT_EQ(run.go(), 0) << run.screen.str();
  const auto blocks = out_blocks(run);
  ASSERT_EQ(blocks.size(), 2u);
  for (std::size_t l = 0; l + 1 < blocks[0].size(); ++l) EXPECT_EQ(blocks[1][l], blocks[0][l]) << l;
}

TEST(ErrorSeedLoop, OutputsAreTheSameForAnyThreadCountAndRun) {
  // Enough particles for the particle loops to run on several threads.
  const std::string v = velmo("NPAT=3000, X00=0.05, XP00=0.001", "IFLAG_CORR=2, NRZ_MIN=1, NRZ=2", "IFLAG_VRAND=1");
  const int saved = omp_get_max_threads();
  std::vector<std::unique_ptr<Study>> runs;
  for (int threads : {1, 4, 4}) {
    omp_set_num_threads(threads);
    runs.push_back(std::make_unique<Study>(v, kLattice));
    EXPECT_EQ(runs.back()->go(), 0) << runs.back()->screen.str();
  }
  omp_set_num_threads(saved);
  for (const char* name : {"out.dat", "staterr.dat", "coord.dat", "lost.dat", "vrand_001.dat", "vrand_002.dat"}) {
    const std::string first = read_file(runs[0]->dir / name);
    EXPECT_FALSE(first.empty()) << name;
    for (std::size_t r = 1; r < runs.size(); ++r) EXPECT_EQ(read_file(runs[r]->dir / name), first) << name << " run " << r;
  }
}

TEST(ErrorSeedLoop, OneSeedPoolsToItsOwnEmittances) {
  // Also across a change of the operating harmonic: each position converts
  // its phase spread to time with the harmonic in force there.
  for (const std::string& lattice : {kLattice, std::string("1 drift 10 2 2\n 1 prmtr harm=2\n") + kLattice}) {
    SCOPED_TRACE(lattice);
    Study run(velmo("NPAT=500, X00=0.05", "IFLAG_CORR=2, NRZ_MIN=3, NRZ=1", "IFLAG_VRAND=0"), lattice);
    ASSERT_EQ(run.go(), 0) << run.screen.str();
    const auto lines = run.lines_of("staterr.dat");
    const int nlines = run.sim->config.iel_last;
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(nlines));
    const auto& rows = run.sim->stats.element_stats;
    for (int n = 1; n <= nlines; ++n) {
      const std::string& l = lines[n - 1];
      EXPECT_EQ(std::stoi(l.substr(0, 4)), n);
      const double want[3] = {rows[n].exn_rms4 * 1000.0, rows[n].eyn_rms4 * 1000.0, rows[n].ezn_rms4};
      for (int k = 0; k < 3; ++k) {
        const double got = std::stod(l.substr(21 + 15 * k, 15));
        EXPECT_NEAR(got, want[k], 5e-5 * want[k]) << "line " << n << " plane " << k;
      }
    }
  }
}

TEST(ErrorSeedLoop, StudyVariants) {
  struct Case {
    const char* what;
    std::string index, correct;
    int seeds;                 // out.dat blocks after the nominal one
    bool staterr, monitors;
  };
  const Case cases[] = {
      {"no seed: staterr.dat from cleared accumulators", "IFLAG_CORR=2, NRZ=0", "", 0, true, true},
      {"IFLAG_UNIX = 1 suppresses the seed files", "IFLAG_CORR=2, NRZ=1, IFLAG_UNIX=1", "", 1, false, false},
      {"IFLAG_VRAND below -1: no errors", "IFLAG_CORR=3, NRZ=1", "IFLAG_VRAND=-2", 1, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Study run(velmo("NPAT=200", c.index, c.correct), kLattice);
    ASSERT_EQ(run.go(), 0) << run.screen.str();
    EXPECT_EQ(out_blocks(run).size(), 1u + c.seeds);
    EXPECT_EQ(fs::exists(run.dir / "staterr.dat"), c.staterr);
    EXPECT_EQ(fs::exists(run.dir / "ph_monitor.dat"), c.monitors);
    EXPECT_EQ(fs::exists(run.dir / "bp_monitor.dat"), c.monitors);
    EXPECT_TRUE(fs::exists(run.dir / "co_monitor.dat"));
    if (c.seeds == 0) {
      for (const auto& l : run.lines_of("staterr.dat"))
        EXPECT_EQ(l.substr(21), "    0.00000E+00    0.00000E+00    0.00000E+00") << l;
    }
    if (c.correct == "IFLAG_VRAND=-2") {
      for (int n = 1; n <= kLines; ++n)
        for (int k = 1; k <= 10; ++k) EXPECT_EQ(run.sim->elements.elem_err[n][k], 0.0);
    }
  }
}

TEST(ErrorSeedLoop, CorrectionSubsetRoundsHalvesAwayFromZero) {
  for (const auto& [npat, subset] : {std::pair{200, 100}, std::pair{201, 101}}) {
    Study run(velmo("NPAT=" + std::to_string(npat), "IFLAG_CORR=2, NRZ=1", "PARTCORR=0.5"), kLattice);
    ASSERT_EQ(run.go(), 0) << run.screen.str();
    auto saved = make_sim();
    saved->units.set_directory(run.dir.path());
    State(*saved, "corr_dis.dat", "read");
    EXPECT_EQ(saved->config.NPAT[1], subset);
    // The final pass runs with every particle.
    EXPECT_EQ(run.sim->config.NPAT[1], npat);
  }
}

TEST(ErrorSeedLoop, BadVrandFilesStopBeforeTheSeedRuns) {
  struct Case {
    const char* what;
    int records;
    int values_in_record_2;  // values of the second record
    double value;            // deviate 3 of the first record
    const char* expect;
  };
  const double nan = std::nan("");
  const Case cases[] = {
      {"missing", -1, 10, 0.5, "vrand_001.dat"},
      {"one record short", kLines - 1, 10, 0.5, "vrand_001.dat record 4"},
      {"record of another length", kLines, 9, 0.5, "vrand_001.dat record 2 (element line 2): 72 bytes"},
      {"not finite", kLines, 10, nan, "vrand_001.dat record 1 (element line 1): deviate 3 is nan"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Study run(velmo("NPAT=200", "IFLAG_CORR=2, NRZ=1", "IFLAG_VRAND=-1"), kLattice);
    if (c.records >= 0) {
      UnformattedOut out(run.sim->units, (run.dir / "vrand_001.dat").string());
      for (int r = 1; r <= c.records; ++r) {
        RecordOut rec;
        const int nv = r == 2 ? c.values_in_record_2 : 10;
        for (int k = 1; k <= nv; ++k) rec.put(r == 1 && k == 3 ? c.value : 0.5);
        out.write(rec);
      }
      out.close();
    }
    EXPECT_NE(run.go(), 0);
    const std::string screen = run.screen.str();
    EXPECT_NE(screen.find(c.expect), std::string::npos) << screen;
    EXPECT_EQ(out_blocks(run).size(), 1u);  // the nominal pass only
  }
}

// ---------------------------------------------------------------- restart

// Drifts whose apertures lose particles before and after the save point,
// with injection offsets; the scrch line with number `scrch` is line 4.
std::string restart_lattice(const char* scrch) {
  return std::string("1 drift 10 0.5 0.5\n2 drift 20 2 2\n3 drift 15 0.35 -0.35\n") + scrch +
         " scrch\n4 drift 25 2 2\n5 drift 10 0.25 -0.25\nstop\n";
}

TEST(ErrorSeedLoop, EveryPassStartsFromTheLabFrame) {
  // lost.dat gives each lost particle with the entrance frame of its
  // element: on a straight lattice its origin lies at the end of the
  // previous line in every pass, the seeds' passes included.
  Study run(velmo("NPAT=1000, X00=0.05", "IFLAG_CORR=2, NRZ=2"), restart_lattice("-9"));
  ASSERT_EQ(run.go(), 0) << run.screen.str();
  const Sim& s = *run.sim;
  int seen = 0;
  for (const auto& l : run.lines_of("lost.dat")) {
    if (l.size() < 203 || !std::isdigit(static_cast<unsigned char>(l[3]))) continue;
    const int n = std::stoi(l.substr(0, 4));
    EXPECT_NEAR(std::stod(l.substr(191, 12)), s.elements.elem_pos[n - 1], 5e-4) << l.substr(0, 40);
    ++seen;
  }
  EXPECT_GT(seen, 0);
}

TEST(Restart, RunFromTheSavePointRepeatsTheFullRun) {
  // Two charge states, each with its injection offsets.
  std::string v = velmo("NPAT=1000, 1000, X00=0.05, 0.02, YP00=0.001, -0.001", "IFLAG_CORR=0");
  v.replace(v.find("NQTOT=1, QQ=1, AMASS=1"), 22, "NQTOT=2, QQ=1, 2, AMASS=1, 1");
  TaskRun full(v, restart_lattice("-7"));
  ASSERT_EQ(full.go(), 0) << full.screen.str();
  ASSERT_TRUE(fs::exists(full.dir / "scratch.#07"));
  TaskRun again(v, restart_lattice("7"));
  fs::copy_file(full.dir / "scratch.#07", again.dir / "scratch.#07");
  ASSERT_EQ(again.go(), 0) << again.screen.str();

  const auto out1 = full.lines_of("out.dat");
  const auto out2 = again.lines_of("out.dat");
  // out.dat: header, entry, lines 1..6, end. The restarted run starts at
  // line 4: its entry shows the saved beam (line 3 of the full run).
  ASSERT_EQ(out1.size(), 9u);
  ASSERT_EQ(out2.size(), 6u);
  // The entry's statistics are those of line 3 (its counts of live and lost
  // particles, the last 32 columns, start afresh).
  ASSERT_EQ(out2[1].size(), out1[4].size());
  const std::size_t stats = out2[1].size() - 26 - 32;
  EXPECT_EQ(out2[1].substr(26, stats), out1[4].substr(26, stats));
  EXPECT_EQ(out2[1].substr(out2[1].size() - 16), out1[4].substr(out1[4].size() - 16));  // live
  for (int l = 3; l < 6; ++l) EXPECT_EQ(out2[l], out1[l + 3]) << l;
  EXPECT_EQ(read_file(again.dir / "coord.dat"), read_file(full.dir / "coord.dat"));
  const auto wtmp1 = full.lines_of("wtmp.dat");
  const auto wtmp2 = again.lines_of("wtmp.dat");
  ASSERT_EQ(wtmp2.size(), 3u);
  for (int l = 0; l < 3; ++l) EXPECT_EQ(wtmp2[l], wtmp1[l + 3]) << l;
  // lost.dat: the records of lines 4.. are those of the full run.
  const auto lost1 = full.lines_of("lost.dat");
  const auto lost2 = again.lines_of("lost.dat");
  std::vector<std::string> tail;
  for (const auto& l : lost1)
    if (l.size() > 4 && std::isdigit(static_cast<unsigned char>(l[3])) && std::stoi(l.substr(0, 4)) >= 4) tail.push_back(l);
  ASSERT_FALSE(tail.empty());
  ASSERT_GT(lost1.size(), lost2.size() + 1);  // losses before the save point too
  std::vector<std::string> tail2(lost2.begin() + static_cast<long>(lost2.size() - tail.size()), lost2.end());
  EXPECT_EQ(tail2, tail);
}

// A restarted run whose lattice saves the beam again further on: the save
// line changes the scrch number during the nominal pass, but every pass of
// the error study still starts its frame at the restart line. Without
// errors and injection offsets the seed's pass repeats the nominal one, so
// its lost.dat records (lab positions included) repeat those of the
// nominal pass, and every record's frame origin lies at the end of the
// previous line (30 cm for the narrow last drift).
TEST(Restart, EveryPassOfARestartedRunStartsAtTheRestartLine) {
  auto lattice = [](const char* scrch) {
    return std::string("1 drift 10 2 2\n") + scrch + " scrch\n3 drift 20 2 2\n-5 scrch\n5 drift 10 0.3 0.3\nstop\n";
  };
  TaskRun full(velmo("NPAT=200", "IFLAG_CORR=0"), lattice("-7"));
  ASSERT_EQ(full.go(), 0) << full.screen.str();
  ASSERT_TRUE(fs::exists(full.dir / "scratch.#07"));
  TaskRun again(velmo("NPAT=200", "IFLAG_CORR=2, NRZ=1", "IFLAG_VRAND=-2"), lattice("7"));
  fs::copy_file(full.dir / "scratch.#07", again.dir / "scratch.#07");
  ASSERT_EQ(again.go(), 0) << again.screen.str();
  EXPECT_TRUE(fs::exists(again.dir / "scratch.#05"));  // the later save line ran
  const Sim& s = *again.sim;
  std::vector<std::string> records;
  for (const auto& l : again.lines_of("lost.dat"))
    if (l.size() >= 203 && std::isdigit(static_cast<unsigned char>(l[3]))) records.push_back(l);
  ASSERT_FALSE(records.empty());
  ASSERT_EQ(records.size() % 2, 0u);
  for (const auto& l : records) {
    const int n = std::stoi(l.substr(0, 4));
    const double start = s.elements.elem_pos[static_cast<std::size_t>(n - 1)];
    const double end = s.elements.elem_pos[static_cast<std::size_t>(n)];
    EXPECT_NEAR(std::stod(l.substr(191, 12)), start, 5e-4) << l.substr(0, 80);  // frame origin z
    const double z_lab = std::stod(l.substr(47, 12));
    EXPECT_GE(z_lab, start - 5e-4) << l.substr(0, 80);
    EXPECT_LE(z_lab, end + 5e-4) << l.substr(0, 80);
  }
  EXPECT_EQ(std::stoi(records.front().substr(0, 4)), 5);
  EXPECT_NEAR(std::stod(records.front().substr(191, 12)), 30.0, 5e-4);
  const std::size_t half = records.size() / 2;
  for (std::size_t j = 0; j < half; ++j) EXPECT_EQ(records[j + half], records[j]) << j;
}

// The path excess of a bending magnet over its lattice length moves every
// later element (z_entry), within one pass: each pass starts without it. A
// study without errors or offsets ends its last seed with the particles,
// lost positions included, and the excess of the nominal pass alone.
TEST(ErrorSeedLoop, EveryPassStartsWithoutBendPathExcess) {
  const std::string lattice =
      "1 drift 20.0 3.0 3.0\n"
      "2 bmag 98.5398163 100.0 45.0 1.2 10.0 0.0 0.0 0.0 0.0 60\n"
      "3 drift 30.0 3.0 3.0\n"
      "stop\n";
  auto ar8 = [](const std::string& index, const std::string& correct) {
    std::string v = velmo("NPAT=200", index, correct);
    v.replace(v.find("QDESIGN=1, ADESIGN=1"), 20, "QDESIGN=8, ADESIGN=40");
    v.replace(v.find("QQ=1, AMASS=1"), 13, "QQ=8, AMASS=40");
    v.replace(v.find("BETY=40"), 7, "BETY=400");  // fills the magnet's gap: losses in it
    return v;
  };
  TaskRun nominal(ar8("IFLAG_CORR=0", ""), lattice);
  ASSERT_EQ(nominal.go(), 0) << nominal.screen.str();
  TaskRun study(ar8("IFLAG_CORR=2, NRZ=2", "IFLAG_VRAND=-2"), lattice);
  ASSERT_EQ(study.go(), 0) << study.screen.str();
  const Sim& a = *nominal.sim;
  const Sim& b = *study.sim;
  const double excess = a.bmag_geom.ref_path_len - a.elements.elem_par[2][1];
  EXPECT_GT(std::abs(excess), 1e-4);
  EXPECT_NEAR(a.ref.z_offset, excess, 1e-12);
  EXPECT_NEAR(b.ref.z_offset, excess, 1e-9);
  EXPECT_NEAR(b.ref.z_entry, b.elements.elem_pos[2] + excess, 1e-9);
  int lost = 0;
  for (int i = 0; i <= 200; ++i) {
    ASSERT_EQ(b.particles.status[1][i], a.particles.status[1][i]) << i;
    if (a.particles.status[1][i] >= 0) continue;
    ++lost;
    EXPECT_NEAR(b.particles.z[1][i], a.particles.z[1][i], 1e-6) << i;
  }
  EXPECT_GT(lost, 0);
}

TEST(Restart, ScrchNumberBeyondTwoDigitsIsRefusedWhenTheLatticeIsRead) {
  TaskRun run(velmo("NPAT=200", "IFLAG_CORR=0"), "1 drift 10 2 2\n-100 scrch\n2 drift 5 2 2\nstop\n");
  EXPECT_NE(run.go(), 0);
  const std::string screen = run.screen.str();
  EXPECT_NE(screen.find("linac.dat line 2 ' -100 scrch': scrch number -100"), std::string::npos) << screen;
  EXPECT_TRUE(run.lines_of("out.dat").empty());
}

}  // namespace
}  // namespace linac
