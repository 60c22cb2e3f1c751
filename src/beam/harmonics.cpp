#include "beam/harmonics.hpp"

#include <fmt/format.h>

#include <array>
#include <cmath>
#include <vector>

#include "beam/beam_context.hpp"
#include "common/unit_numbers.hpp"
#include "numerics/fft.hpp"
#include "platform/fatal.hpp"
#include "platform/format.hpp"

namespace linac {

namespace {

// fort.787: the series, the data and the sawtooth of the last state (the
// unit is never opened by name).
constexpr int kUnitSeries = 787;
// The linear part of the sawtooth spans +-0.8 pi; its two flanks 0.2 pi.
constexpr double kSlopeSpan = 2.5132741228718345;  // 0.8 pi
constexpr double kFlank = 0.6283185307179586;      // 0.2 pi

// Phase t_k = 2 pi (k - 1)/N - pi of test particle k = 1..N.
double ring_phase(int k, int N) { return kTwoPi * (k - 1) / N - kPi; }

// Modulation depth: the speed change from the sample near -pi/2 to the one
// near +pi/2, scaled to the +-0.8 pi linear part of a sawtooth.
double modulation_depth(double near_minus, double near_plus) {
  return (near_plus - near_minus) / kPi * kSlopeSpan;
}

// Sum of the series at u: sum over n of a(n) cos(n u) + b(n) sin(n u).
double series(const HarmonicFit& c, double u) {
  double s = 0.0;
  for (int n = 0; n <= kMaxHarmonic; ++n) s += c.a[n] * std::cos(n * u) + c.b[n] * std::sin(n * u);
  return s;
}

// Ideal sawtooth at phase t: 0 at -pi, -1 at -0.8 pi, linear to +1 at
// +0.8 pi, back to 0 at +pi.
double sawtooth(double t) {
  if (t < -kSlopeSpan) return -(t + kPi) / kFlank;
  if (t < kSlopeSpan) return t / kSlopeSpan;
  return -(t - kPi) / kFlank;
}

}  // namespace

HarmonicFit fit_harmonics(BeamContext& sim, std::span<double> s) {
  const int N = static_cast<int>(s.size());
  if (N < kMinHarmonicSamples)
    fatal(fmt::format(" harmonic fit of {} samples; it needs at least {}", N, kMinHarmonicSamples));
  const int h = N / 2;
  const int q = N / 4;
  HarmonicFit fit;
  fit.dbeta = modulation_depth(s[h - q], s[h + q]);
  fit.beta0 = s[h];
  if (fit.dbeta == 0.0) return fit;
  for (double& v : s) v = (v - fit.beta0) / fit.dbeta;
  std::vector<double> coef(N + 1, 0.0);
  DFFTRF(sim, N, s, std::span<double>(coef.data() + 1, N));
  const double scale = 2.0 / N;
  fit.a[0] = scale * coef[1] * 0.5;
  fit.b[0] = 0.0;
  for (int n = 1; n <= kMaxHarmonic; ++n) {
    fit.a[n] = scale * coef[2 * n];
    fit.b[n] = -(scale * coef[2 * n + 1]);
  }
  return fit;
}

void mhb_test_ring(BeamContext& sim, std::int32_t k, double x0, double y0, std::string_view where) {
  const RunConfig& c = sim.config;
  if (k < 1)
    fatal(fmt::format(" {}: a ring of {} test particles; it needs at least 1", where, k), true);
  for (int iq = 1; iq <= c.NQTOT; ++iq)
    if (static_cast<std::int64_t>(c.NPAT[iq]) + k > kMaxParticles)
      fatal(fmt::format(" {}: a ring of {} test particles behind the {} particles of charge state "
                        "{} exceeds the {} slots of a state",
                        where, k, c.NPAT[iq], iq, kMaxParticles),
            true);
  ParticleArrays& p = sim.particles;
  for (int iq = 1; iq <= c.NQTOT; ++iq) {
    sim.npat.ntest[iq] = k;
    const int first = c.NPAT[iq] + 1;
    for (int j = 0; j < k; ++j) {
      const int i = first + j;
      p.x[iq][i] = x0;
      p.xp[iq][i] = 0.0;
      p.y[iq][i] = y0;
      p.yp[iq][i] = 0.0;
      p.z[iq][i] = 0.0;
      p.status[iq][i] = kLive;
      p.phase[iq][i] = kTwoPi * j / k - kPi;
      p.beta[iq][i] = p.beta[iq][0];
      p.qa[iq][i] = p.qa[iq][0];
    }
  }
}

void beam_harmonics(BeamContext& sim, std::int32_t N, std::string_view where) {
  const RunConfig& c = sim.config;
  const ParticleArrays& p = sim.particles;
  Units& u = sim.units;
  if (N < kMinHarmonicSamples || N > kMaxHarmonicSamples)
    fatal(fmt::format(" {}: harmonic analysis of {} samples; it takes {}..{}", where, N,
                      kMinHarmonicSamples, kMaxHarmonicSamples),
          true);
  for (int iq = 1; iq <= c.NQTOT; ++iq)
    if (sim.npat.ntest[iq] != N)
      fatal(fmt::format(" {}: harmonic analysis of {} samples, but charge state {} carries a ring "
                        "of {} test particles",
                        where, N, iq, sim.npat.ntest[iq]),
            true);

  FormatCache fmts;
  const FortranFormat& f_label = fmts.get("(A8,E15.5)");
  const FortranFormat& f_row5 = fmts.get("(5E15.5)");
  // Samples (1-based) and sawtooth of the last state.
  std::vector<double> seq(N + 1, 0.0), ref(N + 1, 0.0);
  const std::span<double> samples(seq.data() + 1, N);
  HarmonicFit fit;
  const int h = N / 2;
  const int q = N / 4;
  for (int iq = 1; iq <= c.NQTOT; ++iq) {
    const double* beta = p.beta[iq] + c.NPAT[iq];
    for (int k = 1; k <= N; ++k) seq[k] = beta[k];
    fit = fit_harmonics(sim, samples);
    write_checked(sim, kUnitLog, f_label, {std::string_view("dbeta="), fit.dbeta});
    write_checked(sim, kUnitLog, f_label, {std::string_view(" beta0="), fit.beta0});
    if (fit.dbeta == 0.0) {
      u.write(kUnitLog, fmt::format(" Q={:7.1f}: the test particles show no speed modulation "
                                    "(dbeta = 0); no harmonic series",
                                    c.QQ[iq]));
      continue;
    }
    write_checked(sim, kUnitLog, "(A6,F7.1)", {std::string_view(" Q="), c.QQ[iq]});
    u.write(kUnitLog, "");
    write_checked(sim, kUnitLog, "(A2,2A15)",
                    {std::string_view(" n"), std::string_view("       a(n)    "),
                     std::string_view("       b(n)    ")});
    const FortranFormat& f_coef = fmts.get("(I2,2E15.5)");
    for (int n = 0; n <= kMaxHarmonic; ++n)
      write_checked(sim, kUnitLog, f_coef, {n, fit.a[n], fit.b[n]});
  }
  const bool last_flat = fit.dbeta == 0.0;

  // The last state's normalised samples against the series and the sawtooth.
  if (c.NQTOT >= 1 && !last_flat) {
    const double dbp = modulation_depth(seq[h - q + 1], seq[h + q + 1]);
    const double mid = seq[h + 1];
    for (int k = 1; k <= N; ++k) ref[k] = sawtooth(ring_phase(k, N)) + mid;
    for (int k = 1; k <= N; ++k) {
      const double t = ring_phase(k, N);
      const double s = series(fit, kTwoPi * (k - 1) / N);
      const double saw = (ref[k] - mid) / dbp;
      write_checked(sim, kUnitSeries, f_row5, {t, s / dbp, seq[k] / dbp, saw});
      write_checked(sim, kUnitSeries, f_row5, {t, s, seq[k], saw});
    }
  }

  // Speeds of every ring.
  for (int iq = 1; iq <= c.NQTOT; ++iq) {
    const double* beta = p.beta[iq] + c.NPAT[iq];
    for (int k = 1; k <= N; ++k) write_checked(sim, kUnitLog, f_row5, {ring_phase(k, N), beta[k]});
    u.write(kUnitLog, "");
  }
  // Phases of the rings, one value per state (five to a line).
  std::vector<FmtItem> items;
  for (int k = 1; k <= N; ++k) {
    items.assign(1, ring_phase(k, N));
    for (int iq = 1; iq <= c.NQTOT; ++iq) items.emplace_back(p.phase[iq][c.NPAT[iq] + k]);
    write_checked(sim, kUnitLog, f_row5, items);
  }
  // Phases of the first N beam particles: k, t_k and up to four states on
  // the line, further states continued on lines indented by 4.
  const FortranFormat& f_first = fmts.get("(I4,5E15.5)");
  const FortranFormat& f_more = fmts.get("(4X,5E15.5)");
  constexpr int kFirstLineStates = 4;
  for (int k = 1; k <= N; ++k) {
    items.assign({k, ring_phase(k, N)});
    const int on_line = std::min(c.NQTOT, kFirstLineStates);
    for (int iq = 1; iq <= on_line; ++iq) items.emplace_back(p.phase[iq][k]);
    write_checked(sim, kUnitLog, f_first, items);
    if (c.NQTOT > on_line) {
      items.clear();
      for (int iq = on_line + 1; iq <= c.NQTOT; ++iq) items.emplace_back(p.phase[iq][k]);
      write_checked(sim, kUnitLog, f_more, items);
    }
  }
}

}  // namespace linac
