// Velocity modulation of a buncher section as a function of RF phase: a
// ring of test particles spread over one RF period in every charge state,
// and the harmonic analysis of their speeds after the section, compared
// with an ideal sawtooth.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace linac {

struct BeamContext;

// Largest ring the analysis takes (samples of one RF period).
inline constexpr std::int32_t kMaxHarmonicSamples = 1000;
// Smallest: harmonics 0..4 need nine transform coefficients.
inline constexpr std::int32_t kMinHarmonicSamples = 9;

// Highest harmonic of the analysis.
inline constexpr int kMaxHarmonic = 4;

// Speeds of one ring, sampled at the phases t_k = 2 pi (k - 1)/N - pi,
// k = 1..N, as a series sum over n = 0..4 of a(n) cos(n u) + b(n) sin(n u)
// in u = t + pi, after normalisation to (beta - beta0)/dbeta.
struct HarmonicFit {
  double dbeta = 0.0;  // modulation depth: the sawtooth amplitude the speeds near -pi/2 and +pi/2 imply
  double beta0 = 0.0;  // speed at phase 0
  std::array<double, kMaxHarmonic + 1> a{}, b{};
};

// Fits the N >= 9 speeds s (s[0] at t = -pi) and leaves the normalised
// samples in s. Speeds without modulation (dbeta = 0) cannot be normalised:
// s is left as it is and the coefficients are 0.
HarmonicFit fit_harmonics(BeamContext& sim, std::span<double> s);

// In every charge state iq = 1..NQTOT, k test particles behind the beam
// (slots NPAT+1..NPAT+k, ntest := k) at x0, y0 (cm), without slopes, at the
// speed and Q/A of the reference particle, with phases 2 pi j / k - pi,
// j = 0..k-1. A ring of fewer than one particle or one that does not fit
// the slots of a state stops the run; where names the lattice line.
void mhb_test_ring(BeamContext& sim, std::int32_t k, double x0, double y0, std::string_view where);

// Harmonic analysis of the rings of N test particles: per state the
// modulation depth dbeta, the speed beta0 at phase 0 and the Fourier
// coefficients a(n), b(n), n = 0..4, of the normalised speeds to log.dat;
// for the last state the series, data and sawtooth to fort.787; listings
// of speeds and phases to log.dat. N outside 9..1000 or unequal to a
// state's ring stops the run; where names the lattice line.
void beam_harmonics(BeamContext& sim, std::int32_t N, std::string_view where);

}  // namespace linac
