#include "control/parameter_file.hpp"

#include <fmt/format.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "beam/distribution_readers.hpp"
#include "common/input_ranges.hpp"
#include "control/control_context.hpp"
#include "control/velmo_main.hpp"
#include "numerics/random.hpp"
#include "platform/fatal.hpp"
#include "platform/format.hpp"
#include "platform/units.hpp"

namespace linac {

namespace {

constexpr const char* kFile = "velmo.dat";
// The fixed seed that any non-zero ISRF selects.
constexpr std::int32_t kFixedSeed = 214748364;
// Directory texts hold at most 256 characters.
constexpr std::size_t kDirText = 256;
// Error seeds name vrand_NNN.dat with three digits.
constexpr std::int32_t kMaxSeedNumber = 999;

std::string num(double v) { return fmt::format("{}", v); }

[[noreturn]] void refuse(const std::string& group, const std::string& what) {
  fatal(fmt::format(" {}, group {}: {}", kFile, group, what));
}

// Added checks on group TRAN: values that the run cannot work with.
void check_tran(const ControlContext& sim) {
  const std::string& dir = sim.tables.TABLE_DIR;
  const std::size_t last = dir.find_last_not_of(' ');
  if (last != std::string::npos && last + 1 > kDirText)
    refuse("TRAN", fmt::format("TABLE_DIR is longer than {} characters: its value holds {} "
                               "(trailing blanks not counted), '{}...'",
                               kDirText, last + 1, dir.substr(0, 40)));
  const double freqb = sim.ref.FREQB;
  if (!(freqb > 0.0))
    refuse("TRAN", "FREQB = " + num(freqb) +
                       " Hz; the RF base frequency must be above 0 (wavelength and macro-particle "
                       "charge are c/FREQB and 1/FREQB)");
  const RunConfig& c = sim.config;
  if (c.NQTOT < 0 || c.NQTOT > kMaxChargeStates)
    refuse("TRAN", fmt::format("NQTOT = {}; the number of charge states must lie in 0..{}", c.NQTOT,
                               kMaxChargeStates));
  for (int iq = 1; iq <= kMaxChargeStates; ++iq)
    if (c.NPAT[iq] < 0 || c.NPAT[iq] > kMaxParticles)
      refuse("TRAN", fmt::format("NPAT({}) = {}; the particles of a charge state must lie in 0..{}",
                                 iq, c.NPAT[iq], kMaxParticles));
  for (int iq = 1; iq <= c.NQTOT; ++iq)
    if (c.AMASS[iq] == 0.0)
      refuse("TRAN", fmt::format("AMASS({}) = 0 for a charge state in use (NQTOT = {}); the mass "
                                 "number must not be 0",
                                 iq, c.NQTOT));
}

// Added checks on group INDEX: grid sizes within the solver's storage, and
// error-seed numbers that fit the three-digit file names.
void check_index(const ControlContext& sim) {
  const ScGridSettings& g = sim.sc;
  const std::string grid = sc_grid_size_fault(g.NXGRD, g.NYGRD, g.NZGRD);
  if (!grid.empty()) refuse("INDEX", grid);
  const RunConfig& c = sim.config;
  const std::string model = sc_model_fault(c.IFLAG2D);
  if (!model.empty()) refuse("INDEX", model);
  if (c.IFLAG_CORR != 0) {
    const long last = static_cast<long>(c.NRZ_MIN) + c.NRZ - 1;
    if (c.NRZ_MIN < 0 || last > kMaxSeedNumber)
      refuse("INDEX", fmt::format("error seeds NRZ_MIN = {} to NRZ_MIN + NRZ - 1 = {}; seed numbers "
                                  "must lie in 0..{}",
                                  c.NRZ_MIN, last, kMaxSeedNumber));
  }
}

// ------------------------------------------------------------------------
// Ranges of the members (see common/input_ranges.hpp for the table and its
// reasons). Each member is checked as written in the file, before its unit
// conversion, so the message repeats the user's own value.

struct MemberRange {
  std::string name;  // member, with its index for arrays
  double value;
  double lo, hi;
  bool lo_open = false, hi_open = false;  // (lo and hi) excluded
  const char* unit = "";
  bool zero_too = false;  // 0 (not given) is allowed besides the range
};

bool admits(const MemberRange& m) {
  if (!std::isfinite(m.value)) return false;
  if (m.zero_too && m.value == 0.0) return true;
  if (m.lo_open ? !(m.value > m.lo) : !(m.value >= m.lo)) return false;
  if (m.hi_open ? !(m.value < m.hi) : !(m.value <= m.hi)) return false;
  return true;
}

void check_ranges(const std::string& group, const std::vector<MemberRange>& members) {
  for (const MemberRange& m : members)
    if (!admits(m))
      refuse(group, fmt::format("{} = {}{}; allowed range {}{}{}, {}{}", m.name, num(m.value), m.unit,
                                m.zero_too ? "0 or " : "", m.lo_open ? "(" : "[", num(m.lo), num(m.hi),
                                m.hi_open ? ")" : "]"));
}

std::string indexed(const char* name, int k) { return fmt::format("{}({})", name, k); }

// Group TRAN: every member that feeds a division, a square root, a
// logarithm, an index or a phase, and every physical value.
void check_tran_ranges(const ControlContext& sim) {
  using namespace input_range;
  const RunConfig& c = sim.config;
  const ReferenceBlock& r = sim.ref;
  const BeamParams& b = sim.beam;
  const TableParams& t = sim.tables;
  const InitialOffsets& o = sim.offsets;
  const CorrLimits& l = sim.corr_limits;
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<MemberRange> m = {
      {"FREQB", r.FREQB, kMinFrequency, kMaxFrequency, false, false, " Hz"},
      {"QDESIGN", r.QDESIGN, -kMaxChargeNumber, kMaxChargeNumber},
      {"ADESIGN", r.ADESIGN, 0.0, kMaxMassNumber, true, false},
      {"WIN", r.WIN, 0.0, 1000.0 * kMaxEnergy, false, false, " eV/u"},
      {"UDESIGN", r.UDESIGN, -inf, inf},
      {"ATP", b.ATP, -inf, inf},
      {"PART", sim.PART, 0.0, 1.0, true, true},
      {"EPSNX", b.EPSNX, 0.0, kMaxEmittance},
      {"EPSNY", b.EPSNY, 0.0, kMaxEmittance},
      {"EPSNZ", b.EPSNZ, 0.0, kMaxEmittanceZ},
      {"ALPHX", b.ALPHX, -kMaxTwissAlpha, kMaxTwissAlpha},
      {"ALPHY", b.ALPHY, -kMaxTwissAlpha, kMaxTwissAlpha},
      {"ALPHZ", b.ALPHZ, -kMaxTwissAlpha, kMaxTwissAlpha},
      // A tiny beta makes the divergence sqrt(eps / beta) beyond any number.
      {"BETX", b.BETX, kMinTwissBeta, kMaxTwissBeta, false, false, "", true},
      {"BETY", b.BETY, kMinTwissBeta, kMaxTwissBeta, false, false, "", true},
      {"BETZ", b.BETZ, kMinTwissBeta, kMaxTwissBeta, false, false, "", true},
      {"DEESRF", t.DEESRF, 0.0, 1.0},
      {"PHI0", b.PHI0, -kMaxPhaseDeg, kMaxPhaseDeg, false, false, " deg"},
      {"PHMAX", b.PHMAX, 0.0, kMaxPhaseDeg, false, false, " deg"},
      {"DF_4D", b.DF_4D, -kMaxPhaseDeg, kMaxPhaseDeg, false, false, " deg"},
      {"DB_B", b.DB_B, 0.0, 1.0, false, true},
      {"DWWACC", c.DWWACC, 0.0, kMaxEnergySpread, true, false},
      {"DWWMAX", c.DWWMAX, 0.0, kMaxEnergySpread},
      {"QAVR", r.QAVR, -inf, inf},
      {"DISP", b.DISP, -inf, inf},
      {"W_LIM", l.W_LIM, -inf, inf},
      {"A_LIM", l.A_LIM, -inf, inf},
      {"TE00_LIM", l.TE00_LIM, -inf, inf},
      {"PHDEV_LIM", l.PHDEV_LIM, -inf, inf},
      {"TE00_STEP", l.TE00_STEP, -inf, inf},
      {"PHDEV_STEP", l.PHDEV_STEP, -inf, inf},
      {"NP_SET", b.NP_SET, -inf, inf},
      {"XHIST", b.XHIST, -inf, inf},
      {"YHIST", b.YHIST, -inf, inf},
  };
  for (int iq = 1; iq <= kMaxChargeStates; ++iq) {
    m.push_back({indexed("QQ", iq), c.QQ[iq], -kMaxChargeNumber, kMaxChargeNumber});
    m.push_back({indexed("X00", iq), o.X00[iq], -kMaxOffset, kMaxOffset, false, false, " cm"});
    m.push_back({indexed("Y00", iq), o.Y00[iq], -kMaxOffset, kMaxOffset, false, false, " cm"});
    m.push_back({indexed("XP00", iq), o.XP00[iq], -kMaxOffset, kMaxOffset, false, false, " mrad"});
    m.push_back({indexed("YP00", iq), o.YP00[iq], -kMaxOffset, kMaxOffset, false, false, " mrad"});
    m.push_back({indexed("PH00", iq), o.PH00[iq], -kMaxPhaseDeg, kMaxPhaseDeg, false, false, " deg"});
    // -100 % or less leaves no kinetic energy: the speed would be NaN.
    m.push_back({indexed("DWW00", iq), o.DWW00[iq], -100.0, 100.0 * kMaxEnergySpread, true, false, " %"});
    m.push_back({indexed("CURRENT", iq), sim.current.CURRENT[iq], 0.0, kMaxCurrent, false, false, " mA"});
  }
  // The mass number of a state in use divides every momentum; unused states
  // keep whatever the file says as long as it is a number.
  for (int iq = 1; iq <= kMaxChargeStates; ++iq) {
    if (iq <= c.NQTOT)
      m.push_back({indexed("AMASS", iq), c.AMASS[iq], 0.0, kMaxMassNumber, true, false});
    else
      m.push_back({indexed("AMASS", iq), c.AMASS[iq], -inf, inf});
  }
  for (int k = 1; k <= kFieldTables; ++k) {
    m.push_back({indexed("SFAS", k), t.SFAS[k], -360.0, 360.0, false, false, " deg"});
    m.push_back({indexed("SERF", k), t.SERF[k], 0.0, 100.0, false, false, " %"});
    m.push_back({indexed("APER", k), t.APER[k], 0.0, kMaxOffset, false, false, " cm"});
    m.push_back({indexed("DCAV", k), t.DCAV[k], 0.0, kMaxOffset, false, false, " cm"});
    m.push_back({indexed("NCELLS", k), static_cast<double>(t.NCELLS[k]), 0.0, kMaxStepCount});
  }
  check_ranges("TRAN", m);
}

// Group INDEX: counts and indices.
void check_index_ranges(const ControlContext& sim) {
  using namespace input_range;
  const RunConfig& c = sim.config;
  std::vector<MemberRange> m = {
      {"IFLAG_QQ", static_cast<double>(c.IFLAG_QQ), 0.0, static_cast<double>(kMaxChargeStates)},
      {"NSTEP_CAV", static_cast<double>(c.NSTEP_CAV), 1.0, kMaxStepCount},
      {"IINT", static_cast<double>(c.IINT), 0.0, kMaxStepCount},
  };
  if (c.IFLAG_CORR != 0)
    m.push_back({"NRZ", static_cast<double>(c.NRZ), 0.0, static_cast<double>(kMaxSeedNumber)});
  check_ranges("INDEX", m);
  if (c.IFLAG_CORR == 0) return;
  // Members of TRAN that only an error study uses (IFLAG_CORR not 0). The
  // nominal pass of an error study runs NINT(NPAT NP_SET) of the NPAT
  // particles that exist: a fraction above 1 would count empty slots. The
  // correction scans advance by their steps: a step of 0 never ends.
  const CorrLimits& l = sim.corr_limits;
  check_ranges("TRAN", {{"NP_SET", sim.beam.NP_SET, 0.0, 1.0, true, false},
                        {"TE00_STEP", l.TE00_STEP, 0.0, 1.0, true, false, " (fraction)"},
                        {"PHDEV_STEP", l.PHDEV_STEP, 0.0, kTwoPi, true, false, " rad"}});
}

// Group CORRECT: the fraction of the particles of a correction pass.
void check_correct_ranges(const ControlContext& sim) {
  const double inf = std::numeric_limits<double>::infinity();
  check_ranges("CORRECT", {{"PARTCORR", sim.corr.PARTCORR, 0.0, 1.0, true, false},
                           {"PARTEQ", sim.corr.PARTEQ, 0.0, 1.0},
                           {"TOLERANCE", sim.corr.TOLERANCE, -inf, inf}});
}

// Group OTHER: the semi-axes of distribution types 51 to 53.
void check_other_ranges(const ControlContext& sim) {
  using namespace input_range;
  const double inf = std::numeric_limits<double>::infinity();
  const BeamParams& b = sim.beam;
  check_ranges("OTHER", {{"A_AXE", sim.sc.A_AXE, 0.0, kMaxOffset},
                         {"B_AXE", sim.sc.B_AXE, 0.0, kMaxOffset},
                         {"C_AXE", sim.sc.C_AXE, 0.0, kMaxOffset},
                         {"RAB", b.RAB, -inf, inf},
                         {"Z_ELECTR", b.Z_ELECTR, -inf, inf},
                         {"R_ELECTR", b.R_ELECTR, -inf, inf},
                         {"R_BEAM", b.R_BEAM, -inf, inf},
                         {"VZ_MIN", b.VZ_MIN, -inf, inf},
                         {"DBET_BET", b.DBET_BET, -inf, inf},
                         {"WORD", b.WORD, -inf, inf}});
}

}  // namespace

NamelistSchema tran_schema(ControlContext& sim) {
  ReferenceBlock& r = sim.ref;
  BeamParams& b = sim.beam;
  TableParams& t = sim.tables;
  RunConfig& c = sim.config;
  InitialOffsets& o = sim.offsets;
  CorrLimits& l = sim.corr_limits;
  constexpr int Q = kMaxChargeStates;
  constexpr int T = kFieldTables;
  NamelistSchema s("TRAN");
  // The whole value as written, so that a table directory longer than the
  // record holds is refused naming its length rather than cut.
  s.add_text("TABLE_DIR", &t.TABLE_DIR, std::string::npos)
      .add_text("WORK_DIR", &t.WORK_DIR, kDirText)
      .add("WIN", &r.WIN)
      .add("ATP", &b.ATP)
      .add("FREQB", &r.FREQB)
      .add("SFAS", &t.SFAS[1], T)
      .add("SERF", &t.SERF[1], T)
      .add("NPAT", &c.NPAT[1], Q)
      .add("NQTOT", &c.NQTOT)
      .add("PART", &sim.PART)
      .add("QQ", &c.QQ[1], Q)
      .add("EPSNX", &b.EPSNX)
      .add("ALPHX", &b.ALPHX)
      .add("BETX", &b.BETX)
      .add("EPSNY", &b.EPSNY)
      .add("ALPHY", &b.ALPHY)
      .add("BETY", &b.BETY)
      .add("DEESRF", &t.DEESRF)
      .add("EPSNZ", &b.EPSNZ)
      .add("ALPHZ", &b.ALPHZ)
      .add("BETZ", &b.BETZ)
      .add("APER", &t.APER[1], T)
      .add("X00", &o.X00[1], Q)
      .add("XP00", &o.XP00[1], Q)
      .add("Y00", &o.Y00[1], Q)
      .add("YP00", &o.YP00[1], Q)
      .add("PH00", &o.PH00[1], Q)
      .add("DWW00", &o.DWW00[1], Q)
      .add("PHI0", &b.PHI0)
      .add("DISP", &b.DISP)
      .add("DCAV", &t.DCAV[1], T)
      .add("PHMAX", &b.PHMAX)
      .add("DWWMAX", &c.DWWMAX)
      .add("DB_B", &b.DB_B)
      .add("QAVR", &r.QAVR)
      .add("DF_4D", &b.DF_4D)
      .add("QDESIGN", &r.QDESIGN)
      .add("ADESIGN", &r.ADESIGN)
      .add("CURRENT", &sim.current.CURRENT[1], Q)
      .add("AMASS", &c.AMASS[1], Q)
      .add("DWWACC", &c.DWWACC)
      .add("UDESIGN", &r.UDESIGN)
      .add("W_LIM", &l.W_LIM)
      .add("A_LIM", &l.A_LIM)
      .add("TE00_LIM", &l.TE00_LIM)
      .add("TE00_STEP", &l.TE00_STEP)
      .add("PHDEV_LIM", &l.PHDEV_LIM)
      .add("PHDEV_STEP", &l.PHDEV_STEP)
      .add("N_TP", &b.N_TP)
      .add("N_TT", &t.N_TT[1], T)
      .add("NCELLS", &t.NCELLS[1], T)
      .add("NP_SET", &b.NP_SET)
      .add("IFLAG_FNAL", &c.IFLAG_FNAL)
      .add("XHIST", &b.XHIST)
      .add("YHIST", &b.YHIST)
      .add("NBINX", &b.NBINX)
      .add("NBINY", &b.NBINY);
  return s;
}

NamelistSchema index_schema(ControlContext& sim) {
  RunConfig& c = sim.config;
  RunState& st = sim.state;
  NamelistSchema s("INDEX");
  s.add("ISOL", &c.ISOL)
      .add("LSTEP", &c.LSTEP)
      .add("IACCEP", &c.IACCEP)
      .add("IAXIAL", &st.IAXIAL)
      .add("NRZ", &c.NRZ)
      .add("IGRAPH", &c.IGRAPH)
      .add("ISRF", &c.ISRF)
      .add("IFLAG_LEV", &c.IFLAG_LEV)
      .add("IINT", &c.IINT)
      .add("IFLAG_ENV", &c.IFLAG_ENV)
      .add("IFLAG_CAV", &c.IFLAG_CAV)
      .add("IFLAG_ELL", &c.IFLAG_ELL)
      .add("NSTEP_CAV", &c.NSTEP_CAV)
      .add("IFLAG_BC", &c.IFLAG_BC)
      .add("IFLAG_DIS", &c.IFLAG_DIS)
      .add("IFLAG_QQ", &c.IFLAG_QQ)
      .add("IFLAG2D", &c.IFLAG2D)
      .add("IFLAG_FENV", &c.IFLAG_FENV)
      .add("IFLAG_MHB", &c.IFLAG_MHB)
      .add("IFLAG_UPD", &c.IFLAG_UPD)
      .add("IFLAG_RMS", &c.IFLAG_RMS)
      .add("IFLAG_TAC", &c.IFLAG_TAC)
      .add("IFLAG_HALO", &st.IFLAG_HALO)
      .add("IFLAG_CORR", &c.IFLAG_CORR)
      .add("IWRITE_DIS", &c.IWRITE_DIS)
      .add("IREAD_DIS", &c.IREAD_DIS)
      .add("IRIARFQ", &st.IRIARFQ)
      .add("IFLAG_FNAL", &c.IFLAG_FNAL)
      .add("NRZ_MIN", &c.NRZ_MIN)
      .add("NXGRD", &sim.sc.NXGRD)
      .add("NYGRD", &sim.sc.NYGRD)
      .add("NZGRD", &sim.sc.NZGRD)
      .add("IFLAG_LOG", &st.IFLAG_LOG)
      .add("IFLAG_UNIX", &st.IFLAG_UNIX);
  return s;
}

NamelistSchema correct_schema(ControlContext& sim) {
  CorrSettings& k = sim.corr;
  NamelistSchema s("CORRECT");
  s.add("MONERR", &k.MONERR)
      .add("PARTCORR", &k.PARTCORR)
      .add("PARTEQ", &k.PARTEQ)
      .add("IFLAG_VRAND", &sim.config.IFLAG_VRAND)
      .add("TOLERANCE", &k.TOLERANCE)
      .add("NITER", &k.NITER);
  return s;
}

NamelistSchema other_schema(ControlContext& sim) {
  BeamParams& b = sim.beam;
  NamelistSchema s("OTHER");
  s.add("Z_ELECTR", &b.Z_ELECTR)
      .add("R_ELECTR", &b.R_ELECTR)
      .add("R_BEAM", &b.R_BEAM)
      .add("VZ_MIN", &b.VZ_MIN)
      .add("DBET_BET", &b.DBET_BET)
      .add("A_AXE", &sim.sc.A_AXE)
      .add("B_AXE", &sim.sc.B_AXE)
      .add("C_AXE", &sim.sc.C_AXE)
      .add("RAB", &b.RAB)
      .add("N_OF_TABLE", &b.N_OF_TABLE)
      .add("WORD", &b.WORD);
  return s;
}

void set_design_particle(ControlContext& sim) {
  ReferenceBlock& r = sim.ref;
  r.w0 = r.WIN;
  const double gamma = 1.0 + r.w0 / r.amu_kev;
  const double beta = std::sqrt(1.0 - 1.0 / (gamma * gamma));
  r.betgam0 = gamma * beta;
  sim.beam.beta_design = beta;
}

void read_velmo_dat(ControlContext& sim) {
  ReferenceBlock& r = sim.ref;
  RunConfig& c = sim.config;
  RunState& st = sim.state;
  BeamParams& b = sim.beam;
  CorrLimits& l = sim.corr_limits;

  if (!file_exists(sim.units, kFile))
    fatal(std::string(" ") + kFile +
          " not found in the working directory: the run needs its parameter file");
  NamelistReader nl(sim.units, kFile);

  // 1.-2. Group TRAN and the design particle.
  nl.read_group(tran_schema(sim));
  if (r.QDESIGN == 0.0) fatal(" Qdesign don't define");
  if (r.ADESIGN == 0.0) fatal(" Adesign don't define");
  check_tran(sim);
  check_tran_ranges(sim);

  // 3. Correction-study limits: percent to fraction, deg to rad; a zero
  // limit takes the step.
  l.TE00_STEP = l.TE00_STEP / 100.0;
  l.PHDEV_STEP = l.PHDEV_STEP * kDegToRad;
  l.TE00_LIM = l.TE00_LIM != 0.0 ? l.TE00_LIM / 100.0 : l.TE00_STEP;
  l.PHDEV_LIM = l.PHDEV_LIM != 0.0 ? l.PHDEV_LIM * kDegToRad : l.PHDEV_STEP;

  // 4.-5. Group INDEX.
  nl.read_group(index_schema(sim));
  st.IRIARFQ = 0;
  if (c.IACCEP == 1) st.iflag_accep = 1;
  if (c.IFLAG_CORR != 0 && st.iflag_accep == 1) fatal(" iflag_accep.eq.1 .and. iflag_corr.ne.0 ");
  check_index(sim);
  check_index_ranges(sim);

  // 6. Groups CORRECT and OTHER when asked for.
  sim.corr.PARTCORR = 1.0;
  sim.corr.MONERR = 1;
  if (c.IFLAG_CORR != 0) nl.read_group(correct_schema(sim));
  if (c.IFLAG_CORR != 0) check_correct_ranges(sim);
  if (c.IFLAG_DIS > 50) nl.read_group(other_schema(sim));
  if (c.IFLAG_DIS > 50) check_other_ranges(sim);

  // 7. A DINAMION file gives the design energy as its mean energy.
  // The particles are read again when the initial beam is made.
  if (c.IFLAG_DIS == 49) {
    read_dinamion(sim);
    r.WIN = 1000.0 * r.w_file_mean;  // eV/u
  }

  // 8.-9. Range limits and acceptance-run overrides.
  c.nharm_sc = 1;
  if (b.DF_4D > 180.0) b.DF_4D = 180.0;
  b.df_4d_rad = b.DF_4D * kDegToRad;
  r.QAVR = r.QDESIGN;
  if (c.DWWMAX == 0.0) c.DWWMAX = c.DWWACC;
  if (c.IACCEP == 1) {
    c.IFLAG_ENV = 1;
    c.IFLAG_ELL = 0;
    c.IFLAG_BC = 0;
  }

  // 10. Seeding: any non-zero ISRF selects the fixed seed, 0 the clock.
  if (c.ISRF != 0) c.ISRF = kFixedSeed;
  rn_set_seed(sim, c.ISRF);

  // 11. Offsets and table errors to cm, rad and fractions.
  for (int iq = 1; iq <= kMaxChargeStates; ++iq) {
    sim.offsets.XP00[iq] *= 0.001;
    sim.offsets.YP00[iq] *= 0.001;
    sim.offsets.PH00[iq] *= kDegToRad;
    sim.offsets.DWW00[iq] *= 0.01;
  }
  for (int k = 1; k <= kFieldTables; ++k) {
    sim.tables.SFAS[k] *= kDegToRad;
    sim.tables.SERF[k] *= 0.01;
  }

  // 12. Operating harmonic.
  r.harm = 1.0;

  // 13.-14. Design energy: WIN in eV/u, or the source voltage times Q/A.
  if (r.UDESIGN != 0.0 && r.WIN != 0.0) {
    const std::string text = "  Udesign.ne.0d0 .and. Win.ne.0d0 ";
    sim.units.write(kUnitLog, list_directed({std::string_view(text)}));
    fatal(text);
  }
  if (r.WIN == 0.0) r.WIN = r.UDESIGN * r.QDESIGN / r.ADESIGN;
  r.WIN = r.WIN * 0.001;  // keV/u
  if (!input_range::within(r.WIN, 0.0, input_range::kMaxEnergy))
    refuse("TRAN", fmt::format("design energy WIN = {} keV/u (from UDESIGN = {} V, QDESIGN = {}, "
                               "ADESIGN = {}); allowed range [0, {}]",
                               num(r.WIN), num(r.UDESIGN), num(r.QDESIGN), num(r.ADESIGN),
                               num(input_range::kMaxEnergy)));

  // 15. The design particle of that energy.
  set_design_particle(sim);

  // 16. Geometric emittances, cm rad.
  b.epsx_geo = b.EPSNX * 0.001 / r.betgam0;
  b.epsy_geo = b.EPSNY * 0.001 / r.betgam0;

  // 17. Entry 0 of the RFQ's per-cell table.
  r.rfq_cell_factor[0] = b.ATP * r.QDESIGN / (r.QAVR * r.ADESIGN);

  // 18. RF wavelength, cm, and its length per radian.
  r.wavelength = kSpeedOfLightCm / r.FREQB;
  r.wavelength_2pi = r.wavelength / kTwoPi;
}

}  // namespace linac
