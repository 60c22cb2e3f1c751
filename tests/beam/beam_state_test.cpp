#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <array>
#include <bit>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>

#include <fmt/format.h>

#include "run/sim.hpp"
#include "beam/beam_state.hpp"
#include "platform/fatal.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

using testing::fatal_text;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

std::int32_t marker_at(const std::string& bytes, std::size_t off) {
  std::uint32_t v = 0;
  for (int k = 3; k >= 0; --k) v = (v << 8) | static_cast<unsigned char>(bytes[off + k]);
  return static_cast<std::int32_t>(v);
}

// A beam of two charge states with values that do not round-trip through
// any decimal text, mixed statuses and one test particle after the beam.
void fill_writer(Sim& s) {
  set_start_values(s);
  s.ref.QDESIGN = 10.0 / 3.0;
  s.ref.ADESIGN = 238.0000001;
  s.ref.w0 = 1400.0 / 7.0 + 1e-13;
  s.ref.harm = 3.0;
  s.ref.wavelength_2pi = 100.0 / 3.0;  // cm: about 143 MHz
  s.current.scur = 1.0 / 3.0;
  s.current.Cneutr = 0.25 + 1e-17;
  s.config.ISOL = 1;
  s.config.IFLAG2D = 1;
  s.config.NQTOT = 2;
  s.config.nqtot0 = 1;
  s.config.nqtot1 = 2;
  s.config.IFLAG_QQ = 2;
  s.state.IRIARFQ = 1;
  s.state.iflag_t = 1;
  s.config.iflag_dudt = 1;
  s.state.iflag_chain = 1;
  s.bend.delta1 = 0.45 + 1e-16;
  s.config.IFLAG_LEV = 1;
  s.state.IFLAG_LOG = 1;
  s.config.ndraw = 7;
  s.corr.MONERR = 2;
  s.sc.zlhSC = 999.0 + 1.0 / 3.0;
  s.bend.delta2 = 3.1;
  s.config.nharm_sc = 4;
  s.config.IFLAG_UPD = 1;
  s.sc.NXGRD = 17;
  s.sc.NYGRD = 19;
  s.sc.NZGRD = 129;
  s.state.outSC = 5;
  s.state.iflag_accep = 1;
  s.state.dev_field = 1;
  s.config.iflag_ebfld = 1;
  s.charge_groups.n_groups = 2;
  s.charge_groups.group_lo = 1;
  s.charge_groups.group_hi = 2;
  s.charge_groups.q_group[1] = 10.0 / 3.0;
  s.charge_groups.q_group[2] = 11.0 / 3.0;
  s.charge_groups.group_of_state[1] = 2;
  s.charge_groups.group_of_state[2] = 1;
  s.state.ipos = 12;
  s.ref.elem_phase = -0.7 / 3.0;
  s.history.ref_phase_out[12] = 2.0 / 3.0;
  for (int k = 1; k <= 6; ++k) s.rfq.AijRFQ[k] = 1.0 / k;
  s.config.NPAT[1] = 3;
  s.config.NPAT[2] = 2;
  for (int iq = 1; iq <= 2; ++iq) {
    s.config.QQ[iq] = 10.0 / 3.0 + iq;
    s.config.AMASS[iq] = 238.0 + 1.0 / (7 * iq);
    s.current.CURRENT[iq] = 0.1 * iq;
    s.current.qmacro[iq] = 1e-13 / (3 * iq);
    s.qphase.qstate_phase_origin[iq] = -1.0 / (9 * iq);
    for (int i = 0; i <= 4; ++i) {
      const double t = 1.0 + i + 10 * iq;
      s.particles.x[iq][i] = 0.1 / t;
      s.particles.xp[iq][i] = -1e-3 / t;
      s.particles.y[iq][i] = 0.2 / t;
      s.particles.yp[iq][i] = 2e-3 / t;
      s.particles.phase[iq][i] = 1.0 / (3.0 * t);
      s.particles.beta[iq][i] = 0.04 + 1e-5 / t;
      s.particles.qa[iq][i] = s.config.QQ[iq] / s.config.AMASS[iq];
      s.particles.status[iq][i] = (i == 2) ? kLost : kLive;
    }
  }
}

struct StateFixture : ::testing::Test {
  TempDir dir;
  std::unique_ptr<Sim> w = make_sim();
  std::unique_ptr<Sim> r = make_sim();
  void SetUp() override {
    fill_writer(*w);
    set_start_values(*r);
    w->units.set_directory(dir.path());
    r->units.set_directory(dir.path());
  }
};

TEST_F(StateFixture, RoundTripRestoresEveryFieldBitForBit) {
  State(*w, "ini_dis.dat", "write");
  // The reader starts from other values; a test particle slot above NPAT
  // and the element table must be left alone.
  r->config.NQTOT = 3;
  r->particles.x[1][4] = 77.0;
  r->ref.elem_phase = 5.0;
  r->elements.elem_pos[3] = 12.5;
  State(*r, "ini_dis.dat", "read");
  const Sim& a = *w;
  const Sim& b = *r;
  EXPECT_EQ(bits(b.ref.QDESIGN), bits(a.ref.QDESIGN));
  EXPECT_EQ(bits(b.ref.ADESIGN), bits(a.ref.ADESIGN));
  EXPECT_EQ(bits(b.ref.w0), bits(a.ref.w0));
  EXPECT_EQ(bits(b.ref.harm), bits(a.ref.harm));
  EXPECT_EQ(bits(b.ref.wavelength_2pi), bits(a.ref.wavelength_2pi));
  EXPECT_EQ(bits(b.current.scur), bits(a.current.scur));
  EXPECT_EQ(bits(b.current.Cneutr), bits(a.current.Cneutr));
  EXPECT_EQ(bits(b.bend.delta1), bits(a.bend.delta1));
  EXPECT_EQ(bits(b.bend.delta2), bits(a.bend.delta2));
  EXPECT_EQ(bits(b.sc.zlhSC), bits(a.sc.zlhSC));
  // The 26 integers of record 1, in file order.
  auto ints = [](const Sim& x) {
    return std::array<std::int32_t, 26>{
        x.config.ISOL,       x.config.IFLAG2D,   x.config.NQTOT,       x.config.nqtot0,
        x.config.nqtot1,     x.config.IFLAG_QQ,  x.state.IRIARFQ,      x.state.iflag_t,
        x.config.iflag_dudt, x.state.iflag_chain, x.config.IFLAG_LEV,  x.state.IFLAG_LOG,
        x.config.ndraw,      x.corr.MONERR,      x.config.nharm_sc,    x.config.IFLAG_UPD,
        x.sc.NXGRD,          x.sc.NYGRD,         x.sc.NZGRD,           x.state.outSC,
        x.state.iflag_accep, x.state.dev_field,  x.config.iflag_ebfld, x.charge_groups.n_groups,
        x.charge_groups.group_lo, x.charge_groups.group_hi};
  };
  const auto ia = ints(b), ib = ints(a);
  for (std::size_t k = 0; k < ia.size(); ++k) EXPECT_EQ(ia[k], ib[k]) << "integer " << k;
  // Record 2 lands in the resume fields, not in the element's own.
  EXPECT_EQ(bits(b.ref.rfq_resume_phase), bits(a.ref.elem_phase));
  EXPECT_EQ(bits(b.ref.rfq_resume_exit_phase), bits(a.history.ref_phase_out[12]));
  EXPECT_EQ(b.ref.elem_phase, 5.0);
  EXPECT_EQ(b.elements.elem_pos[3], 12.5);
  for (int k = 1; k <= 6; ++k) EXPECT_EQ(bits(b.rfq.AijRFQ[k]), bits(a.rfq.AijRFQ[k]));
  for (int g = 1; g <= 2; ++g) EXPECT_EQ(bits(b.charge_groups.q_group[g]), bits(a.charge_groups.q_group[g]));
  for (int iq = 1; iq <= 2; ++iq) {
    EXPECT_EQ(b.config.NPAT[iq], a.config.NPAT[iq]);
    EXPECT_EQ(bits(b.config.QQ[iq]), bits(a.config.QQ[iq]));
    EXPECT_EQ(bits(b.config.AMASS[iq]), bits(a.config.AMASS[iq]));
    EXPECT_EQ(bits(b.current.CURRENT[iq]), bits(a.current.CURRENT[iq]));
    EXPECT_EQ(bits(b.current.qmacro[iq]), bits(a.current.qmacro[iq]));
    EXPECT_EQ(bits(b.qphase.qstate_phase_origin[iq]), bits(a.qphase.qstate_phase_origin[iq]));
    EXPECT_EQ(b.charge_groups.group_of_state[iq], a.charge_groups.group_of_state[iq]);
    const ParticleArrays& pa = a.particles;
    const ParticleArrays& pb = b.particles;
    for (int i = 0; i <= a.config.NPAT[iq]; ++i) {
      EXPECT_EQ(bits(pb.x[iq][i]), bits(pa.x[iq][i]));
      EXPECT_EQ(bits(pb.xp[iq][i]), bits(pa.xp[iq][i]));
      EXPECT_EQ(bits(pb.y[iq][i]), bits(pa.y[iq][i]));
      EXPECT_EQ(bits(pb.yp[iq][i]), bits(pa.yp[iq][i]));
      EXPECT_EQ(bits(pb.phase[iq][i]), bits(pa.phase[iq][i]));
      EXPECT_EQ(bits(pb.beta[iq][i]), bits(pa.beta[iq][i]));
      EXPECT_EQ(bits(pb.qa[iq][i]), bits(pa.qa[iq][i]));
      EXPECT_EQ(pb.status[iq][i], pa.status[iq][i]);
    }
  }
  EXPECT_EQ(b.particles.x[1][4], 77.0);  // test particle not saved, not touched
  // Writing the restored state again gives the same bytes.
  r->units.set_directory(dir.path());
  r->state.ipos = 12;
  r->ref.elem_phase = a.ref.elem_phase;
  r->history.ref_phase_out[12] = a.history.ref_phase_out[12];
  State(*r, "again.dat", "write");
  EXPECT_EQ(read_file(dir / "again.dat"), read_file(dir / "ini_dis.dat"));
}

TEST_F(StateFixture, FramingOfEveryRecord) {
  State(*w, "scratch.#07", "write");
  const std::string f = read_file(dir / "scratch.#07");
  // Record lengths in bytes, in file order: scalars, record 2, AijRFQ,
  // NPAT, QQ, AMASS, CURRENT, qmacro, mean phases, q_group, group_of_state,
  // then 4 + 3 particle records of 6 reals, an integer and a real.
  std::vector<std::int32_t> lens = {kStateScalarBytes, 16, 48, 8, 16, 16, 16, 16, 16, 16, 8};
  for (int k = 0; k < 7; ++k) lens.push_back(60);
  EXPECT_EQ(kStateScalarBytes, 7 * 8 + 10 * 4 + 8 + 4 * 4 + 2 * 8 + 12 * 4);
  std::size_t off = 0;
  for (std::size_t k = 0; k < lens.size(); ++k) {
    ASSERT_LT(off + 4, f.size());
    EXPECT_EQ(marker_at(f, off), lens[k]) << "record " << k + 1;
    EXPECT_EQ(marker_at(f, off + 4 + lens[k]), lens[k]) << "record " << k + 1;
    off += 8 + lens[k];
  }
  EXPECT_EQ(off, f.size());
  // NQTOT is the third integer of record 1, after seven reals.
  EXPECT_EQ(marker_at(f, 4 + 56 + 8), 2);
}

TEST_F(StateFixture, NoGroupsGiveAnEmptyRecordThatReadsBack) {
  // As the grouping leaves it without groups: no group located.
  w->charge_groups.n_groups = 0;
  w->charge_groups.group_lo = w->charge_groups.group_hi = 0;
  for (auto& g : w->charge_groups.group_of_state) g = 0;
  State(*w, "ini_dis.dat", "write");
  const std::string f = read_file(dir / "ini_dis.dat");
  // Skip records 1..9 to reach record 10.
  std::size_t off = 0;
  for (int k = 0; k < 9; ++k) off += 8 + marker_at(f, off);
  EXPECT_EQ(marker_at(f, off), 0);
  EXPECT_EQ(marker_at(f, off + 4), 0);
  State(*r, "ini_dis.dat", "read");
  EXPECT_EQ(r->charge_groups.n_groups, 0);
  EXPECT_EQ(r->particles.x[2][2], w->particles.x[2][2]);
}

TEST_F(StateFixture, ModeWordsAreFoundAnywhereWithoutCase) {
  State(*w, "a.dat", "rewrite");
  EXPECT_TRUE(std::filesystem::exists(dir / "a.dat"));
  State(*r, "a.dat", "READ");
  EXPECT_EQ(r->config.NQTOT, 2);
  // Both words: the file is read, not overwritten.
  const std::string before = read_file(dir / "a.dat");
  auto r2 = make_sim();
  set_start_values(*r2);
  r2->units.set_directory(dir.path());
  State(*r2, "a.dat", "read/write");
  EXPECT_EQ(r2->config.NPAT[1], 3);
  EXPECT_EQ(read_file(dir / "a.dat"), before);
  EXPECT_EQ(fatal_text([&] { State(*w, "b.dat", "print"); }),
            " Wrong argument in subroutine State ");
  EXPECT_FALSE(std::filesystem::exists(dir / "b.dat"));
}

TEST_F(StateFixture, FileWithFewerStatesRestoresItsOwnCount) {
  State(*w, "ini_dis.dat", "write");
  r->config.NQTOT = 3;
  r->config.NPAT[3] = 9;
  State(*r, "ini_dis.dat", "read");
  EXPECT_EQ(r->config.NQTOT, 2);
  EXPECT_EQ(r->config.NPAT[3], 9);
}

TEST_F(StateFixture, BadFilesStopWithTheFileNamed) {
  // Missing: named in the message, nothing created.
  const std::string missing = fatal_text([&] { State(*r, "scratch.#05", "read"); });
  EXPECT_NE(missing.find("scratch.#05"), std::string::npos) << missing;
  EXPECT_FALSE(std::filesystem::exists(dir / "scratch.#05"));

  State(*w, "ini_dis.dat", "write");
  const std::string good = read_file(dir / "ini_dis.dat");
  // Truncated in the particle records.
  write_file(dir / "short.dat", good.substr(0, good.size() - 30));
  const std::string trunc = fatal_text([&] { State(*r, "short.dat", "read"); });
  EXPECT_NE(trunc.find("short.dat"), std::string::npos) << trunc;

  // Counts beyond the capacities are refused before they are used.
  auto patch_int = [&](std::size_t off, std::int32_t v) {
    std::string f = good;
    for (int k = 0; k < 4; ++k) f[off + k] = static_cast<char>((static_cast<std::uint32_t>(v) >> (8 * k)) & 0xff);
    return f;
  };
  write_file(dir / "nq7.dat", patch_int(4 + 56 + 8, 7));
  const std::string nq = fatal_text([&] { State(*r, "nq7.dat", "read"); });
  EXPECT_NE(nq.find("nq7.dat"), std::string::npos) << nq;
  EXPECT_NE(nq.find("NQTOT = 7"), std::string::npos) << nq;
  // NPAT(1): first value of record 4, after records 1..3.
  const std::size_t rec4 = (8 + 184) + (8 + 16) + (8 + 48) + 4;
  write_file(dir / "big.dat", patch_int(rec4, 200000));
  const std::string big = fatal_text([&] { State(*r, "big.dat", "read"); });
  EXPECT_NE(big.find("NPAT(1) = 200000"), std::string::npos) << big;
  write_file(dir / "neg.dat", patch_int(4 + 184 - 12, -1));  // n_groups
  EXPECT_NE(fatal_text([&] { State(*r, "neg.dat", "read"); }).find("n_groups = -1"),
            std::string::npos);
  // The space-charge grid (NXGRD, NYGRD, NZGRD: the 11th to 13th integers,
  // bytes 144..155 of record 1) sizes the solver's storage, and IFLAG2D
  // picks the model: a grid of 0 or -1 ended in an internal error of the
  // storage, one of 2^31 - 1 nodes ran out of memory and time.
  const struct {
    std::size_t off;
    std::int32_t value;
    const char* expect;
  } grids[] = {{4 + 144, 0, "NXGRD = 0"},
               {4 + 148, -1, "NYGRD = -1"},
               {4 + 152, 2147483647, "NZGRD = 2147483647"},
               {4 + 60, 5, "IFLAG2D = 5"}};
  for (const auto& g : grids) {
    write_file(dir / "grid.dat", patch_int(g.off, g.value));
    const std::string msg = fatal_text([&] { State(*r, "grid.dat", "read"); });
    EXPECT_NE(msg.find(std::string(" beam-state file grid.dat: ") + g.expect), std::string::npos) << msg;
  }

  // Values that are not numbers, or not physical, name the file, the record
  // and the value. Offsets: w0 is the third double of record 1; the first
  // particle record (x, x', y, y', phase, beta, status, qa) follows
  // records 1..11.
  auto patch_double = [&](std::size_t off, double v) {
    std::string f = good;
    std::uint64_t bits;
    std::memcpy(&bits, &v, 8);
    for (int k = 0; k < 8; ++k) f[off + k] = static_cast<char>((bits >> (8 * k)) & 0xff);
    return f;
  };
  std::size_t particles = 0;
  for (int k = 0; k < 11; ++k) particles += 8 + marker_at(good, particles);
  const std::size_t p0 = particles + 4;  // x of slot 0 of state 1, record 12
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* what;
    std::size_t off;
    double value;
    std::string expect;
  };
  const Case cases[] = {
      {"NaN design energy", 4 + 16, nan, "bad.dat, record 1: value nan"},
      {"zero design energy", 4 + 16, 0.0, "w0 (keV/u) = 0"},
      {"NaN position", p0, nan, "bad.dat, record 12: charge state 1, particle 0: x = nan"},
      {"speed of light", p0 + 40, 1.0, "record 12: charge state 1, particle 0: speed beta = 1"},
      {"huge slope", p0 + 8, -1e308, "x' = -1e+308"},
      {"wavelength of 1e8 cm", 4 + 32, 1e8, "wavelength_2pi = 100000000 cm"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(dir / "bad.dat", patch_double(c.off, c.value));
    const std::string msg = fatal_text([&] { State(*r, "bad.dat", "read"); });
    EXPECT_NE(msg.find(c.expect), std::string::npos) << msg;
  }
}

// A run killed (SIGKILL) at any moment while it saves the beam leaves
// under the file's name the previous complete beam or the new complete one,
// never a part of one. The child saves two beams of 2 x 60000 particles
// (about 9 MB each) in turn and reports each finished save through a pipe;
// the parent waits for 0, 1 or 2 finished saves and kills it a few
// milliseconds into the next one, then reads the file back.
TEST_F(StateFixture, AKilledRunLeavesAWholeBeamFile) {
  constexpr int kSlots = 60000;
  w->config.NPAT[1] = w->config.NPAT[2] = kSlots - 1;
  for (int iq = 1; iq <= 2; ++iq)
    for (int i = 0; i < kSlots; ++i) {
      w->particles.x[iq][i] = 1e-3 * (i % 1000) + iq;
      w->particles.beta[iq][i] = 0.04;
      w->particles.status[iq][i] = kLive;
    }
  // The two images: beam A with w0 = 200 keV/u, beam B with 300 keV/u.
  std::string image[2];
  for (int b = 0; b < 2; ++b) {
    w->ref.w0 = 200.0 + 100.0 * b;
    State(*w, "image.dat", "write");
    image[b] = read_file(dir / "image.dat");
  }
  ASSERT_GT(image[0].size(), 8'000'000u);
  int inside_a_save = 0;  // kills that found a save under way
  for (int k = 0; k < 9; ++k) {
    const int saves = k % 3;  // finished saves before the kill
    SCOPED_TRACE(fmt::format("kill {} ms after save {}", 1 + k, saves));
    std::filesystem::remove(dir / "ini_dis.dat");
    std::filesystem::remove(dir / "ini_dis.dat.part");
    int done[2];
    ASSERT_EQ(pipe(done), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(done[0]);
      try {
        for (int b = 0;; b = 1 - b) {
          w->ref.w0 = 200.0 + 100.0 * b;
          State(*w, "ini_dis.dat", "write");
          const char one = 1;
          if (write(done[1], &one, 1) != 1) break;
        }
      } catch (...) {
      }
      _exit(1);  // a save that failed: the parent sees no SIGKILL
    }
    close(done[1]);
    for (int n = 0; n < saves; ++n) {
      char byte = 0;
      ASSERT_EQ(read(done[0], &byte, 1), 1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1 + k));
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    close(done[0]);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    // After a finished save the file is there; before one it may be.
    const bool exists = std::filesystem::exists(dir / "ini_dis.dat");
    if (saves > 0) {
      EXPECT_TRUE(exists);
    }
    if (std::filesystem::exists(dir / "ini_dis.dat.part")) ++inside_a_save;
    if (!exists) continue;
    const std::string got = read_file(dir / "ini_dis.dat");
    ASSERT_TRUE(got == image[0] || got == image[1]) << got.size() << " bytes";
    // The reader finds the beam as it was saved.
    State(*r, "ini_dis.dat", "read");
    EXPECT_EQ(r->ref.w0, got == image[0] ? 200.0 : 300.0);
    EXPECT_EQ(r->config.NPAT[2], kSlots - 1);
  }
  EXPECT_GT(inside_a_save, 0);
}

}  // namespace
}  // namespace linac
