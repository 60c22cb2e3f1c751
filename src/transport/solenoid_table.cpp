// The on-axis solenoid table: Fourier series of the samples, the derivative
// columns at the samples, and the paraxial field near the axis.
#include <algorithm>
#include <cmath>

#include "common/constants.hpp"
#include "numerics/fft.hpp"
#include "numerics/spline.hpp"
#include "transport/field_tables.hpp"
#include "transport/transport_context.hpp"

namespace linac {

void solenoid_table_derivs(TransportContext& sim, AxisTable& t, std::vector<double>& raw_even) {
  const double L = t.L;
  raw_even.clear();
  if (t.nbz % 2 == 0) {
    // An even count is resampled by a spline to one more sample over the
    // same interval [0, L], so the series has a middle-free odd length.
    const int n = t.nbz;
    raw_even = t.samples;
    std::vector<double> zs(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) zs[i] = i * L / (n - 1);
    CubicSpline sp;
    DCSINT(sim, n, zs, t.samples, sp);
    t.samples.resize(static_cast<std::size_t>(n) + 1);
    for (int i = 0; i <= n; ++i) t.samples[i] = DCSVAL(sim, i * L / n, sp.nintv(), sp);
    t.nbz = n + 1;
  }
  const int nbz = t.nbz;
  // Period: the sampled interval plus one step, so the periodic extension
  // of the samples does not repeat the first one.
  const double P = nbz * L / (nbz - 1);
  std::vector<double> F(static_cast<std::size_t>(nbz));
  DFFTRF(sim, nbz, t.samples, F);
  const int nh = (nbz - 1) / 2;
  t.a0 = F[0] / nbz;
  t.a.assign(static_cast<std::size_t>(nh) + 1, 0.0);
  t.b.assign(static_cast<std::size_t>(nh) + 1, 0.0);
  for (int k = 1; k <= nh; ++k) {
    t.a[k] = 2.0 * F[2 * k - 1] / nbz;
    t.b[k] = -2.0 * F[2 * k] / nbz;
  }
  const int K = std::min((nbz + 1) / 2, kAxisHarmonics + 1) - 1;
  for (auto& c : t.col) c.assign(static_cast<std::size_t>(nbz), 0.0);
  for (int i = 0; i < nbz; ++i) {
    const double z = i * L / (nbz - 1);
    double B = t.a0, B1 = 0.0, B2 = 0.0, B3 = 0.0, B4 = 0.0;
    for (int k = 1; k <= K; ++k) {
      const double w = kTwoPi * k / P;
      const double c = std::cos(w * z), s = std::sin(w * z);
      const double ac = t.a[k] * c + t.b[k] * s;  // the harmonic itself
      const double d1 = t.b[k] * c - t.a[k] * s;  // its derivative over w
      B += ac;
      B1 += w * d1;
      B2 -= w * w * ac;
      B3 -= w * w * w * d1;
      B4 += w * w * w * w * ac;
    }
    t.col[0][i] = B;
    t.col[1][i] = B1;
    t.col[2][i] = B2;
    t.col[3][i] = B3;
    t.col[4][i] = B4;
  }
}

double solenoid_series_field(const AxisTable& t, double z) {
  const int nbz = t.nbz;
  const double P = nbz * t.L / (nbz - 1);
  const int nh = (nbz - 1) / 2;
  double B = t.a0;
  for (int k = 1; k <= nh; ++k) {
    const double w = kTwoPi * k / P;
    B += t.a[k] * std::cos(w * z) + t.b[k] * std::sin(w * z);
  }
  return B;
}

TableHit sol_field(const AxisTable& t, double L, double aperture_r, double x, double y, double z,
                   Vec3& B) {
  B = {0.0, 0.0, 0.0};
  if (z < 0.0 || z > L) return TableHit::outside;
  const double r2 = x * x + y * y;
  if (r2 >= aperture_r * aperture_r) return TableHit::lost;
  const double h = L / (t.nbz - 1);
  // Sample below z, limited in floating point before the conversion (z = L:
  // the last sample itself; a NaN point: the first).
  double row = std::trunc(z / h);
  if (row > t.nbz - 2) row = t.nbz - 2;
  if (!(row >= 0.0)) row = 0.0;
  const int j = static_cast<int>(row);
  const double u = (z - j * h) / h;
  const double r = std::sqrt(r2);
  // Paraxial expansion to fourth order in r at the two samples:
  // Bz = B - r^2/4 B'' + r^4/64 B'''', Br = -r/2 B' + r^3/16 B'''.
  auto bz = [&](int i) { return t.col[0][i] - 0.25 * r2 * t.col[2][i] + r2 * r2 / 64.0 * t.col[4][i]; };
  auto br = [&](int i) { return -0.5 * r * t.col[1][i] + r2 * r / 16.0 * t.col[3][i]; };
  const double Br = br(j) + u * (br(j + 1) - br(j));
  B[2] = bz(j) + u * (bz(j + 1) - bz(j));
  if (r > 1e-15) {
    B[0] = Br * x / r;
    B[1] = Br * y / r;
  }
  return TableHit::inside;
}

}  // namespace linac
