#include "beam/distribution_readers.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "beam/phase_groups.hpp"
#include "beam/beam_context.hpp"
#include "common/unit_numbers.hpp"
#include "numerics/random.hpp"
#include "common/input_ranges.hpp"
#include "platform/fatal.hpp"
#include "platform/format.hpp"
#include "platform/freeformat.hpp"
#include "platform/units.hpp"

namespace linac {

namespace {

constexpr double kSpeedOfLightMs = 299792458.0;  // m/s
constexpr int kMaxRecordNumbers = 11;

// A particle file read one list-directed record at a time. A record begins
// on the next line that holds an item and continues on the following lines
// until it has its numbers; the rest of its last line is not read.
class RecordReader {
 public:
  RecordReader(const Units& units, std::string_view name) : in_(units, name) {}

  // Reads and discards one line (a title of up to 80 characters). False at
  // the end of the file.
  bool skip_line() {
    std::string text;
    return in_.next_line(text);
  }

  // The next record of n numbers into out[0..n-1]; with first_int the first
  // one must be an integer. False at the end of the file before a record.
  bool next(int n, bool first_int, double* out) {
    if (!next_nonblank()) return false;
    rec_line_ = in_.line_number();
    int got = 0;
    while (got < n) {
      if (line_.at_end() && !next_nonblank())
        input_error(in_.name(), in_.line_number(),
                    fmt::format("end of file inside the particle record that begins on line {}; "
                                "{} numbers expected, {} read",
                                rec_line_, n, got));
      out[got] = (got == 0 && first_int) ? static_cast<double>(line_.read_int()) : line_.read_real();
      ++got;
    }
    return true;
  }

  int record_line() const { return rec_line_; }
  const std::string& file() const { return in_.name(); }

 private:
  bool next_nonblank() {
    std::string text;
    while (in_.next_line(text)) {
      line_ = FreeLine(text, in_.name(), in_.line_number());
      if (!line_.at_end()) return true;
    }
    return false;
  }

  TextIn in_;
  FreeLine line_{std::string_view{}, std::string{}, 0};
  int rec_line_ = 0;
};

[[noreturn]] void bad_record(const RecordReader& rr, const std::string& what) {
  input_error(rr.file(), rr.record_line(), what);
}

// Every number of a record must be finite (see common/input_ranges.hpp).
void check_record_values(const RecordReader& rr, const double* v, int n) {
  for (int k = 0; k < n; ++k)
    if (!std::isfinite(v[k]))
      bad_record(rr, fmt::format("number {} of the record is {}; every value must be a finite number",
                                 k + 1, v[k]));
}

// |v| <= limit for a quantity of a record, named with its unit.
void check_bound(const RecordReader& rr, const char* what, double v, double limit) {
  if (!(std::fabs(v) <= limit))
    bad_record(rr, fmt::format("{} = {}; allowed range [-{}, {}]", what, v, limit, limit));
}

// The speed of a particle and its slopes: beta in (kMinBeta, 1), slopes
// within kMaxSlope (a tiny longitudinal speed makes them huge).
void check_speed(const RecordReader& rr, double beta, double xp, double yp) {
  using namespace input_range;
  if (!(beta > kMinBeta))
    bad_record(rr, fmt::format("speed {} c; a particle's v/c must be above {}", beta, kMinBeta));
  check_bound(rr, "slope x' (rad)", xp, kMaxSlope);
  check_bound(rr, "slope y' (rad)", yp, kMaxSlope);
}

// ------------------------------------------------------------------------
// The readers that find the charge states in the file.

// What distinguishes one census format from another.
struct CensusFormat {
  const char* file;        // file name
  const char* table_name;  // name in the log.dat title and screen text
  bool title;              // one title line before the particles
  int ncols;               // numbers per particle record
  int col_q, col_a;        // columns of the charge and mass numbers (0-based)
  double charge_tol;       // charges within this join a state (0: equal only)
};

constexpr CensusFormat kLanl{"lanl_ini.dat", "LANL", true, 9, 7, 8, 0.0};
constexpr CensusFormat kAstra{"astra_ini.dat", "ASTRA", true, 8, 6, 7, 0.0};
constexpr CensusFormat kKobra{"kobra_ini.dat", "KOBRA", false, 11, 7, 8, 1e-4};

// The charge states found in a file, in the order of their first particle.
struct Census {
  int nq = 0;
  std::array<double, kMaxChargeStates + 1> q{};
  std::array<double, kMaxChargeStates + 1> a{};
  std::array<std::int32_t, kMaxChargeStates + 1> count{};  // particles per state
  double p_ref = 0.0;  // ASTRA: pz of the first record, eV/c
};

// The first state whose charge matches q (within the format's tolerance), 0
// when none does.
int find_state(const Census& c, const CensusFormat& f, double q) {
  for (int iq = 1; iq <= c.nq; ++iq) {
    if (f.charge_tol > 0.0 ? std::fabs(q - c.q[iq]) <= f.charge_tol : q == c.q[iq]) return iq;
  }
  return 0;
}

// The first lattice line must set the operating harmonic: it fixes the RF
// wavelength per radian that turns the file's times and lengths into phases.
void harmonic_check(BeamContext& sim, const CensusFormat& f) {
  const std::int32_t n = sim.config.iel_first;
  if (!is_harmonic_line(sim.elements, n)) {
    const std::string who = fmt::format(" for partice distribution from {}_ini.dat", f.table_name);
    const std::string lines[4] = {" 1st command in sclinac.dat must be 1 prmtr harm=N",
                                  fmt::format("{:<50}", who),
                                  " N is operating harmonic number at the entrance of",
                                  " the given part of the accelerator                "};
    std::vector<std::string> records;
    for (const auto& l : lines) records.push_back(list_directed({std::string_view(l)}));
    fatal(records);
  }
  const double harm = sim.elements.elem_par[n][1];
  if (!(harm > 0.0))
    fatal(fmt::format(" {}: the first lattice line sets harm = {}; the operating harmonic must "
                      "be above 0",
                      f.file, harm));
  sim.ref.harm = harm;
  sim.ref.wavelength_2pi = sim.ref.wavelength / harm / kTwoPi;
}

// Pass 1: the charge states, their counts, and every check of the values,
// so that nothing is stored from a file that cannot be taken whole.
template <class Check>
Census census_pass(const BeamContext& sim, const CensusFormat& f, Check check) {
  Census c;
  RecordReader rr(sim.units, f.file);
  if (f.title && !rr.skip_line()) fatal(fmt::format(" {}: the file is empty", f.file));
  double v[kMaxRecordNumbers];
  while (rr.next(f.ncols, false, v)) {
    check_record_values(rr, v, f.ncols);
    const double q = v[f.col_q];
    const double a = v[f.col_a];
    if (!input_range::within(q, -input_range::kMaxChargeNumber, input_range::kMaxChargeNumber))
      bad_record(rr, fmt::format("charge number Q = {}; allowed range [-{}, {}]", q,
                                 input_range::kMaxChargeNumber, input_range::kMaxChargeNumber));
    int iq = find_state(c, f, q);
    if (iq == 0) {
      if (c.nq == kMaxChargeStates)
        bad_record(rr, fmt::format("charge {} would be charge state {}; at most {} charge states "
                                   "can be held",
                                   q, c.nq + 1, kMaxChargeStates));
      if (!(a > 0.0))
        bad_record(rr, fmt::format("mass number A = {}; it must be above 0", a));
      if (a > input_range::kMaxMassNumber)
        bad_record(rr, fmt::format("mass number A = {}; allowed range (0, {}]", a,
                                   input_range::kMaxMassNumber));
      iq = ++c.nq;
      c.q[iq] = q;
      c.a[iq] = a;
    }
    if (c.count[iq] == kParticleSlots)
      bad_record(rr, fmt::format("more than {} particles of charge state {} (Q = {}); a state "
                                 "holds at most {} (its reference and {} beam particles)",
                                 kParticleSlots, iq, c.q[iq], kParticleSlots, kMaxParticles));
    if (c.nq == 1 && c.count[1] == 0) c.p_ref = v[5];
    ++c.count[iq];
    check(rr, c, iq, v);
  }
  if (c.nq == 0) fatal(fmt::format(" {}: the file holds no particle record", f.file));
  return c;
}

// Per-state sums of x, x', y, y', phase and W of the particles stored.
using StateSums = std::array<std::array<double, 7>, kMaxChargeStates + 1>;

// Pass 2: stores the particles. fill(iq, slot, v) writes one particle and
// returns its W (keV/u). Returns the per-state means.
template <class Fill>
StateSums fill_pass(BeamContext& sim, const CensusFormat& f, const Census& c, Fill fill) {
  RunConfig& cfg = sim.config;
  ParticleArrays& p = sim.particles;
  cfg.NQTOT = c.nq;
  StateSums sum{};
  std::array<std::int32_t, kMaxChargeStates + 1> n{};
  for (int iq = 1; iq <= c.nq; ++iq) {
    cfg.QQ[iq] = c.q[iq];
    cfg.AMASS[iq] = c.a[iq];
  }
  RecordReader rr(sim.units, f.file);
  if (f.title) rr.skip_line();
  double v[kMaxRecordNumbers];
  while (rr.next(f.ncols, false, v)) {
    const int iq = find_state(c, f, v[f.col_q]);
    if (iq == 0 || n[iq] >= c.count[iq])
      bad_record(rr, "the file changed while it was read");
    const std::int32_t i = n[iq]++;
    const double w = fill(iq, i, v);
    p.status[iq][i] = kLive;
    sum[iq][1] += p.x[iq][i];
    sum[iq][2] += p.xp[iq][i];
    sum[iq][3] += p.y[iq][i];
    sum[iq][4] += p.yp[iq][i];
    sum[iq][5] += p.phase[iq][i];
    sum[iq][6] += w;
  }
  StateSums mean{};
  for (int iq = 1; iq <= c.nq; ++iq) {
    if (n[iq] != c.count[iq]) fatal(fmt::format(" {}: the file changed while it was read", f.file));
    cfg.NPAT[iq] = n[iq] - 1;
    for (int m = 1; m <= 6; ++m) mean[iq][m] = sum[iq][m] / (cfg.NPAT[iq] + 1);
    sim.stats.qstate_centroids[iq] = mean[iq];
  }
  return mean;
}

// The per-state table in log.dat.
void write_state_table(BeamContext& sim, const CensusFormat& f, const StateSums& mean) {
  const RunConfig& cfg = sim.config;
  if (&f != &kKobra) {
    sim.units.write(kUnitLog, fmt::format("      Parameters of the {}_ini.dat distribution",
                                          f.table_name));
    sim.units.write(kUnitLog,
                    " iq   Q     A      npat      Xavr[cm]     X'avr[mrad]      Yavr[cm]     "
                    "Y'avr[mrad]      Phi[deq]      Wkin[Kev/u] ");
  } else {
    sim.units.write(kUnitLog,
                    " iq     Q     A      npat      Xavr[cm]     X'avr[mrad]      Yavr[cm]     "
                    "Y'avr[mrad]      Phi[deq]    Wkin[Kev/u] ");
  }
  const FortranFormat row("(I3,2F7.1,I8,6E15.5)");
  for (std::int32_t iq = 1; iq <= cfg.NQTOT; ++iq) {
    const auto& m = mean[iq];
    write_checked(sim, kUnitLog, row,
                  {iq, cfg.QQ[iq], cfg.AMASS[iq], cfg.NPAT[iq], m[1], 1000.0 * m[2], m[3], 1000.0 * m[4],
                   m[5] / kDegToRad, m[6]});
  }
}

// LANL and ASTRA: the plain mean of the state mean phases becomes zero and
// the plain mean of the state mean energies the design energy.
void centre_phases_and_energy(BeamContext& sim, const StateSums& mean) {
  RunConfig& cfg = sim.config;
  double phi = 0.0;
  double w = 0.0;
  for (int iq = 1; iq <= cfg.NQTOT; ++iq) {
    phi += mean[iq][5];
    w += mean[iq][6];
  }
  phi /= cfg.NQTOT;
  w /= cfg.NQTOT;
  for (int iq = 1; iq <= cfg.NQTOT; ++iq)
    for (std::int32_t i = 0; i <= cfg.NPAT[iq]; ++i) sim.particles.phase[iq][i] -= phi;
  sim.ref.WIN = w;
}

}  // namespace

void read_lanl_distribution(BeamContext& sim) {
  const CensusFormat& f = kLanl;
  harmonic_check(sim, f);
  const Census c = census_pass(sim, f, [](const RecordReader& rr, const Census&, int, const double* v) {
    if (!(v[6] > 0.0))
      bad_record(rr, fmt::format("kinetic energy W = {} MeV/u; it must be above 0", v[6]));
    using namespace input_range;
    check_bound(rr, "kinetic energy W (MeV/u)", v[6], 0.001 * kMaxEnergy);
    check_bound(rr, "x (cm)", v[1], kMaxCoordinate);
    check_bound(rr, "x' (rad)", v[2], kMaxSlope);
    check_bound(rr, "y (cm)", v[3], kMaxCoordinate);
    check_bound(rr, "y' (rad)", v[4], kMaxSlope);
    check_bound(rr, "phase (rad)", v[5], kMaxPhaseRad);
    if (!(speed_of_energy(1000.0 * v[6], kAmuKev) > kMinBeta))
      bad_record(rr, fmt::format("kinetic energy W = {} MeV/u gives a speed at or below {} c", v[6],
                                 kMinBeta));
  });
  ParticleArrays& p = sim.particles;
  const double amu_kev = sim.ref.amu_kev;
  const StateSums mean = fill_pass(sim, f, c, [&](int iq, std::int32_t i, const double* v) {
    p.x[iq][i] = v[1];
    p.xp[iq][i] = v[2];
    p.y[iq][i] = v[3];
    p.yp[iq][i] = v[4];
    p.phase[iq][i] = v[5];
    const double w_kev = 1000.0 * v[6];
    p.beta[iq][i] = speed_of_energy(w_kev, amu_kev);
    return w_kev;
  });
  write_state_table(sim, f, mean);
  centre_phases_and_energy(sim, mean);
}

void read_astra_distribution(BeamContext& sim) {
  const CensusFormat& f = kAstra;
  harmonic_check(sim, f);
  const Census c = census_pass(sim, f, [](const RecordReader& rr, const Census& cs, int iq, const double* v) {
    if (cs.p_ref == 0.0)
      bad_record(rr, "the reference momentum pz of the first particle is 0; it must not be 0");
    using namespace input_range;
    // Positions in m; the phase is -z / beta over the wavelength per radian.
    check_bound(rr, "x (m)", v[0], 0.01 * kMaxCoordinate);
    check_bound(rr, "y (m)", v[1], 0.01 * kMaxCoordinate);
    check_bound(rr, "z (m)", v[2], 0.01 * kMaxCoordinate);
    // Every particle moves with p_ref: beta gamma = |p_ref| / (A m_u c^2).
    const double bg = std::fabs(cs.p_ref) / (cs.a[iq] * kAmuEv);
    if (!(bg > kMinBeta))
      bad_record(rr, fmt::format("reference momentum pz = {} eV/c gives the particles of mass {} a "
                                 "speed at or below {} c",
                                 cs.p_ref, cs.a[iq], kMinBeta));
  });
  ParticleArrays& p = sim.particles;
  const double amu_kev = sim.ref.amu_kev;
  const double wl = sim.ref.wavelength_2pi;
  const double p_ref = c.p_ref;
  const StateSums mean = fill_pass(sim, f, c, [&](int iq, std::int32_t i, const double* v) {
    p.x[iq][i] = 100.0 * v[0];
    p.y[iq][i] = 100.0 * v[1];
    // The file's momenta are not used: transverse momenta uniform within
    // +-1e-3 p_ref, longitudinal momentum p_ref for every particle.
    double u[2];
    dRNUN(sim, 2, u);
    const double px = (2.0 * u[0] - 1.0) * p_ref * 0.001;
    const double py = (2.0 * u[1] - 1.0) * p_ref * 0.001;
    p.xp[iq][i] = px / p_ref;
    p.yp[iq][i] = py / p_ref;
    const double pp = std::sqrt(p_ref * p_ref + px * px + py * py);
    const double k = pp / (sim.config.AMASS[iq] * kAmuEv);  // beta gamma
    const double beta = std::sqrt(k * k / (k * k + 1.0));
    p.beta[iq][i] = beta;
    // A particle at z ahead of the reference arrives earlier.
    p.phase[iq][i] = -(100.0 * v[2] / beta) / wl;
    return kinetic_energy_kev(beta, amu_kev);
  });
  write_state_table(sim, f, mean);
  centre_phases_and_energy(sim, mean);
}

void read_kobra_distribution(BeamContext& sim) {
  const CensusFormat& f = kKobra;
  harmonic_check(sim, f);
  const Census c = census_pass(sim, f, [](const RecordReader& rr, const Census&, int, const double* v) {
    const double vz = v[4], vx = v[5], vy = v[6];
    if (vz == 0.0) bad_record(rr, "vz = 0 m/s; the slopes vx/vz and vy/vz need vz not 0");
    const double beta = std::sqrt(vz * vz + vx * vx + vy * vy) / kSpeedOfLightMs;
    if (!(beta < 1.0))
      bad_record(rr, fmt::format("speed {} c; it must be below the speed of light", beta));
    check_speed(rr, beta, vx / vz, vy / vz);
    check_bound(rr, "x (m)", v[2], 0.01 * input_range::kMaxCoordinate);
    check_bound(rr, "y (m)", v[3], 0.01 * input_range::kMaxCoordinate);
    check_bound(rr, "current (mA)", v[10], input_range::kMaxCurrent);
  });
  for (int iq = 1; iq <= c.nq; ++iq) sim.current.CURRENT[iq] = 0.0;
  ParticleArrays& p = sim.particles;
  const double amu_kev = sim.ref.amu_kev;
  const StateSums mean = fill_pass(sim, f, c, [&](int iq, std::int32_t i, const double* v) {
    const double vz = v[4], vx = v[5], vy = v[6];
    sim.current.CURRENT[iq] += v[10];
    p.x[iq][i] = 100.0 * v[2];
    p.y[iq][i] = 100.0 * v[3];
    p.xp[iq][i] = vx / vz;
    p.yp[iq][i] = vy / vz;
    double u;
    dRNUN(sim, 1, &u);
    p.phase[iq][i] = (2.0 * u - 1.0) * kPi;
    const double beta = std::sqrt(vz * vz + vx * vx + vy * vy) / kSpeedOfLightMs;
    p.beta[iq][i] = beta;
    return kinetic_energy_kev(beta, amu_kev);
  });
  write_state_table(sim, f, mean);
  // The file is only inspected: the run ends after its table.
  planned_stop();
}

void read_dinamion(BeamContext& sim) {
  static constexpr const char* kFile = "dinamion_ini.dat";
  constexpr int kCols = 9;  // integer, x, bx, y, by, ignored, bz, phase, Q
  const double tol = widen(0.1f);
  RunConfig& cfg = sim.config;
  const int nq = cfg.NQTOT;
  if (nq < 1 || nq > kMaxChargeStates)
    fatal(fmt::format(" {}: NQTOT = {} in velmo.dat; the particles are filed under charge states "
                      "1..NQTOT, NQTOT from 1 to {}",
                      kFile, nq, kMaxChargeStates));

  // Pass 1: every record must match a state, fit in its slots and give a
  // finite speed and slopes.
  std::array<std::int32_t, kMaxChargeStates + 1> count{};
  double v[kCols];
  {
    RecordReader rr(sim.units, kFile);
    while (rr.next(kCols, true, v)) {
      check_record_values(rr, v, kCols);
      const double q = v[8];
      bool matched = false;
      for (int iq = 1; iq <= nq; ++iq) {
        if (!(std::fabs(q - cfg.QQ[iq]) < tol)) continue;
        matched = true;
        if (count[iq] == kParticleSlots)
          bad_record(rr, fmt::format("more than {} particles of charge state {} (Q = {}); a state "
                                     "holds at most {} (its reference and {} beam particles)",
                                     kParticleSlots, iq, cfg.QQ[iq], kParticleSlots,
                                     kMaxParticles));
        ++count[iq];
      }
      if (!matched)
        fatal({" wrong charge state in DINAMION_distr",
               fmt::format(" input error in {} line {}: charge {} is not within 0.1 of any QQ of "
                           "velmo.dat",
                           kFile, rr.record_line(), q)});
      const double bx = v[2], by = v[4], bz = v[6];
      if (bz == 0.0) bad_record(rr, "beta_z = 0; the slopes beta_x/beta_z and beta_y/beta_z need it not 0");
      if (!(bx * bx + by * by + bz * bz < 1.0))
        bad_record(rr, fmt::format("speed {} c; it must be below the speed of light",
                                   std::sqrt(bx * bx + by * by + bz * bz)));
      check_speed(rr, std::sqrt(bx * bx + by * by + bz * bz), bx / bz, by / bz);
      check_bound(rr, "x (cm)", v[1], input_range::kMaxCoordinate);
      check_bound(rr, "y (cm)", v[3], input_range::kMaxCoordinate);
      check_bound(rr, "phase (deg)", v[7], input_range::kMaxPhaseRad * 57.29577951308232);
    }
  }
  for (int iq = 1; iq <= nq; ++iq)
    if (count[iq] == 0)
      fatal(fmt::format(" {}: no particle of charge state {} (Q = {}); each charge state needs at "
                        "least its reference particle",
                        kFile, iq, cfg.QQ[iq]));

  // Pass 2: a particle within 0.1 of several charge states joins each.
  ParticleArrays& p = sim.particles;
  for (int iq = 1; iq <= nq; ++iq) cfg.NPAT[iq] = -1;
  RecordReader rr(sim.units, kFile);
  while (rr.next(kCols, true, v)) {
    for (int iq = 1; iq <= nq; ++iq) {
      if (!(std::fabs(v[8] - cfg.QQ[iq]) < tol)) continue;
      if (cfg.NPAT[iq] + 1 >= count[iq]) bad_record(rr, "the file changed while it was read");
      const std::int32_t n = ++cfg.NPAT[iq];
      const double bx = v[2], by = v[4], bz = v[6];
      p.x[iq][n] = v[1];
      p.y[iq][n] = v[3];
      p.z[iq][n] = 0.0;
      p.xp[iq][n] = bx / bz;
      p.yp[iq][n] = by / bz;
      p.beta[iq][n] = std::sqrt(bx * bx + by * by + bz * bz);
      p.phase[iq][n] = v[7] * kPi / 180.0;
    }
  }
  double w_sum = 0.0;
  double n_sum = 0.0;
  for (int iq = 1; iq <= nq; ++iq) {
    if (cfg.NPAT[iq] + 1 != count[iq])
      fatal(fmt::format(" {}: the file changed while it was read", kFile));
    for (std::int32_t i = 0; i <= cfg.NPAT[iq]; ++i) {
      w_sum += kinetic_energy_kev(p.beta[iq][i], sim.ref.amu_kev);
      n_sum += 1.0;
    }
  }
  sim.ref.w_file_mean = w_sum / n_sum;
}

}  // namespace linac
