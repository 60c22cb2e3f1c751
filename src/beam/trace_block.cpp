#include "beam/trace_block.hpp"

#include <cmath>
#include <string_view>

#include <fmt/format.h>

#include "beam/stats.hpp"
#include "beam/beam_context.hpp"
#include "common/unit_numbers.hpp"
#include "platform/format.hpp"

namespace linac {

namespace {

using T = std::string_view;

constexpr double kRadToDeg = 57.29577951308232;
// rad per unit dW/W -> deg per %; rad*keV/u*ns/T -> deg*%.
constexpr double kBetaZ = 0.5729577951308232;
constexpr double kEmitZ = 5729.5779513082325;

// a / b, and 0 where b is 0 (a degenerate plane or a beam at rest shows 0,
// not an infinity).
double ratio(double a, double b) { return b != 0.0 ? a / b : 0.0; }

// Level-to-rms scale of a plane: 2 sqrt(level / 4 rms).
double level_scale(double level, double rms4) { return 2.0 * std::sqrt(ratio(level, rms4)); }

}  // namespace

Matrix6 trace_sigma(const Matrix6& G, double sx, double sy, double sz, double beta, double gamma,
                    double wavelength_2pi) {
  Matrix6 D;
  unit_matrix6(D);
  D(1, 1) = 10.0 * sx;
  D(2, 2) = 1000.0 * sx;
  D(3, 3) = 10.0 * sy;
  D(4, 4) = 1000.0 * sy;
  D(5, 5) = -10.0 * beta * wavelength_2pi * sz;
  D(6, 6) = sz * gamma / (gamma + 1.0);
  Matrix6 GD;
  matmul6(G, D, GD);
  matmul6_left(D, GD);
  return GD;
}

void write_trace_block(BeamContext& sim, std::int32_t n, std::int32_t k) {
  const ElementStatsRow& r = sim.stats.element_stats[static_cast<std::size_t>(n)];
  const ReferenceBlock& ref = sim.ref;
  const double W = sim.history.ref_W_out[static_cast<std::size_t>(sim.state.ipos)];  // keV/u
  const double Tz = energy_time_factor(W, ref.FREQB, ref.harm);  // keV/u*ns per rad
  const double part = sim.PART;
  const double A = ref.ADESIGN;
  Units& u = sim.units;
  FormatCache f;
  const std::string where = fmt::format("element {} (prmtr trace={})", n, k);
  auto put = [&](std::string_view layout, std::initializer_list<FmtItem> items) {
    write_checked(sim, kUnitLog, f.get(layout), items, where);
  };
  auto empty = [&] { u.write(kUnitLog, ""); };

  empty();
  put("(20X,A32,I3,A5)", {T("!* beam parameter for trace="), k, T("*!")});
  empty();
  put("(20X,A10)", {T("VELMO")});
  put("(A12,F13.5,A14)", {T(" Wavr       "), r.w_mean, T("[MeV/u]      ")});
  put("(A12,F13.5)", {T(" betgam     "), r.btgm});
  empty();
  // Transverse planes: Twiss alpha and beta, 4 rms, level and maximum emittance.
  auto plane = [&](T a, T b, T e4, T e, double alpha, double beta, double rms4, double level,
                   double max) {
    put("(A11,F13.5)", {a, alpha});
    put("(A11,F13.5,A14)", {b, 0.01 * beta, T("[mm/mrad]    ")});
    put("(A11,F13.5,A14)", {e4, 10000.0 * rms4, T("[mm*mrad]    ")});
    put("(A11,F13.5,A14,F6.1,A10)", {e, 10000.0 * level, T("[mm*mrad]    "), 100.0 * part, T(" % level")});
    put("(A11,F13.5,A14,F6.1,A10)", {e, 10000.0 * max, T("[mm*mrad]    "), 100.0, T(" % level")});
    empty();
  };
  plane(" a_x       ", " b_x       ", " 4*En_rms_x", " En_x      ", r.alpha_x, r.beta_x, r.exn_rms4,
        r.exn_level, r.exn_max);
  plane(" a_y       ", " b_y       ", " 4*En_rms_y", " En_y      ", r.alpha_y, r.beta_y, r.eyn_rms4,
        r.eyn_level, r.eyn_max);
  put("(A11,F13.5)", {T(" a_z       "), r.alpha_z});
  put("(A11,F13.5,A14)", {T(" b_z       "), kBetaZ * r.beta_z, T("[deg/%]      ")});
  put("(A11,F13.5,A14)", {T("4*Eun_rms_z"), ratio(r.ezn_rms4, Tz) * kEmitZ, T("[deg*%]      ")});
  put("(A11,F13.5,A14,F6.1,A10)",
      {T("Eun_z      "), ratio(r.ezn_level, Tz) * kEmitZ, T("[deg*%]      "), 100.0 * part, T(" % level")});
  put("(A11,F13.5,A14,F6.1,A10)",
      {T("Eun_z      "), ratio(r.ezn_max, Tz) * kEmitZ, T("[deg*%]      "), 100.0, T(" % level")});

  // SIGI with the design particle of this place (exit energy W).
  const double gamma = W / ref.amu_kev + 1.0;
  const double beta = std::sqrt(1.0 - 1.0 / (gamma * gamma));
  Matrix6 G;
  const Sym6& s = sim.beam_moments.sigma;
  for (int i = 1; i <= 6; ++i)
    for (int j = 1; j <= 6; ++j) G(i, j) = s[i][j];
  const Matrix6 M = trace_sigma(G, level_scale(r.exn_level, r.exn_rms4),
                                level_scale(r.eyn_level, r.eyn_rms4),
                                level_scale(r.ezn_level, r.ezn_rms4), beta, gamma, ref.wavelength_2pi);

  empty();
  empty();
  put("(20X,A10)", {T("TRACE3D")});
  u.write(kUnitLog, list_directed({T("   UNITS: E_x, E_y [mm*mrad] ,E_z [deg*keV] ")}));
  u.write(kUnitLog, list_directed({T("          b_x, b_y [mm/mrad] ,b_z [deg/keV] ")}));
  u.write(kUnitLog, list_directed({T("          SIGI [internal units of the TRACE3D]")}));
  put("(A21,F5.2,A45)",
      {T("  Emittances contain "), 100.0 * part, T("% particles ,see variable part in VELMO.dat")});
  empty();
  put("(A6,F12.5,A5)", {T(" W=   "), A * W / 1000.0, T("[MeV]")});
  empty();
  put("(9X,3(2X,A12))", {T("   Eun_x    "), T("    Eun_y   "), T("   Eun_z    ")});
  put("(2X,A4,3F14.3)", {T("emit"), ratio(10000.0 * r.exn_level, r.btgm),
                         ratio(10000.0 * r.eyn_level, r.btgm),
                         ratio(r.ezn_level, Tz) * kRadToDeg * A * W});
  empty();
  put("(2X,A4,A72)",
      {T("    "), T("         a_x         b_x         a_y         b_y         a_z         b_z")});
  put("(2X,A4,6F12.5)", {T("beam"), r.alpha_x, 0.01 * r.beta_x, r.alpha_y, 0.01 * r.beta_y,
                         r.alpha_z, ratio(r.beta_z * kRadToDeg, A * W)});
  empty();
  static constexpr T kSigi[] = {"SIGI(1,1)=", "SIGI(1,2)=", "SIGI(1,3)=",
                                "SIGI(1,4)=", "SIGI(1,5)=", "SIGI(1,6)="};
  for (int j = 1; j <= 6; ++j)
    put("(A10,6F16.8)", {kSigi[j - 1], M(1, j), M(2, j), M(3, j), M(4, j), M(5, j), M(6, j)});
  empty();
}

}  // namespace linac
