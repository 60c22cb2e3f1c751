#include "elements/stripper.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include <fmt/format.h>

#include "beam/lost_coord.hpp"
#include "beam/stats.hpp"
#include "elements/elements_context.hpp"
#include "common/input_ranges.hpp"
#include "common/text_utils.hpp"
#include "numerics/deviates.hpp"
#include "numerics/random.hpp"
#include "numerics/vector_kernels.hpp"
#include "platform/fatal.hpp"
#include "platform/freeformat.hpp"
#include "transport/reference.hpp"
#include "transport/seams.hpp"

namespace linac {

namespace {

// Slots rebuilt per thread at least: below this the rebuild runs on one thread.
constexpr int kMinParallelSlots = 4096;
// Charge draws taken from the alias table per library call.
constexpr int kChargeDrawChunk = 4096;
// Relative rounding allowed when the design energy behind a foil equals
// the energy in front of it.
constexpr double kStripEnergyRounding = 1e-9;

bool valid_model(std::int32_t m) { return m >= 1 && m <= kStripModels; }

[[noreturn]] void no_such_stripper(const std::string& where) {
  fatal({" No stripper with this index", where});
}

}  // namespace

// ------------------------------------------------------------ models

StripThicknessLimit strip_thickness_limit(std::int32_t m) {
  if (!valid_model(m)) no_such_stripper(fmt::format(" stripper model m = {}, allowed 1 or 2", m));
  // value + slope t must stay >= 0 (weights) or > 0 (rates) for
  // |t| <= 2 T100: T100 <= value / (2 |slope|), T = T100 / 100.
  StripThicknessLimit lim{std::numeric_limits<double>::infinity(), true};
  auto bound = [&lim](double T, bool inclusive) {
    if (T < lim.T)
      lim = {T, inclusive};
    else if (T == lim.T)
      lim.inclusive = lim.inclusive && inclusive;
  };
  for (const StripBin& b : strip_bin_table(m)) {
    if (b.weight_slope != 0.0) bound(b.weight0 / (2.0 * std::fabs(b.weight_slope)) / 100.0, true);
    if (b.rate_slope != 0.0) bound(b.rate0 / (2.0 * std::fabs(b.rate_slope)) / 100.0, false);
  }
  return lim;
}

double strip_scatter_value(std::int32_t m, double t, double u1, double u2) {
  const StripBinTable& bins = strip_bin_table(m);
  // Cumulative weights C_r = w_1(t) + ... + w_r(t).
  std::array<double, kStripBins> C;
  double acc = 0.0;
  for (int r = 0; r < kStripBins; ++r) {
    acc += bins[r].weight_slope * t + bins[r].weight0;
    C[r] = acc;
  }
  const double target = u1 * C[kStripBins - 1];
  int r = 0;
  while (r < kStripBins - 1 && !(target <= C[r])) ++r;
  // Exponential exp(-lambda F) truncated to the bin [a, b], by inversion.
  const StripBin& b = bins[r];
  const double lambda = b.rate_slope * t + b.rate0;
  const double ea = std::exp(-lambda * b.lower);
  const double eb = std::exp(-lambda * b.upper);
  return -(1.0 / lambda) * std::log(ea - u2 * (ea - eb));
}

double strip_scatter_sample(ElementsContext& sim, std::int32_t m, double t) {
  if (!valid_model(m)) no_such_stripper(fmt::format(" stripper model m = {}, allowed 1 or 2", m));
  double u[2];
  dRNUN(sim, 2, u);
  return strip_scatter_value(m, t, u[0], u[1]);
}

void strip_sample(ElementsContext& sim, std::int32_t m, double T100, double& dW, double& dxp, double& dyp) {
  if (!valid_model(m)) no_such_stripper(fmt::format(" stripper model m = {}, allowed 1 or 2", m));
  if (!(T100 >= 0.0))
    fatal(fmt::format(" stripper: thickness half width {} % is negative; it must be >= 0", T100));
  const StripLossCoef& A = strip_loss_coef(m);
  // Thickness deviation (percent): Gaussian of half width T100 at half
  // maximum, cut at twice that.
  double g = 0.0;
  double t = 0.0;
  do {
    DRNNOA(sim, 1, &g);
    t = (T100 / kHalfWidthToSigma) * g;
  } while (std::fabs(t) > 2.0 * T100);
  const double F = strip_scatter_sample(sim, m, t);
  // Mean loss beyond the reference loss (MeV/u -> keV/u) and Gaussian
  // straggling of width A1 F + A3 t + A4 (keV/u).
  double g2 = 0.0;
  DRNNOA(sim, 1, &g2);
  dW = 1000.0 * (A.A2 * F + A.A5 * t) + g2 * (A.A1 * F + A.A3 * t + A.A4);
  // Scattering angle sqrt(F) mrad at a uniform azimuth.
  double u = 0.0;
  dRNUN(sim, 1, &u);
  const double phi = kTwoPi * u;
  const double theta = std::sqrt(F) / 1000.0;
  dxp = theta * std::cos(phi);
  dyp = theta * std::sin(phi);
}

double strip_thickness_sample(ElementsContext& sim, double a, double b) {
  if (!std::isfinite(a) || !(b >= 0.0) || !std::isfinite(b) || (b == 0.0 && a != 0.0))
    fatal(fmt::format(" stripper thickness sample: half width {} and cut {}; the cut must be above 0 "
                      "(or 0 with a half width 0)",
                      a, b));
  double g = 0.0;
  double t = 0.0;
  do {
    DRNNOA(sim, 1, &g);
    t = (a / kHalfWidthToSigma) * g;
  } while (std::fabs(t) > b);
  return t;
}

double strip_loss_sample(ElementsContext& sim, std::int32_t m, double t, double F) {
  if (!valid_model(m)) no_such_stripper(fmt::format(" stripper model m = {}, allowed 1 or 2", m));
  const StripLossCoef& A = strip_loss_coef(m);
  double g = 0.0;
  DRNNOA(sim, 1, &g);
  // Mean loss in MeV/u; the straggling width is in keV/u.
  return (A.A2 * F + A.A5 * t) + g * (A.A1 * F + A.A3 * t + A.A4) / 1000.0;
}

// ------------------------------------------------------------ stripper file

std::string stripper_file_name(const ElementsContext& sim, std::int32_t m) {
  return table_dir_name(sim.tables.TABLE_DIR, numbered_name("stripper.#", m, 2));
}

StripperTable read_stripper_file(const ElementsContext& sim, std::int32_t m) {
  const std::string name = stripper_file_name(sim, m);
  FreeStream in(sim.units, name);
  StripperTable tab;
  tab.m = m;
  tab.n = in.read_int();
  if (tab.n < 1 || tab.n > kMaxChargeStates)
    input_error(name, in.line_number(),
                fmt::format("{} charge states behind the foil, allowed 1..{}", tab.n,
                            kMaxChargeStates));
  in.next_record();
  // An ion leaves the foil with a whole positive charge number, no larger
  // than the beam's start values may hold.
  for (int k = 1; k <= tab.n; ++k) {
    tab.Q[k] = in.read_real();
    const double q = tab.Q[k];
    if (!(q >= 1.0 && q <= input_range::kMaxChargeNumber && q == std::floor(q)))
      input_error(name, in.line_number(),
                  fmt::format("charge Q({}) = {}; a charge state behind the foil is a whole number "
                              "in 1..{}",
                              k, q, input_range::kMaxChargeNumber));
  }
  in.next_record();
  for (int k = 1; k <= tab.n; ++k) {
    tab.P[k] = in.read_real();
    if (!(tab.P[k] >= 0.0))
      input_error(name, in.line_number(),
                  fmt::format("probability P({}) = {} is negative", k, tab.P[k]));
  }
  // The alias tables take the probabilities in single precision: the sum
  // is checked as they will see it.
  std::array<float, kMaxChargeStates> p4{};
  for (int k = 1; k <= tab.n; ++k) p4[k - 1] = static_cast<float>(tab.P[k]);
  const float sum = vec_sum_f32(tab.n, p4.data(), 1);
  if (!(std::fabs(static_cast<double>(sum) - 1.0) <= 1e-4))
    input_error(name, in.line_number(),
                fmt::format("the probabilities sum to {}, not to 1 within 1e-4", sum));
  in.next_record();
  for (int k = 1; k <= tab.n; ++k) in.read_real();  // not used
  in.next_record();
  tab.W_s = in.read_real();
  if (!(tab.W_s > 0.0))
    input_error(name, in.line_number(),
                fmt::format("energy behind the foil W_s = {} keV/u, must be > 0", tab.W_s));
  tab.file = name;
  tab.W_s_line = in.line_number();
  return tab;
}

// ------------------------------------------------------------ element

namespace {

// The particles drawn into the new states, in drawing order: new state q
// holds entries offset[q] .. offset[q] + count[q] - 1, entry offset[q] + j
// going to slot j. Sized to the slots drawn; freed when the element ends.
struct StripBuffer {
  std::array<std::int64_t, kMaxChargeStates + 2> offset{};
  std::array<std::int64_t, kMaxChargeStates + 1> count{};
  std::vector<double> x, xp, y, yp, phase;  // cm, rad, cm, rad, rad
  std::vector<double> W;                    // kinetic energy per nucleon, keV/u
  std::vector<std::int32_t> status;
};

void check_line(std::int32_t n, std::int32_t m, double T) {
  if (!valid_model(m))
    no_such_stripper(fmt::format(" strip line {}: stripper number m = {}, allowed 1 or 2", n, m));
  const StripThicknessLimit lim = strip_thickness_limit(m);
  const bool ok = T >= 0.0 && (lim.inclusive ? T <= lim.T : T < lim.T);
  if (!ok)
    fatal({fmt::format(" strip line {}: foil thickness spread P4 = {} outside the range of "
                       "stripper model {}",
                       n, T, m),
           fmt::format(" allowed 0 <= P4 {} {:.6f} (relative half width at half maximum)",
                       lim.inclusive ? "<=" : "<", lim.T)});
}

// The charge draws of the foil: the alias set-up (one deviate drawn and
// discarded) and one charge draw per slot 0..NPAT of every old state in
// order. Returns the new state of every slot, old states one after the
// other, and the counts per new state.
std::vector<std::uint8_t> draw_charge_states(ElementsContext& sim, const StripperTable& tab,
                                             std::array<std::int64_t, kMaxChargeStates + 1>& count) {
  std::array<float, kMaxChargeStates> probs{};
  for (int k = 1; k <= tab.n; ++k) probs[k - 1] = static_cast<float>(tab.P[k]);
  std::array<std::int32_t, kMaxChargeStates> iwk{};
  std::array<float, kMaxChargeStates> wk{};
  std::int32_t discarded = 0;
  RNGDA(sim, 1, 0, 1, tab.n, probs.data(), iwk.data(), wk.data(), &discarded);

  std::int64_t total = 0;
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq) total += sim.config.NPAT[iq] + 1;
  std::vector<std::uint8_t> q_of(static_cast<std::size_t>(std::max<std::int64_t>(total, 0)));
  count.fill(0);
  std::array<std::int32_t, kChargeDrawChunk> ir{};
  for (std::int64_t b = 0; b < total; b += kChargeDrawChunk) {
    const auto nr = static_cast<std::int32_t>(std::min<std::int64_t>(kChargeDrawChunk, total - b));
    RNGDA(sim, nr, 1, 1, tab.n, probs.data(), iwk.data(), wk.data(), ir.data());
    for (std::int32_t k = 0; k < nr; ++k) {
      q_of[static_cast<std::size_t>(b + k)] = static_cast<std::uint8_t>(ir[k]);
      ++count[ir[k]];
    }
  }
  return q_of;
}

// Copies every old slot into the buffer of the state it was drawn into,
// in drawing order, with its kinetic energy W = (gamma - 1) amu.
void fill_buffer(const ElementsContext& sim, const StripperTable& tab, const std::vector<std::uint8_t>& q_of,
                 StripBuffer& buf) {
  buf.offset[1] = 0;
  for (int q = 1; q <= tab.n; ++q) buf.offset[q + 1] = buf.offset[q] + buf.count[q];
  const auto total = static_cast<std::size_t>(buf.offset[tab.n + 1]);
  for (auto* v : {&buf.x, &buf.xp, &buf.y, &buf.yp, &buf.phase, &buf.W}) v->resize(total);
  buf.status.resize(total);
  std::array<std::int64_t, kMaxChargeStates + 1> cursor{};
  for (int q = 1; q <= tab.n; ++q) cursor[q] = buf.offset[q];
  const ParticleArrays& p = sim.particles;
  const double amu = sim.ref.amu_kev;
  std::size_t k = 0;
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
    for (int i = 0; i <= sim.config.NPAT[iq]; ++i, ++k) {
      const auto j = static_cast<std::size_t>(cursor[q_of[k]]++);
      buf.x[j] = p.x[iq][i];
      buf.xp[j] = p.xp[iq][i];
      buf.y[j] = p.y[iq][i];
      buf.yp[j] = p.yp[iq][i];
      buf.phase[j] = p.phase[iq][i];
      const double beta = p.beta[iq][i];
      buf.W[j] = (1.0 / std::sqrt(1.0 - beta * beta) - 1.0) * amu;
      buf.status[j] = p.status[iq][i];
    }
  }
}

}  // namespace

void strip_element(ElementsContext& sim, std::int32_t n) {
  RunState& s = sim.state;
  ReferenceBlock& r = sim.ref;
  RunConfig& c = sim.config;
  ReferenceHistory& h = sim.history;
  s.ipos += 1;
  s.itype = kStripType;
  // The foil draws no errors and does not move the element frame.
  if (s.idraw == 1) return;

  const std::int32_t m = sim.elements.elem_int[static_cast<std::size_t>(n)][kElemN];
  const double T = sim.elements.elem_par[static_cast<std::size_t>(n)][4];
  check_line(n, m, T);
  ref_path_straight(sim, 0.0);
  // A file of another number is read (or one the record does not hold,
  // should the cache number have been set elsewhere); it replaces the one
  // held once the foil is known to fit into the particle block.
  const bool fresh = m != sim.type_rec.table_cache[kStripType] || sim.stripper.m != m;
  StripperTable read;
  if (fresh) read = read_stripper_file(sim, m);
  const StripperTable& tab = fresh ? read : sim.stripper;
  // A foil only takes energy away: the design energy behind it is at most
  // the one the design particle brings (equal within rounding).
  if (!(tab.W_s <= r.w0 * (1.0 + kStripEnergyRounding)))
    input_error(tab.file, tab.W_s_line,
                fmt::format("energy behind the foil W_s = {} keV/u is above the design energy {} keV/u "
                            "at the foil of strip line {}; a foil does not accelerate",
                            tab.W_s, r.w0, n));


  // The charge draws come first; the new states' sizes are known before
  // anything of the beam or the records changes.
  StripBuffer buf;
  const std::vector<std::uint8_t> q_of = draw_charge_states(sim, tab, buf.count);
  for (int q = 1; q <= tab.n; ++q)
    if (buf.count[q] > kParticleSlots)
      fatal(fmt::format(" strip line {}: charge state {} would receive {} particles, more than "
                        "the {} slots of a charge state",
                        n, q, buf.count[q], kParticleSlots));
  fill_buffer(sim, tab, q_of, buf);
  if (fresh) {
    sim.stripper = read;
    sim.type_rec.table_cache[kStripType] = m;
  }

  // The beam in front of the foil.
  h.ref_W_out[s.ipos] = r.w0;
  stat(sim, r.nstep);

  // New charge states, all with the mass of the old first state.
  const double dW_ref = r.w0 - tab.W_s;
  const double mass = c.AMASS[1];
  c.NQTOT = tab.n;
  double qsum = 0.0;
  for (int k = 1; k <= tab.n; ++k) {
    c.AMASS[k] = mass;
    c.QQ[k] = tab.Q[k];
    qsum += tab.Q[k];
  }
  r.ADESIGN = mass;
  r.QDESIGN = qsum / tab.n;

  // The design particle leaves the foil at W_s in every pass (the foil has
  // no length, so its phase does not advance).
  ref_path_straight(sim, r.elem_len);
  if (s.ipass == 1) {
    h.ref_W_in[s.ipos] = r.w0;
    h.elem_rf_phase[s.ipos] = 0.0;
    h.ref_phase_out[s.ipos] = 0.0;
  }
  h.ref_W_out[s.ipos] = tab.W_s;
  ref_path_ends(sim);

  c.nqtot0 = 1;
  c.nqtot1 = tab.n;
  c.IFLAG_QQ = tab.n;
  for (int q = 1; q <= kMaxChargeStates; ++q) sim.npat.ntest[q] = 0;
  for (int q = 1; q <= tab.n; ++q) c.NPAT[q] = static_cast<std::int32_t>(buf.count[q] - 1);

  // Foil effects, drawn on one thread in (state, slot) order.
  const double T100 = 100.0 * T;
  double sum = 0.0;
  std::int64_t live = 0;
  for (int q = 1; q <= tab.n; ++q) {
    for (std::int64_t k = buf.offset[q]; k < buf.offset[q + 1]; ++k) {
      if (buf.status[k] < 0) continue;
      double dW = 0.0, dxp = 0.0, dyp = 0.0;
      strip_sample(sim, m, T100, dW, dxp, dyp);
      sum += dW;
      ++live;
      buf.xp[k] += dxp;
      buf.yp[k] += dyp;
      buf.W[k] -= dW_ref + dW;
    }
  }
  // The mean drawn loss is given back: the mean energy drops by dW_ref
  // exactly while the spread of the drawn losses stays.
  const double mean = live > 0 ? sum / static_cast<double>(live) : 0.0;

  // The new particle block; each slot is written once, by its own
  // iteration. Lost particles keep their coordinates and get no foil
  // effect. A particle that the foil stops (W <= 0) is marked below.
  ParticleArrays& p = sim.particles;
  const double amu = r.amu_kev;
  bool stopped = false;
  for (int q = 1; q <= tab.n; ++q) {
    const std::int64_t base = buf.offset[q];
    const int last = c.NPAT[q];
    const double qa = c.QQ[q] / c.AMASS[q];
#pragma omp parallel for schedule(static) if (last + 1 >= kMinParallelSlots) reduction(|| : stopped)
    for (int j = 0; j <= last; ++j) {
      const auto k = static_cast<std::size_t>(base + j);
      const std::int32_t st = buf.status[k];
      p.status[q][j] = st;
      p.x[q][j] = buf.x[k];
      p.xp[q][j] = buf.xp[k];
      p.y[q][j] = buf.y[k];
      p.yp[q][j] = buf.yp[k];
      p.phase[q][j] = buf.phase[k];
      const double W = st >= 0 ? buf.W[k] + mean : buf.W[k];
      double beta = 0.0;
      if (W > 0.0) {
        const double gamma = W / amu + 1.0;
        beta = std::sqrt(1.0 - 1.0 / (gamma * gamma));
      }
      p.beta[q][j] = beta;
      if (st >= 0 && !(beta > 0.0)) stopped = true;
      if (st >= 0) {
        p.z[q][j] = 0.0;
        p.qa[q][j] = qa;
      }
    }
  }
  // Particles stopped in the foil are lost there, recorded in (state,
  // slot) order.
  if (stopped) {
    for (int q = 1; q <= tab.n; ++q) {
      for (int j = 0; j <= c.NPAT[q]; ++j) {
        if (p.status[q][j] < 0 || p.beta[q][j] > 0.0) continue;  // beta 0: W <= 0
        p.status[q][j] = kLost;
        write_lost_particle(sim, n, j, q, 0);
        p.z[q][j] = r.z_entry;
      }
    }
  }

  // The beam behind the foil, at the same position.
  stat(sim, r.nstep);
  if (c.IACCEP == 1) {
    stat_acceptance_exit(sim);
    plot_step(sim, r.elem_len);
  } else if (c.IGRAPH == 1) {
    plot_step(sim, r.elem_len);
  }
}

}  // namespace linac
