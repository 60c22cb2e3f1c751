#include "matrices/second_order.hpp"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "beam/stats.hpp"
#include "matrices/matrices_context.hpp"
#include "matrices/matrx.hpp"
#include "numerics/linear_systems.hpp"
#include "platform/fatal.hpp"
#include "common/result_fields.hpp"
#include "common/text_utils.hpp"
#include "platform/format.hpp"
#include "transport/lens_matrices.hpp"

namespace linac {

namespace {

constexpr double kDegRad = kPi / 180.0;
constexpr int kLastSlot = kParticleSlots - 1;
// Column of elem_int of an updat line that keeps the grid size N.
constexpr int kGridColumn = 11;

// The rounded seventh number of an updat line, 1 when 0.
int grid_points(const MatricesContext& sim, std::int32_t n) {
  const double p7 = sim.elements.elem_par[static_cast<std::size_t>(n)][7];
  const int N = static_cast<int>(std::lround(p7));
  if (N == 0) return 1;
  if (N < 1 || N > kMaxGridPoints)
    fatal({fmt::format(" updat at lattice line {}: {} grid points per side (P7 = {})", n, N, p7),
           fmt::format(" the second-order section takes 1..{}", kMaxGridPoints)},
          true);
  return N;
}

// Steps of the line in cm, rad, cm, rad, rad and relative units from the
// line's cm, mrad, cm, mrad, deg, %.
std::array<double, 6> steps_in_rad(const std::array<double, 7>& P) {
  return {P[1], P[2] * 0.001, P[3], P[4] * 0.001, P[5] * kDegRad, P[6] * 0.01};
}

}  // namespace

std::array<double, 6> test_offset_vector(int j, double dj, int k, double dk, double W_in,
                                         double amu_kev) {
  std::array<double, 6> V{};
  if (j > 0) V[static_cast<std::size_t>(j - 1)] += dj;
  if (k > 0 && k != j) V[static_cast<std::size_t>(k - 1)] += dk;
  V[5] = beta_from_kinetic_energy((1.0 + V[5]) * W_in, amu_kev);
  return V;
}

std::array<double, 6> unit_factors(int mode, double beta, double gamma, double wavelength_2pi) {
  if (mode == 0) return {1.0, 1000.0, 1.0, 1000.0, 180.0 / kPi, 100.0};
  return {10.0, 1.0, 10.0, 1.0, -(beta * wavelength_2pi * 0.17453292519943295),
          10.0 * gamma / (gamma + 1.0)};
}

FitResiduals poly_fit_residuals(int m, std::span<const double> t, std::span<const double> y,
                                std::span<const double> c, int N) {
  double worst = 0.0, sum = 0.0;
  for (std::size_t p = 0; p < t.size(); ++p) {
    double f = 0.0, tp = 1.0;
    for (int a = 0; a <= m; ++a) {
      f += c[static_cast<std::size_t>(a)] * tp;
      tp *= t[p];
    }
    const double r2 = (y[p] - f) * (y[p] - f);
    worst = std::max(worst, r2);
    sum += r2;
  }
  return {std::sqrt(worst), std::sqrt(sum) / N};
}

std::array<double, 11> poly_fit_axis(MatricesContext& sim, std::span<const double> t, std::span<const double> y,
                                     int icr, int jcr) {
  const int npts = static_cast<int>(t.size());
  const int N = npts / 2;
  // The normal equations are built on u = t / h, h the largest |t|, so
  // that their matrix has entries of order 1 whatever the step's unit (t^6
  // of a 1e-3 rad step would be 1e-18 beside 1); the coefficients are
  // scaled back by h^-a. A(a, b) = sum u^(a+b-2), r(a) = sum u^(a-1) y, by
  // columns with leading dimension 11.
  double h = 0.0;
  for (double v : t) h = std::max(h, std::abs(v));
  if (h == 0.0) h = 1.0;
  constexpr int LDA = 11;
  std::array<double, LDA * LDA> A{};
  std::array<double, LDA> r{};
  for (int p = 0; p < npts; ++p) {
    double pw[7] = {1.0};
    for (int e = 1; e < 7; ++e) pw[e] = pw[e - 1] * (t[static_cast<std::size_t>(p)] / h);
    for (int a = 0; a < 4; ++a) {
      r[static_cast<std::size_t>(a)] += pw[a] * y[static_cast<std::size_t>(p)];
      for (int b = 0; b < 4; ++b) A[static_cast<std::size_t>(b * LDA + a)] += pw[a + b];
    }
  }
  sim.units.write(kUnitPolyFit,
                  format_records("(2(A5,I2))", {std::string_view(" icr="), icr,
                                                std::string_view(" jcr="), jcr}));
  std::array<double, 11> c{};
  const FortranFormat line("(I3,5D14.6,3D15.2)");
  for (int m = 0; m <= 3; ++m) {
    // 2N + 1 points fix a polynomial of degree 2N at most: a higher degree
    // keeps the last fit (its normal equations are singular).
    if (m + 1 <= npts) {
      std::array<double, LDA> cu{};
      DLSARG(sim, m + 1, A, LDA, r, 1, std::span<double>(cu.data(), static_cast<std::size_t>(m + 1)));
      c.fill(0.0);
      double hp = 1.0;
      for (int a = 0; a <= m; ++a) {
        c[static_cast<std::size_t>(a)] = cu[static_cast<std::size_t>(a)] / hp;
        hp *= h;
      }
    }
    const FitResiduals res = poly_fit_residuals(m, t, y, c, N);
    // The last field is the fit's term beyond the eleven coefficients: none.
    write_checked(sim, kUnitPolyFit, line, {m, c[0], c[1], c[2], c[3], c[4], res.maxres, res.rmsres, 0.0});
  }
  return c;
}

RecordBlock second_order_records(const SecondOrderMap& m) {
  RecordBlock out;
  out.add_line(list_directed({std::string_view(" *2ND ORDER TRANSFORM*")}));
  // Each field of 18 columns is (I4,I3,D11.3); a record holds k of them.
  const FortranFormat f("(6(I4,I3,D11.3))");
  for (int i = 1; i <= 6; ++i) {
    for (int k = 1; k <= 6; ++k) {
      std::vector<FmtItem> items;
      for (int j = 1; j <= k; ++j) {
        items.emplace_back(i);
        items.emplace_back(10 * j + k);
        items.emplace_back(m.T[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)][static_cast<std::size_t>(k)]);
      }
      out.add(f, items);
    }
    out.add_line("");
  }
  return out;
}

void updat_second_order(MatricesContext& sim, std::int32_t& n) {
  RunState& s = sim.state;
  ReferenceBlock& r = sim.ref;
  auto& P = sim.elements.elem_par[static_cast<std::size_t>(n)];
  const int N = grid_points(sim, n);
  sim.elements.elem_int[static_cast<std::size_t>(n)][kGridColumn] = N;
  s.ipos += 1;
  if (s.idraw == 1) return;
  section_reference(sim);
  const int ipos = s.ipos;
  r.w0 = sim.history.ref_W_out[ipos];
  P[7] = 1.0 + r.w0 / r.amu_kev;
  P[8] = beta_from_kinetic_energy(r.w0, r.amu_kev);
  // Steps left at 0: the rms sizes of the arriving beam in the line's units.
  const ElementStatsRow& st = sim.stats.element_stats[static_cast<std::size_t>(ipos - 1)];
  const double rms[6] = {st.x_rms, st.xp_rms * 1000.0, st.y_rms, st.yp_rms * 1000.0,
                         st.phi_rms / kDegRad, st.dww_rms * 100.0};
  for (int k = 1; k <= 6; ++k)
    if (P[k] == 0.0) P[k] = rms[k - 1];
  std::array<double, 7> Pl{};
  for (int k = 1; k <= 6; ++k) Pl[static_cast<std::size_t>(k)] = P[k];
  const std::array<double, 6> step = steps_in_rad(Pl);
  const int count = second_order_test_count(N);
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq)
    if (sim.config.NPAT[iq] + count > kLastSlot)
      fatal({fmt::format(" updat at lattice line {}: charge state {} has {} particles; its {} test "
                         "particles need slots up to {}",
                         n, iq, sim.config.NPAT[iq], count, sim.config.NPAT[iq] + count),
             fmt::format(" the particle block ends at slot {}", kLastSlot)},
            true);
  for (int iq = 1; iq <= kMaxChargeStates; ++iq) sim.npat.ntest[iq] = 0;
  const double W_in = sim.history.ref_W_in[ipos];
  const double phase0 = sim.history.elem_rf_phase[ipos];
  ParticleArrays& p = sim.particles;
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
    const double qa = sim.config.QQ[iq] / sim.config.AMASS[iq];
    int slot = sim.config.NPAT[iq];
    const auto put = [&](const std::array<double, 6>& V) {
      ++slot;
      p.x[iq][slot] = V[0];
      p.xp[iq][slot] = V[1];
      p.y[iq][slot] = V[2];
      p.yp[iq][slot] = V[3];
      p.phase[iq][slot] = V[4] + phase0;
      p.beta[iq][slot] = V[5];
      p.status[iq][slot] = kLive;
      p.qa[iq][slot] = qa;
    };
    for (int j = 1; j <= 6; ++j)
      for (int k = -N; k <= N; ++k)
        put(test_offset_vector(j, k * step[static_cast<std::size_t>(j - 1)] / N, 0, 0.0, W_in, r.amu_kev));
    for (int j = 1; j <= 6; ++j)
      for (int k = j + 1; k <= 6; ++k)
        for (int sj = -1; sj <= 1; sj += 2)
          for (int sk = -1; sk <= 1; sk += 2)
            put(test_offset_vector(j, sj * step[static_cast<std::size_t>(j - 1)], k,
                                   sk * step[static_cast<std::size_t>(k - 1)], W_in, r.amu_kev));
    sim.npat.ntest[iq] = count;
  }
  stat_copy_prev(sim, ipos);
}

void matrx_second_order(MatricesContext& sim, std::int32_t& n) {
  RunState& s = sim.state;
  ReferenceBlock& r = sim.ref;
  if (!matrx_entry(sim)) return;
  const int ipos = s.ipos;
  const auto& Pm = sim.elements.elem_par[static_cast<std::size_t>(n)];
  int mode = static_cast<int>(std::lround(Pm[1]));
  if (mode == 0) mode = 1;
  const int units = static_cast<int>(std::lround(Pm[2]));
  find_section(sim, n);
  const int start = sim.matrx.section_start;
  const int N = sim.elements.elem_int[static_cast<std::size_t>(start)][kGridColumn];
  if (N < 1 || N > kMaxGridPoints)
    fatal({fmt::format(" matrx at lattice line {}: its updat line {} is not a second-order section "
                       "({} grid points)",
                       n, start, N)},
          true);
  const std::array<double, 6> step = steps_in_rad(sim.matrx.section_steps);
  const auto u0 = unit_factors(0, 0.0, 0.0, 0.0);
  const double gamma = 1.0 + r.w0 / r.amu_kev;
  const auto u1 = unit_factors(1, beta_from_kinetic_energy(r.w0, r.amu_kev), gamma, r.wavelength_2pi);

  const SectionListing L = section_values(sim, n, start);
  const auto& E = sim.elements;
  double theta = 0.0;
  for (int k = start; k <= n; ++k) theta += sim.history.larmor_angle[static_cast<std::size_t>(k)];

  const double ph_ref = sim.history.ref_phase_out[ipos];
  const double W_ref = sim.history.ref_W_out[ipos];
  const ParticleArrays& p = sim.particles;
  std::vector<SecondOrderMap> maps(static_cast<std::size_t>(sim.config.NQTOT + 1));
  const int npts = 2 * N + 1;
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
    // Output coordinates (cm, rad, cm, rad, rad, relative) of slot i.
    const auto out = [&](int i) -> std::array<double, 6> {
      const double W = kinetic_energy_from_beta(p.beta[iq][i], r.amu_kev);
      return {p.x[iq][i], p.xp[iq][i], p.y[iq][i], p.yp[iq][i], p.phase[iq][i] - ph_ref,
              (W - W_ref) / W_ref};
    };
    SecondOrderMap& m = maps[static_cast<std::size_t>(iq)];
    const int base = sim.config.NPAT[iq];
    std::vector<double> t(static_cast<std::size_t>(npts)), y(static_cast<std::size_t>(npts));
    for (int j = 1; j <= 6; ++j) {
      const double sj = step[static_cast<std::size_t>(j - 1)];
      for (int k = -N; k <= N; ++k) t[static_cast<std::size_t>(k + N)] = k * sj / N;
      for (int i = 1; i <= 6; ++i) {
        for (int k = 0; k < npts; ++k)
          y[static_cast<std::size_t>(k)] = out(base + (j - 1) * npts + k + 1)[static_cast<std::size_t>(i - 1)];
        if (sj == 0.0) continue;  // no spread: the column stays 0
        const auto c = poly_fit_axis(sim, t, y, j, i);
        const double ui = u0[static_cast<std::size_t>(i - 1)], uj = u0[static_cast<std::size_t>(j - 1)];
        m.R(i, j) = c[1] * ui / uj;
        m.T[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)][static_cast<std::size_t>(j)] = c[2] * ui / (uj * uj);
      }
    }
    int slot = base + 6 * npts;
    for (int j = 1; j <= 6; ++j)
      for (int k = j + 1; k <= 6; ++k) {
        const auto mm = out(slot + 1), mp = out(slot + 2), pm = out(slot + 3), pp = out(slot + 4);
        slot += 4;
        const double sj = step[static_cast<std::size_t>(j - 1)], sk = step[static_cast<std::size_t>(k - 1)];
        if (sj == 0.0 || sk == 0.0) continue;
        for (int i = 1; i <= 6; ++i) {
          const auto ii = static_cast<std::size_t>(i - 1);
          const double d = (pp[ii] + mm[ii] - pm[ii] - mp[ii]) / (4.0 * sj * sk);
          m.T[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)][static_cast<std::size_t>(k)] =
              d * u0[ii] / (u0[static_cast<std::size_t>(j - 1)] * u0[static_cast<std::size_t>(k - 1)]);
        }
      }
    if (mode > 1) write_checked(sim, kUnitMatrix, second_order_records(m), fmt::format("element {} (updat)", n));
  }

  const std::int32_t number = E.elem_int[static_cast<std::size_t>(n)][kElemN];
  std::vector<std::string> rec{""};
  for (auto& x : format_records("(15X,A9,I3,A10,I3,A3)",
                                {std::string_view("** updat#"), number, std::string_view(" -> matrx#"),
                                 number, std::string_view(" **")}))
    rec.push_back(x);
  rec.push_back("");
  for (auto& x : format_records("(A25,F12.4,A3)", {std::string_view("  Length of the section"), L.L,
                                                   std::string_view(" cm")}))
    rec.push_back(x);
  sim.units.write(kUnitMatrix, rec);
  const std::string where = fmt::format("element {} (matrx)", n);
  const FortranFormat six("(6F10.4)");
  const FortranFormat dets("(A20,3F12.7)");
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
    const SecondOrderMap& m = maps[static_cast<std::size_t>(iq)];
    RecordBlock o;
    o.add_line("");
    const auto add_matrix = [&](const Matrix6& M) {
      for (int k = 1; k <= 6; ++k) o.add(six, {M(1, k), M(2, k), M(3, k), M(4, k), M(5, k), M(6, k)});
    };
    const auto add_dets = [&](const Matrix6& M) {
      const auto d = block_determinants(M);
      o.add(dets, {std::string_view("  det1,det2,det3 "), d[0], d[1], d[2]});
    };
    o.add(FortranFormat("(10X,A12,F8.2)"), {std::string_view("  Charge="), sim.config.QQ[iq]});
    o.add_line(list_directed({std::string_view("  *TRANSFORM 1*")}));
    o.add_line("");
    o.add_line(list_directed({std::string_view("  nonsymplectic  matrix")}));
    add_matrix(m.R);
    if (units == 1) {
      Matrix6 Rt;
      for (int j = 1; j <= 6; ++j)
        for (int i = 1; i <= 6; ++i) Rt(i, j) = m.R(i, j) * u1[static_cast<std::size_t>(i - 1)] / u1[static_cast<std::size_t>(j - 1)];
      o.add_line(list_directed({std::string_view("  TRACE3D and TRANSPORT 1st order R matrix")}));
      add_matrix(Rt);
    }
    add_dets(m.R);
    // The design Larmor angle scaled with the state's Q/A over the design Q/A.
    const double theta_iq =
        theta * (sim.config.QQ[iq] / sim.config.AMASS[iq]) / (r.QDESIGN / r.ADESIGN);
    Matrix6 A = m.R;
    matmul6_left(rotation_matrix(-theta_iq), A);
    o.add_line(list_directed({std::string_view("  nonsymplectic  matrix after rotation")}));
    add_matrix(A);
    add_dets(A);
    add_single_element_block(o, L, sim.config.AMASS[iq], m.R, theta_iq);
    write_checked(sim, kUnitMatrix, std::move(o), where);
  }
  stat_copy_prev(sim, ipos);
}

SigmaPlane sigma_plane(double s11, double s12, double s22) {
  SigmaPlane pl;
  pl.size1 = std::sqrt(std::max(s11, 0.0));
  pl.size2 = std::sqrt(std::max(s22, 0.0));
  if (s11 > 0.0 && s22 > 0.0) pl.correlation = s12 / std::sqrt(s11 * s22);
  pl.emittance = std::sqrt(std::max(s11 * s22 - s12 * s12, 0.0));
  return pl;
}

RecordBlock sigma_listing_records(std::string_view name, double length,
                                               const Matrix6& B, const Matrix6& S,
                                               const Matrix6& elem, const std::array<double, 3>& dets,
                                               const Matrix6& mtot) {
  using SV = std::string_view;
  RecordBlock o;
  const FortranFormat first("(A13,F11.4)");
  const FortranFormat second("(2(A13,F11.4,F8.4,5X))");
  const auto planes = [&](const Matrix6& M) {
    static constexpr SV kL1[3] = {"  s11 [cm  ]", "  s33 [cm  ]", "  s55 [deg ]"};
    static constexpr SV kL2[3] = {"  s22 [mrad]", "  s44 [mrad]", "  s66 [  % ]"};
    static constexpr SV kE[3] = {" emi[cm*mrad]", " emi[cm*mrad]", " emi[deg*%  ]"};
    const double s1[3] = {1.0, 1.0, 1.0 / kDegRad}, s2[3] = {1000.0, 1000.0, 100.0};
    const double se[3] = {1000.0, 1000.0, 100.0 / kDegRad};
    for (int k = 0; k < 3; ++k) {
      const int i = 2 * k + 1;
      const SigmaPlane pl = sigma_plane(M(i, i), M(i, i + 1), M(i + 1, i + 1));
      o.add(first, {kL1[k], pl.size1 * s1[k]});
      o.add(second, {kL2[k], pl.size2 * s2[k], pl.correlation, kE[k], pl.emittance * se[k]});
    }
  };
  const FortranFormat six("(6F10.4)"), six5("(6F10.5)");
  const auto add_matrix = [&](const FortranFormat& f, const Matrix6& M) {
    for (int k = 1; k <= 6; ++k) o.add(f, {M(1, k), M(2, k), M(3, k), M(4, k), M(5, k), M(6, k)});
  };
  o.add(FortranFormat("(A10)"), {SV("**********")});
  o.add(FortranFormat("(2A5,F12.3,A3)"), {SV("     "), name, length, SV(" cm")});
  o.add(FortranFormat("(A10)"), {SV("**********")});
  o.add_line(list_directed({SV("  sgm -  statistic calculations ")}));
  planes(B);
  o.add_line(list_directed({SV("   sgm  -  matrix calculations ")}));
  planes(S);
  o.add_line(list_directed({SV("      matrix  of      "), name}));
  add_matrix(six, elem);
  o.add_line(list_directed({name, SV("  det1,det2,det3 ")}));
  o.add_line(list_directed({name, dets[0], dets[1], dets[2]}));
  o.add_line("");
  o.add_line(list_directed({SV(" symplectic cumulative matrix   **"), name, SV("**")}));
  add_matrix(six5, mtot);
  return o;
}

void sigma_listing(MatricesContext& sim, std::int32_t n, const Matrix6& S) {
  const int ipos = sim.state.ipos;
  const double amu = sim.ref.amu_kev;
  Matrix6 B, mtot;
  for (int i = 1; i <= 6; ++i)
    for (int j = 1; j <= 6; ++j) {
      B(i, j) = sim.beam_moments.sigma[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)];
      mtot(i, j) = sim.matrx.mtot[static_cast<std::size_t>(i - 1)][static_cast<std::size_t>(j - 1)];
    }
  const double g_in = 1.0 + sim.history.ref_W_in[static_cast<std::size_t>(ipos)] / amu;
  const double g_out = 1.0 + sim.history.ref_W_out[static_cast<std::size_t>(ipos)] / amu;
  const auto bg = [](double g) { return std::sqrt((g - 1.0) * (g + 1.0)); };
  auto d = block_determinants(sim.transport.elem_matrix);
  d[0] *= bg(g_out) / bg(g_in);
  d[1] *= bg(g_out) / bg(g_in);
  d[2] *= (g_out - 1.0) / (g_in - 1.0);
  open_matrix_file(sim);
  const auto name = sim.elements.elem_name[static_cast<std::size_t>(n)].str();
  write_checked(sim, kUnitMatrix,
                sigma_listing_records(name, sim.matrx.section_length, B, S, sim.transport.elem_matrix, d, mtot),
                fmt::format("element {} ({})", n, trimmed(name)));
}

}  // namespace linac
