#include "control/parameter_file.hpp"

#include <fmt/format.h>

#include <cmath>
#include <limits>
#include <span>
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
  // Directory names go into file names: a control character (a NUL would
  // cut the name short and open another file) is refused.
  for (const auto& [member, text] : {std::pair<const char*, const std::string&>{"TABLE_DIR", sim.tables.TABLE_DIR},
                                     std::pair<const char*, const std::string&>{"WORK_DIR", sim.tables.WORK_DIR}}) {
    const std::size_t k = first_control_char(text);
    if (k != std::string::npos)
      refuse("TRAN", fmt::format("{} holds the control character {} at position {}; a directory name "
                                 "takes printable characters only",
                                 member, byte_hex(text[k]), k + 1));
  }
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
}

// The mass number of every charge state in use divides its momenta.
void check_masses_in_use(const ControlContext& sim) {
  const RunConfig& c = sim.config;
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
// Ranges of the members (see common/input_ranges.hpp for the bounds and
// their reasons). Each member is checked as written in the file, before its
// unit conversion, so the message repeats the user's own value; the few
// members an error study checks again are checked after their conversion
// (scale says by how much the file value was multiplied).

using Scope = MemberRangeRule::Scope;
using When = MemberRangeRule::When;
constexpr double kInf = std::numeric_limits<double>::infinity();

// Rule constructors: a range (ends closed unless said open), any finite
// number, a range that also admits 0 (not given), a count with its own
// message, and a member checked after its unit conversion.
constexpr MemberRangeRule rule(const char* group, const char* member, When when, double lo, double hi,
                               const char* unit = "", bool lo_open = false, bool hi_open = false,
                               int block = 0, Scope scope = Scope::always) {
  return {group, member, lo, hi, lo_open, hi_open, false, unit, scope, 1.0, nullptr, when, block};
}
constexpr MemberRangeRule any_finite(const char* group, const char* member, When when, int block = 0,
                                     Scope scope = Scope::always) {
  return rule(group, member, when, -kInf, kInf, "", false, false, block, scope);
}
constexpr MemberRangeRule zero_or(const char* group, const char* member, When when, double lo, double hi) {
  MemberRangeRule r = rule(group, member, when, lo, hi);
  r.zero_too = true;
  return r;
}
// A count with its own sentence: "<member> = <v>; <what> must lie in lo..hi".
constexpr MemberRangeRule counted(const char* group, const char* member, When when, double lo, double hi,
                                  const char* what) {
  MemberRangeRule r = rule(group, member, when, lo, hi);
  r.what = what;
  return r;
}
// A member an error study checks after its unit conversion by scale.
constexpr MemberRangeRule converted(const char* member, double lo, double hi, const char* unit,
                                    double scale) {
  MemberRangeRule r = rule("TRAN", member, When::index, lo, hi, unit, true, false, 0, Scope::error_study);
  r.scale = scale;
  return r;
}

using namespace input_range;
constexpr When T0 = When::tran_counts;
constexpr When T = When::tran;
constexpr When I = When::index;
constexpr When C = When::correct;
constexpr When O = When::other;

// Every rule in the order of the checks; rules of one block (> 0) are
// checked element by element (all members of index 1, then of index 2 ...).
constexpr MemberRangeRule kRules[] = {
    // Group TRAN, the counts the other checks index with.
    counted("TRAN", "NQTOT", T0, 0.0, kMaxChargeStates, "the number of charge states"),
    counted("TRAN", "NPAT", T0, 0.0, kMaxParticles, "the particles of a charge state"),
    // Group TRAN: every member that feeds a division, a square root, a
    // logarithm, an index or a phase, and every physical value.
    rule("TRAN", "FREQB", T, kMinFrequency, kMaxFrequency, " Hz"),
    rule("TRAN", "QDESIGN", T, -kMaxChargeNumber, kMaxChargeNumber),
    rule("TRAN", "ADESIGN", T, 0.0, kMaxMassNumber, "", true),
    rule("TRAN", "WIN", T, 0.0, 1000.0 * kMaxEnergy, " eV/u"),
    any_finite("TRAN", "UDESIGN", T),
    any_finite("TRAN", "ATP", T),
    rule("TRAN", "PART", T, 0.0, 1.0, "", true, true),
    rule("TRAN", "EPSNX", T, 0.0, kMaxEmittance),
    rule("TRAN", "EPSNY", T, 0.0, kMaxEmittance),
    rule("TRAN", "EPSNZ", T, 0.0, kMaxEmittanceZ),
    rule("TRAN", "ALPHX", T, -kMaxTwissAlpha, kMaxTwissAlpha),
    rule("TRAN", "ALPHY", T, -kMaxTwissAlpha, kMaxTwissAlpha),
    rule("TRAN", "ALPHZ", T, -kMaxTwissAlpha, kMaxTwissAlpha),
    // A tiny beta makes the divergence sqrt(eps / beta) beyond any number.
    zero_or("TRAN", "BETX", T, kMinTwissBeta, kMaxTwissBeta),
    zero_or("TRAN", "BETY", T, kMinTwissBeta, kMaxTwissBeta),
    zero_or("TRAN", "BETZ", T, kMinTwissBeta, kMaxTwissBeta),
    rule("TRAN", "DEESRF", T, 0.0, 1.0),
    rule("TRAN", "PHI0", T, -kMaxPhaseDeg, kMaxPhaseDeg, " deg"),
    rule("TRAN", "PHMAX", T, 0.0, kMaxPhaseDeg, " deg"),
    rule("TRAN", "DF_4D", T, -kMaxPhaseDeg, kMaxPhaseDeg, " deg"),
    rule("TRAN", "DB_B", T, 0.0, 1.0, "", false, true),
    rule("TRAN", "DWWACC", T, 0.0, kMaxEnergySpread, "", true),
    rule("TRAN", "DWWMAX", T, 0.0, kMaxEnergySpread),
    any_finite("TRAN", "QAVR", T),
    any_finite("TRAN", "DISP", T),
    any_finite("TRAN", "W_LIM", T),
    any_finite("TRAN", "A_LIM", T),
    any_finite("TRAN", "TE00_LIM", T),
    any_finite("TRAN", "PHDEV_LIM", T),
    any_finite("TRAN", "TE00_STEP", T),
    any_finite("TRAN", "PHDEV_STEP", T),
    any_finite("TRAN", "NP_SET", T),
    any_finite("TRAN", "XHIST", T),
    any_finite("TRAN", "YHIST", T),
    rule("TRAN", "QQ", T, -kMaxChargeNumber, kMaxChargeNumber, "", false, false, 1),
    rule("TRAN", "X00", T, -kMaxOffset, kMaxOffset, " cm", false, false, 1),
    rule("TRAN", "Y00", T, -kMaxOffset, kMaxOffset, " cm", false, false, 1),
    rule("TRAN", "XP00", T, -kMaxOffset, kMaxOffset, " mrad", false, false, 1),
    rule("TRAN", "YP00", T, -kMaxOffset, kMaxOffset, " mrad", false, false, 1),
    rule("TRAN", "PH00", T, -kMaxPhaseDeg, kMaxPhaseDeg, " deg", false, false, 1),
    // -100 % or less leaves no kinetic energy: the speed would be NaN.
    rule("TRAN", "DWW00", T, -100.0, 100.0 * kMaxEnergySpread, " %", true, false, 1),
    rule("TRAN", "CURRENT", T, 0.0, kMaxCurrent, " mA", false, false, 1),
    // The mass number of a state in use divides every momentum; unused
    // states keep whatever the file says as long as it is a number.
    rule("TRAN", "AMASS", T, 0.0, kMaxMassNumber, "", true, false, 2, Scope::states_in_use),
    any_finite("TRAN", "AMASS", T, 2, Scope::other_states),
    rule("TRAN", "SFAS", T, -360.0, 360.0, " deg", false, false, 3),
    rule("TRAN", "SERF", T, 0.0, 100.0, " %", false, false, 3),
    rule("TRAN", "APER", T, 0.0, kMaxOffset, " cm", false, false, 3),
    rule("TRAN", "DCAV", T, 0.0, kMaxOffset, " cm", false, false, 3),
    rule("TRAN", "NCELLS", T, 0.0, kMaxStepCount, "", false, false, 3),
    // Group INDEX: counts and indices.
    rule("INDEX", "IFLAG_QQ", I, 0.0, kMaxChargeStates),
    rule("INDEX", "NSTEP_CAV", I, 1.0, kMaxStepCount),
    rule("INDEX", "IINT", I, 0.0, kMaxStepCount),
    rule("INDEX", "NRZ", I, 0.0, kMaxSeedNumber, "", false, false, 0, Scope::error_study),
    // Members of TRAN that only an error study uses (IFLAG_CORR not 0). The
    // nominal pass of an error study runs NINT(NPAT NP_SET) of the NPAT
    // particles that exist: a fraction above 1 would count empty slots. The
    // correction scans advance by their steps (converted from percent and
    // deg by then): a step of 0 never ends.
    converted("NP_SET", 0.0, 1.0, "", 1.0),
    converted("TE00_STEP", 0.0, 1.0, " (fraction)", 0.01),
    converted("PHDEV_STEP", 0.0, kTwoPi, " rad", kDegToRad),
    // Group CORRECT: the fraction of the particles of a correction pass.
    rule("CORRECT", "PARTCORR", C, 0.0, 1.0, "", true),
    rule("CORRECT", "PARTEQ", C, 0.0, 1.0),
    any_finite("CORRECT", "TOLERANCE", C),
    // Group OTHER: the semi-axes of distribution types 51 to 53.
    rule("OTHER", "A_AXE", O, 0.0, kMaxOffset),
    rule("OTHER", "B_AXE", O, 0.0, kMaxOffset),
    rule("OTHER", "C_AXE", O, 0.0, kMaxOffset),
    any_finite("OTHER", "RAB", O),
    any_finite("OTHER", "Z_ELECTR", O),
    any_finite("OTHER", "R_ELECTR", O),
    any_finite("OTHER", "R_BEAM", O),
    any_finite("OTHER", "VZ_MIN", O),
    any_finite("OTHER", "DBET_BET", O),
    any_finite("OTHER", "WORD", O),
};

bool admits(const MemberRangeRule& m, double value) {
  if (!std::isfinite(value)) return false;
  if (m.zero_too && value == 0.0) return true;
  if (m.lo_open ? !(value > m.lo) : !(value >= m.lo)) return false;
  if (m.hi_open ? !(value < m.hi) : !(value <= m.hi)) return false;
  return true;
}

NamelistSchema schema_of(ControlContext& sim, std::string_view group) {
  if (group == "TRAN") return tran_schema(sim);
  if (group == "INDEX") return index_schema(sim);
  if (group == "CORRECT") return correct_schema(sim);
  return other_schema(sim);
}

// The bound member of a rule (every ruled member is bound by its schema).
NamelistSchema::Member bound_member(ControlContext& sim, const MemberRangeRule& r) {
  const NamelistSchema s = schema_of(sim, r.group);
  for (const NamelistSchema::Member& m : s.members())
    if (m.name == r.member) return m;
  fatal(fmt::format(" velmo.dat: no member {} in group {}", r.member, r.group));
}

double element_value(const NamelistSchema::Member& m, int e) {
  if (m.kind == NamelistSchema::Kind::Int) return static_cast<const std::int32_t*>(m.field)[e];
  return static_cast<const double*>(m.field)[e];
}

// Checks element e (0-based) of the rule's member when the rule's scope
// takes it.
void check_element(ControlContext& sim, const MemberRangeRule& r, const NamelistSchema::Member& m, int e) {
  const int index = m.lower + e;
  switch (r.scope) {
    case Scope::always:
      break;
    case Scope::states_in_use:
      if (index > sim.config.NQTOT) return;
      break;
    case Scope::other_states:
      if (index <= sim.config.NQTOT) return;
      break;
    case Scope::error_study:
      if (sim.config.IFLAG_CORR == 0) return;
      break;
  }
  const double v = element_value(m, e);
  if (admits(r, v)) return;
  const std::string name = m.count > 1 ? fmt::format("{}({})", r.member, index) : std::string(r.member);
  if (r.what != nullptr)
    refuse(r.group, fmt::format("{} = {}; {} must lie in {}..{}", name, num(v), r.what, num(r.lo), num(r.hi)));
  refuse(r.group, fmt::format("{} = {}{}; allowed range {}{}{}, {}{}", name, num(v), r.unit,
                              r.zero_too ? "0 or " : "", r.lo_open ? "(" : "[", num(r.lo), num(r.hi),
                              r.hi_open ? ")" : "]"));
}

// The rules of one check point, in table order.
void check_ranges(ControlContext& sim, When when) {
  const std::span<const MemberRangeRule> rules(kRules);
  std::size_t i = 0;
  while (i < rules.size()) {
    if (rules[i].when != when) {
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    if (rules[i].block > 0)
      while (j < rules.size() && rules[j].when == when && rules[j].block == rules[i].block) ++j;
    std::vector<NamelistSchema::Member> members;
    for (std::size_t r = i; r < j; ++r) members.push_back(bound_member(sim, rules[r]));
    for (int e = 0; e < members.front().count; ++e)
      for (std::size_t r = i; r < j; ++r)
        if (e < members[r - i].count) check_element(sim, rules[r], members[r - i], e);
    i = j;
  }
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

std::span<const MemberRangeRule> velmo_member_ranges() { return kRules; }

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
  check_ranges(sim, When::tran_counts);
  check_masses_in_use(sim);
  check_ranges(sim, When::tran);

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
  check_ranges(sim, When::index);

  // 6. Groups CORRECT and OTHER when asked for.
  sim.corr.PARTCORR = 1.0;
  sim.corr.MONERR = 1;
  if (c.IFLAG_CORR != 0) nl.read_group(correct_schema(sim));
  if (c.IFLAG_CORR != 0) check_ranges(sim, When::correct);
  if (c.IFLAG_DIS > 50) nl.read_group(other_schema(sim));
  if (c.IFLAG_DIS > 50) check_ranges(sim, When::other);

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
