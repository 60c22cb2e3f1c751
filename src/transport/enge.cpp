#include "transport/enge.hpp"

#include <algorithm>
#include <cmath>

#include "transport/transport_context.hpp"

namespace linac {

EngeValues enge_function(double gap, double s, const EngeSet& c) {
  // Taylor coefficients p_k = P^(k)(u)/k! of the polynomial at u.
  const double u = s / gap;
  constexpr int kOrder = 6;
  std::array<double, kOrder + 1> p{};
  static constexpr double kBinom[6][6] = {{1, 0, 0, 0, 0, 0},  {1, 1, 0, 0, 0, 0},
                                          {1, 2, 1, 0, 0, 0},  {1, 3, 3, 1, 0, 0},
                                          {1, 4, 6, 4, 1, 0},  {1, 5, 10, 10, 5, 1}};
  for (int k = 0; k <= 5; ++k) {
    double sum = 0.0;
    double um = 1.0;  // u^(m - k)
    for (int m = k; m <= 5; ++m) {
      sum += kBinom[m][k] * c[static_cast<std::size_t>(m)] * um;
      um *= u;
    }
    p[static_cast<std::size_t>(k)] = sum;
  }
  // e = exp(P) as a jet: e' = P' e gives e_k = (1/k) sum_j j p_j e_(k-j);
  // only the value of P is limited.
  std::array<double, kOrder + 1> e{};
  e[0] = std::exp(std::clamp(p[0], -kEngeExponentLimit, kEngeExponentLimit));
  for (int k = 1; k <= kOrder; ++k) {
    double sum = 0.0;
    for (int j = 1; j <= k; ++j) sum += j * p[static_cast<std::size_t>(j)] * e[static_cast<std::size_t>(k - j)];
    e[static_cast<std::size_t>(k)] = sum / k;
  }
  // F = 1/(1 + e) as a jet: (1 + e) F = 1.
  std::array<double, kOrder + 1> f{};
  f[0] = 1.0 / (1.0 + e[0]);
  for (int k = 1; k <= kOrder; ++k) {
    double sum = 0.0;
    for (int j = 1; j <= k; ++j) sum += e[static_cast<std::size_t>(j)] * f[static_cast<std::size_t>(k - j)];
    f[static_cast<std::size_t>(k)] = -sum * f[0];
  }
  // d^k F/ds^k = k! f_k / gap^k.
  EngeValues F{};
  double scale = 1.0;
  for (int k = 0; k <= kOrder; ++k) {
    if (k > 0) scale *= k / gap;
    F[static_cast<std::size_t>(k)] = f[static_cast<std::size_t>(k)] * scale;
  }
  F[7] = 0.0;
  return F;
}

Profile enge_profile(const EngeLens& lens, double zc) {
  const EngeValues F1 = enge_function(lens.gap, zc - lens.eff_len / 2.0, lens.set1);
  const EngeValues F2 = enge_function(lens.gap, -(zc + lens.eff_len / 2.0), lens.set2);
  Profile G{};
  G[0] = F1[0] + F2[0] - 1.0;
  // The second edge's variable runs against zc: its odd derivatives change sign.
  for (std::size_t k = 1; k <= 6; ++k) G[k] = (k % 2 == 0) ? F1[k] + F2[k] : F1[k] - F2[k];
  return G;
}

void EngeMemo::prepare(const EngeLens& lens, double z0, double h) {
  const double h2 = h / 2.0;
  const double zs = z0 + h2;
  z = {z0, zs, zs + h2, z0 + h};
  for (std::size_t k = 0; k < 4; ++k) G[k] = enge_profile(lens, lens.zc(z[k]));
  count = 4;
}

void quad_field(double x, double y, const Profile& g, double Gq, Vec3& B) {
  quad_field_value(x, y, g[0], g[1], g[2], g[3], g[4], g[5], g[6], Gq, B[0], B[1], B[2]);
}

void equad_field(double x, double y, const Profile& g, double E0, Vec3& E) {
  equad_field_value(x, y, g[0], g[1], g[2], E0, E[0], E[1], E[2]);
}

void mult_field(double x, double y, const Profile& g, double Gq, double Gs, double Gh, Vec3& B) {
  mult_field_value(x, y, g[0], g[1], g[2], g[3], g[4], g[5], g[6], Gq, Gs, Gh, B[0], B[1], B[2]);
}

EngeLens lens_of(const TransportContext& sim) {
  EngeLens lens;
  lens.gap = sim.ref.drift_aper_y;
  lens.eff_len = sim.ref.eff_len;
  lens.length = sim.ref.elem_len;
  lens.ifringe = sim.config.ifringe;
  lens.set1 = sim.fieldmap.enge_coef[1];
  lens.set2 = sim.fieldmap.enge_coef[2];
  return lens;
}

QuadSource quad_source(const TransportContext& sim) {
  QuadSource s;
  s.lens = lens_of(sim);
  s.ap = sim.ref.aperture_r;
  s.Gq = sim.ref.field1 / s.ap;
  return s;
}

EquadSource equad_source(const TransportContext& sim) {
  EquadSource s;
  s.lens = lens_of(sim);
  s.ap = sim.ref.aperture_r;
  s.E0 = sim.ref.field2 / (s.ap * s.ap);
  return s;
}

MultSource mult_source(const TransportContext& sim) {
  MultSource s;
  s.lens = lens_of(sim);
  const double R = sim.ref.aperture_r;
  const auto& c = sim.fieldmap.mult_coef;
  s.ap = R;
  s.Gq = c[1] / R;
  s.Gs = c[2] / (R * R);
  s.Gh = c[3] / (R * R * R);
  return s;
}

bool is_lens_type(int itype) { return itype == 4 || itype == 8 || itype == 17 || itype == 29; }

bool lens_field_at(const TransportContext& sim, double x, double y, double z, double t, Vec3& E, Vec3& B) {
  switch (sim.state.itype) {
    case 4:
      return FieldAt<QuadSource>{quad_source(sim)}(x, y, z, t, E, B);
    case 17:
      return FieldAt<EquadSource>{equad_source(sim)}(x, y, z, t, E, B);
    default:
      return FieldAt<MultSource>{mult_source(sim)}(x, y, z, t, E, B);
  }
}

}  // namespace linac
