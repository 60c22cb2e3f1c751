#include "beam/err_stats.hpp"

#include <algorithm>
#include <cmath>

#include "beam/beam_context.hpp"
#include "platform/format.hpp"
#include "platform/units.hpp"

namespace linac {

namespace {

// sqrt of a 2x2 covariance determinant; one negative by rounding is 0.
double root_det(const Sym6& c, int a, int b) {
  return std::sqrt(std::max(0.0, c[a][a] * c[b][b] - c[a][b] * c[a][b]));
}

}  // namespace

void err_stat_clear(BeamContext& sim) {
  ErrStatAccumulators& a = sim.err_acc;
  const int lo = std::max(0, sim.config.iel_first - 1);
  const int hi = std::min(kMaxElements, sim.config.iel_last);
  for (int p = lo; p <= hi; ++p) {
    const auto k = static_cast<std::size_t>(p);
    a.acc_sum[k].fill(0.0);
    for (auto& row : a.acc_sumsq[k]) row.fill(0.0);
    a.acc_count[k] = 0.0;
    a.acc_harm[k] = 0.0;
  }
}

void err_stat_accumulate(BeamContext& sim) {
  ErrStatAccumulators& a = sim.err_acc;
  const int p = sim.state.ipos;
  if (p < 0 || p > kMaxElements) return;
  const auto k = static_cast<std::size_t>(p);
  if (sim.state.imoved == 1) {
    const ErrStatStep& s = sim.stats.err_step;
    a.acc_count[k] += s.step_count;
    for (int m = 1; m <= 6; ++m) a.acc_sum[k][m] += s.step_sum[m];
    for (int m = 1; m <= 6; ++m)
      for (int j = 1; j <= 6; ++j) a.acc_sumsq[k][m][j] += s.step_sumsq[m][j];
    a.acc_harm[k] = sim.ref.harm;
  } else if (p > 0) {
    a.acc_count[k] = a.acc_count[k - 1];
    a.acc_sum[k] = a.acc_sum[k - 1];
    a.acc_sumsq[k] = a.acc_sumsq[k - 1];
    a.acc_harm[k] = a.acc_harm[k - 1];
  }
}

PooledEmittances pooled_emittances(const ErrStatAccumulators& acc, int p, double W, double FREQB,
                                   double amu_kev) {
  PooledEmittances r;
  const auto k = static_cast<std::size_t>(p);
  const double n = acc.acc_count[k];
  if (n < 2.0) return r;
  std::array<double, 7> mean{};
  for (int m = 1; m <= 6; ++m) mean[m] = acc.acc_sum[k][m] / n;
  Sym6 cov{};
  for (int m = 1; m <= 6; ++m)
    for (int j = 1; j <= 6; ++j) cov[m][j] = (acc.acc_sumsq[k][m][j] - n * mean[m] * mean[j]) / (n - 1.0);
  // Reference factors at the exit energy W of the position (keV/u).
  const double T = energy_time_factor(W, FREQB, acc.acc_harm[k]);
  const double gamma = W / amu_kev + 1.0;
  const double betgam = std::sqrt(1.0 - 1.0 / (gamma * gamma)) * gamma;
  r.found = true;
  r.e = {root_det(cov, 1, 2) * 4.0 * betgam * 1000.0, root_det(cov, 3, 4) * 4.0 * betgam * 1000.0,
         root_det(cov, 5, 6) * 4.0 * T};
  return r;
}

void err_stat_write(BeamContext& sim) {
  TextOut out(sim.units, "staterr.dat");
  const FortranFormat& fmt = sim.beam_out.formats.get("(I4,A7,F10.4,3E15.5)");
  std::array<double, 3> e{};
  for (std::int32_t n = sim.config.iel_first; n <= sim.config.iel_last; ++n) {
    const auto k = static_cast<std::size_t>(n);
    const PooledEmittances pe =
        pooled_emittances(sim.err_acc, n, sim.history.ref_W_out[k], sim.ref.FREQB, sim.ref.amu_kev);
    if (pe.found) e = pe.e;
    write_checked(sim, out, fmt, {n, sim.elements.elem_name[k].view(), sim.elements.elem_pos[k], e[0], e[1], e[2]});
  }
}

}  // namespace linac
